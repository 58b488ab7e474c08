#include "Avidrift/TestRender.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <QImage>
#include <memory>
#include <vector>

#include "../Quellon/OpenglTestWindow.h"
#include "Avidrift/StatisticsOverlay.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Exception.h"
#include "Quellon/OpenglDriver.h"
#include "Quellon/Text.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

constexpr int kWidth = 800;
constexpr int kHeight = 600;

// The frame as RGBA bytes, row 0 at the bottom, read from the front buffer after presenting.
class Frame {
public:
    Frame() : m_pixels(4 * kWidth * kHeight) {
        glReadBuffer(GL_BACK);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, m_pixels.data());
    }
    const unsigned char* At(int x, int y) const { return &m_pixels[4 * (y * kWidth + x)]; }
    // The clear colour (0.5, 0.5, 0.7) within rounding.
    bool IsBackground(int x, int y) const {
        const unsigned char* p = At(x, y);
        return std::abs(p[0] - 128) <= 1 && std::abs(p[1] - 128) <= 1 && std::abs(p[2] - 179) <= 1;
    }
    bool IsRed(int x, int y) const {
        const unsigned char* p = At(x, y);
        return p[0] > 200 && p[1] < 60 && p[2] < 60;
    }
    // Mean x of the drawn pixels above the overlay's rows; -1 when there are none.
    double DrawnCentreX(int* count = nullptr) const {
        double sum = 0;
        int drawn = 0;
        for (int y = 80; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (!IsBackground(x, y)) {
                    sum += x;
                    ++drawn;
                }
            }
        }
        if (count != nullptr) {
            *count = drawn;
        }
        return drawn == 0 ? -1 : sum / drawn;
    }
    QImage ToImage() const {
        QImage image(m_pixels.data(), kWidth, kHeight, QImage::Format_RGBX8888);
        return image.mirrored();
    }

private:
    std::vector<unsigned char> m_pixels;
};

class TestRenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_scene = std::make_shared<TestScene>();
        m_scene->m_flock.ApplyDefaults();
        m_scene->m_camera = Quellon::Camera({0, 0, 80}, {0, 0, 0}, {0, 1, 0});
        m_render = std::make_unique<TestRender>(m_scene, m_window.GetWindow(), kWidth, kHeight,
                                                m_window.GetDisplayName());
        m_render->Init();
    }
    void TearDown() override {
        if (m_render) {
            m_render->Shutdown();
        }
    }

    // Boids at the given places, each moving along +X.
    void PlaceBoids(const std::vector<Vector3>& positions) {
        FlockData& flock = m_scene->m_flock;
        flock.SetFlockSize(static_cast<std::uint32_t>(positions.size()));
        for (std::size_t i = 0; i < positions.size(); ++i) {
            flock.positions[i] = positions[i];
            flock.velocities[i] = {1, 0, 0};
        }
    }

    QuellonTest::OpenglTestWindow m_window{kWidth, kHeight};
    std::shared_ptr<TestScene> m_scene;
    std::unique_ptr<TestRender> m_render;
};

TEST_F(TestRenderTest, InitOffersTheTextureCapacityAsLargestFlock) {
    const std::uint32_t w = m_render->GetDataWidth();
    ASSERT_GT(w, 0u);
    EXPECT_EQ(w * w / 2, m_scene->m_flock.maxFlockSize);
}

TEST_F(TestRenderTest, DrawsABoidWhereItIsAndNothingElsewhere) {
    PlaceBoids({{0, 0, 0}});
    m_render->PostInit();
    m_render->Update(0.016f);
    const Frame centred;
    int drawn = 0;
    EXPECT_NEAR(400.0, centred.DrawnCentreX(&drawn), 15.0);
    EXPECT_GT(drawn, 50);
    EXPECT_FALSE(centred.IsBackground(400, 300));
    EXPECT_TRUE(centred.IsBackground(100, 500));
    EXPECT_TRUE(centred.IsBackground(700, 500));
    EXPECT_TRUE(centred.IsBackground(100, 100));

    // Along +X the boid moves right on the screen: 10 units at 80 from the eye with a 45 degree
    // field of view is about 90 pixels.
    m_scene->m_flock.positions[0] = {10, 0, 0};
    m_render->Update(0.016f);
    const Frame moved;
    EXPECT_NEAR(490.0, moved.DrawnCentreX(), 15.0);
}

