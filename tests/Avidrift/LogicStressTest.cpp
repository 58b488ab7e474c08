// The flock logic on its own thread, fed by a producer thread posting settings and mouse input
// in bursts as fast as it can, with a reader thread standing in for the renderer. Meant for
// ThreadSanitizer, which sees every access; the checks hold in every interleaving, so the test
// runs in the other builds as well.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Avidrift/TestLogic.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Barrier.h"
#include "Quellon/Camera.h"
#include "Quellon/Exception.h"
#include "Quellon/IRenderCallable.h"
#include "Quellon/Logic.h"
#include "Quellon/Render.h"
#include "Quellon/Text.h"
#include "Quellon/Thread.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// What the stand-in renderer offers as the largest flock: well below the largest request, so
// that the logic's cap is crossed again and again, and small enough that ThreadSanitizer gets
// through the all-pairs steps of the largest flocks quickly.
constexpr std::uint32_t kCapacity = 1000;
constexpr std::size_t kRandomEvents = 20000;
// Events the producer posts between two looks at how far the logic has got.
constexpr std::size_t kChunk = 200;
// Set only by the script's last event, so a frame that shows it has every event behind it.
constexpr float kLastGroupDistance = 123.25f;

std::uint32_t Bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

// The settings a frame shows, as bits so that a NaN setting equals itself.
struct Settings {
    // Ids kAngleIncrementSetting to kGroupDistanceSetting, in id order.
    std::array<std::uint32_t, 8> parameters{};
    std::uint32_t boidCount = 0;
    std::uint32_t taskCount = 0;

    bool operator==(const Settings&) const = default;
};

Settings Observe(const FlockData& flock, std::uint32_t taskCount) {
    Settings seen;
    seen.parameters = {Bits(flock.angleIncrement),        Bits(flock.separationWeight),
                       Bits(flock.cohesionWeight),        Bits(flock.alignmentWeight),
                       Bits(flock.trefoilKnotPathWeight), Bits(flock.maxSpeed.x),
                       Bits(flock.separationDistance),    Bits(flock.groupDistance)};
    seen.boidCount = flock.boidCount;
    seen.taskCount = taskCount;
    return seen;
}

std::string Describe(const Settings& settings) {
    std::ostringstream text;
    text << "boids " << settings.boidCount << ", tasks " << settings.taskCount << ", parameters";
    for (const std::uint32_t bits : settings.parameters) {
        text << ' ' << std::bit_cast<float>(bits);
    }
    return text.str();
}

// The settings once one more event is handled, as the settings page's users expect them.
Settings After(Settings settings, const Quellon::IUserEvent& event) {
    const auto* change = dynamic_cast<const Quellon::ValueChangedEvent*>(&event);
    if (change == nullptr) {
        return settings;
    }
    switch (change->m_id) {
        case kTaskCountSetting:
            settings.taskCount =
                std::max<std::uint32_t>(1, TestLogic::TruncateToCount(change->m_value));
            break;
        case kFlockSizeSetting:
            settings.boidCount = std::min(TestLogic::TruncateToCount(change->m_value), kCapacity);
            break;
        default:
            settings.parameters.at(change->m_id - kAngleIncrementSetting) = Bits(change->m_value);
            break;
    }
    return settings;
}

// Everything the producer posts, and what a frame may show after each prefix of it.
struct Script {
    std::vector<std::shared_ptr<Quellon::IUserEvent>> events;
    // states[k]: the settings once the first k events are handled.
    std::vector<Settings> states;
};

