#include "Avidrift/SimulationEvent.h"

namespace Avidrift {

SimulationEvent::SimulationEvent(Action action) : m_action(action) {}

int SimulationEvent::GetType() const {
    return kCustomEventType;
}

SimulationEvent::~SimulationEvent() = default;

}  // namespace Avidrift
