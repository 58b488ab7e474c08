#include "Avidrift/TestLogic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <latch>
#include <limits>
#include <random>
#include <thread>

#include "Avidrift/Flock/BoidInspection.h"
#include "Avidrift/Flock/FlockTask.h"
#include "Avidrift/SimulationEvent.h"
#include "Avidrift/TestScene.h"
#include "Avidrift/WorldEvent.h"
#include "Avidrift/WorldPointer.h"
#include "Quellon/Barrier.h"
#include "Quellon/Logic.h"
#include "Quellon/Thread.h"
#include "Quellon/UserEvent.h"

namespace Avidrift {
namespace {

using Quellon::MouseEvent;
using Quellon::Vector3;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kTiniest = std::numeric_limits<float>::denorm_min();
// What a small renderer would offer as the largest flock: below the largest requests, so the cap
// is crossed often, and small for ThreadSanitizer.
constexpr std::uint32_t kCapacity = 1000;

bool SameBoids(const FlockData& a, const FlockData& b) {
    const std::size_t n = a.boidCount;
    return n == b.boidCount &&
           (n == 0 ||
            (std::memcmp(a.positions.get(), b.positions.get(), n * sizeof(Vector3)) == 0 &&
             std::memcmp(a.velocities.get(), b.velocities.get(), n * sizeof(Vector3)) == 0 &&
             std::memcmp(a.pathParameters.get(), b.pathParameters.get(), n * sizeof(float)) == 0));
}

class TestLogicTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_scene->m_flock.maxFlockSize = kCapacity;  // what the renderer's Init would write
        m_logic.Init();
    }
    void Set(int id, float value) {
        m_logic.OnCustomEvent(0.0f, std::make_shared<Quellon::ValueChangedEvent>(value, id));
    }
    void Mouse(int button, bool pressed, int dx, int dy, float dt) {
        m_logic.OnMouseEvent(dt,
                             std::make_shared<MouseEvent>(0, 0, 0, 0, dx, dy, 0, pressed, button));
    }
    const FlockData& Flock() const { return m_scene->m_flock; }

    std::shared_ptr<TestScene> m_scene = std::make_shared<TestScene>();
    TestLogic m_logic{m_scene};
};

// The world page's and the mouse's changes: the pointer's ray from the start view (the eye at
// z = 80) through the middle of the view meets the flock's plane at its centre; a grabbed sphere
// moves in its own plane; the user's predator stays last whatever the autonomous ones do; a loaded
// world replaces everything and places the flock anew.
TEST_F(TestLogicTest, WorldEventsArrangeTheWorldInPostingOrder) {
    const auto post = [&](WorldEvent::Action action, ViewPoint at = {}, std::uint32_t index = 0,
                          Obstacle obstacle = {}, std::shared_ptr<const World> world = nullptr) {
        m_logic.OnCustomEvent(
            0.0f, std::make_shared<WorldEvent>(action, at, index, obstacle, std::move(world)));
        return m_scene->GetWorld().world.parameters;
    };
    Set(kFlockSizeSetting, 200);
    const Vector3 centre = FlockCentre(Flock());
    FlockData world = post(WorldEvent::kHuntAt);
    ASSERT_EQ(world.predators.size(), 1u);
    EXPECT_NEAR(Quellon::Length(world.predators[0].position - centre), 0.0f, 1e-4f);
    Set(kAutonomousPredatorsSetting, 2);
    world = post(WorldEvent::kHuntAt, {1, 0});
    ASSERT_EQ(world.predators.size(), 3u);
    EXPECT_FALSE(world.predators[2].autonomous);
    // Half the view's width at the flock's depth: tan(22.5 degrees) * 4/3 * (80 - centre.z).
    EXPECT_NEAR(world.predators[2].position.x, 0.55228475f * (80 - centre.z), 1e-3f);
    EXPECT_TRUE(m_scene->GetWorld().hunting);

    world = post(WorldEvent::kPlaceObstacle, {0, 0.5f}, 0, {{}, 3});
    ASSERT_EQ(world.obstacles.size(), 1u);
    const Vector3 placed = world.obstacles[0].centre;
    post(WorldEvent::kGrabObstacle, {0, 0.5f});
    world = post(WorldEvent::kDragObstacle, {0.5f, 0.5f});
    EXPECT_EQ(world.obstacles[0].centre.z, placed.z);
    EXPECT_GT(world.obstacles[0].centre.x, placed.x + 10);
    EXPECT_EQ(post(WorldEvent::kRemoveObstacleAt, {0, -0.9f}).obstacles.size(), 1u);  // a miss
    EXPECT_EQ(post(WorldEvent::kRemoveObstacleAt, {0.5f, 0.5f}).obstacles.size(), 0u);

    auto loaded = std::make_shared<World>(WorldOf(Flock()));
    loaded->boidCount = 300;
    loaded->parameters.obstacles = {{{1, 2, 3}, 4}};
    loaded->parameters.predators.clear();
    loaded->parameters.fleeWeight = 9;
    world = post(WorldEvent::kLoadWorld, {}, 0, {}, loaded);
    EXPECT_EQ(world.obstacles, loaded->parameters.obstacles);
    EXPECT_TRUE(world.predators.empty());
    EXPECT_FALSE(m_scene->GetWorld().hunting);
    m_logic.Update(0.02f);
    EXPECT_EQ(Flock().boidCount, 300u);
    EXPECT_EQ(Flock().fleeWeight, 9.0f);
    EXPECT_EQ(Flock().obstacles, loaded->parameters.obstacles);
}

