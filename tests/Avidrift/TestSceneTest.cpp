#include "Avidrift/TestScene.h"

#include <gtest/gtest.h>

#include "Quellon/Exception.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

TEST(TestScene, StartsWithTheTeapotAndFixedConstants) {
    const TestScene scene;
    EXPECT_FALSE(scene.m_mesh.GetPositions().empty());
    EXPECT_EQ(L"glsl/vertexShader.glsl", scene.m_vertexShaderFile);
    EXPECT_EQ(L"glsl/pixelShader.glsl", scene.m_pixelShaderFile);
    EXPECT_EQ(0.0f, scene.m_stepTime);
    EXPECT_EQ(0u, scene.m_flock.boidCount);
    const Vector3 p = Quellon::TransformPoint(scene.m_localMatrix, {1, 0, 0});
    EXPECT_NEAR(0.0f, p.x, 1e-8f);
    EXPECT_NEAR(0.0f, p.y, 1e-8f);
    EXPECT_NEAR(0.1f, p.z, 1e-8f);
}

TEST(TestScene, CopyCarriesStateButKeepsOwnConstants) {
    auto source = std::make_shared<TestScene>();
    source->m_flock.ApplyDefaults();
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
    EXPECT_EQ(0.25f, destination.m_stepTime);
    EXPECT_TRUE(destination.m_camera.m_position == Vector3(1, 2, 3));
    EXPECT_EQ(source->m_mesh.GetIndices(), destination.m_mesh.GetIndices());
    EXPECT_EQ(L"mine.glsl", destination.m_vertexShaderFile);
    EXPECT_EQ(0.0f, destination.m_localMatrix[3]);
}

TEST(TestScene, RejectsAForeignSource) {
    class OtherScene : public Quellon::Scene {
    public:
        void CopyFrom(std::shared_ptr<Quellon::Scene>) override {}
    };
    TestScene scene;
    EXPECT_THROW(scene.CopyFrom(std::make_shared<OtherScene>()), Quellon::Exception);
}

}  // namespace
}  // namespace Avidrift
