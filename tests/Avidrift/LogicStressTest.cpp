// The flock logic on its thread, fed settings and mouse input as fast as a producer can post them,
// with a reader thread standing in for the renderer. Meant for ThreadSanitizer; the check holds
// in every interleaving, so it runs in the other builds too.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>

#include "Avidrift/TestLogic.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Barrier.h"
#include "Quellon/IRenderCallable.h"
#include "Quellon/Logic.h"
#include "Quellon/Render.h"
#include "Quellon/Thread.h"
#include "Quellon/UserEvent.h"

namespace Avidrift {
namespace {

// Below the largest requests, so the cap is crossed often, and small for ThreadSanitizer.
constexpr std::uint32_t kCapacity = 1000;
constexpr int kParameterEvents = 20000;
constexpr int kAhead = 200;  // how far the producer may run ahead of the frames

// The k-th parameter event sets the next parameter, in turn, to k, so a frame holding one whole
// publish of an ordered prefix of the events shows eight consecutive numbers, never fewer than
// the frame before. The first frame that does not throws, ending the reader's thread.
class FrameReader : public Quellon::IRenderCallable {
public:
    explicit FrameReader(std::shared_ptr<TestScene> scene) : m_scene(std::move(scene)) {}
    // Like the renderer's Init, which runs before the logic copies the shared scene.
    void Init() override { m_scene->m_flock.maxFlockSize = kCapacity; }
    void PostInit() override {}
    void Update(float) override {
        const FlockData& f = m_scene->m_flock;
        const Quellon::Camera& camera = m_scene->m_camera;
        const Quellon::Camera rebuilt(camera.m_position, {0, 0, 0}, {0, 1, 0});
        std::array<float, 8> values = {
            f.angleIncrement,        f.separationWeight, f.cohesionWeight,     f.alignmentWeight,
            f.trefoilKnotPathWeight, f.maxSpeed.x,       f.separationDistance, f.groupDistance};
        std::sort(values.begin(), values.end());
        bool whole = f.maxFlockSize == kCapacity && f.boidCount <= kCapacity &&
                     m_scene->m_taskCount >= 1 && f.maxSpeed.y == f.maxSpeed.x &&
                     f.maxSpeed.z == f.maxSpeed.x &&
                     std::equal(std::begin(camera.m_viewMatrix.m), std::end(camera.m_viewMatrix.m),
                                std::begin(rebuilt.m_viewMatrix.m));
        if (f.boidCount > 0) {
            // AddressSanitizer reports an array shorter than the count.
            m_last = f.positions[f.boidCount - 1] + f.velocities[f.boidCount - 1] +
                     Quellon::Vector3(f.pathParameters[f.boidCount - 1], 0, 0);
        }
        const bool defaults = values[0] < 1.0f;  // what Init published, before any event
        for (std::size_t i = 1; i < values.size() && !defaults; ++i) {
            whole = whole && values[i] == values[0] + static_cast<float>(i);
        }
        if (!whole || (defaults && m_seen > 0) || (!defaults && values[7] < m_seen)) {
            throw std::runtime_error("a frame that is not one whole publish, in order");
        }
        Seen(defaults ? m_seen : static_cast<int>(values[7]));
    }

    // Called on the reader's thread, or with int max on a failing subsystem thread.
    void Seen(int event) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_seen = std::max(m_seen, event);
        }
        m_changed.notify_all();
    }
    // Called on the producer's thread; a hang guard, not a speed limit.
    bool WaitFor(int event) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::minutes(5), [&] { return m_seen >= event; });
    }

private:
    std::shared_ptr<TestScene> m_scene;
    Quellon::Vector3 m_last;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_seen = 0;  // written under m_mutex; read unguarded on the reader's thread only
};

TEST(LogicStress, ReaderSeesOnlyWholeOrderedPublishesWhileEventsPourIn) {
    Quellon::Barrier initBarrier(2), readyBarrier(2);
    auto working = std::make_shared<TestScene>();
    auto shared = std::make_shared<TestScene>();
    auto logic =
        std::make_shared<Quellon::Logic>(std::make_shared<TestLogic>(working), working, shared);
    Quellon::UserEventQueue* const queue = logic->GetEventQueue();
    auto reader = std::make_shared<FrameReader>(shared);
    const auto failed = [&] { reader->Seen(std::numeric_limits<int>::max()); };
    // The renderer's thread starts first: the logic's Init copies what the renderer's Init wrote.
    Quellon::Thread readerThread(std::make_shared<Quellon::Render>(reader, shared), &initBarrier,
                                 &readyBarrier, failed);
    Quellon::Thread logicThread(logic, &initBarrier, &readyBarrier, failed);
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
        if (k % kAhead == 0) {
            ASSERT_TRUE(reader->WaitFor(k - kAhead)) << "no frame came after event " << k - kAhead;
        }
    }
    const bool allSeen = reader->WaitFor(kParameterEvents);
    logicThread.RequestStop();
    readerThread.RequestStop();
    logicThread.Join();
    readerThread.Join();
    EXPECT_NO_THROW(logicThread.RethrowFailure());
    EXPECT_NO_THROW(readerThread.RethrowFailure());
    EXPECT_TRUE(allSeen);
}

}  // namespace
}  // namespace Avidrift
