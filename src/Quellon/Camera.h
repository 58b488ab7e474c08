#pragma once

#include "Quellon/Matrix4.h"

namespace Quellon {

// Eye position with its view and projection matrices. The camera keeps no target or up vector:
// it always looks at the origin with +Y up, and moving it means building a new one.
struct Camera {
    Vector3 m_position;
    Matrix4 m_viewMatrix;
    Matrix4 m_projectionMatrix;

    // Eye at (0, 0, 1) looking at the origin.
    Camera();
    Camera(const Vector3& eye, const Vector3& target, const Vector3& up);
};

}  // namespace Quellon
