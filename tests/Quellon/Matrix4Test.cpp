#include "Quellon/Matrix4.h"

#include <gtest/gtest.h>

namespace Quellon {
namespace {

void ExpectRows(const std::array<float, 16>& expected, const Matrix4& actual, float tolerance) {
    for (int i = 0; i < 16; ++i) {
        EXPECT_NEAR(expected[i], actual[i], tolerance) << "element " << i;
    }
}

// Row-major, points as columns: the product applies the right factor first, and row three
// never moves a point.
TEST(Matrix4, ProductAndTransformAreRowMajor) {
    Matrix4 translate;
    translate[3] = 10;
    Matrix4 scale;
    scale[0] = 2;
    EXPECT_EQ(12.0f, TransformPoint(translate * scale, {1, 0, 0}).x);
    EXPECT_EQ(22.0f, TransformPoint(scale * translate, {1, 0, 0}).x);
    translate[12] = 9;
    translate[15] = 7;
    EXPECT_EQ(11.0f, TransformPoint(translate, {1, 0, 0}).x);
}

// With the eye on the target there is no direction: zero rows rather than NaNs.
TEST(Matrix4, LookAtAndPerspective) {
    ExpectRows({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, -1, 0, 0, 0, 1},
               LookAt({0, 0, 1}, {0, 0, 0}, {0, 1, 0}), 0);
    ExpectRows({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
               LookAt({2, 2, 2}, {2, 2, 2}, {0, 1, 0}), 0);
    ExpectRows({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -2, -3, 0, 0, -1, 0}, Perspective(90, 1, 1, 3),
               1e-6f);
}

}  // namespace
}  // namespace Quellon
