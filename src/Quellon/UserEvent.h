#pragma once

#include <boost/noncopyable.hpp>

namespace Quellon {

// A user action on the Qt thread, handed to the logic thread through the UserEventQueue.
// Events are held by shared pointer and never change after they are posted, which is what
// lets the logic thread read their fields without a lock.
class IUserEvent : private boost::noncopyable {
public:
    // The codes GetType returns; Logic dispatches on them alone and skips any other code.
    static constexpr int kMouseEventType = 0;
    static constexpr int kCustomEventType = 1;

    virtual int GetType() const = 0;
    virtual ~IUserEvent();
};

// A snapshot of the main window's mouse record when it was posted.
class MouseEvent : public IUserEvent {
public:
    // Codes of m_button.
    static constexpr int kLeftButton = 0;
    static constexpr int kMiddleButton = 1;
    static constexpr int kRightButton = 2;
    static constexpr int kWheel = 3;
    static constexpr int kNoButton = 4;
    // A left double-click in the render area: the logic restores the start view.
    static constexpr int kDoubleClick = 5;

    MouseEvent(int x, int y, int previousX, int previousY, int dx, int dy, int wheelDelta,
               bool pressed, int button);

    int GetType() const override;
    ~MouseEvent() override;

    // Cursor position in the window's pixels, y downwards, and the position before the last
    // movement.
    const int m_x;
    const int m_y;
    const int m_previousX;
    const int m_previousY;
    // m_x - m_previousX and m_y - m_previousY.
    const int m_dx;
    const int m_dy;
    // The last wheel event's delta, 120 per notch; kept until the next wheel event.
    const int m_wheelDelta;
    // Whether a button was held at the last movement; wheel events keep it.
    const bool m_pressed;
    const int m_button;
};

// Base of every event of type 1; it adds nothing but the type.
class ICustomEvent : public IUserEvent {
public:
    ~ICustomEvent() override;
};

// A setting changed on the settings page; which setting m_id names is the logic's business.
class ValueChangedEvent : public ICustomEvent {
public:
    ValueChangedEvent(float value, int id);

    int GetType() const override;
    ~ValueChangedEvent() override;
    virtual int GetId() const;

    // The new value; integer settings arrive converted to float.
    const float m_value;
    const int m_id;
};

}  // namespace Quellon
