#include "Avidrift/Flock/TrefoilKnot.h"

#include <gtest/gtest.h>

#include <cmath>

namespace Avidrift {
namespace {

constexpr float kPi = 3.1415927f;

TEST(TrefoilKnot, PointsAtHalfAndFullTurns) {
    const Quellon::Vector3 start = TrefoilKnotPoint(0);
    EXPECT_EQ(30.0f, start.x);
    EXPECT_EQ(0.0f, start.y);
    EXPECT_EQ(0.0f, start.z);

    const Quellon::Vector3 half = TrefoilKnotPoint(kPi);
    EXPECT_NEAR(-20.0f, half.x, 1e-5f);
    EXPECT_LT(std::fabs(half.y), 2e-6f);
    EXPECT_NEAR(-10.0f, half.z, 1e-5f);

    const Quellon::Vector3 full = TrefoilKnotPoint(2 * kPi);
    EXPECT_NEAR(10.0f, full.x, 1e-5f);
    EXPECT_LT(std::fabs(full.y), 2e-6f);
    EXPECT_LT(std::fabs(full.z), 2e-6f);
}

TEST(TrefoilKnot, StaysOnTheKnotForLargeParameters) {
    // The parameter is never wrapped; far out it still yields points of the same curve.
    for (const float t : {100.0f, 12345.678f, 1e6f}) {
        const Quellon::Vector3 p = TrefoilKnotPoint(t);
        const float radius = std::sqrt(p.x * p.x + p.y * p.y);
        EXPECT_GE(radius, 10.0f - 1e-3f) << t;
        EXPECT_LE(radius, 30.0f + 1e-3f) << t;
        EXPECT_LE(std::fabs(p.z), 10.0f + 1e-4f) << t;
        // 10 (2 + cos u) = radius and 10 sin u = z put the point on the tube's centre line.
        const float c = radius / 10 - 2;
        EXPECT_NEAR(1.0f, c * c + (p.z / 10) * (p.z / 10), 1e-3f) << t;
    }
}

}  // namespace
}  // namespace Avidrift
