#include "Avidrift/TestRender.h"

#include <QImage>

#include "Avidrift/StatisticsOverlay.h"
#include "Quellon/Exception.h"
#include "RenderFixture.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

class TestRenderTest : public RenderFixture {
protected:
    // Mean x of the drawn pixels above the overlay's rows, and how many there are.
    static std::pair<double, int> DrawnCentreX(const std::vector<unsigned char>& frame) {
        double sum = 0;
        int drawn = 0;
        for (int y = 80; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (!IsBackground(frame, x, y)) {
                    sum += x;
                    ++drawn;
                }
            }
        }
        return {drawn == 0 ? -1 : sum / drawn, drawn};
    }
};

TEST_F(TestRenderTest, InitOffersTheTextureCapacityAsLargestFlock) {
    const std::uint32_t w = m_render->GetDataWidth();
    ASSERT_GT(w, 0u);
    EXPECT_EQ(w * w / 2, m_scene->m_flock.maxFlockSize);
}

// Along +X the boid moves right on the screen: 10 units at 80 from the eye with a 45 degree
// field of view is about 90 pixels.
TEST_F(TestRenderTest, DrawsABoidWhereItIsAndNothingElsewhere) {
    DrawBoids({{{0, 0, 0}, {1, 0, 0}}});
    const std::vector<unsigned char> centred = ReadFrame();
    EXPECT_NEAR(400.0, DrawnCentreX(centred).first, 15.0);
    EXPECT_GT(DrawnCentreX(centred).second, 50);
    EXPECT_FALSE(IsBackground(centred, 400, 300));
    for (const auto& [x, y] : {std::pair{100, 500}, {700, 500}, {100, 100}}) {
        EXPECT_TRUE(IsBackground(centred, x, y)) << x << ", " << y;
    }
    m_scene->m_flock.positions[0] = {10, 0, 0};
    m_render->Update(0.016f);
    EXPECT_NEAR(490.0, DrawnCentreX(ReadFrame()).first, 15.0);
}

TEST_F(TestRenderTest, OverlayIsRedInTheLowerRightCorner) {
    DrawBoids({{{0, 0, 0}, {1, 0, 0}}});
    const std::vector<unsigned char> frame = ReadFrame();
    int right = 0;
    int left = 0;
    for (int y = 10; y < 60; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const unsigned char* p = &frame[4 * (y * kWidth + x)];
            const int red = p[0] > 200 && p[1] < 60 && p[2] < 60 ? 1 : 0;
            right += x >= 400 ? red : 0;
            left += x == 200 ? red : 0;
        }
    }
    EXPECT_GT(right, 100);
    EXPECT_EQ(left, 0);
}

// Every boid but the last sits behind the eye; only the one on the texture's second row can
// be seen.
TEST_F(TestRenderTest, ReadsBoidsFromTheSecondTextureRow) {
    const std::uint32_t w = m_render->GetDataWidth();
    EXPECT_EQ(0u, TestRender::RowsFor(0, w));
    EXPECT_EQ(1u, TestRender::RowsFor(1, w));
    EXPECT_EQ(1u, TestRender::RowsFor(w / 2, w));
    EXPECT_EQ(2u, TestRender::RowsFor(w / 2 + 1, w));
    std::vector<std::pair<Vector3, Vector3>> boids(w / 2 + 1, {{0, 0, 200}, {1, 0, 0}});
    boids.back().first = {0, 0, 0};
    DrawBoids(boids);
    EXPECT_FALSE(IsBackground(ReadFrame(), 400, 300));
}

// Drawing millions of teapots would take llvmpipe minutes, so only the upload runs;
// AddressSanitizer watches its writes.
TEST_F(TestRenderTest, FlockBeyondTheTextureIsClampedNotWrittenPastIt) {
    const std::uint32_t capacity = m_scene->m_flock.maxFlockSize;
    m_scene->m_flock.SetFlockSize(capacity + 3);
    EXPECT_EQ(capacity, m_render->UploadFlock());
}

TEST_F(TestRenderTest, EmptyFlockDrawsOnlyTheBackground) {
    DrawBoids({});
    EXPECT_TRUE(IsBackground(ReadFrame(), 400, 300));
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
    std::vector<unsigned char> frame = ReadFrame();
    const QImage image(frame.data(), kWidth, kHeight, QImage::Format_RGBX8888);
    EXPECT_TRUE(image.mirrored().save(AVIDRIFT_TEST_OUTPUT_DIR "/default-flock.png"));
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
