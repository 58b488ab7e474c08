#include "Avidrift/TestLogic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "Avidrift/Flock/FlockTask.h"
#include "Avidrift/TestScene.h"
#include "Quellon/UserEvent.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

class TestLogicTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_scene = std::make_shared<TestScene>();
        m_scene->m_flock.maxFlockSize = 5000;  // what a renderer would have written
        m_logic = std::make_unique<TestLogic>(m_scene);
        m_logic->Init();
    }

    void Set(int id, float value) {
        m_logic->OnCustomEvent(0.0f, std::make_shared<Quellon::ValueChangedEvent>(value, id));
    }

    void Mouse(int button, bool pressed, int dx, int dy, float dt) {
        m_logic->OnMouseEvent(
            dt, std::make_shared<Quellon::MouseEvent>(0, 0, 0, 0, dx, dy, 0, pressed, button));
    }

    std::shared_ptr<TestScene> m_scene;
    std::unique_ptr<TestLogic> m_logic;
};

// Init keeps the limit the renderer wrote into the scene.
TEST_F(TestLogicTest, InitPlacesOneBoidWithDefaults) {
    EXPECT_EQ(1u, m_scene->m_flock.boidCount);
    EXPECT_EQ(5000u, m_scene->m_flock.maxFlockSize);
    EXPECT_EQ(1u, m_scene->m_taskCount);
    EXPECT_TRUE(m_scene->m_camera.m_position == Vector3(0, 0, 80));
}

// Parameters reach the scene with the next publish and steer from the step after it.
TEST_F(TestLogicTest, ParameterChangesTakeEffectAfterThePublish) {
    Set(kFlockSizeSetting, 40);
    FlockData expected = m_scene->m_flock;
    Set(kMaxSpeedSetting, 3);
    Set(12, 77);  // unknown ids change nothing
    EXPECT_TRUE(m_scene->m_flock.maxSpeed == Vector3(5, 5, 5));
    for (int step = 0; step < 2; ++step) {
        FlockData stepped = expected;
        FlockTask(&expected, &stepped, 0, 40, 0.05f).Run();
        m_logic->Update(0.05f);
        EXPECT_EQ(0.05f, m_scene->m_stepTime);
        EXPECT_TRUE(m_scene->m_flock.maxSpeed == Vector3(3, 3, 3));
        for (std::uint32_t i = 0; i < 40; ++i) {
            EXPECT_TRUE(m_scene->m_flock.positions[i] == stepped.positions[i]) << step << ", " << i;
        }
        expected = stepped;
        expected.maxSpeed = Vector3(3, 3, 3);
    }
}

TEST_F(TestLogicTest, FlockSizeReplacesTheFlockAndPublishesStagedParameters) {
    Set(kCohesionWeightSetting, 0.7f);
    Set(kFlockSizeSetting, 1000.7f);
    EXPECT_EQ(1000u, m_scene->m_flock.boidCount);
    EXPECT_EQ(0.7f, m_scene->m_flock.cohesionWeight);
    EXPECT_EQ(5000u, m_scene->m_flock.maxFlockSize);
    EXPECT_TRUE(m_scene->m_flock.positions[0] == Vector3(30, 0, 0));

    m_logic->Update(0.02f);
    EXPECT_FALSE(m_scene->m_flock.positions[0] == Vector3(30, 0, 0));
    Set(kFlockSizeSetting, 1000);  // the same size again puts every boid back on the knot
    EXPECT_TRUE(m_scene->m_flock.positions[0] == Vector3(30, 0, 0));
    EXPECT_EQ(0.0f, m_scene->m_flock.pathParameters[0]);
}

TEST_F(TestLogicTest, HostileCountsNeverReachAnAllocation) {
    struct Case {
        float value;
        std::uint32_t boids;
        std::uint32_t tasks;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {0, 0, 1},
        {-5, 0, 1},
        {nan, 0, 1},
        {1e30f, 5000, 4294967295u},
        {inf, 5000, 4294967295u},
        {-inf, 0, 1},
        {999999999.0f, 5000, 1000000000},
        {4999.9f, 4999, 4999},
    };
    for (const Case& c : cases) {
        Set(kFlockSizeSetting, c.value);
        Set(kTaskCountSetting, c.value);
        EXPECT_EQ(c.boids, m_scene->m_flock.boidCount) << c.value;
        EXPECT_EQ(c.tasks, m_scene->m_taskCount) << c.value;
        m_logic->Update(0.01f);  // a step with a huge task count stays cheap
        EXPECT_EQ(c.boids, m_scene->m_flock.boidCount) << c.value;
    }
}

