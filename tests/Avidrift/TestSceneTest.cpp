#include "Avidrift/TestScene.h"

#include <gtest/gtest.h>

#include "Quellon/Exception.h"

namespace Avidrift {
namespace {

// A copy carries the state the logic changes and keeps the destination's constants (mesh,
// shaders, the teapot's local matrix).
TEST(TestScene, CopyCarriesStateButKeepsOwnConstants) {
    auto source = std::make_shared<TestScene>();
    source->m_flock.SetFlockSize(12);
    source->m_taskCount = 3;
    source->m_stepTime = 0.25f;
    source->m_camera = Quellon::Camera({1, 2, 3}, {0, 0, 0}, {0, 1, 0});
    source->m_localMatrix[3] = 99;
    TestScene destination;
    destination.m_vertexShaderFile = L"mine.glsl";
    destination.Assign(source);
    EXPECT_EQ(12u, destination.m_flock.boidCount);
    EXPECT_NE(source->m_flock.positions.get(), destination.m_flock.positions.get());
    EXPECT_EQ(3u, destination.m_taskCount);
    EXPECT_TRUE(destination.m_camera.m_position == Quellon::Vector3(1, 2, 3));
    EXPECT_FALSE(destination.m_mesh.GetIndices().empty());
    EXPECT_EQ(L"mine.glsl", destination.m_vertexShaderFile);
    EXPECT_EQ(0.0f, destination.m_localMatrix[3]);
    class OtherScene : public Quellon::Scene {
        void CopyFrom(std::shared_ptr<Quellon::Scene>) override {}
    };
    EXPECT_THROW(destination.CopyFrom(std::make_shared<OtherScene>()), Quellon::Exception);
}

}  // namespace
}  // namespace Avidrift
