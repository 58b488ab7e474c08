#include "Quellon/Window.h"

#include <vector>

#include <QtGui/qguiapplication_platform.h>
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QTabWidget>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include "Quellon/Exception.h"
#include "Quellon/ITab.h"
#include "Quellon/IWindowListener.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"

// Last: Xlib's macros (None, Bool, Status) would break the Qt and GoogleTest headers.
#include <X11/Xlib.h>

namespace Quellon {
namespace {

class RecordingListener : public IWindowListener {
public:
    void OnClose() override {
        ++m_calls;
        m_windowVisibleDuringClose = m_window->isVisible();
    }

    QWidget* m_window = nullptr;
    int m_calls = 0;
    bool m_windowVisibleDuringClose = false;
};

class NamedPageTab : public ITab {
public:
    explicit NamedPageTab(const char* name) : m_page(new QWidget) { m_page->setObjectName(name); }
    ~NamedPageTab() override { delete m_page.data(); }
    QWidget* GetWidget() override { return m_page.data(); }
    void SetScene(std::shared_ptr<Scene>) override {}
    QPointer<QWidget> m_page;
};

class WindowTest : public testing::Test {
protected:
    Window& MakeWindow(std::vector<std::shared_ptr<ITab>> tabs = {},
                       const ContactInfo& contact = ContactInfo()) {
        m_window = std::make_unique<Window>(L"Avidrift - Zo\u00eb", std::move(tabs), &m_listener,
                                            &m_queue, contact);
        m_listener.m_window = m_window.get();
        return *m_window;
    }

