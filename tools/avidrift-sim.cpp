// Headless flock simulator: steps a flock exactly as the program does and reports the speed.

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "Avidrift/Flock/FlockMemory.h"
#include "Avidrift/Flock/FlockMetrics.h"
#include "Avidrift/Flock/StepFloor.h"
#include "Avidrift/Tasks/TaskScheduler.h"
#include "Avidrift/Trajectory/TrajectoryWriter.h"
#include "OutputFile.h"
#include "Quellon/Exception.h"
#include "Quellon/Text.h"
#include "Quellon/Timer.h"
#include "Simulation.h"

namespace {

using Avidrift::SimulatorOptions;

// Redraws a bar on standard error, at most ten times a second, once the run has taken a second.
class ProgressBar {
public:
    explicit ProgressBar(std::uint32_t total) : m_total(total), m_enabled(isatty(2) != 0) {}

    void Update(std::uint32_t done) {
        m_elapsed += m_clock.Tick();
        if (!m_enabled || m_elapsed < 1.0 || m_elapsed - m_lastDraw < 0.1) {
            return;
        }
        m_lastDraw = m_elapsed;
        m_drawn = true;
        constexpr int kWidth = 40;
        const int filled = static_cast<int>(static_cast<double>(done) / m_total * kWidth);
        std::fprintf(stderr, "\r[%s%s] %" PRIu32 "/%" PRIu32, std::string(filled, '#').c_str(),
                     std::string(kWidth - filled, ' ').c_str(), done, m_total);
        std::fflush(stderr);
    }

    ~ProgressBar() {
        if (m_drawn) {
            std::fprintf(stderr, "\r%60s\r", "");
        }
    }

private:
    std::uint32_t m_total;
    bool m_enabled;
    bool m_drawn = false;
    Quellon::Timer m_clock;
    double m_elapsed = 0.0;
    double m_lastDraw = 0.0;
};

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t m = values.size();
    return m % 2 == 1 ? values[m / 2] : (values[m / 2 - 1] + values[m / 2]) / 2;
}

// Linux overcommits: a flock beyond the machine is not refused by std::bad_alloc but killed once
// it has taken all memory. False after the message.
bool CheckMemory(const SimulatorOptions& options) {
    const std::string shortfall =
        Avidrift::DescribeFlockShortfall(options.boids, Avidrift::GetAvailableMemory());
    if (!shortfall.empty()) {
        std::fprintf(stderr, "avidrift-sim: %s\n", shortfall.c_str());
    }
    return shortfall.empty();
}

// The outputs the options ask for, created (as .part files) after every refusal and before the
// first step: an output that cannot be written is a bad argument and must not cost the run, and
// a refused or failed run leaves the user's files as they were.
struct Outputs {
    std::optional<Avidrift::OutputFile> dump;
    std::optional<Avidrift::OutputFile> metrics;
    // Written as frames come, not renamed: a run cut short keeps the frames it wrote.
    std::unique_ptr<Avidrift::TrajectoryWriter> trajectory;
};

void OpenOutputs(const SimulatorOptions& options, Outputs& outputs) {
    if (!options.dumpFile.empty()) {
        outputs.dump.emplace(options.dumpFile);
    }
    if (!options.metricsFile.empty()) {
        outputs.metrics.emplace(options.metricsFile);
        outputs.metrics->Write(Avidrift::FormatMetricsHeader());
    }
    if (!options.trajectoryFile.empty()) {
        try {
            outputs.trajectory = std::make_unique<Avidrift::TrajectoryWriter>(
                options.trajectoryFile, Avidrift::MakeFlock(options),
                Avidrift::TrajectoryCreator{"avidrift-sim", AVIDRIFT_VERSION, ""},
                outputs.metrics ? Avidrift::GetMeasureNames() : std::vector<std::string>());
        } catch (const Avidrift::TrajectoryError& error) {
            throw Avidrift::OutputError(error.what());
        }
    }
}

Avidrift::SimulationResult Simulate(const SimulatorOptions& options, Outputs& outputs) {
    Avidrift::SimulationSink sink;
    // The frame of a measured step carries that step's measures.
    std::vector<double> observables;
    if (outputs.metrics) {
        sink.measured = [&](std::uint32_t step, const Avidrift::FlockMeasures& measures) {
            outputs.metrics->Write(Avidrift::FormatMetricsRow(step, options.stepTime, measures));
            observables = Avidrift::GetMeasureValues(measures);
        };
    }
    if (outputs.trajectory) {
        sink.frame = [&](std::uint32_t step, const Avidrift::FlockData& flock) {
            outputs.trajectory->WriteFrame(
                step, static_cast<double>(step) * static_cast<double>(options.stepTime), flock,
                observables);
        };
    }
    ProgressBar progress(options.steps);
    sink.stepped = [&](std::uint32_t done, Avidrift::NeighbourSearchMode search) {
        if (done == 1 && options.search == Avidrift::NeighbourSearchMode::Grid &&
            search != Avidrift::NeighbourSearchMode::Grid) {
            std::fprintf(stderr,
                         "avidrift-sim: --search grid cannot be used for this flock (too few "
                         "boids, or a distance too large for a grid); all pairs are searched\n");
        }
        progress.Update(done);
    };
    Avidrift::TaskScheduler scheduler;
    return Avidrift::Simulate(options, sink, scheduler);
}

