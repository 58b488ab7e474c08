#include "Avidrift/Flock/FlockTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

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
        flock.pathParameters[i] = 0;
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

TEST(FlockTask, WorkedStepOfThreeBoids) {
    const FlockData w =
        Step(MakeFlock({{{0, 0, 0}, {0, 0, 0}}, {{0.3f, 0, 0}, {1, 0, 0}}, {{2, 0, 0}, {0, 1, 0}}}),
             0.1f);
    ExpectNear({-7.3334f, 0.1050f, 0.0025f}, w.velocities[0], 2e-4f);
    ExpectNear({-0.7333f, 0.0105f, 0.0002f}, w.positions[0], 2e-4f);
    ExpectNear({5, 0.1051f, 0.0025f}, w.velocities[1], 2e-4f);
    ExpectNear({0.0500f, 0.7054f, 0.0027f}, w.velocities[2], 2e-4f);
    ExpectNear({2.0050f, 0.0705f, 0.0003f}, w.positions[2], 2e-4f);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_FLOAT_EQ(0.01f, w.pathParameters[i]);
    }
}

// The angle increment times the step time plus the parameter, rounded once to float: 0.1 * 0.1 +
// 0.02 gives 0.0299999993, where rounding the product to float first gives 0.0300000012.
TEST(FlockTask, PathParameterAdvancesWithOneRounding) {
    FlockData read = MakeFlock({{{0, 0, 0}, {0, 0, 0}}});
    read.pathParameters[0] = 0.02f;
    EXPECT_EQ(0.0299999993f, Step(read, 0.1f).pathParameters[0]);
}

// One force at a time, each weight on its own, so that no two weights can stand in for each
// other: the first boid's velocity after the step.
TEST(FlockTask, EachForceAlone) {
    const struct {
        const char* name;
        std::vector<std::pair<Vector3, Vector3>> boids;
        std::array<float, 4> weights;
        float separationDistance;
        float groupDistance;
        Vector3 velocity;
    } cases[] = {
        // Cohesion towards the origin, the centre of a boid without neighbours, is -v.
        {"lone boid, cohesion", {{{0, 0, 0}, {1, 2, 3}}}, {0, 1, 0, 0}, 0.5f, 3, {0, 0, 0}},
        // The thresholds are strict: the neighbour counts for the group exactly when it is at
        // least the separation distance and less than the group distance away.
        {"alignment at 0.4",
         {{{0, 0, 0}, {0, 0, 0}}, {{0.4f, 0, 0}, {0, 0, 1}}},
         {0, 0, 1, 0},
         0.5f,
         3,
         {0, 0, 0}},
        {"alignment at 0.5",
         {{{0, 0, 0}, {0, 0, 0}}, {{0.5f, 0, 0}, {0, 0, 1}}},
         {0, 0, 1, 0},
         0.5f,
         3,
         {0, 0, 1}},
        {"alignment at 2.9",
         {{{0, 0, 0}, {0, 0, 0}}, {{2.9f, 0, 0}, {0, 0, 1}}},
         {0, 0, 1, 0},
         0.5f,
         3,
         {0, 0, 1}},
        {"alignment at 3",
         {{{0, 0, 0}, {0, 0, 0}}, {{3, 0, 0}, {0, 0, 1}}},
         {0, 0, 1, 0},
         0.5f,
         3,
         {0, 0, 0}},
        // With separation beyond group no boid counts for the group; cohesion is scaled by the
        // speed bound.
        {"separation beyond group",
         {{{10, 0, 0}, {0, 0, 0}}, {{10.45f, 0, 0}, {0, 0, 0}}},
         {0, 1, 0, 0},
         0.5f,
         0.4f,
         {-5, 0, 0}},
        {"separation",
         {{{0, 0, 0}, {0, 0, 0}}, {{0.25f, 0, 0}, {0, 0, 0}}},
         {1, 0, 0, 0},
         0.5f,
         3,
         {-4, 0, 0}},
        // The speed bound limits from above only.
        {"no force", {{{0, 0, 0}, {-9, 9, 0}}}, {0, 0, 0, 0}, 0.5f, 3, {-9, 5, 0}},
    };
    for (const auto& c : cases) {
        FlockData read = MakeFlock(c.boids, c.weights);
        read.separationDistance = c.separationDistance;
        read.groupDistance = c.groupDistance;
        ExpectNear(c.velocity, Step(read, 0.1f).velocities[0], 1e-4f);
    }
}

TEST(FlockTask, CoincidentBoidsIgnoreEachOther) {
    const FlockData pair = Step(MakeFlock({{{1, 1, 1}, {0, 0, 0}}, {{1, 1, 1}, {0, 0, 0}}}), 0.1f);
    const FlockData single = Step(MakeFlock({{{1, 1, 1}, {0, 0, 0}}}), 0.1f);
    EXPECT_TRUE(pair.velocities[0] == single.velocities[0]);
    EXPECT_TRUE(pair.velocities[1] == single.velocities[0]);
}

// Empty slices, a cancelled task and an empty flock write nothing.
TEST(FlockTask, EmptySlicesAndCancelledTasksDoNothing) {
    FlockData read = MakeFlock({{{1, 2, 3}, {0, 0, 0}}});
    FlockData write = read;
    write.positions[0] = {7, 7, 7};
    const std::atomic<bool> cancel{true};
    FlockTask(&read, &write, 1, 1, 0.1f).Run();
    FlockTask(&read, &write, 1, 0, 0.1f).Run();
    FlockTask(&read, &write, 0, 1, 0.1f, &cancel).Run();
    EXPECT_TRUE(write.positions[0] == Vector3(7, 7, 7));
    FlockData empty = MakeFlock({});
    FlockTask(&empty, &empty, 0, 0, 0.1f).Run();
}

}  // namespace
}  // namespace Avidrift
