#include "Avidrift/Flock/FlockTask.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

void ExpectNear(const Vector3& expected, const Vector3& actual, float tolerance = 1e-4f) {
    EXPECT_NEAR(expected.x, actual.x, tolerance);
    EXPECT_NEAR(expected.y, actual.y, tolerance);
    EXPECT_NEAR(expected.z, actual.z, tolerance);
}

// A flock with the default parameters and the given boids, all path parameters 0.
FlockData MakeFlock(const std::vector<std::pair<Vector3, Vector3>>& boids) {
    FlockData flock;
    flock.ApplyDefaults();
    flock.SetFlockSize(static_cast<std::uint32_t>(boids.size()));
    for (std::size_t i = 0; i < boids.size(); ++i) {
        flock.positions[i] = boids[i].first;
        flock.velocities[i] = boids[i].second;
        flock.pathParameters[i] = 0;
    }
    return flock;
}

FlockData Step(const FlockData& read, float dt) {
    FlockData write = read;
    FlockTask(&read, &write, 0, read.boidCount, dt).Run();
    return write;
}

TEST(FlockTask, WorkedStepOfThreeBoids) {
    const FlockData read =
        MakeFlock({{{0, 0, 0}, {0, 0, 0}}, {{0.3f, 0, 0}, {1, 0, 0}}, {{2, 0, 0}, {0, 1, 0}}});
    const FlockData w = Step(read, 0.1f);
    ExpectNear({-7.3334f, 0.1050f, 0.0025f}, w.velocities[0]);
    ExpectNear({-0.7333f, 0.0105f, 0.0002f}, w.positions[0]);
    ExpectNear({5, 0.1051f, 0.0025f}, w.velocities[1]);
    ExpectNear({0.8f, 0.0105f, 0.0003f}, w.positions[1]);
    ExpectNear({0.0500f, 0.7054f, 0.0027f}, w.velocities[2]);
    ExpectNear({2.0050f, 0.0705f, 0.0003f}, w.positions[2]);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_FLOAT_EQ(0.01f, w.pathParameters[i]);
    }
}

TEST(FlockTask, WorkedStepOfTheDefaultFlock) {
    FlockData read;
    read.ApplyDefaults();
    const FlockData w = Step(read, 0.1f);
    ExpectNear({-0.5103f, 0.8660f, 0.4330f}, w.velocities[0]);
    ExpectNear({29.9490f, 0.0866f, 0.0433f}, w.positions[0]);
}

TEST(FlockTask, EmptySlicesAndEmptyFlocksDoNothing) {
    FlockData read = MakeFlock({{{1, 2, 3}, {0, 0, 0}}});
    FlockData write = read;
    write.positions[0] = {7, 7, 7};
    FlockTask(&read, &write, 1, 1, 0.1f).Run();
    FlockTask(&read, &write, 1, 0, 0.1f).Run();
    EXPECT_TRUE(write.positions[0] == Vector3(7, 7, 7));

    FlockData empty;
    empty.ApplyDefaults();
    empty.SetFlockSize(0);
    FlockData emptyWrite = empty;
    FlockTask(&empty, &emptyWrite, 0, 0, 0.1f).Run();
}

TEST(FlockTask, LoneBoidAtOriginGetsCohesionMinusVelocity) {
    FlockData read = MakeFlock({{{0, 0, 0}, {1, 2, 3}}});
    read.separationWeight = read.alignmentWeight = read.trefoilKnotPathWeight = 0;
    read.cohesionWeight = 1;
    const FlockData w = Step(read, 0.1f);
    // Cohesion is -v: the velocity cancels out exactly.
    ExpectNear({0, 0, 0}, w.velocities[0], 0);
}

TEST(FlockTask, CoincidentBoidsIgnoreEachOther) {
    FlockData read = MakeFlock({{{1, 1, 1}, {0, 0, 0}}, {{1, 1, 1}, {0, 0, 0}}});
    FlockData alone = MakeFlock({{{1, 1, 1}, {0, 0, 0}}});
    const FlockData pair = Step(read, 0.1f);
    const FlockData single = Step(alone, 0.1f);
    EXPECT_TRUE(pair.velocities[0] == single.velocities[0]);
    EXPECT_TRUE(pair.velocities[1] == single.velocities[0]);
}

// Separation and group thresholds are strict: with only the alignment weight on, the neighbour
// shows up in the velocity exactly when it counts for the group.
TEST(FlockTask, DistanceThresholdsAreStrict) {
    struct Case {
        float distance;
        bool countsForGroup;
    };
    const Case cases[] = {{0.4f, false}, {0.5f, true}, {2.9f, true}, {3.0f, false}};
    for (const Case& c : cases) {
        FlockData read = MakeFlock({{{0, 0, 0}, {0, 0, 0}}, {{c.distance, 0, 0}, {0, 0, 1}}});
        read.separationWeight = read.cohesionWeight = read.trefoilKnotPathWeight = 0;
        read.alignmentWeight = 1;
        const FlockData w = Step(read, 0.1f);
        EXPECT_EQ(c.countsForGroup ? 1.0f : 0.0f, w.velocities[0].z) << c.distance;
    }
}

TEST(FlockTask, WithSeparationBeyondGroupNoBoidCountsForTheGroup) {
    FlockData read = MakeFlock({{{10, 0, 0}, {0, 0, 0}}, {{10.45f, 0, 0}, {0, 0, 0}}});
    read.separationDistance = 0.5f;
    read.groupDistance = 0.4f;
    read.separationWeight = read.alignmentWeight = read.trefoilKnotPathWeight = 0;
    read.cohesionWeight = 1;
    const FlockData w = Step(read, 0.1f);
    // Cohesion points at the origin, scaled by the speed bound.
    ExpectNear({-5, 0, 0}, w.velocities[0], 1e-6f);
    ExpectNear({-5, 0, 0}, w.velocities[1], 1e-6f);
}

TEST(FlockTask, WithoutForcesVelocityIsBoundedFromAboveOnlyAndThePathMovesOn) {
    FlockData read = MakeFlock({{{0, 0, 0}, {-9, 9, 0}}});
    read.separationWeight = read.cohesionWeight = read.alignmentWeight = 0;
    read.trefoilKnotPathWeight = 0;
    read.pathParameters[0] = 2;
    const FlockData w = Step(read, 0.5f);
    ExpectNear({-9, 5, 0}, w.velocities[0], 0);
    ExpectNear({-4.5f, 2.5f, 0}, w.positions[0], 0);
    EXPECT_FLOAT_EQ(2.05f, w.pathParameters[0]);
}

TEST(FlockTask, CancelledTaskStopsBeforeItsSlice) {
    FlockData read;
    read.ApplyDefaults();
    read.SetFlockSize(10);
    FlockData write = read;
    write.positions[0] = {-1, -1, -1};
    const std::atomic<bool> cancel{true};
    FlockTask(&read, &write, 0, 10, 0.1f, &cancel).Run();
    EXPECT_TRUE(write.positions[0] == Vector3(-1, -1, -1));
}

}  // namespace
}  // namespace Avidrift
