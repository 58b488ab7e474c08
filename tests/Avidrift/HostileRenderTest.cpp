// The renderer fed what hostile settings make of the flock: the largest flock a request can
// reach, and boids blown up to huge, infinite and NaN states.

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "../Quellon/OpenglTestWindow.h"
#include "Avidrift/TestLogic.h"
#include "Avidrift/TestRender.h"
#include "Avidrift/TestScene.h"
#include "Quellon/UserEvent.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

constexpr int kWidth = 800;
constexpr int kHeight = 600;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

class HostileRenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_shared = std::make_shared<TestScene>();
        m_render = std::make_unique<TestRender>(m_shared, m_window.GetWindow(), kWidth, kHeight,
                                                m_window.GetDisplayName());
        m_render->Init();
    }
    void TearDown() override { m_render->Shutdown(); }

    QuellonTest::OpenglTestWindow m_window{kWidth, kHeight};
    std::shared_ptr<TestScene> m_shared;
    std::unique_ptr<TestRender> m_render;
};

// The whole chain the program runs: the renderer offers its capacity, the logic caps a request
// far beyond it, and the upload of that flock ends exactly at the texture's last texel.
TEST_F(HostileRenderTest, LargestRequestFillsTheFlockTextureToItsLastTexel) {
    const std::uint32_t width = m_render->GetDataWidth();
    const std::uint32_t capacity = m_shared->m_flock.maxFlockSize;
    ASSERT_EQ(width * width / 2, capacity);

    // As the logic thread starts: its working scene is a copy of what the renderer wrote.
    auto working = std::make_shared<TestScene>();
    working->Assign(m_shared);
    TestLogic logic(working);
    logic.Init();
    logic.OnCustomEvent(0.0f,
                        std::make_shared<Quellon::ValueChangedEvent>(1e30f, kFlockSizeSetting));
    ASSERT_EQ(capacity, working->m_flock.boidCount);
    m_shared->Assign(working);
    working.reset();
    // Far enough back for the whole flock to be in view, so every boid is uploaded.
    m_shared->m_camera = Quellon::Camera({0, 0, 200}, {0, 0, 0}, {0, 1, 0});

    EXPECT_EQ(capacity, m_render->UploadFlock());
    EXPECT_EQ(width, TestRender::RowsFor(capacity, width));
    // The upload leaves the flock texture bound.
    std::vector<float> texels(3 * static_cast<std::size_t>(width) * width);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_FLOAT, texels.data());
    ASSERT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());
    const FlockData& flock = m_shared->m_flock;
    for (const std::uint32_t boid : {0u, capacity - 1}) {
        const float* texel = &texels[6 * static_cast<std::size_t>(boid)];
        EXPECT_TRUE(Vector3(texel[0], texel[1], texel[2]) == flock.positions[boid]) << boid;
        EXPECT_TRUE(Vector3(texel[3], texel[4], texel[5]) == flock.velocities[boid]) << boid;
    }
}

// The clear colour (0.5, 0.5, 0.7) within rounding, at a pixel of the back buffer.
bool IsBackground(int x, int y) {
    unsigned char pixel[4] = {};
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    return std::abs(pixel[0] - 128) <= 1 && std::abs(pixel[1] - 128) <= 1 &&
           std::abs(pixel[2] - 179) <= 1;
}

// Hostile weights drive boids to huge, infinite and NaN places and speeds; the frame must still
// draw, without an OpenGL error, the boid that is still finite, and nothing else.
TEST_F(HostileRenderTest, BlownUpBoidsLeaveTheFiniteOneDrawnAndNothingElse) {
    const std::vector<std::pair<Vector3, Vector3>> boids = {
        {{kNan, kNan, kNan}, {1, 0, 0}},
        {{kInf, -kInf, kInf}, {kInf, 0, 0}},
        {{1e30f, 1e30f, -1e30f}, {1, 0, 0}},
        {{0, 0, -kInf}, {kNan, kNan, kNan}},
        {{-3e38f, 0, 0}, {-kInf, kInf, 0}},
        {{kNan, 0, 0}, {0, 1e30f, 0}},
        {{0, 0, 0}, {1, 0, 0}},
        {{0, kInf, 0}, {kNan, 0, 0}},
    };
    FlockData& flock = m_shared->m_flock;
    flock.ApplyDefaults();
    flock.SetFlockSize(static_cast<std::uint32_t>(boids.size()));
    for (std::size_t i = 0; i < boids.size(); ++i) {
        flock.positions[i] = boids[i].first;
        flock.velocities[i] = boids[i].second;
    }
    m_shared->m_camera = Quellon::Camera({0, 0, 80}, {0, 0, 0}, {0, 1, 0});
    m_render->PostInit();
    ASSERT_NO_THROW(m_render->Update(0.016f));

    EXPECT_FALSE(IsBackground(kWidth / 2, kHeight / 2));
    // Above the overlay's rows, away from the boid at the origin.
    for (const auto& [x, y] :
         {std::pair{100, 500}, {700, 500}, {100, 100}, {700, 100}, {400, 550}, {400, 100}}) {
        EXPECT_TRUE(IsBackground(x, y)) << x << ", " << y;
    }
    EXPECT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());
}

}  // namespace
}  // namespace Avidrift
