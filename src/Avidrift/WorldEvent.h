#pragma once

#include <cstdint>
#include <memory>

#include "Avidrift/Flock/WorldFile.h"
#include "Quellon/UserEvent.h"

namespace Avidrift {

// A point of the render area: x and y from -1 to 1, y upwards.
struct ViewPoint {
    float x = 0.0f;
    float y = 0.0f;
};

// A change to the flock's world or to what the view holds on to, posted by the world and inspect
// pages and the render area's mouse to the logic's queue, so that it reaches the logic in order
// with the settings posted around it. Pointer positions are in the render area's normalised
// coordinates: x and y from -1 to 1, y upwards; the logic turns them into a ray from its camera.
class WorldEvent : public Quellon::ICustomEvent {
public:
    enum Action {
        kHuntAt,         // the user's predator to where the pointer's ray meets the flock's plane
        kStopHunt,       // the user's predator goes
        kPlaceObstacle,  // a sphere of m_obstacle.radius where the ray meets the flock's plane
        kGrabObstacle,   // the sphere under the pointer is held for kDragObstacle
        kDragObstacle,   // the held sphere to the pointer, in the plane through its centre
        kRemoveObstacleAt,  // the sphere under the pointer goes
        kSetObstacle,       // obstacle m_index becomes m_obstacle
        kRemoveObstacle,    // obstacle m_index goes
        kClearObstacles,
        kLoadWorld,     // m_world replaces the world, the flock and the camera
        kSelectAt,      // the boid drawn nearest the pointer is selected; none near: none is
        kToggleFollow,  // the camera follows the selected boid, or returns about the origin
        kLetGo,         // Esc: the hunt stops, the selection goes, the camera returns
    };

    WorldEvent(Action action, ViewPoint pointer = {}, std::uint32_t index = 0,
               Obstacle obstacle = {}, std::shared_ptr<const World> world = nullptr);

    int GetType() const override;
    ~WorldEvent() override;

    const Action m_action;
    const ViewPoint m_pointer;
    const std::uint32_t m_index;
    const Obstacle m_obstacle;
    const std::shared_ptr<const World> m_world;
};

}  // namespace Avidrift