// A click picks the boid drawn under it (boid 0 of a placed flock sits at (30, 0, 0): from the
// start view, 30 / (80 tan 22.5 deg * 4/3) of the half width to the right), a miss picks none;
// F makes the camera look at the boid it follows, at the offset orbit and zoom give; Esc lets go
// and the view returns about the origin, as does a new flock. The neighbour colourings make the
// step keep each boid's counts, which are the inspection's; the others drop them.
TEST_F(TestLogicTest, PicksFollowsAndLetsGoOfABoid) {
    const auto post = [&](WorldEvent::Action action, ViewPoint at = {}) {
        m_logic.OnCustomEvent(0.0f, std::make_shared<WorldEvent>(action, at));
        m_logic.Update(0.02f);
    };
    const auto target = [&] {
        const Quellon::Matrix4& view = m_scene->m_camera.m_viewMatrix;
        // The eye's line of sight passes through the target: distance from it to the boid's line.
        const Vector3 axis(-view[8], -view[9], -view[10]);
        return std::pair(m_scene->m_camera.m_position, axis);
    };
    Set(kFlockSizeSetting, 200);
    Set(kColourBySetting, static_cast<float>(ColourBy::GroupNeighbours));
    post(WorldEvent::kSelectAt, {30.0f / (80 * 0.41421356f * 4 / 3) + 0.001f, 0.002f});
    ASSERT_TRUE(m_scene->m_inspection);
    EXPECT_EQ(m_scene->m_inspection->boid, 0u);
    ASSERT_TRUE(Flock().neighbourCounts);
    const BoidInspection now = InspectBoid(Flock(), 0, 0.02f);
    post(WorldEvent::kToggleFollow);
    EXPECT_EQ(Flock().neighbourCounts[0].group, now.groupNeighbours.size());
    Mouse(MouseEvent::kLeftButton, true, 5, 0, 0.02f);
    for (int i = 0; i < 3; ++i) {
        m_logic.Update(0.02f);
        const auto [eye, axis] = target();
        const Vector3 toBoid = Flock().positions[0] - eye;
        EXPECT_NEAR(Quellon::Length(toBoid - axis * Quellon::Dot(toBoid, axis)), 0.0f, 1e-3f);
        EXPECT_NEAR(Quellon::Length(toBoid), 80.0f, 1e-2f);
        EXPECT_GT(std::abs(eye.x - Flock().positions[0].x), 0.1f);  // orbited about it
        EXPECT_TRUE(m_scene->GetInspection().following);
    }
    post(WorldEvent::kLetGo);
    EXPECT_FALSE(m_scene->m_inspection);
    EXPECT_NEAR(Quellon::Dot(target().first, target().second) + Length(target().first), 0, 1e-3f);
    post(WorldEvent::kSelectAt, {0.02f, 0.5f});  // nothing drawn there
    EXPECT_FALSE(m_scene->m_inspection);
    post(WorldEvent::kSelectAt, {30.0f / (80 * 0.41421356f * 4 / 3), 0});
    ASSERT_TRUE(m_scene->m_inspection);
    Set(kFlockSizeSetting, 100);
    m_logic.Update(0.02f);
    EXPECT_FALSE(m_scene->m_inspection);
    Set(kColourBySetting, static_cast<float>(ColourBy::Heading));
    m_logic.Update(0.02f);
    EXPECT_FALSE(Flock().neighbourCounts);
}

