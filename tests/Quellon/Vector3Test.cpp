#include "Quellon/Vector3.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace Quellon {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

// What the steering rule and its vector kernels rely on beyond plain arithmetic.
TEST(Vector3, PackedMinNormalizeAndOneRounding) {
    const Vector3 array[2] = {{1, 2, 3}, {4, 5, 6}};
    EXPECT_EQ(6.0f, (&array[0].x)[5]);
    EXPECT_TRUE(Cross({0, 1, 0}, {1, 0, 0}) == Vector3(0, 0, -1));
    // A NaN speed bound lets the value through.
    const Vector3 withNan = Min({kNan, 9, 0}, {5, 5, kNan});
    EXPECT_TRUE(std::isnan(withNan.x) && withNan.y == 5.0f && withNan.z == 0.0f);
    EXPECT_EQ(static_cast<float>(std::sin(0.5)), Sin(0.5f));
    EXPECT_EQ(static_cast<float>(std::tan(0.25)), Tan(0.25f));
    EXPECT_NEAR(0.8f, Vector3(3, 0, 4).Normalized().z, 1e-7f);
    EXPECT_TRUE(Vector3().Normalized() == Vector3(0, 0, 0));
    EXPECT_FLOAT_EQ(1.0f, Vector3(1e-15f, 0, 0).Normalized().x);
    EXPECT_TRUE(std::isnan(Vector3(kNan, 1, 1).Normalized().y));
}

}  // namespace
}  // namespace Quellon
