#pragma once

#include <cstdint>
#include <vector>

#include "Avidrift/Flock/BoidSteering.h"
#include "Quellon/Vector3.h"

namespace Avidrift {

struct FlockData;

// One boid as the next step sees it: where it is, which neighbours it counts and every term the
// rule adds for it. Computed by the step's own functions for that boid alone, so what an
// inspector shows is what the step does, bit for bit, whichever search and instruction set run.
struct BoidInspection {
    std::uint32_t boid = 0;
    Quellon::Vector3 position;
    Quellon::Vector3 velocity;
    // Ascending indices, as the step adds them.
    std::vector<std::uint32_t> separationNeighbours;
    std::vector<std::uint32_t> groupNeighbours;
    BoidTerms terms;
};

// Boid i of read (which must hold it) steered by a step of stepTime. One pass over the flock.
BoidInspection InspectBoid(const FlockData& read, std::uint32_t i, float stepTime);

}  // namespace Avidrift