// A left drag orbits by its direction only, a right drag zooms; nothing else moves the eye.
TEST_F(TestLogicTest, DragsOrbitAndZoomTheCamera) {
    Mouse(Quellon::MouseEvent::kLeftButton, false, 5, 5, 0.1f);
    Mouse(Quellon::MouseEvent::kLeftButton, true, 0, 5, 0.1f);
    Mouse(Quellon::MouseEvent::kRightButton, true, 5, 0, 0.1f);
    Mouse(Quellon::MouseEvent::kMiddleButton, true, 5, 5, 0.1f);
    Mouse(Quellon::MouseEvent::kWheel, true, 5, 5, 0.1f);
    EXPECT_TRUE(m_scene->m_camera.m_position == Vector3(0, 0, 80));

    Mouse(Quellon::MouseEvent::kLeftButton, true, 5, 0, 0.02f);
    // -0.4 degrees: x = 80 sin(-0.4 deg), z = 80 cos(0.4 deg).
    const Vector3 eye = m_scene->m_camera.m_position;
    EXPECT_NEAR(-0.558502f, eye.x, 1e-5f);
    EXPECT_EQ(0.0f, eye.y);
    EXPECT_NEAR(79.998051f, eye.z, 1e-5f);
    Mouse(Quellon::MouseEvent::kLeftButton, true, -100, 0, 0.02f);
    EXPECT_NEAR(0.0f, m_scene->m_camera.m_position.x, 1e-4f);

    m_scene->m_camera = Quellon::Camera({0, 0, 80}, {0, 0, 0}, {0, 1, 0});
    Mouse(Quellon::MouseEvent::kRightButton, true, 0, -3, 0.025f);
    EXPECT_TRUE(m_scene->m_camera.m_position == Vector3(0, 0, 79.5f));
    EXPECT_EQ(-79.5f, m_scene->m_camera.m_viewMatrix[11]);
    // However slow the iteration, one event moves as far as a thirtieth of a second would.
    Mouse(Quellon::MouseEvent::kRightButton, true, 0, -3, 6.0f);
    EXPECT_NEAR(79.5f - 20.0f / 30, m_scene->m_camera.m_position.z, 1e-4f);
    Mouse(Quellon::MouseEvent::kLeftButton, true, 1, 0, 6.0f);
    EXPECT_NEAR(-std::sin(20.0 / 30 * M_PI / 180) * (79.5 - 20.0 / 30),
                m_scene->m_camera.m_position.x, 1e-3);
    // Zooming in stops short of the centre, zooming out well inside the far plane; a
    // double-click brings back the start view.
    for (int i = 0; i < 5000; ++i) {
        Mouse(Quellon::MouseEvent::kRightButton, true, 0, -1, 0.1f);
    }
    EXPECT_NEAR(1.0f, Length(m_scene->m_camera.m_position), 1e-5f);
    EXPECT_GT(m_scene->m_camera.m_position.z, 0.0f);
    for (int i = 0; i < 20000; ++i) {
        Mouse(Quellon::MouseEvent::kRightButton, true, 0, 1, 0.1f);
    }
    EXPECT_NEAR(500.0f, Length(m_scene->m_camera.m_position), 1e-3f);
    Mouse(Quellon::MouseEvent::kDoubleClick, false, 0, 0, 0.1f);
    EXPECT_TRUE(m_scene->m_camera.m_position == Vector3(0, 0, 80));
    EXPECT_EQ(-80.0f, m_scene->m_camera.m_viewMatrix[11]);
    // At the target the eye has no direction to move along.
    m_scene->m_camera = Quellon::Camera({0, 0, 0}, {0, 0, 0}, {0, 1, 0});
    Mouse(Quellon::MouseEvent::kRightButton, true, 0, 10, 0.05f);
    EXPECT_TRUE(m_scene->m_camera.m_position == Vector3(0, 0, 0));
}

// A flock whose all-pairs step takes many seconds is abandoned promptly when a stop arrives
// from another thread while the step runs.
TEST_F(TestLogicTest, StopAbandonsALongStep) {
    m_scene->m_flock.maxFlockSize = 0;
    m_logic->Init();
    // A group distance wider than the flock defeats the grid, so the step scans all pairs and
    // takes far longer than it takes the stop to arrive.
    Set(kGroupDistanceSetting, 99);
    m_logic->Update(0.01f);
    Set(kFlockSizeSetting, 200000);
    Set(kTaskCountSetting, 2);
    const Vector3 before = m_scene->m_flock.positions[7];
    std::thread logic([&] { m_logic->Update(0.1f); });
    m_logic->RequestStop();
    logic.join();
    EXPECT_TRUE(m_scene->m_flock.positions[7] == before);
}

}  // namespace
}  // namespace Avidrift
