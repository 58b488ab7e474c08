#include "Avidrift/Render/TestRender.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <vector>

#include "Avidrift/Render/DepthPyramid.h"
#include "Avidrift/TestLogic.h"
#include "Quellon/Exception.h"
#include "Quellon/Text.h"
#include "Quellon/UserEvent.h"
#include "RenderFixture.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;
using TestRenderTest = RenderFixture;
using HostileRenderTest = RenderFixture;

// The overlay comes before the boids in every frame; a flock in front of it must not hide it.
TEST_F(TestRenderTest, OverlayIsRedInTheLowerRightCornerOverAnyFlock) {
    const auto redPixels = [](const Frame& frame, int fromX, int toX) {
        int red = 0;
        for (int y = 10; y < 60; ++y) {
            for (int x = fromX; x < toX; ++x) {
                const unsigned char* p = frame.At(x, y);
                red += p[0] > 200 && p[1] < 60 && p[2] < 60 ? 1 : 0;
            }
        }
        return red;
    };
    m_render->PostInit();
    PlaceBoids({{{0, 0, 0}, {1, 0, 0}}});
    const Frame alone = Draw();
    const int red = redPixels(alone, 400, kWidth);
    EXPECT_GT(red, 100);
    EXPECT_EQ(0, redPixels(alone, 200, 201));

    // A wall of fast (orange) boids 20 units from the eye over the overlay's corner, and one a
    // unit from the eye, nearer than the text's depth used to be.
    std::vector<Boid> wall = {{{0.0f, -0.3f, 79.0f}, {9, 0, 0}}};
    for (float x = 0.2f; x < 11.6f; x += 0.15f) {
        for (float y = -8.4f; y < -6.4f; y += 0.15f) {
            wall.emplace_back(Vector3(x, y, 60.0f), Vector3(9, 0, 0));
        }
    }
    PlaceBoids(wall);
    const Frame covered = Draw();
    for (int x = 410; x < kWidth; ++x) {
        EXPECT_FALSE(covered.IsBackground(x, 30)) << x;  // the wall covers the corner
    }
    EXPECT_EQ(red, redPixels(covered, 400, kWidth));
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

// At the default camera a boid covers a few pixels, where its coarse levels look the same.
TEST_F(TestRenderTest, LevelsBarelyChangeTheDefaultFlock) {
    m_scene->m_flock.SetFlockSize(1000);
    m_render->PostInit();
    m_render->SetMaxPixelError(0.0f);
    const Frame full = Draw();
    ASSERT_EQ(1000u, m_render->GetLastFrame().instancesPerLevel[0]);
    m_render->SetMaxPixelError(1.0f);
    const Frame levelled = Draw();
    EXPECT_EQ(1000u, m_render->GetLastFrame().instances);
    EXPECT_LT(m_render->GetLastFrame().triangles * 3, 2000u * m_render->GetLevelTriangles()[0]);
    // Teapots overlap ten deep, so a shift far below a pixel still changes which one shows at
    // many edge pixels: the same flock at full detail in reverse order changes 0.17 % by > 8.
    EXPECT_LT(levelled.CountDiffering(full, 8), kWidth * kHeight * 3 / 100);
    EXPECT_LT(levelled.CountDiffering(full, 32), kWidth * kHeight / 100);
}

// Only boids wholly outside the view, or blown up by hostile weights, are left out; each drawn
// one shows where it is, also when read from the texture's second row.
TEST_F(TestRenderTest, DrawsWhatTheViewHoldsWithTheLevelItsDistanceNeeds) {
    // The left edge of the view at the origin's depth, 80 units from the eye.
    const float edge = -80.0f * std::tan(22.5f * 3.14159265f / 180.0f) * 4.0f / 3.0f;
    const Vector3 v(1, 0, 0);
    constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const std::uint32_t w = m_render->GetDataWidth();
    std::vector<Boid> rowTwo(w / 2 + 1, {{30, 20, 0}, v});  // all but one in the upper right
    rowTwo.back().first = {0, 0, 0};
    const struct {
        std::vector<Boid> boids;
        std::uint32_t instances;
        int x;  // drawn at (x, 300) when instances > 0, background otherwise
    } cases[] = {
        {{}, 0, kWidth / 2},
        {std::vector<Boid>(500, {{0, 0, 85}, v}), 0, kWidth / 2},  // behind the eye
        {{{{0, 0, -990}, v}}, 0, kWidth / 2},                      // beyond the far plane
        {{{{edge, 0, 0}, v}}, 1, 0},                               // half inside the left edge
        // 10 units at 80 from the eye with a 45 degree field of view: 90 pixels.
        {{{{10, 0, 0}, v}}, 1, kWidth / 2 + 90},
        {{{{kNan, 0, 0}, v},
          {{0, -kInf, 0}, v},
          {{1e30f, 1e30f, -1e30f}, v},
          {{0, 0, 0}, v},
          {{-3e38f, 0, 0}, {-kInf, kInf, 0}},
          {{0, 0, 1}, {kNan, 0, 0}}},
         1,
         kWidth / 2},
        {rowTwo, w / 2 + 1, kWidth / 2},
    };
    m_render->PostInit();
    for (const auto& c : cases) {
        PlaceBoids(c.boids);
        const Frame frame = Draw();
        const TestRender::FrameStatistics& drawn = m_render->GetLastFrame();
        EXPECT_EQ(c.instances, drawn.instances) << c.boids.size() << " boids";
        EXPECT_EQ(c.instances == 0, drawn.triangles == 0);
        EXPECT_EQ(c.instances == 0, frame.IsBackground(c.x, kHeight / 2)) << c.x;
    }
    // The CPU side holds the two rows the last flock uses, not the whole texture.
    EXPECT_EQ(2u * w * 12, m_render->GetFlockBufferSize());

    // Near the eye the full mesh, exactly as drawn without levels, even at the coarsest detail.
    PlaceBoids({{{0, 0, 77}, v}});
    m_render->SetMaxPixelError(3.0f);
    const Frame levelled = Draw();
    EXPECT_EQ(1u, m_render->GetLastFrame().instancesPerLevel[0]);
    m_render->SetMaxPixelError(0.0f);
    EXPECT_EQ(0, Draw().CountDiffering(levelled, 0));
}

// Boids whose bounding sphere spans under the impostor size (3.3 units at 160 from the eye, about
// 15 pixels) are impostors when the detail allows them, the near ones keep their mesh, and the
// picture keeps its coverage and colours: slow (blue) and fast (orange) boids heading every way.
TEST_F(TestRenderTest, FarBoidsBecomeImpostorsOfTheirSizeAndColour) {
    std::vector<Boid> boids;
    for (int i = 0; i < 80; ++i) {
        const float angle = 0.7f * static_cast<float>(i);
        const float speed = i % 2 == 0 ? 1.0f : 8.0f;
        const Vector3 velocity(speed * std::cos(angle), 0.5f * std::sin(3.0f * angle),
                               speed * std::sin(angle));
        boids.push_back({{-27.0f + 6.0f * static_cast<float>(i % 10),
                          -19.0f + 5.0f * static_cast<float>(i / 10), -80.0f},
                         velocity});
    }
    boids.push_back({{0.0f, 0.0f, 50.0f}, {1, 0, 0}});  // 30 units from the eye: 80 pixels
    m_render->PostInit();
    ASSERT_TRUE(m_render->CanDrawImpostors());
    PlaceBoids(boids);
    m_render->SetMaxPixelError(3.0f, true, 0.0f);
    const Frame meshes = Draw();
    EXPECT_EQ(0u, m_render->GetLastFrame().impostors);
    m_render->SetMaxPixelError(3.0f, true, TestRender::kImpostorPixels);
    const Frame impostors = Draw();
    EXPECT_EQ(80u, m_render->GetLastFrame().impostors);
    EXPECT_EQ(81u, m_render->GetLastFrame().instances);

    const auto summary = [](const Frame& frame) {
        std::array<double, 4> sum{};          // covered pixels, then their mean red, green and blue
        for (int y = 80; y < kHeight; ++y) {  // above the overlay
            for (int x = 0; x < kWidth; ++x) {
                if (!frame.IsBackground(x, y)) {
                    sum[0] += 1.0;
                    for (int c = 0; c < 3; ++c) {
                        sum[c + 1] += frame.At(x, y)[c];
                    }
                }
            }
        }
        for (int c = 1; c < 4; ++c) {
            sum[c] /= std::max(sum[0], 1.0);
        }
        return sum;
    };
    const std::array<double, 4> mesh = summary(meshes);
    const std::array<double, 4> impostor = summary(impostors);
    EXPECT_NEAR(impostor[0], mesh[0], 0.15 * mesh[0]);
    // The ellipsoid lacks the teapot's shaded hollows: lit from the eye it is a few per cent
    // brighter on average (16 levels of red here).
    for (int c = 1; c < 4; ++c) {
        EXPECT_NEAR(impostor[c], mesh[c], 20.0) << c << ": " << impostor[c] << " " << mesh[c];
    }
}

// Without multisampling a dense flock leaves out the boids nearer ones hide, a third and more of a
// ball of 20,000 once a frame has shown which those are, and the picture is the one every boid
// gives: seen from afar, from near the ball's edge and from the side, each also right after the
// view turned, when the boids drawn first are those the last view showed.
TEST_F(TestRenderTest, LeavesOutHiddenBoidsAndShowsTheSamePicture) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<Boid> ball;
    while (ball.size() < 20000) {
        const Vector3 p(unit(random), unit(random), unit(random));
        if (Quellon::Length(p) <= 1.0f) {
            ball.push_back({p * 8.0f, {unit(random), unit(random), unit(random)}});
        }
    }
    m_render->PostInit();
    PlaceBoids(ball);
    m_render->SetMaxPixelError(1.0f, false);
    const Vector3 eyes[] = {{0, 0, 80}, {0, 0, 14}, {50, 30, 40}};
    for (int moved = 0; moved < 2; ++moved) {
        for (const Vector3& eye : eyes) {
            m_scene->m_camera = Quellon::Camera(eye, {0, 0, 0}, {0, 1, 0});
            m_render->SetOcclusionCulling(false);
            const Frame all = Draw();
            const std::uint32_t inView = m_render->GetLastFrame().instances;
            m_render->SetOcclusionCulling(true);
            if (moved == 0) {
                // A new view: every boid shows against the empty depth, then the hidden drop.
                Draw();
                Draw();
            } else {
                const Vector3 turned(-eye.z, eye.y + 10, eye.x);
                m_scene->m_camera = Quellon::Camera(turned, {0, 0, 0}, {0, 1, 0});
                Draw();
                m_scene->m_camera = Quellon::Camera(eye, {0, 0, 0}, {0, 1, 0});
            }
            const Frame culled = Draw();
            const TestRender::FrameStatistics& drawn = m_render->GetLastFrame();
            // Boids drawn in another order may settle a depth tie the other way: a 24-bit depth
            // step at 80 units is about 0.004 units, and the ball is dense. A boid wrongly left out
            // would leave a patch of its size (tens of pixels at the least).
            EXPECT_LE(culled.CountDiffering(all, 0), 8) << eye.x << "," << eye.z << " " << moved;
            EXPECT_EQ(drawn.instances + drawn.hidden, inView) << eye.x << "," << eye.z;
            if (moved == 0) {
                EXPECT_GT(drawn.hidden, inView / 3) << eye.x << "," << eye.z;
            }
        }
    }
}

