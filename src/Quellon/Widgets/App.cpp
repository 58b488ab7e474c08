#include "Quellon/Widgets/App.h"

#include <QApplication>
#include <cstring>
#include <exception>
#include <string>

#include "Quellon/Barrier.h"
#include "Quellon/ISubsystemsAllocator.h"
#include "Quellon/Logic.h"
#include "Quellon/Render.h"
#include "Quellon/Scene.h"
#include "Quellon/Thread.h"
#include "Quellon/Widgets/ITab.h"
#include "Quellon/Widgets/Window.h"

// Xlib defines macros (Bool, Status) that break Qt headers included after it.
#include <X11/Xlib.h>

namespace Quellon {

namespace {

const char* const kNoDisplay =
    "Avidrift needs an X11 display (an X server or XWayland): none could be opened. "
    "Set DISPLAY (or give Qt's -display NAME) and start it again.";
const char* const kNotX11 =
    "Avidrift draws with OpenGL into an X11 window and needs Qt's xcb platform; "
    "unset QT_QPA_PLATFORM or set it to xcb (and leave out -platform).";

// A platform other than xcb that the user asked for in QT_QPA_PLATFORM ("wayland",
// "offscreen", or a list such as "wayland;xcb", whose first entry Qt tries first).
bool OtherPlatformChosen() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    return !platform.isEmpty() && !platform.startsWith("xcb");
}

// Qt's own -display argument (also written --display), which its xcb platform honours ahead of
// $DISPLAY; empty when there is none.
std::string DisplayArgument(int argc, char** argv) {
    std::string name;
    for (int i = 1; argv != nullptr && i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-display") == 0 || std::strcmp(argv[i], "--display") == 0) {
            name = argv[i + 1];
        }
    }
    return name;
}

// Joins both threads on every way out of the run's scope: they use the run's barriers, which
// must not go before them.
class JoinOnExit {
public:
    explicit JoinOnExit(AppThreads& threads) : m_threads(threads) {}
    ~JoinOnExit() { m_threads.StopAndJoin(); }
    JoinOnExit(const JoinOnExit&) = delete;
    JoinOnExit& operator=(const JoinOnExit&) = delete;

private:
    AppThreads& m_threads;
};

}  // namespace

AppThreads::~AppThreads() {
    StopAndJoin();
    m_logicThread.reset();
    m_renderThread.reset();
}

void AppThreads::StopAndJoin() {
    if (m_renderThread) {
        m_renderThread->RequestStop();
    }
    if (m_logicThread) {
        m_logicThread->RequestStop();
    }
    if (m_renderThread) {
        m_renderThread->Join();
    }
    if (m_logicThread) {
        m_logicThread->Join();
    }
}

void AppThreads::RethrowFailure() const {
    if (m_renderThread) {
        m_renderThread->RethrowFailure();
    }
    if (m_logicThread) {
        m_logicThread->RethrowFailure();
    }
}

void AppWindowListener::OnClose() {
    m_threads->StopAndJoin();
}

bool App::CanShowWindows(int argc, char** argv) {
    // Qt aborts the process when its xcb platform finds no display, so look first, at the
    // display Qt will open.
    if (OtherPlatformChosen()) {
        return false;
    }
    const std::string name = DisplayArgument(argc, argv);
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (display == nullptr) {
        return false;
    }
    XCloseDisplay(display);
    return true;
}

AppThreads App::Run(ISubsystemsAllocator& allocator, int argc, char** argv,
                    const std::wstring& title) {
    AppThreads result;
    if (!CanShowWindows(argc, argv)) {
        throw DisplayUnavailable(OtherPlatformChosen() ? kNotX11 : kNoDisplay);
    }
    // Only the render frame is a native window; native siblings would cost every widget an X
    // window of its own.
    QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    int argumentCount = argc;
    QApplication application(argumentCount, argv);
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        throw DisplayUnavailable(kNotX11);
    }

    std::shared_ptr<Scene> workingScene = allocator.CreateScene();
    std::shared_ptr<Scene> sharedScene = allocator.CreateScene();
    std::shared_ptr<ILogicCallable> logicCallable = allocator.CreateLogic(workingScene);
    auto logic = std::make_shared<Logic>(logicCallable, workingScene, sharedScene);
    std::vector<std::shared_ptr<ITab>> tabs = allocator.CreateTabs(logic->GetEventQueue());
    AppWindowListener listener(&result);
    auto window = std::make_unique<Window>(title, tabs, &listener, logic->GetEventQueue());
    std::shared_ptr<IRenderCallable> renderCallable = allocator.CreateRender(
        sharedScene, window->GetRenderWindowId(), Window::kRenderWidth, Window::kRenderHeight);
    auto render = std::make_shared<Render>(renderCallable, sharedScene);

    Barrier initBarrier(2);
    Barrier readyBarrier(2);
    JoinOnExit joinOnExit(result);
    // A subsystem thread that fails closes the window from the Qt thread; closing stops and
    // joins both threads, and the failure is rethrown below once the event loop has ended.
    Window* windowPointer = window.get();
    auto closeWindow = [windowPointer] {
        QMetaObject::invokeMethod(
            windowPointer, [windowPointer] { windowPointer->close(); }, Qt::QueuedConnection);
    };
    result.m_renderThread =
        std::make_shared<Thread>(render, &initBarrier, &readyBarrier, closeWindow);
    result.m_logicThread =
        std::make_shared<Thread>(logic, &initBarrier, &readyBarrier, closeWindow);

    // The logic thread is already running and publishing: read its state from the shared
    // scene under the scene's lock rather than racing it in the working scene.
    sharedScene->ReadLocked([&] {
        for (const std::shared_ptr<ITab>& tab : tabs) {
            tab->SetScene(sharedScene);
        }
    });

    workingScene.reset();
    sharedScene.reset();
    logicCallable.reset();
    logic.reset();
    tabs.clear();
    renderCallable.reset();
    render.reset();

    QApplication::exec();
    // The window normally joined both threads as it closed; the loop may also have ended
    // another way.
    result.StopAndJoin();
    result.RethrowFailure();
    return result;
}

}  // namespace Quellon
