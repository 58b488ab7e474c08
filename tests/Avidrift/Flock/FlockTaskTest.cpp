#include "Avidrift/Flock/FlockTask.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

void ExpectNear(const Vector3& expected, const Vector3& actual, float tolerance) {
    EXPECT_NEAR(0.0f, Quellon::Length(expected - actual), tolerance)
        << actual.x << ", " << actual.y << ", " << actual.z;
}

// The default parameters, the given boids and weights (separation, cohesion, alignment, path).
FlockData MakeFlock(const std::vector<std::pair<Vector3, Vector3>>& boids,
                    std::array<float, 4> weights = {2.5f, 0.1f, 0.1f, 0.1f}) {
    FlockData flock;
    flock.ApplyDefaults();
    flock.SetFlockSize(static_cast<std::uint32_t>(boids.size()));
    for (std::size_t i = 0; i < boids.size(); ++i) {
        flock.positions[i] = boids[i].first;
        flock.velocities[i] = boids[i].second;
    }
    flock.separationWeight = weights[0];
    flock.cohesionWeight = weights[1];
    flock.alignmentWeight = weights[2];
    flock.trefoilKnotPathWeight = weights[3];
    return flock;
}

FlockData Step(const FlockData& read, float dt) {
    FlockData write = read;
    FlockTask(&read, &write, 0, read.boidCount, dt).Run();
    return write;
}

// The angle increment times the step time plus the parameter, rounded once to float: 0.1 * 0.1 +
// 0.02 gives 0.0299999993, where rounding the product to float first gives 0.0300000012.
TEST(FlockTask, PathParameterAdvancesWithOneRounding) {
    FlockData read = MakeFlock({{{0, 0, 0}, {0, 0, 0}}});
    read.pathParameters[0] = 0.02f;
    EXPECT_EQ(0.0299999993f, Step(read, 0.1f).pathParameters[0]);
}

// One weight at a time, so that no two can stand in for each other: the first boid's velocity
// after the step, with a neighbour at x (none if NaN) moving at (0, 0, 1); it moves by that.
TEST(FlockTask, EachForceAlone) {
    const struct {
        std::array<float, 4> weights;  // separation, cohesion, alignment, path
        float separationDistance, groupDistance, x;
        Vector3 position, velocity, expected;
    } cases[] = {
        // clang-format off
        // Cohesion towards the centre of a boid without neighbours (the origin) is -v.
        {{0, 1, 0, 0}, 0.5f, 3, kNan, {0, 0, 0}, {1, 2, 3}, {0, 0, 0}},
        // The neighbour counts for the group exactly when in [separation, group) away.
        {{0, 0, 1, 0}, 0.5f, 3, 0.4f, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        {{0, 0, 1, 0}, 0.5f, 3, 0.5f, {0, 0, 0}, {0, 0, 0}, {0, 0, 1}},
        {{0, 0, 1, 0}, 0.5f, 3, 2.9f, {0, 0, 0}, {0, 0, 0}, {0, 0, 1}},
        {{0, 0, 1, 0}, 0.5f, 3, 3, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        // Separation beyond group: nobody counts for the group; cohesion hits the speed bound.
        {{0, 1, 0, 0}, 0.5f, 0.4f, 10.45f, {10, 0, 0}, {0, 0, 0}, {-5, 0, 0}},
        {{1, 0, 0, 0}, 0.5f, 3, 0.25f, {0, 0, 0}, {0, 0, 0}, {-4, 0, 0}},
        // Coincident boids ignore each other.
        {{1, 0, 0, 0}, 0.5f, 3, 0, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        // Towards the knot's point at the advanced parameter, at full speed.
        {{0, 0, 0, 1}, 0.5f, 3, kNan, {0, 0, 0}, {0, 0, 0}, {4.9997f, 0.05f, 0.025f}},
        // The speed bound limits from above only.
        {{0, 0, 0, 0}, 0.5f, 3, kNan, {0, 0, 0}, {-9, 9, 0}, {-9, 5, 0}},
        // clang-format on
    };
    for (const auto& c : cases) {
        std::vector<std::pair<Vector3, Vector3>> boids{{c.position, c.velocity}};
        if (!std::isnan(c.x)) {
            boids.push_back({{c.x, 0, 0}, {0, 0, 1}});
        }
        FlockData read = MakeFlock(boids, c.weights);
        read.separationDistance = c.separationDistance;
        read.groupDistance = c.groupDistance;
        const FlockData written = Step(read, 0.1f);
        ExpectNear(c.expected, written.velocities[0], 1e-4f);
        ExpectNear(c.position + c.expected * 0.1f, written.positions[0], 1e-4f);
    }
}

}  // namespace
}  // namespace Avidrift
