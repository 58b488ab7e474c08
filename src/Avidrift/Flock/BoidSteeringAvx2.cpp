// The steering rule's last part for AVX2: eight boids side by side. Compiled for it through
// target attributes only; callers check the CPU first.

// The vector types' calling convention never crosses this file's own functions.
#pragma GCC diagnostic ignored "-Wpsabi"

#define AVIDRIFT_LANES 8
#define AVIDRIFT_LANES_TARGET __attribute__((target("avx2")))

#include "Avidrift/Flock/BoidSteeringLanes.h"

namespace Avidrift {

void FinishBoidsAvx2(const FlockData& read, FlockData& write, const std::uint32_t* boids,
                     std::uint32_t count, const NeighbourSums* sums, float stepTime) {
    FinishInLanes(read, write, boids, count, sums, stepTime);
}

void SinesAndCosinesAvx2(const float* angles, std::uint32_t count, float* sines, float* cosines) {
    SinesAndCosinesInLanes(angles, count, sines, cosines);
}

}  // namespace Avidrift
