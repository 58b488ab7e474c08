#include "Quellon/Widgets/RenderFrame.h"

namespace Quellon {

RenderFrame::RenderFrame(QWidget* parent) : QFrame(parent) {
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_PaintOnScreen);
    setAttribute(Qt::WA_NoSystemBackground);
}

QPaintEngine* RenderFrame::paintEngine() const {
    return nullptr;
}

void RenderFrame::paintEvent(QPaintEvent*) {}

}  // namespace Quellon
