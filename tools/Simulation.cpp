#include "Simulation.h"

#include "Avidrift/Flock/FlockMetrics.h"
#include "Avidrift/Tasks/ProcessorCount.h"
#include "Quellon/Timer.h"

namespace Avidrift {

std::uint32_t GetTaskCount(const SimulatorOptions& options) {
    return options.tasks != 0 ? options.tasks : GetProcessorCount();
}

SimulationResult Simulate(const SimulatorOptions& options, const SimulationSink& sink,
                          TaskScheduler& scheduler) {
    SimulationResult result;
    result.tasks = GetTaskCount(options);
    result.flock = MakeFlock(options);
    FlockData written = result.flock;
    FlockData& flock = result.flock;

    FlockStep step(scheduler);
    step.SetSearchMode(options.search);
    FlockMetrics metrics(scheduler);
    metrics.SetSearchMode(options.search);
    Quellon::Timer timer;
    const auto record = [&](std::uint32_t k) {
        if (sink.measured) {
            timer.Tick();
            const FlockMeasures measures = metrics.Measure(flock, result.tasks);
            result.measureSeconds.push_back(timer.Tick());
            sink.measured(k, measures);
        }
        if (sink.frame) {
            sink.frame(k, flock);
        }
    };
    record(0);
    Quellon::Timer total;
    total.Tick();
    result.stepSeconds.reserve(options.steps);
    for (std::uint32_t k = 1; k <= options.steps; ++k) {
        timer.Tick();
        step.Run(flock, written, result.tasks, options.stepTime);
        flock = written;  // the program publishes a copy every step, so it is part of the cost
        result.stepSeconds.push_back(timer.Tick());
        if (k % options.every == 0) {
            record(k);
        }
        if (sink.stepped) {
            sink.stepped(k, step.GetLastSearch());
        }
    }
    result.seconds = total.Tick();
    result.search = step.GetLastSearch();
    result.instructionSet = step.GetInstructionSet();
    result.lastCounts = step.GetLastCounts();
    return result;
}

}  // namespace Avidrift
