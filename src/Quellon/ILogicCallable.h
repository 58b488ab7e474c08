#pragma once

#include "Quellon/IUserEventListener.h"

namespace Quellon {

// The application's logic, driven by Logic on the logic thread: Init once, then in every
// iteration the queued events followed by one Update, after which Logic publishes the working
// scene.
class ILogicCallable : public IUserEventListener {
public:
    // Called once on the logic thread, after the working scene has been copied from the shared
    // scene and before anything else.
    virtual void Init() = 0;
    // Called on the logic thread once per iteration, after that iteration's events.
    virtual void Update(float elapsedSeconds) = 0;
    // Called on the thread that stops the logic, possibly while Update runs. An Update that
    // sees the request may abandon its step: Logic publishes nothing of an iteration during
    // which a stop was requested. The request is never withdrawn.
    virtual void RequestStop() {}
};

}  // namespace Quellon