// Parameters reach the scene with the next publish and steer from the step after it; a flock
// size places a fresh flock at once, with the staged parameters.
TEST_F(TestLogicTest, ParameterChangesTakeEffectAfterThePublish) {
    Set(kFlockSizeSetting, 40.7f);
    FlockData expected = Flock();
    Set(kMaxSpeedSetting, 3);
    Set(99, 77);  // unknown ids change nothing
    EXPECT_TRUE(Flock().maxSpeed == Vector3(5, 5, 5));
    for (int step = 0; step < 2; ++step) {
        FlockData stepped = expected;
        FlockTask(&expected, &stepped, 0, 40, 0.05f).Run();
        m_logic.Update(0.05f);
        EXPECT_EQ(0.05f, m_scene->m_stepTime);
        EXPECT_TRUE(Flock().maxSpeed == Vector3(3, 3, 3));
        EXPECT_TRUE(SameBoids(stepped, Flock())) << "step " << step;
        expected = stepped;
        expected.maxSpeed = Vector3(3, 3, 3);
    }
    Set(kCohesionWeightSetting, 0.7f);
    Set(kFlockSizeSetting, 40);
    EXPECT_EQ(0.7f, Flock().cohesionWeight);
}

// Values another program could post to every setting. Counts stop at the renderer's capacity
// and make no task per boid of a flock that is not there; parameters reach the flock as they are
// and the step keeps it whole; a flock size places a fresh flock whatever the parameters.
TEST_F(TestLogicTest, HostileSettingsNeverReachAnAllocation) {
    const struct {
        float value;
        std::uint32_t boids;
        std::uint32_t tasks;
    } cases[] = {
        // clang-format off
        {0, 0, 1}, {-0.0f, 0, 1}, {-5, 0, 1}, {kTiniest, 0, 1}, {kNan, 0, 1}, {-kInf, 0, 1},
        {-1e30f, 0, 1}, {1.0f, 1, 1}, {99.99f, 99, 99}, {720, 720, 720},
        {kCapacity - 0.5f, kCapacity - 1, kCapacity - 1},
        {kCapacity, kCapacity, kCapacity},
        {kCapacity + 1.0f, kCapacity, kCapacity + 1},
        {999999999.0f, kCapacity, 1000000000},
        {1e30f, kCapacity, 4294967295u},
        {3.4e38f, kCapacity, 4294967295u},
        {kInf, kCapacity, 4294967295u},
        // clang-format on
    };
    constexpr std::uint32_t kBoids = 300;
    Set(kFlockSizeSetting, kBoids);
    const FlockData placed = Flock();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        Set(kFlockSizeSetting, c.value);
        Set(kTaskCountSetting, c.value);
        EXPECT_EQ(c.boids, Flock().boidCount);
        EXPECT_EQ(c.tasks, m_scene->m_taskCount);
        for (int id = kAngleIncrementSetting; id < kAngleIncrementSetting + 8; ++id) {
            Set(id, c.value);
        }
        Set(kFlockSizeSetting, kBoids);
        EXPECT_TRUE(SameBoids(placed, Flock()));
        for (int step = 0; step < 3; ++step) {
            m_logic.Update(0.02f);
        }
        const FlockData& f = Flock();
        ASSERT_EQ(kBoids, f.boidCount);
        for (const float seen :
             {f.angleIncrement, f.separationWeight, f.cohesionWeight, f.alignmentWeight,
              f.trefoilKnotPathWeight, f.maxSpeed.x, f.maxSpeed.y, f.maxSpeed.z,
              f.separationDistance, f.groupDistance}) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(c.value), std::bit_cast<std::uint32_t>(seen));
        }
    }
}

// A left drag orbits by its direction only, a right drag zooms; other input leaves the eye.
// One event moves at most as far as a thirtieth of a second would; zoom stays in [1, 500].
TEST_F(TestLogicTest, DragsOrbitAndZoomTheCameraWithinBounds) {
    const auto eye = [&] { return m_scene->m_camera.m_position; };
    Mouse(MouseEvent::kLeftButton, false, 5, 5, 0.1f);
    Mouse(MouseEvent::kLeftButton, true, 0, 5, 0.1f);
    Mouse(MouseEvent::kRightButton, true, 5, 0, 0.1f);
    Mouse(MouseEvent::kMiddleButton, true, 5, 5, 0.1f);
    Mouse(MouseEvent::kWheel, true, 5, 5, 0.1f);
    EXPECT_TRUE(eye() == Vector3(0, 0, 80));
    Mouse(MouseEvent::kLeftButton, true, 5, 0, 0.02f);  // -0.4 degrees
    EXPECT_NEAR(-0.558502f, eye().x, 1e-5f);
    EXPECT_EQ(0.0f, eye().y);
    EXPECT_NEAR(79.998051f, eye().z, 1e-5f);
    Mouse(MouseEvent::kDoubleClick, false, 0, 0, 0.1f);  // back to the start view
    Mouse(MouseEvent::kRightButton, true, 0, -3, 0.025f);
    EXPECT_TRUE(eye() == Vector3(0, 0, 79.5f));
    Mouse(MouseEvent::kRightButton, true, 0, -3, 6.0f);
    EXPECT_NEAR(79.5f - 20.0f / 30, eye().z, 1e-4f);
    for (const auto& [dy, distance] : {std::pair{-1, 1.0f}, std::pair{1, 500.0f}}) {
        for (int i = 0; i < 20000; ++i) {
            Mouse(MouseEvent::kRightButton, true, 0, dy, 0.1f);
        }
        EXPECT_NEAR(distance, Length(eye()), 1e-3f);
        EXPECT_GT(eye().z, 0.0f);
    }
    Mouse(MouseEvent::kDoubleClick, false, 0, 0, 0.1f);  // back to the start view
    EXPECT_TRUE(eye() == Vector3(0, 0, 80));
}