// The farthest depth under a rectangle decides: wholly nearer hides, one pixel as far or farther
// does not, whatever level the rectangle is read at (a coarse level may look past its edge, never
// short of it); what lies off the frame is not looked at.
TEST(DepthPyramid, HidesOnlyWhatEveryPixelCovers) {
    constexpr int kW = 37, kH = 23;  // odd: the levels' last blocks are cut
    std::vector<float> depth(kW * kH, 0.25f);
    depth[11 * kW + 30] = 0.5f;
    DepthPyramid pyramid;
    EXPECT_FALSE(pyramid.Hides(0, 0, 1, 1, 1.0f));  // nothing built: nothing hidden
    pyramid.Build(depth, kW, kH);
    EXPECT_TRUE(pyramid.Hides(0, 0, 15, 10, 0.3f));
    EXPECT_TRUE(pyramid.Hides(-50, -50, 15, 10, 0.3f));
    EXPECT_FALSE(pyramid.Hides(20, 0, 36, 22, 0.3f));
    EXPECT_FALSE(pyramid.Hides(30, 11, 30, 11, 0.5f));
    EXPECT_TRUE(pyramid.Hides(30, 11, 30, 11, 0.51f));
    EXPECT_FALSE(pyramid.Hides(-10, -10, 100, 100, 0.3f));
    EXPECT_TRUE(pyramid.Hides(0, 0, 36, 22, 0.6f));
    EXPECT_FALSE(pyramid.Hides(0, 0, 0, 0, 0.25f));
    EXPECT_TRUE(pyramid.Hides(40, 0, 60, 10, 0.0f));  // wholly off the frame
}

