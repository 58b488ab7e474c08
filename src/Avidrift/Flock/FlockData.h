#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Avidrift/Flock/WorldSteering.h"
#include "Quellon/Vector3.h"

namespace Avidrift {

// How many neighbours a boid counted in the step that placed it.
struct NeighbourCount {
    std::uint32_t separation = 0;
    std::uint32_t group = 0;

    bool operator==(const NeighbourCount&) const = default;
};

// The whole flock: steering parameters, the boid count and one array per boid attribute.
// Copies are deep, so two records never share storage; the double-buffered step and the scene
// exchange depend on that.
struct FlockData {
    std::uint32_t maxFlockSize = 0;
    float angleIncrement = 0.0f;
    float separationWeight = 0.0f;
    float cohesionWeight = 0.0f;
    float alignmentWeight = 0.0f;
    float trefoilKnotPathWeight = 0.0f;
    Quellon::Vector3 maxSpeed;
    float separationDistance = 0.0f;
    float groupDistance = 0.0f;
    // The world the flock flies in: what it flees and what it keeps out of, with their
    // parameters. Staged and published with the parameters above.
    float fleeDistance = 0.0f;
    float fleeWeight = 0.0f;
    float predatorSpeed = 0.0f;
    float avoidDistance = 0.0f;
    float avoidWeight = 0.0f;
    std::vector<Obstacle> obstacles;
    std::vector<Predator> predators;
    std::uint32_t boidCount = 0;
    std::shared_ptr<Quellon::Vector3[]> positions;
    std::shared_ptr<Quellon::Vector3[]> velocities;
    std::shared_ptr<float[]> pathParameters;
    // Only while something shows them (null otherwise, and the step then writes none): what each
    // boid counted in the step that wrote this record; zeros before its first step.
    std::shared_ptr<NeighbourCount[]> neighbourCounts;

    FlockData() = default;
    FlockData(const FlockData& other);
    FlockData& operator=(const FlockData& other);
    FlockData(FlockData&&) noexcept = default;
    FlockData& operator=(FlockData&&) noexcept = default;

    // Re-places n boids evenly along one turn of the knot, discarding the previous boids. The
    // parameters are kept. Strong guarantee: when the arrays cannot be allocated, the flock is
    // unchanged and std::bad_alloc leaves.
    void SetFlockSize(std::uint32_t n);

    // Makes or drops the neighbour counts; made, they are zeros until a step writes them.
    void KeepNeighbourCounts(bool keep);

    // One boid and the default parameters; maxFlockSize is kept.
    void ApplyDefaults();

    // Copies the parameters and the world only (not maxFlockSize, the count or the arrays).
    void CopyParametersFrom(const FlockData& other);
};

}  // namespace Avidrift
