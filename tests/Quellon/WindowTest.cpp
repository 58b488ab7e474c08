#include "Quellon/Window.h"

#include <vector>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QTabWidget>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include "Quellon/IWindowListener.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"

namespace Quellon {
namespace {

// Notes for each close whether the window still showed.
class RecordingListener : public IWindowListener {
public:
    void OnClose() override { m_closes.push_back(m_window->isVisible()); }

    QWidget* m_window = nullptr;
    std::vector<bool> m_closes;
};

class WindowTest : public testing::Test {
protected:
    void SetUp() override { m_listener.m_window = &m_window; }

    UserEventQueue m_queue;
    RecordingListener m_listener;
    Window m_window{L"Avidrift - Zo\u00eb",
                    {},
                    &m_listener,
                    &m_queue,
                    ContactInfo{L"Ada", L"ada@example.net", L"https://example.net/\u00e9"}};
};

// The margins add up to the fixed size exactly; a style with wider ones must not squeeze the
// render frame below the renderer's size. The frame alone is a native window, for the renderer's
// own X connection.
TEST_F(WindowTest, NativeRenderFrameInAFixedFormAndCloseTellsTheListenerFirst) {
    EXPECT_EQ(m_window.windowTitle(), QStringLiteral(u"Avidrift - Zo\u00eb"));
    EXPECT_EQ(m_window.minimumSize(), QSize(1037, 618));
    EXPECT_EQ(m_window.maximumSize(), QSize(1037, 618));
    auto* render = m_window.findChild<QFrame*>("Render");
    EXPECT_EQ(render->geometry(), QRect(9, 9, 800, 600));
    EXPECT_EQ(m_window.findChild<QWidget*>("Settings")->geometry(), QRect(815, 9, 213, 600));
    EXPECT_EQ(m_window.findChild<QLabel*>("label_3")->text(),
              QStringLiteral(u"https://example.net/\u00e9"));
    EXPECT_EQ(m_window.GetRenderWindowId(), render->winId());
    for (QWidget* child : m_window.findChildren<QWidget*>()) {
        EXPECT_TRUE(child == render || child->internalWinId() == 0)
            << child->objectName().toStdString() << " is native too";
    }
    EXPECT_TRUE(m_window.close());
    EXPECT_EQ(m_listener.m_closes, std::vector<bool>{true});
    EXPECT_FALSE(m_window.isVisible());
}

// x, y, previous x, previous y, dx, dy, wheel delta, pressed, button of the last event posted.
std::vector<int> LastRecord(UserEventQueue& queue, std::size_t expectedCount) {
    const auto posted = queue.TakeAll();
    EXPECT_EQ(posted.size(), expectedCount);
    if (posted.empty()) {
        return {};
    }
    const auto& m = dynamic_cast<const MouseEvent&>(*posted.back());
    return {m.m_x,  m.m_y,          m.m_previousX, m.m_previousY, m.m_dx,
            m.m_dy, m.m_wheelDelta, m.m_pressed,   m.m_button};
}

// Each case in a window of its own; the first move reports its position as the movement, and
// a wheel event keeps position, movement and pressed, later moves the wheel delta.
TEST(Window, MouseMovesAndWheelTurnsPostTheRecord) {
    struct Step {
        QPoint position;
        Qt::MouseButtons buttons;
        QPoint wheelAngle;  // a wheel event when not null, else a move
    };
    const std::pair<std::vector<Step>, std::vector<int>> cases[] = {
        {{{{100, 200}, Qt::LeftButton, {}}, {{105, 200}, Qt::LeftButton, {}}},
         {105, 200, 100, 200, 5, 0, 0, true, MouseEvent::kLeftButton}},
        {{{{10, 10}, Qt::LeftButton | Qt::RightButton, {}}},
         {10, 10, 0, 0, 10, 10, 0, true, MouseEvent::kLeftButton}},
        {{{{10, 10}, Qt::MiddleButton, {}}},
         {10, 10, 0, 0, 10, 10, 0, true, MouseEvent::kMiddleButton}},
        {{{{50, 60}, Qt::ExtraButton1, {}}},
         {50, 60, 0, 0, 50, 60, 0, false, MouseEvent::kNoButton}},
        {{{{20, 30}, Qt::RightButton, {}}, {{700, 500}, Qt::NoButton, {0, 120}}},
         {20, 30, 0, 0, 20, 30, 120, true, MouseEvent::kWheel}},
        {{{{0, 0}, Qt::NoButton, {0, -120}}, {{5, 6}, Qt::LeftButton, {}}},
         {5, 6, 0, 0, 5, 6, -120, true, MouseEvent::kLeftButton}},
    };
    for (const auto& [steps, last] : cases) {
        UserEventQueue queue;
        RecordingListener listener;
        Window window(L"", {}, &listener, &queue);
        for (const Step& step : steps) {
            const QPointF at(step.position);
            if (step.wheelAngle.isNull()) {
                QMouseEvent move(QEvent::MouseMove, at, window.mapToGlobal(at), Qt::NoButton,
                                 step.buttons, Qt::NoModifier);
                QApplication::sendEvent(&window, &move);
            } else {
                QWheelEvent wheel(at, window.mapToGlobal(at), QPoint(), step.wheelAngle,
                                  step.buttons, Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(&window, &wheel);
            }
        }
        EXPECT_EQ(LastRecord(queue, steps.size()), last);
    }
}

// A drag over the render frame reaches the window in window coordinates; a left double-click
// there asks for the start view, one beside the frame asks nothing.
TEST_F(WindowTest, DragAndDoubleClickOverTheRenderFrameReachTheWindow) {
    auto* render = m_window.findChild<QFrame*>("Render");
    QMouseEvent move(QEvent::MouseMove, QPointF(10, 20), render->mapToGlobal(QPointF(10, 20)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(render, &move);
    EXPECT_EQ(LastRecord(m_queue, 1), (std::vector<int>{19, 29, 0, 0, 19, 29, 0, true, 0}));
    for (QWidget* target : {static_cast<QWidget*>(render), static_cast<QWidget*>(&m_window)}) {
        QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(5, 5),
                          target->mapToGlobal(QPointF(5, 5)), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(target, &click);
    }
    EXPECT_EQ(LastRecord(m_queue, 1).back(), MouseEvent::kDoubleClick);
}

}  // namespace
}  // namespace Quellon
