#pragma once

#include <cstdint>
#include <vector>

#include "Quellon/Vector3.h"

namespace Avidrift {

struct FlockData;

// A sphere the boids keep out of.
struct Obstacle {
    Quellon::Vector3 centre;
    float radius = 0.0f;

    bool operator==(const Obstacle&) const = default;
};

// A point the boids flee: placed by the user (its position changes only when the user moves it)
// or autonomous (each step it moves towards the boid nearest to it).
struct Predator {
    Quellon::Vector3 position;
    bool autonomous = false;

    bool operator==(const Predator&) const = default;
};

// A world holds at most this many of each: near-boid tests are plain loops over them.
constexpr std::uint32_t kMaxObstacles = 64;
constexpr std::uint32_t kMaxPredators = 64;

// Whether the flock's world adds anything to the step. Without predators and obstacles the step
// adds nothing at all, not even zeros, so it stays the rule without a world bit for bit.
bool HasWorld(const FlockData& read);

// What the world adds to the velocity of a boid at position (before the speed limit):
//   flee  = sum over predators q with 0 < |p - q| < fleeDistance of
//           unit(p - q) * maxSpeed * (1 - |p - q| / fleeDistance)
//   avoid = sum over obstacles (c, r) with s = |p - c| - r < avoidDistance of
//           unit(p - c) * maxSpeed * (1 - s / avoidDistance)
//   world = flee * fleeWeight + avoid * avoidWeight
// Predators and obstacles are taken in list order. The avoidance ramp keeps growing inside a
// sphere, so a boid that got in is pushed out the harder the deeper it is; avoidDistance 0 turns
// avoidance off. Every finish, scalar or in lanes, adds exactly this, so there is one formula.
Quellon::Vector3 WorldSteering(const FlockData& read, const Quellon::Vector3& position);

// The two terms of WorldSteering, each weighted: their sum is WorldSteering's, bit for bit.
struct WorldTerms {
    Quellon::Vector3 flee;
    Quellon::Vector3 avoid;
};
WorldTerms WorldTermsAt(const FlockData& read, const Quellon::Vector3& position);

// The boid nearest to point in read (squared distances of single-precision differences, summed
// in double; the lowest index on a tie), or read.boidCount when no boid has a finite distance.
std::uint32_t NearestBoid(const FlockData& read, const Quellon::Vector3& point);

// count autonomous predators spread evenly along one turn of the knot, where they start.
std::vector<Predator> AutonomousPredators(std::uint32_t count);

// Moves every autonomous predator of write by predatorSpeed * stepTime towards the boid nearest
// to it in read (onto that boid when it is closer than that). Only when write holds the same
// predators as read: a world rearranged since read was published is left as it was arranged.
void MovePredators(const FlockData& read, FlockData& write, float stepTime);

}  // namespace Avidrift
