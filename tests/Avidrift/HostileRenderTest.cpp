#include <limits>

#include "Avidrift/TestLogic.h"
#include "Quellon/UserEvent.h"
#include "RenderFixture.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using HostileRenderTest = RenderFixture;

// The renderer offers its capacity, the logic caps a request far beyond it, and the upload of
// that flock ends exactly at the texture's last texel.
TEST_F(HostileRenderTest, LargestRequestFillsTheFlockTextureToItsLastTexel) {
    const std::uint32_t width = m_render->GetDataWidth();
    const std::uint32_t capacity = m_scene->m_flock.maxFlockSize;
    ASSERT_EQ(width * width / 2, capacity);
    // As the logic thread starts: its working scene is a copy of what the renderer wrote.
    auto working = std::make_shared<TestScene>();
    working->Assign(m_scene);
    TestLogic logic(working);
    logic.Init();
    logic.OnCustomEvent(0, std::make_shared<Quellon::ValueChangedEvent>(1e30f, kFlockSizeSetting));
    ASSERT_EQ(capacity, working->m_flock.boidCount);
    m_scene->Assign(working);
    // Far enough back for the whole flock to be in view, so every boid is uploaded.
    m_scene->m_camera = Quellon::Camera({0, 0, 200}, {0, 0, 0}, {0, 1, 0});

    EXPECT_EQ(capacity, m_render->UploadFlock());
    EXPECT_EQ(width, TestRender::RowsFor(capacity, width));
    // The upload leaves the flock texture bound.
    std::vector<float> texels(3 * static_cast<std::size_t>(width) * width);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_FLOAT, texels.data());
    ASSERT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());
    const FlockData& flock = m_scene->m_flock;
    for (const std::uint32_t boid : {0u, 1u, capacity - 1}) {
        const float* texel = &texels[6 * static_cast<std::size_t>(boid)];
        EXPECT_TRUE(Vector3(texel[0], texel[1], texel[2]) == flock.positions[boid]) << boid;
        EXPECT_TRUE(Vector3(texel[3], texel[4], texel[5]) == flock.velocities[boid]) << boid;
    }
    // Beyond the texture the upload is clamped; drawing millions of teapots would take llvmpipe
    // minutes, so only the upload runs, and AddressSanitizer watches its writes.
    m_scene->m_flock.SetFlockSize(capacity + 3);
    EXPECT_EQ(capacity, m_render->UploadFlock());
}

// Hostile weights drive boids to huge, infinite and NaN states; only the finite one is drawn.
TEST_F(HostileRenderTest, BlownUpBoidsLeaveTheFiniteOneDrawnAndNothingElse) {
    m_render->PostInit();
    PlaceBoids({{{kNan, kNan, kNan}, {1, 0, 0}},
                {{kInf, -kInf, kInf}, {kInf, 0, 0}},
                {{1e30f, 1e30f, -1e30f}, {1, 0, 0}},
                {{0, 0, -kInf}, {kNan, kNan, kNan}},
                {{-3e38f, 0, 0}, {-kInf, kInf, 0}},
                {{kNan, 0, 0}, {0, 1e30f, 0}},
                {{0, 0, 0}, {1, 0, 0}},
                {{0, kInf, 0}, {kNan, 0, 0}}});
    const Frame frame = Draw();
    EXPECT_FALSE(frame.IsBackground(kWidth / 2, kHeight / 2));
    // Above the overlay's rows, away from the boid at the origin.
    for (const auto& [x, y] :
         {std::pair{100, 500}, {700, 500}, {100, 100}, {700, 100}, {400, 550}, {400, 100}}) {
        EXPECT_TRUE(frame.IsBackground(x, y)) << x << ", " << y;
    }
    EXPECT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());
}

}  // namespace
}  // namespace Avidrift
