#pragma once

#include <memory>

#include <boost/noncopyable.hpp>

namespace Quellon {

class IUserEvent;

// Receives the queued user events of one logic iteration, oldest first, on the logic thread.
// elapsedSeconds is that iteration's elapsed time; the listener shares the event only for the
// call, the batch releases it afterwards.
class IUserEventListener : private boost::noncopyable {
public:
    // An event whose GetType is 0; it is a MouseEvent.
    virtual void OnMouseEvent(float elapsedSeconds, std::shared_ptr<IUserEvent> event) = 0;
    // An event whose GetType is 1; it derives from ICustomEvent.
    virtual void OnCustomEvent(float elapsedSeconds, std::shared_ptr<IUserEvent> event) = 0;
    virtual ~IUserEventListener() = default;
};

}  // namespace Quellon
