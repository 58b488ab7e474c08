#pragma once

#include <cstdint>

#include "Quellon/Vector3.h"

namespace Avidrift {

struct FlockData;

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

// Scans every other boid in ascending index order: the reference that every faster search
// must reproduce bit for bit.
NeighbourSums AccumulateNeighbours(const FlockData& read, std::uint32_t i);

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

}  // namespace Avidrift
