#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockStep.h"
#include "SimulatorOptions.h"

namespace Avidrift {

struct FlockMeasures;
class TaskScheduler;

// Where a simulation hands what it finds; both are optional. They are called on the thread that
// called Simulate, between steps; an exception from either ends the simulation and leaves it.
struct SimulationSink {
    // Each measured row: step 0, then after every options.every-th step. Unset: no measures.
    std::function<void(std::uint32_t step, const FlockMeasures& measures)> measured;
    // The state at step 0 and after every options.every-th step, after its measures (if any).
    std::function<void(std::uint32_t step, const FlockData& flock)> frame;
    // After each step: the steps done and the search that step used.
    std::function<void(std::uint32_t stepsDone, NeighbourSearchMode search)> stepped;
};

struct SimulationResult {
    FlockData flock;  // the state after the last step
    std::uint32_t tasks = 0;
    NeighbourSearchMode search = NeighbourSearchMode::AllPairs;  // the last step's, never Auto
    InstructionSet instructionSet = InstructionSet::Portable;
    StepCounts lastCounts;               // the pairs the last step proposed, examined and counted
    std::vector<double> stepSeconds;     // each step with its publish copy
    std::vector<double> measureSeconds;  // each measured row
    double seconds = 0.0;                // the steps and the measures after them
};

// The tasks a simulation of these options uses: --tasks, or the processor count for 0.
std::uint32_t GetTaskCount(const SimulatorOptions& options);

// Places the flock the options describe, steps it options.steps times on scheduler and measures
// it as the sink asks. Prints nothing. avidrift-sim and every run of avidrift-sweep go through
// here, so a sweep's log is the simulator's, byte for byte.
SimulationResult Simulate(const SimulatorOptions& options, const SimulationSink& sink,
                          TaskScheduler& scheduler);

}  // namespace Avidrift