Script MakeScript(std::uint32_t seed) {
    std::mt19937 random(seed);
    const auto chance = [&](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(random) < percent;
    };
    const auto pick = [&](std::initializer_list<float> values) {
        const auto index = std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(random);
        return values.begin()[index];
    };
    // What the spin boxes offer, and now and then what they never would.
    const auto spinBox = [&](int hundredths) {
        if (chance(5)) {
            return pick({0.0f, -1.0f, 1e30f, -1e30f, kNan, kInf, -kInf});
        }
        return static_cast<float>(std::uniform_int_distribution<int>(0, hundredths)(random)) /
               100.0f;
    };
    const auto count = [&](int low, int high, std::initializer_list<float> hostile) {
        if (chance(3)) {
            return pick(hostile);
        }
        return static_cast<float>(std::uniform_int_distribution<int>(low, high)(random));
    };

    Script script;
    for (std::size_t k = 0; k < kRandomEvents; ++k) {
        if (chance(30)) {
            // Left drags orbit and right drags zoom; the middle button does nothing.
            const int button = std::uniform_int_distribution<int>(0, 2)(random);
            const int dx = std::uniform_int_distribution<int>(-6, 6)(random);
            const int dy = std::uniform_int_distribution<int>(-6, 6)(random);
            script.events.push_back(std::make_shared<Quellon::MouseEvent>(
                400 + dx, 300 + dy, 400, 300, dx, dy, 0, chance(80), button));
            continue;
        }
        // Each new flock is placed boid by boid, which costs far more than any other setting.
        int id = kFlockSizeSetting;
        if (!chance(2)) {
            const int other =
                std::uniform_int_distribution<int>(0, kGroupDistanceSetting - 1)(random);
            id = other < kFlockSizeSetting ? other : other + 1;
        }
        float value = 0.0f;
        switch (id) {
            case kTaskCountSetting:
                value = count(1, 64, {999999999.0f, 0.0f, -3.0f, kNan});
                break;
            case kFlockSizeSetting:
                // Half of them within the cap, so that flocks keep changing size.
                value = count(0, chance(50) ? static_cast<int>(kCapacity) : 5000,
                              {1e30f, kInf, kNan, -1.0f, 999999999.0f});
                break;
            case kAngleIncrementSetting:
                value = spinBox(72000);
                break;
            default:
                value = spinBox(9999);
                break;
        }
        script.events.push_back(std::make_shared<Quellon::ValueChangedEvent>(value, id));
    }
    script.events.push_back(
        std::make_shared<Quellon::ValueChangedEvent>(kLastGroupDistance, kGroupDistanceSetting));

    // The logic's Init publishes the defaults, one boid and one task.
    FlockData defaults;
    defaults.ApplyDefaults();
    script.states.push_back(Observe(defaults, 1));
    for (const auto& event : script.events) {
        script.states.push_back(After(script.states.back(), *event));
    }
    return script;
}

// Where the run has got to, for the producer and the test thread to wait on.
class Progress {
public:
    // Called on the logic thread as it lets go of a marker, which it does once it has handled
    // the marker and every event posted before it.
    void MarkerHandled() {
        Update([&] { ++m_markersHandled; });
    }
    // Called on the reader's thread when a frame shows the script's last event.
    void LastFrameSeen() {
        Update([&] { m_lastFrameSeen = true; });
    }
    // Called on a failing subsystem thread: releases every waiter.
    void Fail() {
        Update([&] { m_failed = true; });
    }

    // False when a subsystem thread failed first.
    bool WaitForMarkers(std::size_t count) {
        return Wait([&] { return m_markersHandled >= count; });
    }
    bool WaitForLastFrame() {
        return Wait([&] { return m_lastFrameSeen; });
    }

private:
    template <typename Change>
    void Update(Change change) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            change();
        }
        m_changed.notify_all();
    }
    template <typename Done>
    bool Wait(Done done) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return done() || m_failed; });
        return done();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Guarded by m_mutex.
    std::size_t m_markersHandled = 0;
    bool m_lastFrameSeen = false;
    bool m_failed = false;
};

// A mouse movement with no button held, which the logic ignores, that reports when the logic
// has finished with it. The producer keeps no reference, so the logic drops the last one.
class Marker : public Quellon::MouseEvent {
public:
    explicit Marker(Progress& progress)
        : MouseEvent(400, 300, 400, 300, 0, 0, 0, false, kNoButton), m_progress(progress) {}
    ~Marker() override { m_progress.MarkerHandled(); }

private:
    Progress& m_progress;
};

// Plays the renderer behind the real Render, which holds the read lock through every frame:
// checks that the shared scene holds one whole publish, later than or equal to the one before.
// Throws on the first frame that does not, which ends its thread with that failure.
class FrameReader : public Quellon::IRenderCallable {
public:
    FrameReader(std::shared_ptr<TestScene> scene, const Script& script, Progress& progress)
        : m_scene(std::move(scene)), m_states(script.states), m_progress(progress) {}

    // Like the renderer's Init, which runs before the logic copies the shared scene.
    void Init() override { m_scene->m_flock.maxFlockSize = kCapacity; }
    void PostInit() override {}

