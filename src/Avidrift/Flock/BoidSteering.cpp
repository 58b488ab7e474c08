#include "Avidrift/Flock/BoidSteering.h"

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/TrefoilKnot.h"
#include "Avidrift/Flock/WorldSteering.h"

namespace Avidrift {

using Quellon::Vector3;

NeighbourSums AccumulateNeighbours(const FlockData& read, std::uint32_t i) {
    const std::uint32_t n = read.boidCount;
    const Vector3* positions = read.positions.get();
    const Vector3* velocities = read.velocities.get();
    const Vector3 p = positions[i];
    const Vector3 v = velocities[i];
    NeighbourSums sums;
    for (std::uint32_t j = 0; j < n; ++j) {
        if (j == i) {
            continue;
        }
        const Vector3 d = p - positions[j];
        const float distance = Quellon::Length(d);
        if (distance < read.separationDistance) {
            // Two boids at one place have no direction to repel along; they ignore each other.
            if (distance != 0.0f) {
                sums.separation = sums.separation + d.Normalized() * (1.0f / distance);
                ++sums.separationCount;
            }
        } else if (distance < read.groupDistance) {
            sums.alignment = sums.alignment + (velocities[j] - v);
            sums.centre = sums.centre + positions[j];
            ++sums.groupCount;
        }
    }
    return sums;
}

void FinishBoid(const FlockData& read, FlockData& write, std::uint32_t i, const NeighbourSums& sums,
                float stepTime) {
    const Vector3 p = read.positions[i];
    const Vector3 v = read.velocities[i];
    Vector3 separation = sums.separation;
    Vector3 centre = sums.centre;
    Vector3 alignment = sums.alignment;
    if (sums.separationCount > 0) {
        const auto count = static_cast<float>(sums.separationCount);
        separation = Vector3(separation.x / count, separation.y / count, separation.z / count);
    }
    if (sums.groupCount > 0) {
        const auto count = static_cast<float>(sums.groupCount);
        centre = Vector3(centre.x / count, centre.y / count, centre.z / count);
        alignment = Vector3(alignment.x / count, alignment.y / count, alignment.z / count);
    }

    // Without group neighbours the centre stays at the origin, so a lone boid drifts inwards.
    const Vector3 cohesion = Quellon::Scale((centre - p).Normalized(), read.maxSpeed) - v;
    const Vector3 force = (separation * read.separationWeight + cohesion * read.cohesionWeight) +
                          alignment * read.alignmentWeight;

    const auto t = static_cast<float>(static_cast<double>(read.angleIncrement) * stepTime +
                                      read.pathParameters[i]);
    write.pathParameters[i] = t;
    const Vector3 towardsTarget = (TrefoilKnotPoint(t) - p).Normalized();
    const Vector3 path =
        (Quellon::Scale(towardsTarget, read.maxSpeed) - v) * read.trefoilKnotPathWeight;

    Vector3 steered = (v + force) + path;
    if (HasWorld(read)) {
        steered = steered + WorldSteering(read, p);
    }
    const Vector3 velocity = Quellon::Min(steered, read.maxSpeed);
    write.velocities[i] = velocity;
    write.positions[i] = p + velocity * stepTime;
}

void FinishBoids(const FlockData& read, FlockData& write, const std::uint32_t* boids,
                 std::uint32_t count, const NeighbourSums* sums, float stepTime) {
    for (std::uint32_t b = 0; b < count; ++b) {
        FinishBoid(read, write, boids[b], sums[b], stepTime);
    }
}

}  // namespace Avidrift