// The world drawn over the flock: a sphere lit from the eye, greener than grey, hiding the boid
// behind it; a predator as a red boid; a non-finite one nowhere.
TEST_F(TestRenderTest, DrawsObstaclesAsLitSpheresAndPredatorsInRed) {
    PlaceBoids({{{0, 0, -10}, {1, 0, 0}}});
    m_render->PostInit();
    FlockData& flock = m_scene->m_flock;
    flock.obstacles = {{{0, 0, 0}, 5}};
    flock.predators = {{{15, 0, 0}, true},
                       {{std::numeric_limits<float>::quiet_NaN(), 0, 0}, false}};
    const Frame frame = Draw();
    const unsigned char* centre = frame.At(400, 300);
    EXPECT_GT(centre[1], centre[0] + 20);
    EXPECT_GT(centre[1], 150);
    // The sphere's rim faces away from the light: darker than its middle.
    EXPECT_LT(frame.At(400 + 44, 300)[1] + 40, centre[1]);
    int red = 0;
    for (int x = 520; x < 555; ++x) {
        const unsigned char* p = frame.At(x, 300);
        red += p[0] > 120 && p[1] < 60 && p[2] < 60;
    }
    EXPECT_GE(red, 5);
    flock.obstacles.clear();
    flock.predators.clear();
    EXPECT_FALSE(Draw().IsBackground(400, 300)) << "the boid behind the sphere";
}

