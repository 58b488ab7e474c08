#pragma once

#include "Quellon/UserEvent.h"

namespace Avidrift {

// Pause, resume or one step of the flock, posted by the capture page to the logic's queue, so
// that it reaches the logic in order with the settings changed before it.
class SimulationEvent : public Quellon::ICustomEvent {
public:
    enum Action { kPause, kResume, kStep };

    explicit SimulationEvent(Action action);

    int GetType() const override;
    ~SimulationEvent() override;

    const Action m_action;
};

}  // namespace Avidrift
