#include "Quellon/Vector3.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace Quellon {
namespace {

void ExpectVector(const Vector3& expected, const Vector3& actual, float tolerance = 0.0f) {
    EXPECT_NEAR(expected.x, actual.x, tolerance);
    EXPECT_NEAR(expected.y, actual.y, tolerance);
    EXPECT_NEAR(expected.z, actual.z, tolerance);
}

TEST(Vector3, IsThreePackedFloats) {
    Vector3 array[2] = {{1, 2, 3}, {4, 5, 6}};
    const float* floats = &array[0].x;
    EXPECT_EQ(6.0f, floats[5]);
    ExpectVector({0, 0, 0}, Vector3());
}

TEST(Vector3, NormalizeDividesByLengthAndLeavesZeroAlone) {
    Vector3 v(3, 0, 4);
    v.Normalize();
    ExpectVector({0.6f, 0, 0.8f}, v, 1e-7f);

    Vector3 zero;
    zero.Normalize();
    ExpectVector({0, 0, 0}, zero);
    ExpectVector({0, 0, 0}, Vector3().Normalized());

    const Vector3 original(0, 2, 0);
    ExpectVector({0, 1, 0}, original.Normalized());
    ExpectVector({0, 2, 0}, original);
}

TEST(Vector3, NormalizeOfTinyVectorStillDivides) {
    const Vector3 tiny = Vector3(1e-15f, 0, 0).Normalized();
    EXPECT_FLOAT_EQ(1.0f, tiny.x);
}

TEST(Vector3, NormalizeOfNanGivesNan) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Vector3 v = Vector3(nan, 1, 1).Normalized();
    EXPECT_TRUE(std::isnan(v.y));
}

TEST(Vector3, MinBoundsFromAboveOnly) {
    ExpectVector({1, 5, -3}, Min({1, 7, -3}, {5, 5, 5}));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Vector3 withNan = Min({nan, 9, 0}, {5, 5, nan});
    EXPECT_TRUE(std::isnan(withNan.x));
    EXPECT_EQ(5.0f, withNan.y);
    EXPECT_EQ(0.0f, withNan.z);
}

TEST(Vector3, CrossDotAndLength) {
    ExpectVector({0, 0, 1}, Cross({1, 0, 0}, {0, 1, 0}));
    ExpectVector({0, 0, -1}, Cross({0, 1, 0}, {1, 0, 0}));
    EXPECT_EQ(32.0f, Dot({1, 2, 3}, {4, 5, 6}));
    EXPECT_EQ(5.0f, Length({3, 0, 4}));
    ExpectVector({5, 7, 9}, Vector3(1, 2, 3) + Vector3(4, 5, 6));
    ExpectVector({-3, -3, -3}, Vector3(1, 2, 3) - Vector3(4, 5, 6));
    ExpectVector({2, 4, 6}, Vector3(1, 2, 3) * 2.0f);
}

TEST(Scalar, RoundsDoubleResultsOnce) {
    EXPECT_EQ(static_cast<float>(std::sin(0.5)), Sin(0.5f));
    EXPECT_EQ(static_cast<float>(std::tan(0.25)), Tan(0.25f));
    EXPECT_EQ(3.0f, Sqrt(9.0f));
}

}  // namespace
}  // namespace Quellon
