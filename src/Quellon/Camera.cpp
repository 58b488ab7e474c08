#include "Quellon/Camera.h"

namespace Quellon {

namespace {
// The projection is fixed to the 800 x 600 render area; it does not follow the window.
constexpr float kFieldOfViewDegrees = 45.0f;
constexpr float kAspect = 1.3333334f;
}  // namespace

Camera::Camera() : Camera(Vector3(0, 0, 1), Vector3(0, 0, 0), Vector3(0, 1, 0)) {}

Camera::Camera(const Vector3& eye, const Vector3& target, const Vector3& up)
    : m_position(eye),
      m_viewMatrix(LookAt(eye, target, up)),
      m_projectionMatrix(Perspective(kFieldOfViewDegrees, kAspect, Camera::kNear, Camera::kFar)) {}

}  // namespace Quellon
