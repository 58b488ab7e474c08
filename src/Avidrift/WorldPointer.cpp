#include "Avidrift/WorldPointer.h"

#include <cmath>
#include <limits>

#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {

using Quellon::Cross;
using Quellon::Dot;
using Quellon::Vector3;

namespace {

// The camera's fixed projection: 45 degrees vertically, 4:3.
constexpr double kHalfFieldOfViewTangent = 0.41421356237309503;
constexpr double kAspect = 4.0 / 3.0;

}  // namespace

PointerRay PointerRay::Through(const Vector3& eye, float x, float y) {
    const Vector3 forward = (Vector3(0, 0, 0) - eye).Normalized();
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