// Paused, iterations apply events for Logic to publish and step only when asked, each step the
// running step of 1/60 s bit for bit; a step asked while running is dropped (drag, Resume: e2e).
TEST_F(TestLogicTest, PausedIterationsApplyEventsAndStepOnlyWhenAsked) {
    auto runningScene = std::make_shared<TestScene>();
    runningScene->m_flock.maxFlockSize = kCapacity;
    TestLogic running(runningScene);
    running.Init();
    for (const auto& [value, id] : {std::pair{3, kMaxSpeedSetting}, {50, kFlockSizeSetting}}) {
        running.OnCustomEvent(0, std::make_shared<Quellon::ValueChangedEvent>(value, id));
    }
    const auto act = [&](SimulationEvent::Action action) {
        m_logic.OnCustomEvent(0, std::make_shared<SimulationEvent>(action));
    };
    act(SimulationEvent::kStep);
    act(SimulationEvent::kPause);
    Set(kFlockSizeSetting, 50);
    Set(kMaxSpeedSetting, 3);
    for (int iteration = 0; iteration < 2; ++iteration) {
        m_logic.Update(0.5f);
        EXPECT_TRUE(SameBoids(runningScene->m_flock, Flock())) << "a paused step";
    }
    EXPECT_EQ(0.5f, m_scene->m_stepTime);
    for (int iteration = 0; iteration < 3; ++iteration) {
        act(iteration < 2 ? SimulationEvent::kStep : SimulationEvent::kPause);
        m_logic.Update(0.5f);
    }
    running.Update(1.0f / 60);
    running.Update(1.0f / 60);
    EXPECT_TRUE(SameBoids(runningScene->m_flock, Flock()));
}

// A step of many seconds is abandoned when a stop arrives from another thread while it runs;
// nothing of it is published. The stop waits for the step to begin, so it is the step that
// gives up, not the iteration that never starts one.
TEST(TestLogicStop, AbandonsALongStepAndPublishesNothingOfIt) {
    auto scene = std::make_shared<TestScene>();
    std::atomic<int> steps{0};
    std::latch longStepBegun(1);
    TestLogic logic(scene, {.availableMemory = [] { return std::uint64_t{1} << 40; },
                            .stepBegins =
                                [&] {
                                    if (++steps == 2) {
                                        longStepBegun.count_down();
                                    }
                                }});
    logic.Init();
    // A group distance wider than the flock defeats the grid, so the step scans all pairs.
    logic.OnCustomEvent(0.0f,
                        std::make_shared<Quellon::ValueChangedEvent>(99, kGroupDistanceSetting));
    logic.Update(0.01f);
    logic.OnCustomEvent(0.0f,
                        std::make_shared<Quellon::ValueChangedEvent>(200000, kFlockSizeSetting));
    logic.OnCustomEvent(0.0f, std::make_shared<Quellon::ValueChangedEvent>(2, kTaskCountSetting));
    const FlockData before = scene->m_flock;
    std::thread logicThread([&] { logic.Update(0.1f); });
    longStepBegun.wait();
    logic.RequestStop();
    logicThread.join();
    EXPECT_EQ(2, steps.load());
    EXPECT_TRUE(SameBoids(before, scene->m_flock));
}