    UserEventQueue m_queue;
    RecordingListener m_listener;
    std::unique_ptr<Window> m_window;
};

// The margins add up to the fixed size exactly; a style with wider ones must not squeeze the
// render frame below the renderer's size.
TEST_F(WindowTest, FixedFormPlacesFrameAndColumnInsideTheWindow) {
    Window& window = MakeWindow({}, {L"Ada", L"ada@example.net", L"https://example.net/\u00e9"});
    EXPECT_EQ(window.windowTitle(), QStringLiteral(u"Avidrift - Zo\u00eb"));
    EXPECT_EQ(window.minimumSize(), QSize(1037, 618));
    EXPECT_EQ(window.maximumSize(), QSize(1037, 618));
    EXPECT_EQ(window.findChild<QWidget*>("Render")->geometry(), QRect(9, 9, 800, 600));
    EXPECT_EQ(window.findChild<QWidget*>("Settings")->geometry(), QRect(815, 9, 213, 600));
    EXPECT_EQ(window.findChild<QLabel*>("label")->text(), "Ada");
    EXPECT_EQ(window.findChild<QLabel*>("label_2")->text(), "ada@example.net");
    EXPECT_EQ(window.findChild<QLabel*>("label_3")->text(),
              QStringLiteral(u"https://example.net/\u00e9"));
}

TEST_F(WindowTest, RenderFrameIsANativeWindowThatAnotherConnectionSees) {
    Window& window = MakeWindow();
    auto* render = window.findChild<QFrame*>("Render");
    EXPECT_EQ(window.GetRenderWindowId(), render->winId());
    for (QWidget* child : window.findChildren<QWidget*>()) {
        EXPECT_TRUE(child == render || child->internalWinId() == 0)
            << child->objectName().toStdString() << " is native too";
    }
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    ASSERT_NE(x11, nullptr) << "the window tests need the xcb platform";
    ::Display* other = XOpenDisplay(DisplayString(x11->display()));
    ASSERT_NE(other, nullptr);
    XWindowAttributes attributes{};
    ::Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    EXPECT_NE(XGetWindowAttributes(other, window.GetRenderWindowId(), &attributes), 0);
    EXPECT_NE(XQueryTree(other, window.GetRenderWindowId(), &root, &parent, &children, &count), 0);
    XFree(children);
    XCloseDisplay(other);
    EXPECT_EQ(QSize(attributes.width, attributes.height), QSize(800, 600));
    EXPECT_EQ(attributes.map_state, IsViewable);
    EXPECT_EQ(parent, window.winId());
}

TEST_F(WindowTest, TabPagesAreAddedInOrderUnderTheirObjectNames) {
    auto first = std::make_shared<NamedPageTab>("First");
    auto second = std::make_shared<NamedPageTab>("Second");
    Window& window = MakeWindow({first, second});
    auto* tabs = window.findChild<QTabWidget*>("tabWidget");
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->widget(1), second->GetWidget());
    EXPECT_EQ(tabs->tabText(0), "First");
    EXPECT_EQ(tabs->tabText(1), "Second");
    m_window.reset();
    EXPECT_EQ(first->GetWidget(), nullptr) << "the window deletes the pages it took over";
}

TEST_F(WindowTest, ConstructionRejectsMissingCollaborators) {
    EXPECT_THROW(Window(L"", {}, nullptr, &m_queue), Exception);
    EXPECT_THROW(Window(L"", {}, &m_listener, nullptr), Exception);
    // Refused before the first tab's page is taken over, so its tab still owns it.
    auto tab = std::make_shared<NamedPageTab>("First");
    EXPECT_THROW(Window(L"", {tab, nullptr}, &m_listener, &m_queue), Exception);
    EXPECT_EQ(tab->GetWidget()->parent(), nullptr);
}

// The nine fields of a MouseEvent.
using Record = std::vector<int>;

Record RecordOf(const IUserEvent& event) {
    const auto& m = dynamic_cast<const MouseEvent&>(event);
    return {m.m_x,  m.m_y,          m.m_previousX, m.m_previousY, m.m_dx,
            m.m_dy, m.m_wheelDelta, m.m_pressed,   m.m_button};
}

struct MouseStep {
    QPoint position;
    Qt::MouseButtons buttons;
    QPoint wheelAngle;  // a wheel event when not null, else a move
};

struct MouseCase {
    const char* name;
    std::vector<MouseStep> steps;
    Record last;  // x, y, previous x, previous y, dx, dy, wheel delta, pressed, button
};

const MouseCase kMouseCases[] = {
    {"left drag five pixels right",
     {{{100, 200}, Qt::LeftButton, {}}, {{105, 200}, Qt::LeftButton, {}}},
     {105, 200, 100, 200, 5, 0, 0, true, MouseEvent::kLeftButton}},
    {"left wins over right",
     {{{10, 10}, Qt::LeftButton | Qt::RightButton, {}}},
     {10, 10, 0, 0, 10, 10, 0, true, MouseEvent::kLeftButton}},
    {"right wins over middle",
     {{{10, 10}, Qt::RightButton | Qt::MiddleButton, {}}},
     {10, 10, 0, 0, 10, 10, 0, true, MouseEvent::kRightButton}},
    {"middle alone", {{{10, 10}, Qt::MiddleButton, {}}}, {10, 10, 0, 0, 10, 10, 0, true, 1}},
    {"extra button only is no reported button",
     {{{50, 60}, Qt::ExtraButton1, {}}},
     {50, 60, 0, 0, 50, 60, 0, false, MouseEvent::kNoButton}},
    // The first move reports its position as the movement.
    {"wheel keeps position, movement and pressed",
     {{{20, 30}, Qt::RightButton, {}}, {{700, 500}, Qt::NoButton, {0, 120}}},
     {20, 30, 0, 0, 20, 30, 120, true, MouseEvent::kWheel}},
    {"later moves keep the wheel delta",
     {{{0, 0}, Qt::NoButton, {0, -120}}, {{5, 6}, Qt::LeftButton, {}}},
     {5, 6, 0, 0, 5, 6, -120, true, MouseEvent::kLeftButton}},
    {"horizontal wheel counts as a turn",
     {{{0, 0}, Qt::NoButton, {240, 0}}},
     {0, 0, 0, 0, 0, 0, 240, false, MouseEvent::kWheel}},
};

TEST_F(WindowTest, MouseMovesAndWheelTurnsPostTheRecord) {
    for (const MouseCase& mouseCase : kMouseCases) {
        Window& window = MakeWindow();
        for (const MouseStep& step : mouseCase.steps) {
            const QPointF position(step.position);
            if (step.wheelAngle.isNull()) {
                QMouseEvent move(QEvent::MouseMove, position, window.mapToGlobal(position),
                                 Qt::NoButton, step.buttons, Qt::NoModifier);
                QApplication::sendEvent(&window, &move);
            } else {
                QWheelEvent wheel(position, window.mapToGlobal(position), QPoint(), step.wheelAngle,
                                  step.buttons, Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(&window, &wheel);
            }
        }
        const auto posted = m_queue.TakeAll();
        ASSERT_EQ(posted.size(), mouseCase.steps.size()) << mouseCase.name;
        EXPECT_EQ(RecordOf(*posted.back()), mouseCase.last) << mouseCase.name;
    }
}

TEST_F(WindowTest, DragOverTheRenderFrameReachesTheWindowInWindowCoordinates) {
    Window& window = MakeWindow();
    auto* render = window.findChild<QFrame*>("Render");
    QMouseEvent move(QEvent::MouseMove, QPointF(10, 20), render->mapToGlobal(QPointF(10, 20)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(render, &move);
    const auto posted = m_queue.TakeAll();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(RecordOf(*posted.front()), (Record{19, 29, 0, 0, 19, 29, 0, true, 0}));

    // A left double-click there asks for the start view; one beside the frame asks nothing.
    for (QWidget* target : {static_cast<QWidget*>(render), static_cast<QWidget*>(&window)}) {
        QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(5, 5),
                          target->mapToGlobal(QPointF(5, 5)), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(target, &click);
    }
    const auto clicked = m_queue.TakeAll();
    ASSERT_EQ(clicked.size(), 1u);
    EXPECT_EQ(RecordOf(*clicked.front()).back(), MouseEvent::kDoubleClick);
}

TEST_F(WindowTest, CloseTellsTheListenerBeforeTheWindowCloses) {
    EXPECT_TRUE(MakeWindow().close());
    EXPECT_EQ(m_listener.m_calls, 1);
    EXPECT_TRUE(m_listener.m_windowVisibleDuringClose);
    EXPECT_FALSE(m_window->isVisible());
}

}  // namespace
}  // namespace Quellon
