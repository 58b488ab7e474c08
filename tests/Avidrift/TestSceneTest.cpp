#include "Avidrift/TestScene.h"

#include <gtest/gtest.h>

namespace Avidrift {
namespace {

// A copy carries the flock as a copy of its own and keeps the destination's constants (mesh,
// shaders, the teapot's local matrix).
TEST(TestScene, CopyCarriesStateButKeepsOwnConstants) {
    auto source = std::make_shared<TestScene>();
    source->m_flock.SetFlockSize(12);
    source->m_taskCount = 3;
    source->m_localMatrix[3] = 99;
    TestScene destination;
    destination.m_vertexShaderFile = L"mine.glsl";
    destination.Assign(source);
    EXPECT_EQ(12u, destination.m_flock.boidCount);
    EXPECT_NE(source->m_flock.positions.get(), destination.m_flock.positions.get());
    EXPECT_EQ(3u, destination.m_taskCount);
    EXPECT_FALSE(destination.m_mesh.GetIndices().empty());
    EXPECT_EQ(L"mine.glsl", destination.m_vertexShaderFile);
    EXPECT_EQ(0.0f, destination.m_localMatrix[3]);
}

}  // namespace
}  // namespace Avidrift