TEST_F(TestRenderTest, ReadsBoidsFromTheSecondTextureRow) {
    const std::uint32_t w = m_render->GetDataWidth();
    EXPECT_EQ(1u, TestRender::RowsFor(w / 2, w));
    EXPECT_EQ(2u, TestRender::RowsFor(w / 2 + 1, w));
    EXPECT_EQ(0u, TestRender::RowsFor(0, w));
    EXPECT_EQ(1u, TestRender::RowsFor(1, w));

    // Every boid but the last sits behind the eye; only the one on row two can be seen.
    std::vector<Vector3> positions(w / 2 + 1, Vector3(0, 0, 200));
    positions.back() = {0, 0, 0};
    PlaceBoids(positions);
    m_render->PostInit();
    m_render->Update(0.016f);
    EXPECT_FALSE(Frame().IsBackground(400, 300));
}

TEST_F(TestRenderTest, OverlayIsRedInTheLowerRightCorner) {
    PlaceBoids({{0, 0, 0}});
    m_render->PostInit();
    m_render->Update(0.016f);
    const Frame frame;
    int red = 0;
    for (int y = 10; y < 60; ++y) {
        for (int x = 400; x < kWidth; ++x) {
            red += frame.IsRed(x, y) ? 1 : 0;
        }
    }
    EXPECT_GT(red, 100);
    for (int y = 10; y < 60; ++y) {
        EXPECT_FALSE(frame.IsRed(200, y));
    }
}

TEST_F(TestRenderTest, FlockBeyondTheTextureIsClampedNotWrittenPastIt) {
    // Drawing millions of teapots would take llvmpipe minutes, so only the upload runs;
    // AddressSanitizer watches its writes.
    const std::uint32_t capacity = m_scene->m_flock.maxFlockSize;
    m_scene->m_flock.SetFlockSize(capacity + 3);
    EXPECT_EQ(capacity, m_render->UploadFlock());
}

TEST_F(TestRenderTest, EmptyFlockDrawsOnlyTheBackground) {
    PlaceBoids({});
    m_render->PostInit();
    m_render->Update(0.016f);
    EXPECT_TRUE(Frame().IsBackground(400, 300));
}

TEST_F(TestRenderTest, MissingShaderFailsPostInitWithItsMessage) {
    m_scene->m_vertexShaderFile = L"glsl/missing.glsl";
    try {
        m_render->PostInit();
        ADD_FAILURE() << "PostInit accepted a missing shader";
    } catch (const Quellon::Exception& error) {
        EXPECT_EQ(L"Shader file couldn't be loaded.", error.GetMessage());
    }
}

TEST_F(TestRenderTest, ShutdownReleasesTheDriver) {
    m_render->Shutdown();
    EXPECT_EQ(nullptr, m_render->GetDriver());
    m_render.reset();
}

// Not a check: leaves a picture of the default scene with 1000 boids to look at.
TEST_F(TestRenderTest, SavesAFrameOfTheDefaultFlock) {
    m_scene->m_flock.SetFlockSize(1000);
    m_render->PostInit();
    m_render->Update(0.016f);
    const QImage image = Frame().ToImage();
    EXPECT_TRUE(image.save(AVIDRIFT_TEST_OUTPUT_DIR "/default-flock.png"));
}

TEST(StatisticsOverlay, FormatsMillisecondsInTheDefaultStreamFormat) {
    EXPECT_EQ("Flock simulation elapsed time: 2ms",
              StatisticsOverlay::FormatLine("Flock simulation elapsed time: ", 0.002f));
    EXPECT_EQ("Render elapsed time: 0ms",
              StatisticsOverlay::FormatLine("Render elapsed time: ", 0.0f));
    EXPECT_EQ("x1.23457e+06ms", StatisticsOverlay::FormatLine("x", 1234.5678f));
    EXPECT_EQ("x16.6667ms", StatisticsOverlay::FormatLine("x", 1.0f / 60));
}

}  // namespace
}  // namespace Avidrift
