#include "Avidrift/TestRender.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
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
    // Pixels where some channel differs from other's by more than levels.
    int CountDiffering(const Frame& other, int levels) const {
        int count = 0;
        for (std::size_t i = 0; i < m_pixels.size(); i += 4) {
            for (std::size_t c = i; c < i + 3; ++c) {
                if (std::abs(m_pixels[c] - other.m_pixels[c]) > levels) {
                    ++count;
                    break;
                }
            }
        }
        return count;
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

    // Every boid but the last sits in the upper right corner, so the one in the middle of the
    // view is read from row two.
    std::vector<Vector3> positions(w / 2 + 1, Vector3(30, 20, 0));
    positions.back() = {0, 0, 0};
    PlaceBoids(positions);
    m_render->PostInit();
    m_render->Update(0.016f);
    EXPECT_EQ(w / 2 + 1, m_render->GetLastFrame().instances);
    EXPECT_FALSE(Frame().IsBackground(400, 300));
    // The CPU side holds the two rows this flock uses, not the whole texture.
    EXPECT_EQ(2u * w * 12, m_render->GetFlockBufferSize());
}

// The overlay comes before the boids in every frame; a flock in front of it must not hide it.
TEST_F(TestRenderTest, OverlayIsRedInTheLowerRightCornerOverAnyFlock) {
    const auto redPixels = [](const Frame& frame) {
        int red = 0;
        for (int y = 10; y < 60; ++y) {
            for (int x = 400; x < kWidth; ++x) {
                red += frame.IsRed(x, y) ? 1 : 0;
            }
        }
        return red;
    };
    PlaceBoids({{0, 0, 0}});
    m_render->PostInit();
    m_render->Update(0.016f);
    const Frame alone;
    const int red = redPixels(alone);
    EXPECT_GT(red, 100);
    for (int y = 10; y < 60; ++y) {
        EXPECT_FALSE(alone.IsRed(200, y));
    }

    // A wall of fast (orange) boids 20 units from the eye over the whole of the overlay's corner,
    // and one a unit from the eye, nearer than the text's depth used to be.
    std::vector<Vector3> wall = {{0.0f, -0.3f, 79.0f}};
    for (float x = 0.2f; x < 11.6f; x += 0.15f) {
        for (float y = -8.4f; y < -6.4f; y += 0.15f) {
            wall.emplace_back(x, y, 60.0f);
        }
    }
    PlaceBoids(wall);
    for (std::size_t i = 0; i < wall.size(); ++i) {
        m_scene->m_flock.velocities[i] = {9, 0, 0};
    }
    m_render->Update(0.016f);
    const Frame covered;
    int boidPixels = 0;
    for (int x = 410; x < kWidth; ++x) {
        boidPixels += covered.IsBackground(x, 30) ? 0 : 1;
    }
    EXPECT_EQ(kWidth - 410, boidPixels);
    EXPECT_EQ(red, redPixels(covered));
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

// At the default camera a boid covers a few pixels, where its coarse levels look the same.
TEST_F(TestRenderTest, LevelsBarelyChangeTheDefaultFlock) {
    m_scene->m_flock.SetFlockSize(1000);
    m_render->PostInit();
    m_render->SetMaxPixelError(0.0f);
    m_render->Update(0.016f);
    const Frame full;
    ASSERT_EQ(1000u, m_render->GetLastFrame().instancesPerLevel[0]);

    m_render->SetMaxPixelError(1.0f);
    m_render->Update(0.016f);
    const Frame levelled;
    const TestRender::FrameStatistics& drawn = m_render->GetLastFrame();
    EXPECT_EQ(1000u, drawn.instances);
    EXPECT_LT(drawn.triangles * 3, 2000u * m_render->GetLevelTriangles()[0]);
    // The flock is a tube of teapots overlapping ten deep, so a shift far below a pixel still
    // changes which teapot shows at many multisampled edge pixels: drawing the same flock at
    // full detail in reverse order alone changes 0.17 % of the pixels by more than 8 levels.
    const int changed = levelled.CountDiffering(full, 8);
    const int changedMuch = levelled.CountDiffering(full, 32);
    RecordProperty("pixelsChangedBeyond8Levels", changed);
    RecordProperty("pixelsChangedBeyond32Levels", changedMuch);
    EXPECT_LT(changed, kWidth * kHeight * 3 / 100);
    EXPECT_LT(changedMuch, kWidth * kHeight / 100);
}

// Only boids wholly outside the view are left out; a boid near the eye keeps the full mesh.
TEST_F(TestRenderTest, DrawsWhatTheViewHoldsWithTheLevelItsDistanceNeeds) {
    // The left edge of the view at the origin's depth, 80 units from the eye.
    const float edge = -80.0f * std::tan(22.5f * 3.14159265f / 180.0f) * 4.0f / 3.0f;
    struct Case {
        const char* name;
        std::vector<Vector3> positions;
        std::uint32_t instances;
    };
    const std::vector<Case> cases = {
        {"behind the eye", std::vector<Vector3>(500, Vector3(0, 0, 85)), 0},
        {"beyond the far plane", {{0, 0, -990}}, 0},
        {"near the eye", {{0, 0, 77}}, 1},
        {"half inside the left edge", {{edge, 0, 0}}, 1},
    };
    m_render->PostInit();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlaceBoids(c.positions);
        m_render->Update(0.016f);
        const TestRender::FrameStatistics& drawn = m_render->GetLastFrame();
        EXPECT_EQ(c.instances, drawn.instances);
        EXPECT_EQ(c.instances == 0, drawn.triangles == 0);
    }
    // The last case: the half inside the view shows at the edge.
    EXPECT_FALSE(Frame().IsBackground(0, kHeight / 2));

    // Near the eye the full mesh, exactly as drawn without levels.
    PlaceBoids({{0, 0, 77}});
    m_render->Update(0.016f);
    EXPECT_EQ(1u, m_render->GetLastFrame().instancesPerLevel[0]);
    const Frame levelled;
    m_render->SetMaxPixelError(0.0f);
    m_render->Update(0.016f);
    EXPECT_EQ(0, Frame().CountDiffering(levelled, 0));
}