    void Update(float) override {
        const FlockData& flock = m_scene->m_flock;
        if (flock.maxFlockSize != kCapacity) {
            throw std::runtime_error("the frame lost the renderer's capacity");
        }
        if (flock.boidCount > kCapacity) {
            throw std::runtime_error("the frame holds more boids than the renderer offers");
        }
        if (flock.boidCount > 0) {
            if (!flock.positions || !flock.velocities || !flock.pathParameters) {
                throw std::runtime_error("the frame has boids but no arrays for them");
            }
            // A shorter array than the count is a read past its end, which AddressSanitizer
            // reports; the copy keeps the reads from being optimised away.
            const std::uint32_t last = flock.boidCount - 1;
            m_lastPosition = flock.positions[last];
            m_lastVelocity = flock.velocities[last];
            m_lastPathParameter = flock.pathParameters[last];
        }
        const Vector3 speed = flock.maxSpeed;
        if (Bits(speed.y) != Bits(speed.x) || Bits(speed.z) != Bits(speed.x)) {
            throw std::runtime_error("the frame's speed bound comes from two settings");
        }
        // Every camera the logic makes looks at the origin from its position, so the matrices
        // follow from the position; a frame mixing two publishes would break that.
        const Quellon::Camera& camera = m_scene->m_camera;
        const Quellon::Camera rebuilt(camera.m_position, Vector3(0, 0, 0), Vector3(0, 1, 0));
        if (!std::equal(std::begin(camera.m_viewMatrix.m), std::end(camera.m_viewMatrix.m),
                        std::begin(rebuilt.m_viewMatrix.m),
                        [](float a, float b) { return Bits(a) == Bits(b); })) {
            throw std::runtime_error("the frame's camera matrices do not belong to its position");
        }

        // Events are handled in posting order and publishes happen in order, so the frame must
        // equal the settings after some prefix of the script, no shorter than the last frame's.
        // Taking the shortest match keeps that search sound when settings repeat.
        const Settings seen = Observe(flock, m_scene->m_taskCount);
        std::size_t prefix = m_prefix;
        while (prefix < m_states.size() && !(m_states[prefix] == seen)) {
            ++prefix;
        }
        if (prefix == m_states.size()) {
            throw std::runtime_error("frame " + std::to_string(m_frames) + " (" + Describe(seen) +
                                     ") follows from no prefix of the events of " +
                                     std::to_string(m_prefix) + " or more");
        }
        ++m_frames;
        m_prefix = prefix;
        if (m_prefix + 1 == m_states.size() && !m_lastFrameSeen) {
            m_lastFrameSeen = true;
            m_progress.LastFrameSeen();
        }
    }

private:
    std::shared_ptr<TestScene> m_scene;
    // Owned by the test, which outlives this thread.
    const std::vector<Settings>& m_states;
    Progress& m_progress;
    std::size_t m_prefix = 0;
    std::uint64_t m_frames = 0;
    bool m_lastFrameSeen = false;
    Vector3 m_lastPosition;
    Vector3 m_lastVelocity;
    float m_lastPathParameter = 0.0f;
};

std::string Describe(const std::exception_ptr& failure) {
    if (!failure) {
        return "none";
    }
    try {
        std::rethrow_exception(failure);
    } catch (const Quellon::Exception& e) {
        return "Exception: " + Quellon::WideToUtf8(e.GetMessage());
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown";
    }
}

TEST(LogicStress, ReaderSeesOnlyWholeOrderedPublishesWhileEventsPourIn) {
    const Script script = MakeScript(20240611);
    Progress progress;
    Quellon::Barrier initBarrier(2);
    Quellon::Barrier readyBarrier(2);
    auto working = std::make_shared<TestScene>();
    auto shared = std::make_shared<TestScene>();
    auto logic =
        std::make_shared<Quellon::Logic>(std::make_shared<TestLogic>(working), working, shared);
    Quellon::UserEventQueue* const queue = logic->GetEventQueue();
    const auto failed = [&progress] { progress.Fail(); };
    // The renderer's thread starts first, as in the program: the logic's Init copies what the
    // renderer's Init wrote.
    auto reader = std::make_shared<FrameReader>(shared, script, progress);
    Quellon::Thread readerThread(std::make_shared<Quellon::Render>(reader, shared), &initBarrier,
                                 &readyBarrier, failed);
    Quellon::Thread logicThread(logic, &initBarrier, &readyBarrier, failed);

    // Unchecked, the producer posts the whole script before the logic's first iteration, and
    // the queue and the publish are never contended. It may run one chunk ahead of the logic,
    // so the logic always finds events waiting while more arrive.
    std::size_t posted = 0;
    std::thread producer([&] {
        std::size_t markers = 0;
        while (posted < script.events.size()) {
            const std::size_t end = std::min(posted + kChunk, script.events.size());
            for (; posted < end; ++posted) {
                queue->Post(script.events[posted]);
            }
            queue->Post(std::make_shared<Marker>(progress));
            ++markers;
            if (!progress.WaitForMarkers(markers - 1)) {
                return;
            }
        }
    });
    producer.join();
    const bool allHandled = posted == script.events.size() && progress.WaitForLastFrame();
    const auto stopStart = std::chrono::steady_clock::now();
    logicThread.RequestStop();
    readerThread.RequestStop();
    logicThread.Join();
    readerThread.Join();
    // How long the stop took is reported, not asserted: the sanitizers' slowdown varies.
    ::testing::Test::RecordProperty(
        "stop_ms", std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - stopStart)
                                      .count()));

    EXPECT_EQ(script.events.size(), posted);
    EXPECT_TRUE(allHandled);
    EXPECT_EQ("none", Describe(logicThread.GetFailure()));
    EXPECT_EQ("none", Describe(readerThread.GetFailure()));
}

}  // namespace
}  // namespace Avidrift
