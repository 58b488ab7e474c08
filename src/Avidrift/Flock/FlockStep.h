#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "Avidrift/Flock/NeighbourGrid.h"
#include "Avidrift/Flock/NeighbourSearch.h"

namespace Avidrift {

struct FlockData;
class TaskScheduler;

// Half-open range of boid indices.
struct BoidSlice {
    std::uint32_t begin;
    std::uint32_t end;
};

// How a step finds each boid's neighbours. All give bit-identical results; they differ in cost.
enum class NeighbourSearchMode {
    Auto,      // the step chooses from the flock size and the distances
    AllPairs,  // every boid against every other, vectorised
    Grid,      // only boids in the same or adjacent cells of a uniform grid
};

// The work of one step, for benchmarks and tools.
struct StepCounts {
    // Grid: each boid times the boids of its cell's neighbourhood. All pairs: n squared.
    std::uint64_t candidatePairs = 0;
    // The pairs the kernels tested: the grid drops candidates far from each block of boids.
    std::uint64_t examinedPairs = 0;
    // The pairs that counted for separation or the group, each counted once per boid.
    std::uint64_t neighbourPairs = 0;
};

// One simulation step of the whole flock, split into tasks on a scheduler. The flock logic and
// the headless simulator both step through this class, so the program and the benchmarks
// cannot drift apart. Every boid is steered exactly as the scalar reference steers it (its
// neighbours accumulated in ascending index order), so the result is bit-identical for every
// task count and every search.
class FlockStep {
public:
    // The scheduler is borrowed and must outlive the step. Uses the widest instruction set the
    // CPU offers.
    explicit FlockStep(TaskScheduler& scheduler);

    // Called on the submitting thread. Reads read, writes write (its arrays resized to read's
    // count when it differs; its parameters are kept), blocks until every task has finished.
    // Returns false when cancel became true during the step: write then holds a partial state
    // that must not be published.
    bool Run(const FlockData& read, FlockData& write, std::uint32_t taskCount, float stepTime,
             const std::atomic<bool>* cancel = nullptr);

    void SetSearchMode(NeighbourSearchMode mode) { m_mode = mode; }
    // For tests and benchmarks: the kernel's instruction set; it must be one the CPU runs.
    void SetInstructionSet(InstructionSet instructionSet);
    InstructionSet GetInstructionSet() const { return m_instructionSet; }
    // The search the last Run used (Auto never appears).
    NeighbourSearchMode GetLastSearch() const { return m_lastSearch; }
    // What the last Run did; zero for a step of fewer than 64 boids or without any distance.
    const StepCounts& GetLastCounts() const { return m_lastCounts; }

    // From this many boids Auto searches a grid: below it the grid's sort costs more than the
    // all-pairs scan it saves (measured on the default flock: the two break even at about 1,800
    // boids). Whatever else chooses between the two searches reads it here.
    static constexpr std::uint32_t kGridFrom = 1800;

    // More tasks than this only cost memory and scheduling (8 million tasks of one boid each
    // took 1.5 GB and several times longer per step).
    static constexpr std::uint32_t kMaxTasks = 1024;

    // The number of tasks a step really creates: 0 acts as 1, never more than one task per
    // boid and never more than kMaxTasks. Per-boid results do not depend on the slicing, so
    // capping changes nothing but the cost of a huge requested count.
    static std::uint32_t TaskCountFor(std::uint32_t requested, std::uint32_t boidCount);

    // Slice k of n boids split into taskCount tasks: [floor(k n / T), floor((k + 1) n / T)),
    // the last one ending at n.
    static BoidSlice Slice(std::uint32_t k, std::uint32_t boidCount, std::uint32_t taskCount);

private:
    // What every stage of one Run reads.
    struct Pass {
        const FlockData& read;
        FlockData& write;
        std::uint32_t tasks;
        NeighbourThresholds thresholds;
        float stepTime;
        const std::atomic<bool>* cancel;
    };

    // gridBuilt: the grid holds this step's boids; without it the search is all pairs.
    NeighbourSearchMode ChooseSearch(const FlockData& read, bool gridBuilt) const;
    // The stages of a Run of more than a handful of boids, one batch each: the copy into the
    // kernels' arrays (with the grid's build), then the chosen search.
    void CopyIntoArrays(const Pass& pass, bool buildGrid);
    void RunWithoutNeighbours(const Pass& pass);
    void RunAllPairs(const Pass& pass);
    void RunGrid(const Pass& pass);

    TaskScheduler& m_scheduler;
    NeighbourSearchMode m_mode = NeighbourSearchMode::Auto;
    NeighbourSearchMode m_lastSearch = NeighbourSearchMode::AllPairs;
    StepCounts m_lastCounts;
    InstructionSet m_instructionSet;
    AccumulateFunction m_accumulate;
    KeepFunction m_keep;
    FinishFunction m_finish;
    BoidArrays m_arrays;
    NeighbourGrid m_grid;
};

}  // namespace Avidrift
