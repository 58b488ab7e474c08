#include "Quellon/Widgets/Window.h"

#include <tuple>
#include <vector>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"
#include "Quellon/Widgets/IWindowListener.h"

namespace Quellon {
namespace {

// Notes for each close whether the window still showed.
class RecordingListener : public IWindowListener {
public:
    void OnClose() override { m_closes.push_back(m_window->isVisible()); }

    QWidget* m_window = nullptr;
    std::vector<bool> m_closes;
};

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

// Each case in a window of its own; moves go to the render frame and reach the window in its
// coordinates (a sent wheel event would not propagate). The first move reports its position as
// the movement; a wheel event keeps position, movement and pressed, later moves its delta.
TEST(Window, MouseMovesAndWheelTurnsPostTheRecord) {
    // Position, buttons and wheel angle: a wheel event when the angle is not null, else a move.
    using Step = std::tuple<QPoint, Qt::MouseButtons, QPoint>;
    const std::pair<std::vector<Step>, std::vector<int>> cases[] = {
        {{{{100, 200}, Qt::LeftButton, {}}, {{105, 200}, Qt::LeftButton | Qt::RightButton, {}}},
         {105, 200, 100, 200, 5, 0, 0, true, MouseEvent::kLeftButton}},
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
        auto* render = window.findChild<QFrame*>("Render");
        for (const auto& [position, buttons, wheelAngle] : steps) {
            if (wheelAngle.isNull()) {
                const QPointF at = render->mapFrom(&window, QPointF(position));
                QMouseEvent move(QEvent::MouseMove, at, render->mapToGlobal(at), Qt::NoButton,
                                 buttons, Qt::NoModifier);
                QApplication::sendEvent(render, &move);
            } else {
                QWheelEvent wheel(position, window.mapToGlobal(position), QPoint(), wheelAngle,
                                  buttons, Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(&window, &wheel);
            }
        }
        EXPECT_EQ(LastRecord(queue, steps.size()), last);
    }
}

// The margins add up to the fixed size; a style with wider ones must not squeeze the render
// frame. The frame alone is a native window, for the renderer's own X connection. A left
// double-click over it asks for the start view, one beside it nothing.
TEST(Window, FixedFormNativeRenderFrameDoubleClickAndACloseThatTellsTheListenerFirst) {
    UserEventQueue queue;
    RecordingListener listener;
    Window window(L"Avidrift - Zo\u00eb", {}, &listener, &queue,
                  ContactInfo{L"Ada", L"ada@example.net", L"https://example.net/\u00e9"});
    listener.m_window = &window;
    EXPECT_EQ(window.windowTitle(), QStringLiteral(u"Avidrift - Zo\u00eb"));
    EXPECT_EQ(window.minimumSize(), QSize(1037, 618));
    EXPECT_EQ(window.maximumSize(), QSize(1037, 618));
    auto* render = window.findChild<QFrame*>("Render");
    EXPECT_EQ(render->geometry(), QRect(9, 9, 800, 600));
    EXPECT_EQ(window.findChild<QWidget*>("Settings")->geometry(), QRect(815, 9, 213, 600));
    EXPECT_EQ(window.findChild<QLabel*>("label_3")->text(),
              QStringLiteral(u"https://example.net/\u00e9"));
    EXPECT_EQ(window.GetRenderWindowId(), render->winId());
    for (QWidget* child : window.findChildren<QWidget*>()) {
        EXPECT_TRUE(child == render || child->internalWinId() == 0)
            << child->objectName().toStdString() << " is native too";
    }
    for (QWidget* target : {static_cast<QWidget*>(render), static_cast<QWidget*>(&window)}) {
        QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(5, 5),
                          target->mapToGlobal(QPointF(5, 5)), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(target, &click);
    }
    EXPECT_EQ(LastRecord(queue, 1).back(), MouseEvent::kDoubleClick);
    EXPECT_TRUE(window.close());
    EXPECT_EQ(listener.m_closes, std::vector<bool>{true});
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace Quellon
