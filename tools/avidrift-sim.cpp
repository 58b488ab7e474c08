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
#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Tasks/ProcessorCount.h"
#include "Avidrift/Tasks/TaskScheduler.h"
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

int Run(const Avidrift::SimulatorOptions& options) {
    // Opened before the first step: a dump that cannot be written is a bad argument, and it
    // must not cost the whole run first.
    DumpFile dump(nullptr, &std::fclose);
    if (!options.dumpFile.empty()) {
        dump.reset(std::fopen(options.dumpFile.c_str(), "wb"));
        if (!dump) {
            std::fprintf(stderr, "avidrift-sim: cannot write '%s': %s\n", options.dumpFile.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    // Linux overcommits: a flock beyond the machine is not refused by std::bad_alloc but
    // killed once it has taken all memory.
    const std::string shortfall =
        Avidrift::DescribeFlockShortfall(options.boids, Avidrift::GetAvailableMemory());
    if (!shortfall.empty()) {
        std::fprintf(stderr, "avidrift-sim: %s\n", shortfall.c_str());
        return 1;
    }

    FlockData flock;
    flock.ApplyDefaults();
    for (const auto& [name, value] : options.settings) {
        Avidrift::ApplySetting(flock, name, value);
    }
    flock.SetFlockSize(options.boids);
    FlockData written = flock;

    const std::uint32_t tasks = options.tasks != 0 ? options.tasks : Avidrift::GetProcessorCount();
    Avidrift::TaskScheduler scheduler;
    Avidrift::FlockStep step(scheduler);
    step.SetSearchMode(Avidrift::ParseSearchMode(options.search));
    Quellon::Timer total;
    Quellon::Timer timer;
    double elapsed = 0.0;
    std::vector<double> stepSeconds;
    stepSeconds.reserve(options.steps);
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
            elapsed += total.Tick();
            progress.Update(k + 1, elapsed);
        }
    }

    if (dump) {
        const std::string csv = Avidrift::FormatFlockCsv(flock);
        const bool stored = std::fwrite(csv.data(), 1, csv.size(), dump.get()) == csv.size() &&
                            std::fflush(dump.get()) == 0;
        const int error = errno;
        if (!stored || std::fclose(dump.release()) != 0) {
            std::fprintf(stderr, "avidrift-sim: cannot write '%s': %s\n", options.dumpFile.c_str(),
                         std::strerror(stored ? errno : error));
            return 1;
        }
    }

    double median = 0.0;
    if (!stepSeconds.empty()) {
        std::sort(stepSeconds.begin(), stepSeconds.end());
        const std::size_t m = stepSeconds.size();
        median =
            m % 2 == 1 ? stepSeconds[m / 2] : (stepSeconds[m / 2 - 1] + stepSeconds[m / 2]) / 2;
    }
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
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "avidrift-sim: not enough memory for this flock\n");
        return 1;
    }
}
