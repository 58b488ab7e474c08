#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockMetrics.h"
#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Tasks/TaskScheduler.h"

namespace Avidrift {

// A flock stepped one step at a time as avidrift-sim steps it: the same placement, the same
// step into a second record and the same copy back, so the flock's own arrays never move and
// every state is the simulator's, bit for bit. Knows nothing of Python.
class FlockSession {
public:
    // The defaults, then the world file (when given), then the settings in order, then boids on
    // the knot (the world's count when boids is not given). Throws UsageError for a bad
    // setting or search, WorldFileError for a bad world, std::bad_alloc beyond memory.
    FlockSession(std::optional<std::uint32_t> boids, std::uint32_t tasks, const std::string& search,
                 const std::string& worldFile,
                 const std::vector<std::pair<std::string, float>>& settings);

    void Step(float stepTime);
    FlockMeasures Measure();

    FlockData& GetFlock() { return m_flock; }
    const FlockData& GetFlock() const { return m_flock; }
    std::uint32_t GetTasks() const { return m_tasks; }
    NeighbourSearchMode GetSearch() const { return m_search; }
    // The search the last step used; Auto before the first.
    NeighbourSearchMode GetLastSearch() const {
        return m_steps == 0 ? m_search : m_step.GetLastSearch();
    }
    InstructionSet GetInstructionSet() const { return m_step.GetInstructionSet(); }

    std::uint64_t GetSteps() const { return m_steps; }
    // step x dt for a run of one dt, exactly as the simulator's log computes it; a change of
    // dt starts a new product from the time reached.
    double GetTime() const;

private:
    FlockData m_flock;
    FlockData m_written;
    std::uint32_t m_tasks;
    NeighbourSearchMode m_search;
    TaskScheduler m_scheduler;
    FlockStep m_step;
    FlockMetrics m_metrics;
    std::atomic<std::uint64_t> m_steps = 0;
    double m_timeBefore = 0.0;  // the time when dt last changed
    std::uint64_t m_stepsAtDt = 0;
    float m_stepTime = 0.0f;
};

// The value a parameter of the settings table holds (maxSpeed: its x component).
float ReadSetting(const FlockData& flock, const std::string& name);
// The names of the settings table, in its order.
std::vector<std::string> GetSettingNames();

}  // namespace Avidrift
