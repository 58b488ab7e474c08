// The flock logic on its thread, fed settings, drags and counts as fast as the test can post them,
// while the test reads what the logic publishes. Meant for ThreadSanitizer; the check holds in
// every interleaving, so it runs in the other builds too.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <limits>
#include <random>
#include <thread>

#include "Avidrift/TestLogic.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Barrier.h"
#include "Quellon/Logic.h"
#include "Quellon/Thread.h"
#include "Quellon/UserEvent.h"

namespace Avidrift {
namespace {

// Below the largest requests, so the cap is crossed often, and small for ThreadSanitizer.
constexpr std::uint32_t kCapacity = 1000;

// The k-th parameter event sets the next parameter, in turn, to k, so one whole publish of an
// ordered prefix of the events shows eight consecutive numbers: the last event it shows, 0 for
// the defaults (all below 1), -1 for a scene that is not one whole publish.
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
    if (values[0] < 1.0f) {
        return whole ? 0 : -1;
    }
    for (std::size_t i = 1; i < values.size(); ++i) {
        whole = whole && values[i] == values[0] + static_cast<float>(i);
    }
    return whole ? static_cast<int>(values[7]) : -1;
}

TEST(LogicStress, ReaderSeesOnlyWholeOrderedPublishesWhileEventsPourIn) {
    constexpr int kParameterEvents = 20000;
    constexpr int kAhead = 200;  // how far the test may post ahead of what it has seen
    Quellon::Barrier initBarrier(1), readyBarrier(1);
    auto working = std::make_shared<TestScene>();
    auto shared = std::make_shared<TestScene>();
    shared->m_flock.maxFlockSize = kCapacity;  // what the renderer's Init would write
    auto logic =
        std::make_shared<Quellon::Logic>(std::make_shared<TestLogic>(working), working, shared);
    std::atomic<bool> failed{false};
    Quellon::Thread logicThread(logic, &initBarrier, &readyBarrier, [&] { failed = true; });
    // Reads publishes until one shows event k or later; false on a scene that is not one whole
    // publish or is older than one seen before, on a failed logic, or after five minutes (a hang
    // guard, not a speed limit).
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
            std::this_thread::yield();
        } while (seen < k);
        return true;
    };
    // Between parameters: drags (left orbits, right zooms) and counts within and far beyond the
    // cap, hostile ones among them.
    std::mt19937 random(20240611);
    const auto below = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    const float hostileCounts[] = {0,
                                   -3,
                                   1e30f,
                                   std::numeric_limits<float>::infinity(),
                                   std::numeric_limits<float>::quiet_NaN(),
                                   999999999.0f};
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
            static_cast<float>(k), kAngleIncrementSetting + (k - 1) % 8));
        ASSERT_TRUE(readUntil(k - kAhead)) << "after event " << k << ", last seen " << seen;
    }
    EXPECT_TRUE(readUntil(kParameterEvents)) << "last seen " << seen;
    logicThread.RequestStop();
    logicThread.Join();
    EXPECT_NO_THROW(logicThread.RethrowFailure());
}

}  // namespace
}  // namespace Avidrift
