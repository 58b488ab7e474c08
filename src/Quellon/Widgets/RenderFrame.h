#pragma once

#include <QFrame>

namespace Quellon {

// The area the renderer draws into from its own thread and its own X connection. It is a
// native child window so that it has an X window id to hand over, and Qt never paints it:
// a Qt paint (even just the frame or the background) would race with the renderer's frames
// and flicker over them.
class RenderFrame : public QFrame {
public:
    // Called on the Qt thread; the parent owns the frame.
    explicit RenderFrame(QWidget* parent);

    QPaintEngine* paintEngine() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace Quellon
