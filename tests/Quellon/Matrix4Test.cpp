#include "Quellon/Matrix4.h"

#include <gtest/gtest.h>

namespace Quellon {
namespace {

void ExpectRows(const float (&expected)[16], const Matrix4& actual, float tolerance) {
    for (int i = 0; i < 16; ++i) {
        EXPECT_NEAR(expected[i], actual[i], tolerance) << "element " << i;
    }
}

TEST(Matrix4, RotationYTurnsZTowardsX) {
    const Matrix4 r = Matrix4::RotationY(90);
    const float ca = Cos(static_cast<float>(90.0 * 0.017453292f));
    const Vector3 fromZ = TransformPoint(r, {0, 0, 1});
    EXPECT_FLOAT_EQ(1.0f, fromZ.x);
    EXPECT_EQ(0.0f, fromZ.y);
    EXPECT_EQ(ca, fromZ.z);
    EXPECT_NEAR(0.0f, ca, 1e-7f);
    const Vector3 fromX = TransformPoint(r, {1, 0, 0});
    EXPECT_EQ(ca, fromX.x);
    EXPECT_FLOAT_EQ(-1.0f, fromX.z);
}

TEST(Matrix4, TransformPointIgnoresRowThree) {
    Matrix4 m;
    m[3] = 1;
    m[7] = 2;
    m[11] = 3;
    const Vector3 p(4, 5, 6);
    const Vector3 moved = TransformPoint(m, p);
    m[12] = 9;
    m[15] = 7;
    const Vector3 same = TransformPoint(m, p);
    EXPECT_TRUE(moved == same);
    EXPECT_TRUE(moved == Vector3(5, 7, 9));
    EXPECT_TRUE(TransformPoint(Matrix4::Identity(), p) == p);
}

TEST(Matrix4, ProductIsRowByRow) {
    Matrix4 translate;
    translate[3] = 10;
    Matrix4 scale;
    scale[0] = 2;
    // Scaling first, then translating: x' = 2x + 10.
    const Vector3 p = TransformPoint(translate * scale, {1, 0, 0});
    EXPECT_EQ(12.0f, p.x);
    const Vector3 q = TransformPoint(scale * translate, {1, 0, 0});
    EXPECT_EQ(22.0f, q.x);
}

TEST(Matrix4, LookAtFromPositiveZ) {
    const float expected[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, -1, 0, 0, 0, 1};
    ExpectRows(expected, LookAt({0, 0, 1}, {0, 0, 0}, {0, 1, 0}), 0.0f);
}

TEST(Matrix4, LookAtWithEyeOnTargetGivesZeroRows) {
    const Matrix4 m = LookAt({2, 2, 2}, {2, 2, 2}, {0, 1, 0});
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(0.0f, m[i]) << "element " << i;
    }
    EXPECT_EQ(1.0f, m[15]);
}

TEST(Matrix4, Perspective) {
    const Matrix4 square = Perspective(90, 1, 1, 3);
    const float expected[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -2, -3, 0, 0, -1, 0};
    ExpectRows(expected, square, 1e-6f);

    const Matrix4 camera = Perspective(45, 1.3333334f, 0.1f, 1000);
    EXPECT_NEAR(2.4142134f, camera[5], 1e-6f);
    EXPECT_NEAR(1.8106601f, camera[0], 1e-6f);
    EXPECT_NEAR(-1.0002f, camera[10], 1e-6f);
    EXPECT_NEAR(-0.20002f, camera[11], 1e-6f);
}

}  // namespace
}  // namespace Quellon
