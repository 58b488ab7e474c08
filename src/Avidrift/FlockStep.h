#pragma once

#include <atomic>
#include <cstdint>

namespace Avidrift {

struct FlockData;
class TaskScheduler;

// Half-open range of boid indices.
struct BoidSlice {
    std::uint32_t begin;
    std::uint32_t end;
};

// One simulation step of the whole flock, split into FlockTasks on a scheduler. The flock logic
// and the headless simulator both step through this class, so the program and the benchmarks
// cannot drift apart.
class FlockStep {
public:
    // The scheduler is borrowed and must outlive the step.
    explicit FlockStep(TaskScheduler& scheduler) : m_scheduler(scheduler) {}

    // Called on the submitting thread. Reads read, writes write (its arrays resized to read's
    // count when it differs; its parameters are kept), blocks until every task has finished.
    // Returns false when cancel became true during the step: write then holds a partial state that
    // must not be published.
    bool Run(const FlockData& read, FlockData& write, std::uint32_t taskCount, float stepTime,
             const std::atomic<bool>* cancel = nullptr);

    // The number of tasks a step really creates: 0 acts as 1, and never more than one task per
    // boid. Per-boid results do not depend on the slicing, so capping changes nothing but the
    // cost of a huge requested count.
    static std::uint32_t TaskCountFor(std::uint32_t requested, std::uint32_t boidCount);

    // Slice k of n boids split into taskCount tasks: [floor(k n / T), floor((k + 1) n / T)),
    // the last one ending at n.
    static BoidSlice Slice(std::uint32_t k, std::uint32_t boidCount, std::uint32_t taskCount);

private:
    TaskScheduler& m_scheduler;
};

}  // namespace Avidrift
