#include "Avidrift/Flock/FlockData.h"

#include <gtest/gtest.h>

namespace Avidrift {
namespace {

using Quellon::Vector3;

// Each boid starts on the knot, spread over one turn, heading one degree further along it.
TEST(FlockData, SpreadsBoidsOverOneTurn) {
    FlockData flock;
    flock.maxFlockSize = 1234;
    flock.separationWeight = 7;
    flock.SetFlockSize(4);
    const float pi = 3.1415927f;
    const Vector3 expected[4] = {{30, 0, 0}, {-20, 0, -10}, {10, 0, 0}, {-20, 0, 10}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(pi * static_cast<float>(i), flock.pathParameters[i]) << i;
        EXPECT_NEAR(0.0f, Quellon::Length(flock.positions[i] - expected[i]), 1e-4f) << i;
    }
    EXPECT_NEAR(0.0f, Quellon::Length(flock.velocities[0] - Vector3(-0.0080f, 0.5235f, 0.2618f)),
                1e-4f);
    // Resizing keeps the parameters; the defaults keep the renderer's limit.
    EXPECT_EQ(7.0f, flock.separationWeight);
    flock.ApplyDefaults();
    EXPECT_EQ(1234u, flock.maxFlockSize);
}

}  // namespace
}  // namespace Avidrift
