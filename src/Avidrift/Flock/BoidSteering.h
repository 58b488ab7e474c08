#pragma once

#include <cstdint>

#include "Avidrift/Flock/FlockData.h"
#include "Quellon/Vector3.h"

namespace Avidrift {

// The steering rule of one boid. Every neighbour search, scalar or vectorised, must reproduce
// these functions bit for bit, so they live apart from any task or kernel.

// What boid i's neighbours add up to: the sums before they are averaged, and how many
// neighbours counted for separation and for the group.
struct NeighbourSums {
    Quellon::Vector3 separation;
    Quellon::Vector3 centre;
    Quellon::Vector3 alignment;
    std::uint32_t separationCount = 0;
    std::uint32_t groupCount = 0;
};

// Whether another boid counts for separation or for the group.
enum class NeighbourKind { Separation, Group };

// Scans every other boid in ascending index order: the reference that every faster search
// must reproduce bit for bit. visit(j, kind) hears of each neighbour j as it is added, so an
// inspector lists exactly the neighbours the step counts.
template <typename Visit>
NeighbourSums AccumulateNeighbours(const FlockData& read, std::uint32_t i, Visit&& visit);
inline NeighbourSums AccumulateNeighbours(const FlockData& read, std::uint32_t i) {
    return AccumulateNeighbours(read, i, [](std::uint32_t, NeighbourKind) {});
}

// What the rule adds up for one boid, each term weighted as it is added, and what comes of it.
struct BoidTerms {
    Quellon::Vector3 separation;
    Quellon::Vector3 cohesion;
    Quellon::Vector3 alignment;
    Quellon::Vector3 path;
    // Zero without predators or obstacles; then they are not added at all.
    Quellon::Vector3 flee;
    Quellon::Vector3 avoid;
    // The point of the knot the boid steers to, at its new path parameter.
    Quellon::Vector3 target;
    float pathParameter = 0.0f;
    // The new velocity (after the speed limit) and position.
    Quellon::Vector3 velocity;
    Quellon::Vector3 position;
};

// The rule's terms for boid i of read with its neighbour sums; FinishBoid stores what this
// returns, so whatever shows the terms shows what the step did.
BoidTerms SteerBoid(const FlockData& read, std::uint32_t i, const NeighbourSums& sums,
                    float stepTime);

// Turns boid i's neighbour sums into its new velocity, position and path parameter in write.
void FinishBoid(const FlockData& read, FlockData& write, std::uint32_t i, const NeighbourSums& sums,
                float stepTime);

// FinishBoid for each of boids[0..count) with sums[0..count); the same results whichever runs.
using FinishFunction = void (*)(const FlockData& read, FlockData& write, const std::uint32_t* boids,
                                std::uint32_t count, const NeighbourSums* sums, float stepTime);
void FinishBoids(const FlockData& read, FlockData& write, const std::uint32_t* boids,
                 std::uint32_t count, const NeighbourSums* sums, float stepTime);
void FinishBoidsAvx2(const FlockData& read, FlockData& write, const std::uint32_t* boids,
                     std::uint32_t count, const NeighbourSums* sums, float stepTime);
void FinishBoidsAvx512(const FlockData& read, FlockData& write, const std::uint32_t* boids,
                       std::uint32_t count, const NeighbourSums* sums, float stepTime);
// What the vector finishes take the knot's points from: Quellon::Sin and Quellon::Cos of each of
// angles[0..count), bit for bit, a vector at a time.
void SinesAndCosinesAvx2(const float* angles, std::uint32_t count, float* sines, float* cosines);
void SinesAndCosinesAvx512(const float* angles, std::uint32_t count, float* sines, float* cosines);

// Steers boid i from the state in read and stores its new velocity, position and path
// parameter in write.
inline void StepBoid(const FlockData& read, FlockData& write, std::uint32_t i, float stepTime) {
    FinishBoid(read, write, i, AccumulateNeighbours(read, i), stepTime);
}

template <typename Visit>
NeighbourSums AccumulateNeighbours(const FlockData& read, std::uint32_t i, Visit&& visit) {
    const std::uint32_t n = read.boidCount;
    const Quellon::Vector3* positions = read.positions.get();
    const Quellon::Vector3* velocities = read.velocities.get();
    const Quellon::Vector3 p = positions[i];
    const Quellon::Vector3 v = velocities[i];
    NeighbourSums sums;
    for (std::uint32_t j = 0; j < n; ++j) {
        if (j == i) {
            continue;
        }
        const Quellon::Vector3 d = p - positions[j];
        const float distance = Quellon::Length(d);
        if (distance < read.separationDistance) {
            // Two boids at one place have no direction to repel along; they ignore each other.
            if (distance != 0.0f) {
                sums.separation = sums.separation + d.Normalized() * (1.0f / distance);
                ++sums.separationCount;
                visit(j, NeighbourKind::Separation);
            }
        } else if (distance < read.groupDistance) {
            sums.alignment = sums.alignment + (velocities[j] - v);
            sums.centre = sums.centre + positions[j];
            ++sums.groupCount;
            visit(j, NeighbourKind::Group);
        }
    }
    return sums;
}

}  // namespace Avidrift
