#include "Quellon/UserEvent.h"

namespace Quellon {

IUserEvent::~IUserEvent() = default;

MouseEvent::MouseEvent(int x, int y, int previousX, int previousY, int dx, int dy, int wheelDelta,
                       bool pressed, int button)
    : m_x(x),
      m_y(y),
      m_previousX(previousX),
      m_previousY(previousY),
      m_dx(dx),
      m_dy(dy),
      m_wheelDelta(wheelDelta),
      m_pressed(pressed),
      m_button(button) {}

int MouseEvent::GetType() const {
    return kMouseEventType;
}

MouseEvent::~MouseEvent() = default;

ICustomEvent::~ICustomEvent() = default;

ValueChangedEvent::ValueChangedEvent(float value, int id) : m_value(value), m_id(id) {}

int ValueChangedEvent::GetType() const {
    return kCustomEventType;
}

ValueChangedEvent::~ValueChangedEvent() = default;

int ValueChangedEvent::GetId() const {
    return m_id;
}

}  // namespace Quellon
