#include "Quellon/Camera.h"

#include <gtest/gtest.h>

namespace Quellon {
namespace {

// Whatever its eye, a camera keeps the program's projection (45 degrees, 4:3, 0.1 to 1000).
TEST(Camera, BuiltFromEyeKeepsFixedProjection) {
    const Camera camera({0, 0, 80}, {0, 0, 0}, {0, 1, 0});
    EXPECT_EQ(-80.0f, TransformPoint(camera.m_viewMatrix, {0, 0, 0}).z);
    EXPECT_TRUE(Camera().m_position == Vector3(0, 0, 1));
    EXPECT_NEAR(1.8106601f, camera.m_projectionMatrix[0], 1e-6f);
    EXPECT_NEAR(2.4142134f, camera.m_projectionMatrix[5], 1e-6f);
    EXPECT_NEAR(-0.20002f, camera.m_projectionMatrix[11], 1e-6f);
}

}  // namespace
}  // namespace Quellon