// The k-th parameter event sets the next parameter, in turn, to 10 + k, above every default, so a
// whole publish of an ordered prefix of the events shows eight consecutive numbers. Returns the
// last event shown, 0 while a default is left, -1 for a scene that is not one whole publish.
int LastEventShown(const TestScene& scene) {
    const FlockData& f = scene.m_flock;
    const Quellon::Camera rebuilt(scene.m_camera.m_position, {0, 0, 0}, {0, 1, 0});
    std::array<float, 8> values = {f.angleIncrement,     f.separationWeight,      f.cohesionWeight,
                                   f.alignmentWeight,    f.trefoilKnotPathWeight, f.maxSpeed.x,
                                   f.separationDistance, f.groupDistance};
    std::sort(values.begin(), values.end());
    bool whole =
        f.maxFlockSize == kCapacity && f.boidCount <= kCapacity && scene.m_taskCount >= 1 &&
        f.maxSpeed.y == f.maxSpeed.x && f.maxSpeed.z == f.maxSpeed.x &&
        std::equal(std::begin(scene.m_camera.m_viewMatrix.m),
                   std::end(scene.m_camera.m_viewMatrix.m), std::begin(rebuilt.m_viewMatrix.m));
    if (f.boidCount > 0) {
        // AddressSanitizer reports an array shorter than the count.
        const std::uint32_t i = f.boidCount - 1;
        [[maybe_unused]] volatile float last =
            f.positions[i].x + f.velocities[i].x + f.pathParameters[i];
    }
    if (values[0] < 10.0f) {
        return whole ? 0 : -1;
    }
    for (std::size_t i = 1; i < values.size(); ++i) {
        whole = whole && values[i] == values[0] + static_cast<float>(i);
    }
    return whole ? static_cast<int>(values[7]) - 10 : -1;
}

// The logic on its thread, fed events as fast as the test can post them while it reads the
// publishes. Meant for ThreadSanitizer, but the check holds in every interleaving.
TEST(LogicStress, ReaderSeesOnlyWholeOrderedPublishesWhileEventsPourIn) {
    constexpr int kParameterEvents = 20000;
    constexpr int kAhead = 200;  // how far the test may post ahead of what it has seen
    Quellon::Barrier initBarrier(1), readyBarrier(1);
    auto working = std::make_shared<TestScene>();
    auto shared = std::make_shared<TestScene>();
    shared->m_flock.maxFlockSize = kCapacity;
    auto logic =
        std::make_shared<Quellon::Logic>(std::make_shared<TestLogic>(working), working, shared);
    std::atomic<bool> failed{false};
    Quellon::Thread logicThread(logic, &initBarrier, &readyBarrier, [&] { failed = true; });
    // Reads until a publish shows event k; false on a torn or older publish, a failed logic, or
    // after five minutes (a hang guard, not a speed limit).
    int seen = 0;
    const auto readUntil = [&](int k) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        do {
            int shown = -1;
            shared->ReadLocked([&] { shown = LastEventShown(*shared); });
            if (shown < seen || failed || std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            seen = shown;
            // Spins rather than sleeps: a sleeping reader let a race in posting go unseen here.
            std::this_thread::yield();
        } while (seen < k);
        return true;
    };
    // Between parameters: drags (left orbits, right zooms) and counts within and far beyond the
    // cap, hostile ones among them.
    std::mt19937 random(20240611);
    const auto below = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    const float hostileCounts[] = {0, -3, 1e30f, kInf, kNan, 999999999.0f};
    Quellon::UserEventQueue* const queue = logic->GetEventQueue();
    for (int k = 1; k <= kParameterEvents; ++k) {
        while (below(3) == 0) {
            const int dx = below(13) - 6, dy = below(13) - 6;
            queue->Post(std::make_shared<Quellon::MouseEvent>(400 + dx, 300 + dy, 400, 300, dx, dy,
                                                              0, below(5) > 0, below(3)));
        }
        if (below(20) == 0) {
            const float count = below(10) == 0 ? hostileCounts[below(6)]
                                               : static_cast<float>(below(below(2) ? 1000 : 5000));
            queue->Post(std::make_shared<Quellon::ValueChangedEvent>(
                count, below(4) == 0 ? kFlockSizeSetting : kTaskCountSetting));
        }
        queue->Post(std::make_shared<Quellon::ValueChangedEvent>(
            static_cast<float>(10 + k), kAngleIncrementSetting + (k - 1) % 8));
        ASSERT_TRUE(readUntil(k - kAhead)) << "after event " << k << ", last seen " << seen;
    }
    EXPECT_TRUE(readUntil(kParameterEvents)) << "last seen " << seen;
    logicThread.RequestStop();
    logicThread.Join();
    EXPECT_NO_THROW(logicThread.RethrowFailure());
}

}  // namespace
}  // namespace Avidrift
