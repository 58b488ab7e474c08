#include "Quellon/Camera.h"

#include <gtest/gtest.h>

namespace Quellon {
namespace {

TEST(Camera, DefaultLooksAtOriginFromUnitZ) {
    const Camera camera;
    EXPECT_TRUE(camera.m_position == Vector3(0, 0, 1));
    EXPECT_EQ(-1.0f, camera.m_viewMatrix[11]);
    EXPECT_NEAR(2.4142134f, camera.m_projectionMatrix[5], 1e-6f);
}

TEST(Camera, BuiltFromEyeKeepsFixedProjection) {
    const Camera camera({0, 0, 80}, {0, 0, 0}, {0, 1, 0});
    EXPECT_TRUE(camera.m_position == Vector3(0, 0, 80));
    EXPECT_EQ(-80.0f, camera.m_viewMatrix[11]);
    // A point at the origin lands 80 units in front of the eye.
    EXPECT_EQ(-80.0f, TransformPoint(camera.m_viewMatrix, {0, 0, 0}).z);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(Camera().m_projectionMatrix[i], camera.m_projectionMatrix[i]);
    }
}

}  // namespace
}  // namespace Quellon
