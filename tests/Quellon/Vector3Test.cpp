#include "Quellon/Vector3.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace Quellon {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

bool Same(const Vector3& a, const Vector3& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

TEST(Vector3, OperationsOnPackedFloats) {
    const Vector3 array[2] = {{1, 2, 3}, {4, 5, 6}};
    EXPECT_EQ(6.0f, (&array[0].x)[5]);
    EXPECT_TRUE(Same({0, 0, 1}, Cross({1, 0, 0}, {0, 1, 0})));
    EXPECT_TRUE(Same({0, 0, -1}, Cross({0, 1, 0}, {1, 0, 0})));
    EXPECT_EQ(32.0f, Dot({1, 2, 3}, {4, 5, 6}));
    EXPECT_EQ(5.0f, Length({3, 0, 4}));
    EXPECT_TRUE(Same({-3, -3, -3}, Vector3(1, 2, 3) - Vector3(4, 5, 6)));
    EXPECT_TRUE(Same({2, 4, 6}, Vector3(1, 2, 3) * 2.0f));
    // The speed bound limits from above only, and a NaN bound lets the value through.
    EXPECT_TRUE(Same({1, 5, -3}, Min({1, 7, -3}, {5, 5, 5})));
    const Vector3 withNan = Min({kNan, 9, 0}, {5, 5, kNan});
    EXPECT_TRUE(std::isnan(withNan.x) && withNan.y == 5.0f && withNan.z == 0.0f);
    // Scalar functions round the double result once.
    EXPECT_EQ(static_cast<float>(std::sin(0.5)), Sin(0.5f));
    EXPECT_EQ(static_cast<float>(std::tan(0.25)), Tan(0.25f));
}

TEST(Vector3, NormalizeDividesByLengthAndLeavesZeroAlone) {
    Vector3 v(3, 0, 4);
    v.Normalize();
    EXPECT_NEAR(0.6f, v.x, 1e-7f);
    EXPECT_NEAR(0.8f, v.z, 1e-7f);
    EXPECT_TRUE(Same({0, 0, 0}, Vector3().Normalized()));
    EXPECT_FLOAT_EQ(1.0f, Vector3(1e-15f, 0, 0).Normalized().x);
    EXPECT_TRUE(std::isnan(Vector3(kNan, 1, 1).Normalized().y));
}

}  // namespace
}  // namespace Quellon