void WriteOutputs(const Avidrift::SimulationResult& result, Outputs& outputs) {
    if (outputs.dump) {
        outputs.dump->Write(Avidrift::FormatFlockCsv(result.flock));
        outputs.dump->Commit();
    }
    if (outputs.metrics) {
        outputs.metrics->Commit();
    }
    if (outputs.trajectory) {
        outputs.trajectory->Close();
    }
}

// The last step's pairs, and its median time against its counted floor: the neighbour pairs
// priced at what the every-pair kernel pays, here and now, to add a pair up (an exact step adds
// every one in index order, so it cannot go below that).
void PrintFloor(const Avidrift::SimulationResult& result, double median) {
    const Avidrift::StepCounts& counts = result.lastCounts;
    Avidrift::TaskScheduler scheduler;
    const double price = Avidrift::MeasureEveryPairSecondsPerPair(
        scheduler, Avidrift::MakeCountedPairBall(), result.tasks);
    const double floor = static_cast<double>(counts.neighbourPairs) * price;
    std::printf("candidates=%" PRIu64 " examined=%" PRIu64 " neighbours=%" PRIu64
                " counted_pair_ns=%.4g counted_floor_ms=%.6g to_counted_floor=%.3g\n",
                counts.candidatePairs, counts.examinedPairs, counts.neighbourPairs, price * 1e9,
                floor * 1000.0, floor > 0 ? median / floor : 0.0);
}

void PrintReport(const SimulatorOptions& options, const Avidrift::SimulationResult& result) {
    const double median = Median(result.stepSeconds);
    const double n = options.boids;
    const double stepsPerSecond = median > 0 ? 1.0 / median : 0.0;
    std::printf("boids=%" PRIu32 " tasks=%" PRIu32 " steps=%" PRIu32
                " dt=%g search=%s isa=%s step_ms_median=%.6g steps_per_s=%.6g pairs_per_s=%.6g"
                " total_s=%.6g\n",
                options.boids, result.tasks, options.steps, static_cast<double>(options.stepTime),
                Avidrift::GetSearchName(result.search),
                Avidrift::GetInstructionSetName(result.instructionSet), median * 1000.0,
                stepsPerSecond, n * n * stepsPerSecond, result.seconds);
    if (options.pairs) {
        PrintFloor(result, median);
    }
    if (!result.measureSeconds.empty()) {
        // The measured cost of the metrics against the step's, the budget being one step.
        const double metricsMedian = Median(result.measureSeconds);
        std::printf("metrics_ms_median=%.6g metrics_per_step=%.3g\n", metricsMedian * 1000.0,
                    median > 0 ? metricsMedian / median : 0.0);
    }
}

int Run(const SimulatorOptions& options) {
    if (!CheckMemory(options)) {
        return 1;
    }
    Outputs outputs;
    try {
        OpenOutputs(options, outputs);
    } catch (const Avidrift::OutputError& error) {
        std::fprintf(stderr, "avidrift-sim: %s\n", error.what());
        return 2;
    }
    const Avidrift::SimulationResult result = Simulate(options, outputs);
    WriteOutputs(result, outputs);
    PrintReport(options, result);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const SimulatorOptions options =
            Avidrift::ParseSimulatorOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::fputs(Avidrift::GetSimulatorUsage().c_str(), stdout);
            return 0;
        }
        return Run(options);
    } catch (const Avidrift::UsageError& error) {
        std::fprintf(stderr, "avidrift-sim: %s (see --help)\n", error.what());
        return 2;
    } catch (const Avidrift::OutputError& error) {
        std::fprintf(stderr, "avidrift-sim: %s\n", error.what());
        return 1;
    } catch (const Quellon::Exception& error) {
        std::fprintf(stderr, "avidrift-sim: %s %s\n",
                     Quellon::WideToUtf8(error.GetMessage()).c_str(),
                     Quellon::WideToUtf8(error.GetErrorText()).c_str());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "avidrift-sim: not enough memory for this flock\n");
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "avidrift-sim: %s\n", error.what());
        return 1;
    }
}
