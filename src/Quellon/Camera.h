#pragma once

#include "Quellon/Matrix4.h"

namespace Quellon {

// Eye position with its view and projection matrices. The camera keeps no target or up vector:
// it always looks at the origin with +Y up, and moving it means building a new one.
struct Camera {
    Vector3 m_position;
    Matrix4 m_viewMatrix;
    Matrix4 m_projectionMatrix;

    // The clipping planes of the fixed projection.
    static constexpr float kNear = 0.1f;
    static constexpr float kFar = 1000.0f;

    // Eye at (0, 0, 1) looking at the origin.
    Camera();
    Camera(const Vector3& eye, const Vector3& target, const Vector3& up);
};

}  // namespace Quellon
