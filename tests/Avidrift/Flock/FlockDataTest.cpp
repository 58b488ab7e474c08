#include "Avidrift/Flock/FlockData.h"

#include <gtest/gtest.h>

namespace Avidrift {
namespace {

using Quellon::Vector3;

void ExpectNear(const Vector3& expected, const Vector3& actual, float tolerance) {
    EXPECT_NEAR(expected.x, actual.x, tolerance);
    EXPECT_NEAR(expected.y, actual.y, tolerance);
    EXPECT_NEAR(expected.z, actual.z, tolerance);
}

// Each boid starts on the knot, heading one degree further along it.
TEST(FlockData, SpreadsBoidsOverOneTurn) {
    FlockData flock;
    flock.SetFlockSize(1);
    ExpectNear({30, 0, 0}, flock.positions[0], 0);
    ExpectNear({-0.0080f, 0.5235f, 0.2618f}, flock.velocities[0], 1e-4f);
    flock.SetFlockSize(4);
    const float pi = 3.1415927f;
    const float expectedT[4] = {0, pi, 2 * pi, 3 * pi};
    const Vector3 expectedP[4] = {{30, 0, 0}, {-20, 0, -10}, {10, 0, 0}, {-20, 0, 10}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(expectedT[i], flock.pathParameters[i]) << i;
        ExpectNear(expectedP[i], flock.positions[i], 1e-4f);
    }
}

TEST(FlockData, ZeroBoidsGiveAnEmptyFlock) {
    FlockData flock;
    flock.SetFlockSize(3);
    flock.SetFlockSize(0);
    EXPECT_EQ(0u, flock.boidCount);
    const FlockData copy = flock;
    EXPECT_EQ(0u, copy.boidCount);
}

// The renderer's limit outlives both; the default values themselves show in the worked step of
// the default flock.
TEST(FlockData, ResizingKeepsParametersAndDefaultsKeepMaxFlockSize) {
    FlockData flock;
    flock.maxFlockSize = 1234;
    flock.separationWeight = 7;
    flock.SetFlockSize(50);
    EXPECT_EQ(7.0f, flock.separationWeight);
    flock.ApplyDefaults();
    EXPECT_EQ(1234u, flock.maxFlockSize);
    EXPECT_EQ(1u, flock.boidCount);
}

TEST(FlockData, CopiesNeverShareArrays) {
    FlockData a;
    a.ApplyDefaults();
    a.maxFlockSize = 99;
    a.SetFlockSize(5);
    FlockData b(a);
    EXPECT_NE(a.positions.get(), b.positions.get());
    EXPECT_EQ(99u, b.maxFlockSize);
    b.positions[0].x = 1000;
    EXPECT_NE(1000.0f, a.positions[0].x);

    // Assignment between equal sizes overwrites in place, between different sizes reallocates;
    // either way the records stay separate and equal in content.
    FlockData c;
    c.SetFlockSize(5);
    c = b;
    EXPECT_EQ(1000.0f, c.positions[0].x);
    EXPECT_NE(c.positions.get(), b.positions.get());
    FlockData d;
    d.SetFlockSize(2);
    d = b;
    EXPECT_EQ(5u, d.boidCount);
    EXPECT_EQ(b.velocities[4].y, d.velocities[4].y);
    EXPECT_EQ(b.groupDistance, d.groupDistance);
}

}  // namespace
}  // namespace Avidrift
