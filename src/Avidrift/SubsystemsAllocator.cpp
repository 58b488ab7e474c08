#include "Avidrift/SubsystemsAllocator.h"

#include <QGuiApplication>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Avidrift/Capture/CaptureSession.h"
#include "Avidrift/Pages/CapturePage.h"
#include "Avidrift/Pages/InspectPage.h"
#include "Avidrift/Pages/MeasuresPage.h"
#include "Avidrift/Pages/SettingsTab.h"
#include "Avidrift/Pages/WorldPage.h"
#include "Avidrift/Render/TestRender.h"
#include "Avidrift/TestLogic.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Exception.h"

// Xlib defines macros (Bool, Status) that break Qt headers included after it.
#include <X11/Xlib.h>

namespace Avidrift {

namespace {

std::shared_ptr<TestScene> AsTestScene(const std::shared_ptr<Quellon::Scene>& scene,
                                       const wchar_t* operation) {
    auto testScene = std::dynamic_pointer_cast<TestScene>(scene);
    if (!testScene) {
        Quellon::ThrowException(
            EINVAL, std::wstring(L"Invalid parameter: scene is not a TestScene in ") + operation);
    }
    return testScene;
}

// The name of the display Qt is connected to, so the renderer opens the same one even when Qt
// was pointed elsewhere than $DISPLAY.
std::string QtDisplayName() {
    if (qGuiApp != nullptr) {
        if (const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
            if (const char* name = DisplayString(x11->display())) {
                return name;
            }
        }
    }
    return std::string();
}

// The renderer with its detail pinned once its Init has chosen the frame-time rule's start:
// frames that depend on how long frames took cannot be compared pixel for pixel.
class PinnedDetailRender : public Quellon::IRenderCallable {
public:
    PinnedDetailRender(std::shared_ptr<TestRender> render, float pixelError, float impostorPixels)
        : m_render(std::move(render)), m_pixelError(pixelError), m_impostorPixels(impostorPixels) {}
    void Init() override {
        m_render->Init();
        m_render->SetMaxPixelError(m_pixelError, true, m_impostorPixels);
    }
    void PostInit() override { m_render->PostInit(); }
    void Update(float elapsedSeconds) override { m_render->Update(elapsedSeconds); }
    void Shutdown() override { m_render->Shutdown(); }

private:
    std::shared_ptr<TestRender> m_render;
    float m_pixelError;
    float m_impostorPixels;
};

// Set by scripts/program-fps only: how many steps began in each five seconds, as a rate.
TestLogic::TestHooks StepRateHooks() {
    struct Count {
        std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
        std::uint64_t steps = 0;
    };
    TestLogic::TestHooks hooks;
    if (std::getenv("AVIDRIFT_PRINT_STEP_RATE") == nullptr) {
        return hooks;
    }
    hooks.stepBegins = [count = std::make_shared<Count>()] {
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - count->since).count();
        if (seconds >= 5.0) {
            std::fprintf(stderr, "step rate: %.3f steps/s\n",
                         static_cast<double>(count->steps) / seconds);
            *count = Count{now, 0};
        }
        ++count->steps;
    };
    return hooks;
}

}  // namespace

SubsystemsAllocator::SubsystemsAllocator() : m_capture(std::make_shared<CaptureSession>()) {}

SubsystemsAllocator::~SubsystemsAllocator() = default;

std::shared_ptr<Quellon::IRenderCallable> SubsystemsAllocator::CreateRender(
    std::shared_ptr<Quellon::Scene> scene, Quellon::NativeWindowId window, int width, int height) {
    auto render =
        std::make_shared<TestRender>(AsTestScene(scene, L"SubsystemsAllocator::CreateRender"),
                                     window, width, height, QtDisplayName(), 4, m_capture);
    // Set by the end-to-end tests only (see the README): a number of pixels of error, and the
    // size under which boids are impostors.
    const char* pinned = std::getenv("AVIDRIFT_PIXEL_ERROR");
    if (pinned != nullptr && *pinned != '\0') {
        const char* impostors = std::getenv("AVIDRIFT_IMPOSTOR_PIXELS");
        return std::make_shared<PinnedDetailRender>(
            std::move(render), std::strtof(pinned, nullptr),
            impostors != nullptr ? std::strtof(impostors, nullptr) : 0.0f);
    }
    return render;
}

std::shared_ptr<Quellon::ILogicCallable> SubsystemsAllocator::CreateLogic(
    std::shared_ptr<Quellon::Scene> scene) {
    return std::make_shared<TestLogic>(AsTestScene(scene, L"SubsystemsAllocator::CreateLogic"),
                                       StepRateHooks());
}

std::shared_ptr<Quellon::Scene> SubsystemsAllocator::CreateScene() {
    return std::make_shared<TestScene>();
}

std::vector<std::shared_ptr<Quellon::ITab>> SubsystemsAllocator::CreateTabs(
    Quellon::UserEventQueue* events) {
    return {std::make_shared<SettingsTab>(events), std::make_shared<CapturePage>(events, m_capture),
            std::make_shared<WorldPage>(events), std::make_shared<MeasuresPage>(),
            std::make_shared<InspectPage>(events)};
}

}  // namespace Avidrift
