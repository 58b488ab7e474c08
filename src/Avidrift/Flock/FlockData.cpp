#include "Avidrift/Flock/FlockData.h"

#include <algorithm>

#include "Avidrift/Flock/TrefoilKnot.h"

namespace Avidrift {

using Quellon::Vector3;

namespace {

// pi and one degree as the single-precision pi gives them, so placements are reproducible.
constexpr double kPi = 3.1415927410125732;
constexpr double kOneDegree = 0.017453293005625408;

template <typename T>
std::shared_ptr<T[]> CopyArray(const std::shared_ptr<T[]>& source, std::uint32_t count) {
    if (count == 0) {
        return {};
    }
    std::shared_ptr<T[]> copy(new T[count]);
    std::copy(source.get(), source.get() + count, copy.get());
    return copy;
}

// Unlike the other arrays, the counts' presence means something even without boids: they are
// kept, and a flock placed later keeps them too.
std::shared_ptr<NeighbourCount[]> CopyCounts(const std::shared_ptr<NeighbourCount[]>& source,
                                             std::uint32_t count) {
    if (!source) {
        return {};
    }
    std::shared_ptr<NeighbourCount[]> copy(new NeighbourCount[count]);
    std::copy(source.get(), source.get() + count, copy.get());
    return copy;
}

}  // namespace

FlockData::FlockData(const FlockData& other)
    : maxFlockSize(other.maxFlockSize),
      angleIncrement(other.angleIncrement),
      separationWeight(other.separationWeight),
      cohesionWeight(other.cohesionWeight),
      alignmentWeight(other.alignmentWeight),
      trefoilKnotPathWeight(other.trefoilKnotPathWeight),
      maxSpeed(other.maxSpeed),
      separationDistance(other.separationDistance),
      groupDistance(other.groupDistance),
      fleeDistance(other.fleeDistance),
      fleeWeight(other.fleeWeight),
      predatorSpeed(other.predatorSpeed),
      avoidDistance(other.avoidDistance),
      avoidWeight(other.avoidWeight),
      obstacles(other.obstacles),
      predators(other.predators),
      boidCount(other.boidCount),
      positions(CopyArray(other.positions, other.boidCount)),
      velocities(CopyArray(other.velocities, other.boidCount)),
      pathParameters(CopyArray(other.pathParameters, other.boidCount)),
      neighbourCounts(CopyCounts(other.neighbourCounts, other.boidCount)) {}

FlockData& FlockData::operator=(const FlockData& other) {
    if (this == &other) {
        return *this;
    }
    const std::uint32_t n = other.boidCount;
    if (n == boidCount && n > 0 && positions && velocities && pathParameters) {
        // Same size: copy into the arrays we own instead of reallocating every publish. The
        // arrays are never shared between records, so nobody else can see the overwrite.
        std::copy(other.positions.get(), other.positions.get() + n, positions.get());
        std::copy(other.velocities.get(), other.velocities.get() + n, velocities.get());
        std::copy(other.pathParameters.get(), other.pathParameters.get() + n, pathParameters.get());
        if (!other.neighbourCounts) {
            neighbourCounts.reset();
        } else if (neighbourCounts) {
            std::copy(other.neighbourCounts.get(), other.neighbourCounts.get() + n,
                      neighbourCounts.get());
        } else {
            neighbourCounts = CopyCounts(other.neighbourCounts, n);
        }
    } else {
        FlockData copy(other);
        positions = std::move(copy.positions);
        velocities = std::move(copy.velocities);
        pathParameters = std::move(copy.pathParameters);
        neighbourCounts = std::move(copy.neighbourCounts);
    }
    maxFlockSize = other.maxFlockSize;
    boidCount = n;
    CopyParametersFrom(other);
    return *this;
}

void FlockData::CopyParametersFrom(const FlockData& other) {
    angleIncrement = other.angleIncrement;
    separationWeight = other.separationWeight;
    cohesionWeight = other.cohesionWeight;
    alignmentWeight = other.alignmentWeight;
    trefoilKnotPathWeight = other.trefoilKnotPathWeight;
    maxSpeed = other.maxSpeed;
    separationDistance = other.separationDistance;
    groupDistance = other.groupDistance;
    fleeDistance = other.fleeDistance;
    fleeWeight = other.fleeWeight;
    predatorSpeed = other.predatorSpeed;
    avoidDistance = other.avoidDistance;
    avoidWeight = other.avoidWeight;
    obstacles = other.obstacles;
    predators = other.predators;
}

void FlockData::SetFlockSize(std::uint32_t n) {
    std::shared_ptr<Vector3[]> newPositions;
    std::shared_ptr<Vector3[]> newVelocities;
    std::shared_ptr<float[]> newPathParameters;
    if (n > 0) {
        newPositions.reset(new Vector3[n]);
        newVelocities.reset(new Vector3[n]);
        newPathParameters.reset(new float[n]);
        // One full turn of the knot (4 pi) divided among the boids.
        const auto step = static_cast<float>(720.0 / static_cast<double>(n) * kPi / 180.0);
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto t = static_cast<float>(static_cast<double>(i) * step);
            newPathParameters[i] = t;
            newPositions[i] = TrefoilKnotPoint(t);
            const auto ahead = static_cast<float>(static_cast<double>(t) + kOneDegree);
            newVelocities[i] = TrefoilKnotPoint(ahead) - newPositions[i];
        }
    }
    std::shared_ptr<NeighbourCount[]> newCounts;
    if (neighbourCounts) {
        newCounts.reset(new NeighbourCount[n]());
    }
    positions = std::move(newPositions);
    velocities = std::move(newVelocities);
    pathParameters = std::move(newPathParameters);
    neighbourCounts = std::move(newCounts);
    boidCount = n;
}

void FlockData::KeepNeighbourCounts(bool keep) {
    if (!keep) {
        neighbourCounts.reset();
    } else if (!neighbourCounts) {
        neighbourCounts.reset(new NeighbourCount[boidCount]());
    }
}

void FlockData::ApplyDefaults() {
    SetFlockSize(1);
    maxSpeed = Vector3(5, 5, 5);
    separationDistance = 0.5f;
    groupDistance = 3.0f;
    separationWeight = 2.5f;
    cohesionWeight = 0.1f;
    alignmentWeight = 0.1f;
    trefoilKnotPathWeight = 0.1f;
    angleIncrement = 0.1f;
    // An empty world; its parameters wait for predators and obstacles.
    fleeDistance = 10.0f;
    fleeWeight = 1.0f;
    predatorSpeed = 6.0f;
    avoidDistance = 4.0f;
    avoidWeight = 2.0f;
    obstacles.clear();
    predators.clear();
}

}  // namespace Avidrift
