#include "Avidrift/WorldPointer.h"

#include <cmath>
#include <limits>

#include "Avidrift/Flock/FlockData.h"
#include "Quellon/Camera.h"

namespace Avidrift {

using Quellon::Cross;
using Quellon::Dot;
using Quellon::Vector3;

namespace {

// The camera's fixed projection: 45 degrees vertically, 4:3.
constexpr double kHalfFieldOfViewTangent = 0.41421356237309503;
constexpr double kAspect = 4.0 / 3.0;

}  // namespace

PointerRay PointerRay::Through(const Vector3& eye, const Vector3& target, float x, float y) {
    const Vector3 forward = (target - eye).Normalized();
    const Vector3 right = Cross(forward, Vector3(0, 1, 0)).Normalized();
    const Vector3 up = Cross(right, forward);
    const auto across = static_cast<float>(x * kHalfFieldOfViewTangent * kAspect);
    const auto upwards = static_cast<float>(y * kHalfFieldOfViewTangent);
    return {eye, forward + right * across + up * upwards, forward};
}

Vector3 PointerRay::OnPlaneThrough(const Vector3& point) const {
    const float along = Dot(point - origin, viewAxis) / Dot(direction, viewAxis);
    return origin + direction * along;
}

std::optional<std::uint32_t> PointerRay::FirstObstacle(const FlockData& flock) const {
    const Vector3 unit = direction.Normalized();
    std::optional<std::uint32_t> first;
    float nearest = std::numeric_limits<float>::infinity();
    for (std::uint32_t k = 0; k < flock.obstacles.size(); ++k) {
        const Obstacle& o = flock.obstacles[k];
        // |origin + s unit - centre| = radius: s = b -+ sqrt(b^2 - c).
        const Vector3 offset = origin - o.centre;
        const float b = -Dot(offset, unit);
        const float c = Dot(offset, offset) - o.radius * o.radius;
        const float discriminant = b * b - c;
        if (!(discriminant >= 0.0f)) {
            continue;
        }
        const float root = std::sqrt(discriminant);
        const float entry = b - root > 0.0f ? b - root : b + root;
        if (entry > 0.0f && entry < nearest) {
            nearest = entry;
            first = k;
        }
    }
    return first;
}

std::optional<std::uint32_t> PickBoid(const FlockData& flock, const Quellon::Camera& camera,
                                      float x, float y, float radius) {
    const Quellon::Matrix4 clip = camera.m_projectionMatrix * camera.m_viewMatrix;
    const auto row = [&](int k, const Vector3& p) {
        return clip[4 * k] * p.x + clip[4 * k + 1] * p.y + clip[4 * k + 2] * p.z + clip[4 * k + 3];
    };
    // Half the view's width and height in pixels: the projection's fixed 800 x 600.
    constexpr float kHalfWidth = 400.0f;
    constexpr float kHalfHeight = 300.0f;
    std::optional<std::uint32_t> picked;
    float best = radius * radius;
    float bestDepth = std::numeric_limits<float>::infinity();
    for (std::uint32_t i = 0; i < flock.boidCount; ++i) {
        const Vector3& p = flock.positions[i];
        const float w = row(3, p);
        // Behind the eye, or not a number: not drawn where the pointer could be.
        if (!(w > Quellon::Camera::kNear)) {
            continue;
        }
        const float dx = (row(0, p) / w - x) * kHalfWidth;
        const float dy = (row(1, p) / w - y) * kHalfHeight;
        const float squared = dx * dx + dy * dy;
        if (squared < best || (squared == best && w < bestDepth)) {
            best = squared;
            bestDepth = w;
            picked = i;
        }
    }
    return picked;
}

Vector3 FlockCentre(const FlockData& flock) {
    double sum[3] = {0, 0, 0};
    std::uint64_t finite = 0;
    for (std::uint32_t i = 0; i < flock.boidCount; ++i) {
        const Vector3& p = flock.positions[i];
        if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) {
            sum[0] += p.x;
            sum[1] += p.y;
            sum[2] += p.z;
            ++finite;
        }
    }
    if (finite == 0) {
        return {};
    }
    const auto n = static_cast<double>(finite);
    return {static_cast<float>(sum[0] / n), static_cast<float>(sum[1] / n),
            static_cast<float>(sum[2] / n)};
}

}  // namespace Avidrift
