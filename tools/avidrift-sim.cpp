// Headless flock simulator: steps a flock exactly as the program does and reports the speed.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockMemory.h"
#include "Avidrift/Flock/FlockMetrics.h"
#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Tasks/ProcessorCount.h"
#include "Avidrift/Tasks/TaskScheduler.h"
#include "Avidrift/Trajectory/TrajectoryWriter.h"
#include "Quellon/Exception.h"
#include "Quellon/Text.h"
#include "Quellon/Timer.h"
#include "SimulatorOptions.h"

namespace {

using Avidrift::FlockData;

// Redraws a bar on standard error, at most ten times a second, once the run has taken a second.
class ProgressBar {
public:
    explicit ProgressBar(std::uint32_t total) : m_total(total), m_enabled(isatty(2) != 0) {}

    void Update(std::uint32_t done, double elapsedSeconds) {
        if (!m_enabled || elapsedSeconds < 1.0 || elapsedSeconds - m_lastDraw < 0.1) {
            return;
        }
        m_lastDraw = elapsedSeconds;
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
    double m_lastDraw = 0.0;
};

using DumpFile = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Opened before the first step: an output that cannot be written is a bad argument, and it
// must not cost the whole run first. False after the message.
bool OpenOutput(const std::string& name, DumpFile& file) {
    if (!name.empty()) {
        file.reset(std::fopen(name.c_str(), "wb"));
        if (!file) {
            std::fprintf(stderr, "avidrift-sim: cannot write '%s': %s\n", name.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool Write(std::FILE* file, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

// Closes the file and says why when the text did not all reach it. False after the message.
bool Close(const std::string& name, DumpFile& file, bool written) {
    const int error = errno;
    const bool flushed = written && std::fflush(file.get()) == 0;
    const int flushError = errno;
    if (!flushed || std::fclose(file.release()) != 0) {
        std::fprintf(stderr, "avidrift-sim: cannot write '%s': %s\n", name.c_str(),
                     std::strerror(!written   ? error
                                   : !flushed ? flushError
                                              : errno));
        return false;
    }
    return true;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t m = values.size();
    return m % 2 == 1 ? values[m / 2] : (values[m / 2 - 1] + values[m / 2]) / 2;
}

int Run(const Avidrift::SimulatorOptions& options) {
    DumpFile dump(nullptr, &std::fclose);
    DumpFile metricsLog(nullptr, &std::fclose);
    if (!OpenOutput(options.dumpFile, dump) || !OpenOutput(options.metricsFile, metricsLog)) {
        return 2;
    }
    // Linux overcommits: a flock beyond the machine is not refused by std::bad_alloc but
    // killed once it has taken all memory.
    const std::string shortfall =
        Avidrift::DescribeFlockShortfall(options.boids, Avidrift::GetAvailableMemory());
    if (!shortfall.empty()) {
        std::fprintf(stderr, "avidrift-sim: %s\n", shortfall.c_str());
        return 1;
    }

    FlockData flock = Avidrift::MakeFlock(options);
    FlockData written = flock;
    // Created before the first step, as the other outputs are opened.
    std::unique_ptr<Avidrift::TrajectoryWriter> trajectory;
    if (!options.trajectoryFile.empty()) {
        try {
            trajectory = std::make_unique<Avidrift::TrajectoryWriter>(
                options.trajectoryFile, flock,
                Avidrift::TrajectoryCreator{"avidrift-sim", AVIDRIFT_VERSION, ""},
                metricsLog ? Avidrift::GetMeasureNames() : std::vector<std::string>());
        } catch (const Avidrift::TrajectoryError& error) {
            std::fprintf(stderr, "avidrift-sim: %s\n", error.what());
            return 2;
        }
    }

    const std::uint32_t tasks = options.tasks != 0 ? options.tasks : Avidrift::GetProcessorCount();
    Avidrift::TaskScheduler scheduler;
    Avidrift::FlockStep step(scheduler);
    step.SetSearchMode(Avidrift::ParseSearchMode(options.search));
    Quellon::Timer timer;
    Avidrift::FlockMetrics metrics(scheduler);
    metrics.SetSearchMode(Avidrift::ParseSearchMode(options.search));
    std::vector<double> metricsSeconds;
    bool logged = true;
    // The measures and the frame of step k, each when asked for.
    const auto record = [&](std::uint32_t k) {
        Avidrift::FlockMeasures measures;
        if (metricsLog) {
            timer.Tick();
            measures = metrics.Measure(flock, tasks);
            metricsSeconds.push_back(timer.Tick());
            logged = logged && Write(metricsLog.get(),
                                     Avidrift::FormatMetricsRow(k, options.stepTime, measures));
        }
        if (trajectory) {
            trajectory->WriteFrame(
                k, static_cast<double>(k) * static_cast<double>(options.stepTime), flock,
                metricsLog ? Avidrift::GetMeasureValues(measures) : std::vector<double>());
        }
    };
    Quellon::Timer total;
    double elapsed = 0.0;
    std::vector<double> stepSeconds;
    stepSeconds.reserve(options.steps);
    if (metricsLog) {
        logged = Write(metricsLog.get(), Avidrift::FormatMetricsHeader());
    }
    record(0);
    {
        ProgressBar progress(options.steps);
        for (std::uint32_t k = 0; k < options.steps; ++k) {
            timer.Tick();
            step.Run(flock, written, tasks, options.stepTime);
            if (k == 0 && step.GetLastSearch() != Avidrift::NeighbourSearchMode::Grid &&
                Avidrift::ParseSearchMode(options.search) == Avidrift::NeighbourSearchMode::Grid) {
                std::fprintf(
                    stderr,
                    "avidrift-sim: --search grid cannot be used for this flock (too few "
                    "boids, or a distance too large for a grid); all pairs are searched\n");
            }
            flock = written;  // the publish copy is part of every program iteration too
            stepSeconds.push_back(timer.Tick());
            if ((k + 1) % options.every == 0) {
                record(k + 1);
            }
            elapsed += total.Tick();
            progress.Update(k + 1, elapsed);
        }
    }

    if (dump &&
        !Close(options.dumpFile, dump, Write(dump.get(), Avidrift::FormatFlockCsv(flock)))) {
        return 1;
    }
    if (metricsLog && !Close(options.metricsFile, metricsLog, logged)) {
        return 1;
    }
    if (trajectory) {
        trajectory->Close();
    }

    const double median = Median(stepSeconds);
    const double n = options.boids;
    const double stepsPerSecond = median > 0 ? 1.0 / median : 0.0;
    const char* search =
        step.GetLastSearch() == Avidrift::NeighbourSearchMode::Grid ? "grid" : "all-pairs";
    std::printf("boids=%" PRIu32 " tasks=%" PRIu32 " steps=%" PRIu32
                " dt=%g search=%s isa=%s step_ms_median=%.6g steps_per_s=%.6g pairs_per_s=%.6g"
                " total_s=%.6g\n",
                options.boids, tasks, options.steps, static_cast<double>(options.stepTime), search,
                Avidrift::GetInstructionSetName(step.GetInstructionSet()), median * 1000.0,
                stepsPerSecond, n * n * stepsPerSecond, elapsed);
    if (!metricsSeconds.empty()) {
        // The measured cost of the metrics against the step's, the budget being one step.
        const double metricsMedian = Median(metricsSeconds);
        std::printf("metrics_ms_median=%.6g metrics_per_step=%.3g\n", metricsMedian * 1000.0,
                    median > 0 ? metricsMedian / median : 0.0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Avidrift::SimulatorOptions options =
            Avidrift::ParseSimulatorOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::fputs(Avidrift::kSimulatorUsage, stdout);
            return 0;
        }
        return Run(options);
    } catch (const Avidrift::UsageError& error) {
        std::fprintf(stderr, "avidrift-sim: %s (see --help)\n", error.what());
        return 2;
    } catch (const Quellon::Exception& error) {
        std::fprintf(stderr, "avidrift-sim: %s %s\n",
                     Quellon::WideToUtf8(error.GetMessage()).c_str(),
                     Quellon::WideToUtf8(error.GetErrorText()).c_str());
        return 1;
    } catch (const Avidrift::TrajectoryError& error) {
        // The file keeps every frame written before the failure.
        std::fprintf(stderr, "avidrift-sim: %s\n", error.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "avidrift-sim: not enough memory for this flock\n");
        return 1;
    }
}
