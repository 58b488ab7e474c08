// The steering rule's last part for AVX-512: sixteen boids side by side. Compiled for it through
// target attributes only; callers check the CPU first.

// GCC 12's own AVX-512 headers trip its uninitialised-value warning (the masked intrinsics'
// undefined pass-through operands); the warning says nothing about this file. The vector types'
// calling convention never crosses this file's own functions.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wpsabi"

#define AVIDRIFT_LANES 16
#define AVIDRIFT_LANES_TARGET __attribute__((target("avx512f")))

#include "Avidrift/Flock/BoidSteeringLanes.h"

namespace Avidrift {

void FinishBoidsAvx512(const FlockData& read, FlockData& write, const std::uint32_t* boids,
                       std::uint32_t count, const NeighbourSums* sums, float stepTime) {
    FinishInLanes(read, write, boids, count, sums, stepTime);
}

void SinesAndCosinesAvx512(const float* angles, std::uint32_t count, float* sines, float* cosines) {
    SinesAndCosinesInLanes(angles, count, sines, cosines);
}

}  // namespace Avidrift
