#pragma once

#include <cstdint>
#include <optional>

#include "Avidrift/Flock/WorldSteering.h"
#include "Quellon/Vector3.h"

namespace Quellon {
struct Camera;
}  // namespace Quellon

namespace Avidrift {

struct FlockData;

// A ray from the eye through a point of the render area, for the logic's camera (looking at its
// target with +Y up, 45 degrees of field of view over 800 x 600).
struct PointerRay {
    Quellon::Vector3 origin;
    Quellon::Vector3 direction;  // not of unit length: its component along the view is 1
    Quellon::Vector3 viewAxis;   // the unit direction the camera looks in

    // x and y from -1 to 1 across the render area, y upwards.
    static PointerRay Through(const Quellon::Vector3& eye, const Quellon::Vector3& target, float x,
                              float y);

    // Where the ray meets the plane through point that faces the camera.
    Quellon::Vector3 OnPlaneThrough(const Quellon::Vector3& point) const;

    // The first obstacle the ray enters (or starts in), if any.
    std::optional<std::uint32_t> FirstObstacle(const FlockData& flock) const;
};

// The boid drawn nearest to the pointer at (x, y) (as above), within radius pixels of the 800 x 600
// view; of two as near, the nearer to the eye, then the lower index. None in front of the eye
// that close: none.
std::optional<std::uint32_t> PickBoid(const FlockData& flock, const Quellon::Camera& camera,
                                      float x, float y, float radius);

// The mean of the boids' finite positions; the origin when none is finite.
Quellon::Vector3 FlockCentre(const FlockData& flock);

}  // namespace Avidrift
