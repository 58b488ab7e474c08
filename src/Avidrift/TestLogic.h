#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Settings.h"
#include "Avidrift/Tasks/TaskScheduler.h"
#include "Quellon/ILogicCallable.h"

namespace Avidrift {

class TestScene;

// The flock program's logic (the "Test" in the name comes from the design): places the flock,
// applies settings and mouse input to the working scene, and advances the flock one step per
// iteration on its task scheduler. Paused (SimulationEvents), an iteration still applies the
// events and lets Logic publish, but steps only when a step was asked for.
class TestLogic : public Quellon::ILogicCallable {
public:
    // What a test puts in place of the machine's figures, and the moments it waits for. The
    // program's logic has none; each is looked at once per step or per flock size, never
    // inside a step.
    struct TestHooks {
        // Bytes the machine can still give a flock; empty: GetAvailableMemory().
        std::function<std::uint64_t()> availableMemory;
        // Called on the logic thread as a step begins, before any of its work.
        std::function<void()> stepBegins;
    };

    // Called on the main thread; keeps the scene. Throws Exception when the worker pool cannot
    // be made.
    explicit TestLogic(std::shared_ptr<TestScene> scene, TestHooks hooks = {});

    // Called on the logic thread. The events are MouseEvents, ValueChangedEvents and
    // SimulationEvents; events of other classes are ignored.
    void OnMouseEvent(float elapsedSeconds, std::shared_ptr<Quellon::IUserEvent> event) override;
    void OnCustomEvent(float elapsedSeconds, std::shared_ptr<Quellon::IUserEvent> event) override;
    ~TestLogic() override;
    void Init() override;
    void Update(float elapsedSeconds) override;

    // Called on the stopping thread, possibly during Update: the step in flight is abandoned
    // within a few hundred boids per task and nothing of it reaches the scene.
    void RequestStop() override;

    // A setting's float converted to a count: truncated towards zero, NaN and negatives as 0,
    // values beyond 32 bits as the largest 32-bit count.
    static std::uint32_t TruncateToCount(float value);

    // The step time of a step asked for while paused.
    static constexpr float kPausedStepSeconds = 1.0f / 60.0f;

private:
    void SetFlockSize(float requested);
    void Step(float seconds);
    void OnWorldEvent(const class WorldEvent& event);
    // Replaces the autonomous predators with count new ones; the user's predator stays last.
    void SetAutonomousPredators(std::uint32_t count);
    void StopHunt();
    // The world page learns the world as it now stands.
    void PublishWorld();
    // The camera about its centre (the followed boid, else the origin) at m_eyeOffset from it.
    void PlaceCamera();
    // The selected boid inspected on the published flock, for the renderer and the page.
    void Inspect(float stepTime);
    void Deselect();

    std::shared_ptr<TestScene> m_scene;
    TestHooks m_hooks;
    // The state the step writes, and where changed parameters wait for the next publish.
    FlockData m_flock;
    TaskScheduler m_scheduler;
    FlockStep m_step;
    std::atomic<bool> m_stopRequested{false};
    // Logic thread only.
    bool m_paused = false;
    std::uint32_t m_stepsAsked = 0;
    // While hunting, the user's predator is the last of m_flock.predators.
    bool m_hunting = false;
    // The obstacle a Shift+drag holds.
    std::optional<std::uint32_t> m_grabbed;
    // The boid the user picked, and whether the camera follows it.
    std::optional<std::uint32_t> m_selected;
    bool m_following = false;
    // Whether the page was last told of a selected boid.
    bool m_inspectionPublished = true;
    // The eye's place relative to what it looks at; orbit and zoom change it.
    Quellon::Vector3 m_eyeOffset;
    // A paused iteration rests on these instead of spinning a core; RequestStop wakes it.
    std::mutex m_restMutex;
    std::condition_variable m_restWake;
};

}  // namespace Avidrift
