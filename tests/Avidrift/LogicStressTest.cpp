// The flock logic on its own thread, fed by a producer posting settings and mouse input in bursts
// as fast as it can, with a reader thread standing in for the renderer. Meant for
// ThreadSanitizer, which sees every access; the check holds in every interleaving, so the test
// runs in the other builds as well.

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

// Below the largest requests, so the logic's cap is crossed again and again, and small enough
// for ThreadSanitizer to get through the all-pairs steps of the largest flocks quickly.
constexpr std::uint32_t kCapacity = 1000;
constexpr int kParameterEvents = 20000;
// Parameter events the producer may run ahead of the frames: the logic always finds events
// waiting while more arrive, and the queue and the publish are contended.
constexpr int kAhead = 200;

// The highest parameter event a frame showed, for the producer and the test to wait on.
class Progress {
public:
    // Called on the reader's thread, or with -1 on a failing subsystem thread.
    void Seen(int event) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_seen = event < 0 ? std::numeric_limits<int>::max() : std::max(m_seen, event);
        }
        m_changed.notify_all();
    }
    // Called on the producer's thread. A hang guard, not a speed limit.
    bool WaitFor(int event) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::minutes(5), [&] { return m_seen >= event; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_seen = 0;  // guarded by m_mutex
};

// The k-th parameter event sets the next parameter, in turn, to k. A frame holding one whole
// publish of an ordered prefix of the events therefore shows eight consecutive numbers whatever
// parameter holds which, and never fewer than the frame before; a frame read while a publish
// is copied, or a publish that mixes two states, shows a gap. Throws on the first frame that
// does not, which ends the reader's thread with that failure.
class FrameReader : public Quellon::IRenderCallable {
public:
    FrameReader(std::shared_ptr<TestScene> scene, Progress& progress)
        : m_scene(std::move(scene)), m_progress(progress) {}

    // Like the renderer's Init, which runs before the logic copies the shared scene.
    void Init() override { m_scene->m_flock.maxFlockSize = kCapacity; }
    void PostInit() override {}

    void Update(float) override {
        const FlockData& f = m_scene->m_flock;
        if (f.maxFlockSize != kCapacity || f.boidCount > kCapacity || m_scene->m_taskCount < 1 ||
            (f.boidCount > 0 && !(f.positions && f.velocities && f.pathParameters))) {
            throw std::runtime_error("the frame's flock is not whole");
        }
        if (f.boidCount > 0) {
            // AddressSanitizer reports an array shorter than the count.
            m_last = f.positions[f.boidCount - 1] + f.velocities[f.boidCount - 1];
        }
        // Every camera the logic makes looks at the origin from its position.
        const Quellon::Camera& camera = m_scene->m_camera;
        const Quellon::Camera rebuilt(camera.m_position, {0, 0, 0}, {0, 1, 0});
        if (!std::equal(std::begin(camera.m_viewMatrix.m), std::end(camera.m_viewMatrix.m),
                        std::begin(rebuilt.m_viewMatrix.m))) {
            throw std::runtime_error("the frame's camera matrices do not belong to its position");
        }
        std::array<float, 8> values = {
            f.angleIncrement,        f.separationWeight, f.cohesionWeight,     f.alignmentWeight,
            f.trefoilKnotPathWeight, f.maxSpeed.x,       f.separationDistance, f.groupDistance};
        std::sort(values.begin(), values.end());
        if (f.maxSpeed.y != f.maxSpeed.x || f.maxSpeed.z != f.maxSpeed.x) {
            throw std::runtime_error("the frame's speed bound comes from two settings");
        }
        if (values[0] < 1.0f) {
            if (m_seen > 0) {
                throw std::runtime_error("the frame went back to the defaults");
            }
            return;  // the defaults Init published, before the first events
        }
        for (std::size_t i = 1; i < values.size(); ++i) {
            if (values[i] != values[0] + static_cast<float>(i)) {
                throw std::runtime_error("the frame's parameters come from two publishes");
            }
        }
        if (values[7] < static_cast<float>(m_seen)) {
            throw std::runtime_error("the frame is older than the one before");
        }
        m_seen = static_cast<int>(values[7]);
        m_progress.Seen(m_seen);
    }

private:
    std::shared_ptr<TestScene> m_scene;
    Progress& m_progress;
    int m_seen = 0;
    Quellon::Vector3 m_last;
};

TEST(LogicStress, ReaderSeesOnlyWholeOrderedPublishesWhileEventsPourIn) {
    Progress progress;
    Quellon::Barrier initBarrier(2);
    Quellon::Barrier readyBarrier(2);
    auto working = std::make_shared<TestScene>();
    auto shared = std::make_shared<TestScene>();
    auto logic =
        std::make_shared<Quellon::Logic>(std::make_shared<TestLogic>(working), working, shared);
    Quellon::UserEventQueue* const queue = logic->GetEventQueue();
    const auto failed = [&progress] { progress.Seen(-1); };
    // The renderer's thread starts first, as in the program: the logic's Init copies what the
    // renderer's Init wrote.
    Quellon::Thread readerThread(
        std::make_shared<Quellon::Render>(std::make_shared<FrameReader>(shared, progress), shared),
        &initBarrier, &readyBarrier, failed);
    Quellon::Thread logicThread(logic, &initBarrier, &readyBarrier, failed);

    // Between parameters: mouse drags (left orbits, right zooms), and counts within and far
    // beyond the cap, the hostile ones among them.
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
            const int dx = below(13) - 6;
            const int dy = below(13) - 6;
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
            ASSERT_TRUE(progress.WaitFor(k - kAhead)) << "no frame came after event " << k - kAhead;
        }
    }
    const bool allSeen = progress.WaitFor(kParameterEvents);
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