// A mesh far too fine for its few pixels: the coarse levels carry the flock.
TEST_F(TestRenderTest, HugeMeshDrawsAThousandBoidsWithItsCoarseLevels) {
    const std::string file = AVIDRIFT_TEST_OUTPUT_DIR "/fine-sphere.obj";
    {
        constexpr int kRings = 226;
        constexpr double kPi = 3.14159265358979;
        std::ofstream obj(file);
        for (int ring = 0; ring <= kRings; ++ring) {
            for (int segment = 0; segment < kRings; ++segment) {
                const double theta = kPi * ring / kRings;
                const double phi = 2 * kPi * segment / kRings;
                obj << "v " << 3 * std::sin(theta) * std::cos(phi) << ' ' << 3 * std::cos(theta)
                    << ' ' << 3 * std::sin(theta) * std::sin(phi) << '\n';
            }
        }
        for (int a = 1; a <= kRings * kRings; ++a) {
            const int b = a % kRings == 0 ? a + 1 - kRings : a + 1;
            obj << "f " << a << ' ' << b << ' ' << b + kRings << ' ' << a + kRings << '\n';
        }
    }
    m_scene->m_mesh.Load(Quellon::Utf8ToWide(file));
    m_scene->m_flock.SetFlockSize(1000);
    m_render->PostInit();
    Draw();
    const std::vector<std::uint32_t> triangles = m_render->GetLevelTriangles();
    ASSERT_GE(triangles[0], 100000u);
    EXPECT_EQ(1000u, m_render->GetLastFrame().instances);
    EXPECT_LT(m_render->GetLastFrame().triangles, 1000u * triangles[0] / 100);
}

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

}  // namespace
}  // namespace Avidrift
