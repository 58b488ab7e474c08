#include "Quellon/Camera.h"

#include <gtest/gtest.h>

namespace Quellon {
namespace {

TEST(Camera, BuiltFromEyeKeepsFixedProjection) {
    const Camera camera({0, 0, 80}, {0, 0, 0}, {0, 1, 0});
    // A point at the origin lands 80 units in front of the eye.
    EXPECT_EQ(-80.0f, TransformPoint(camera.m_viewMatrix, {0, 0, 0}).z);
    EXPECT_TRUE(Camera().m_position == Vector3(0, 0, 1));
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(Camera().m_projectionMatrix[i], camera.m_projectionMatrix[i]);
    }
}

}  // namespace
}  // namespace Quellon
