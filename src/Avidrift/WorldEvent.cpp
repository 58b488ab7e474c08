#include "Avidrift/WorldEvent.h"

#include <utility>

namespace Avidrift {

WorldEvent::WorldEvent(Action action, ViewPoint pointer, std::uint32_t index, Obstacle obstacle,
                       std::shared_ptr<const World> world)
    : m_action(action),
      m_pointer(pointer),
      m_index(index),
      m_obstacle(obstacle),
      m_world(std::move(world)) {}

int WorldEvent::GetType() const {
    return kCustomEventType;
}

WorldEvent::~WorldEvent() = default;

}  // namespace Avidrift
