#include "Avidrift/Flock/WorldSteering.h"

#include <cmath>
#include <limits>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/TrefoilKnot.h"

namespace Avidrift {

using Quellon::Vector3;

bool HasWorld(const FlockData& read) {
    return !read.predators.empty() || !read.obstacles.empty();
}

Vector3 WorldSteering(const FlockData& read, const Vector3& p) {
    const WorldTerms terms = WorldTermsAt(read, p);
    return terms.flee + terms.avoid;
}

WorldTerms WorldTermsAt(const FlockData& read, const Vector3& p) {
    Vector3 flee;
    for (const Predator& predator : read.predators) {
        const Vector3 d = p - predator.position;
        const float distance = Quellon::Length(d);
        // At the predator's own place there is no direction to flee along.
        if (distance < read.fleeDistance && distance != 0.0f) {
            const float strength = 1.0f - distance / read.fleeDistance;
            flee = flee + Quellon::Scale(d.Normalized(), read.maxSpeed) * strength;
        }
    }
    Vector3 avoid;
    if (read.avoidDistance > 0.0f) {
        for (const Obstacle& obstacle : read.obstacles) {
            const Vector3 d = p - obstacle.centre;
            const float surface = Quellon::Length(d) - obstacle.radius;
            if (surface < read.avoidDistance) {
                const float strength = 1.0f - surface / read.avoidDistance;
                avoid = avoid + Quellon::Scale(d.Normalized(), read.maxSpeed) * strength;
            }
        }
    }
    return {flee * read.fleeWeight, avoid * read.avoidWeight};
}

std::uint32_t NearestBoid(const FlockData& read, const Vector3& point) {
    std::uint32_t nearest = read.boidCount;
    double best = std::numeric_limits<double>::infinity();
    for (std::uint32_t i = 0; i < read.boidCount; ++i) {
        const Vector3 d = read.positions[i] - point;
        const double squared = static_cast<double>(d.x) * d.x + static_cast<double>(d.y) * d.y +
                               static_cast<double>(d.z) * d.z;
        // Strictly closer: the lowest index keeps a tie, and NaN never wins.
        if (squared < best) {
            best = squared;
            nearest = i;
        }
    }
    return nearest;
}

std::vector<Predator> AutonomousPredators(std::uint32_t count) {
    std::vector<Predator> predators;
    constexpr double kTurn = 4.0 * 3.14159265358979323846;
    for (std::uint32_t k = 0; k < count; ++k) {
        const double t = kTurn * (k + 0.5) / count;
        predators.push_back({TrefoilKnotPoint(static_cast<float>(t)), true});
    }
    return predators;
}

void MovePredators(const FlockData& read, FlockData& write, float stepTime) {
    if (write.predators.size() != read.predators.size()) {
        return;
    }
    for (std::size_t k = 0; k < read.predators.size(); ++k) {
        const Predator& predator = read.predators[k];
        if (!predator.autonomous || !write.predators[k].autonomous) {
            continue;
        }
        const std::uint32_t prey = NearestBoid(read, predator.position);
        Vector3 position = predator.position;
        if (prey < read.boidCount) {
            const Vector3 towards = read.positions[prey] - position;
            const float reach = read.predatorSpeed * stepTime;
            position = Quellon::Length(towards) <= reach ? read.positions[prey]
                                                         : position + towards.Normalized() * reach;
        }
        write.predators[k].position = position;
    }
}

}  // namespace Avidrift
