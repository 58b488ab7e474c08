#include "Avidrift/Flock/BoidInspection.h"

#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {

BoidInspection InspectBoid(const FlockData& read, std::uint32_t i, float stepTime) {
    BoidInspection inspection;
    inspection.boid = i;
    inspection.position = read.positions[i];
    inspection.velocity = read.velocities[i];
    const NeighbourSums sums =
        AccumulateNeighbours(read, i, [&](std::uint32_t j, NeighbourKind kind) {
            (kind == NeighbourKind::Separation ? inspection.separationNeighbours
                                               : inspection.groupNeighbours)
                .push_back(j);
        });
    inspection.terms = SteerBoid(read, i, sums, stepTime);
    return inspection;
}

}  // namespace Avidrift
