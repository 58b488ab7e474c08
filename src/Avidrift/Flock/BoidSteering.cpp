#include "Avidrift/Flock/BoidSteering.h"

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/TrefoilKnot.h"
#include "Avidrift/Flock/WorldSteering.h"

namespace Avidrift {

using Quellon::Vector3;

BoidTerms SteerBoid(const FlockData& read, std::uint32_t i, const NeighbourSums& sums,
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
    BoidTerms terms;
    const Vector3 cohesion = Quellon::Scale((centre - p).Normalized(), read.maxSpeed) - v;
    terms.separation = separation * read.separationWeight;
    terms.cohesion = cohesion * read.cohesionWeight;
    terms.alignment = alignment * read.alignmentWeight;
    const Vector3 force = (terms.separation + terms.cohesion) + terms.alignment;

    const auto t = static_cast<float>(static_cast<double>(read.angleIncrement) * stepTime +
                                      read.pathParameters[i]);
    terms.pathParameter = t;
    terms.target = TrefoilKnotPoint(t);
    const Vector3 towardsTarget = (terms.target - p).Normalized();
    terms.path = (Quellon::Scale(towardsTarget, read.maxSpeed) - v) * read.trefoilKnotPathWeight;

    Vector3 steered = (v + force) + terms.path;
    if (HasWorld(read)) {
        const WorldTerms world = WorldTermsAt(read, p);
        terms.flee = world.flee;
        terms.avoid = world.avoid;
        steered = steered + (terms.flee + terms.avoid);
    }
    terms.velocity = Quellon::Min(steered, read.maxSpeed);
    terms.position = p + terms.velocity * stepTime;
    return terms;
}

void FinishBoid(const FlockData& read, FlockData& write, std::uint32_t i, const NeighbourSums& sums,
                float stepTime) {
    const BoidTerms terms = SteerBoid(read, i, sums, stepTime);
    write.pathParameters[i] = terms.pathParameter;
    write.velocities[i] = terms.velocity;
    write.positions[i] = terms.position;
    if (write.neighbourCounts) {
        write.neighbourCounts[i] = {sums.separationCount, sums.groupCount};
    }
}

void FinishBoids(const FlockData& read, FlockData& write, const std::uint32_t* boids,
                 std::uint32_t count, const NeighbourSums* sums, float stepTime) {
    for (std::uint32_t b = 0; b < count; ++b) {
        FinishBoid(read, write, boids[b], sums[b], stepTime);
    }
}

}  // namespace Avidrift