// A mesh far too fine for its few pixels: the coarse levels carry the flock.
TEST_F(TestRenderTest, HugeMeshDrawsAThousandBoidsWithItsCoarseLevels) {
    const std::string file = AVIDRIFT_TEST_OUTPUT_DIR "/fine-sphere.obj";
    {
        std::ofstream obj(file);
        constexpr int kRings = 226;
        constexpr int kSegments = 226;
        for (int ring = 0; ring <= kRings; ++ring) {
            const double theta = 3.14159265358979 * ring / kRings;
            for (int segment = 0; segment < kSegments; ++segment) {
                const double phi = 2 * 3.14159265358979 * segment / kSegments;
                obj << "v " << 3 * std::sin(theta) * std::cos(phi) << ' ' << 3 * std::cos(theta)
                    << ' ' << 3 * std::sin(theta) * std::sin(phi) << '\n';
            }
        }
        for (int ring = 0; ring < kRings; ++ring) {
            for (int segment = 0; segment < kSegments; ++segment) {
                const int a = ring * kSegments + segment + 1;
                const int b = ring * kSegments + (segment + 1) % kSegments + 1;
                obj << "f " << a << ' ' << b << ' ' << b + kSegments << ' ' << a + kSegments
                    << '\n';
            }
        }
    }
    m_scene->m_mesh.Load(Quellon::Utf8ToWide(file));
    m_scene->m_flock.SetFlockSize(1000);
    m_render->PostInit();
    m_render->Update(0.016f);
    const std::vector<std::uint32_t> triangles = m_render->GetLevelTriangles();
    ASSERT_GE(triangles[0], 100000u);
    EXPECT_EQ(1000u, m_render->GetLastFrame().instances);
    EXPECT_LT(m_render->GetLastFrame().triangles, 1000u * triangles[0] / 100);
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
