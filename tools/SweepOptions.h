#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimulatorOptions.h"

namespace Avidrift {

// One varied parameter: a --set name of avidrift-sim, or boids, steps or dt, and its values in
// the order they run (counts stored exactly as doubles).
struct SweepVariable {
    std::string name;
    std::vector<double> values;
};

struct SweepOptions {
    std::string outDir;
    std::vector<SweepVariable> vary;  // the first varies slowest
    SimulatorOptions base;            // --boids, --steps, --dt, --tasks, --set, --every
    std::uint32_t jobs = 0;           // 0: the processor count / (tasks x ranks on the machine)
    bool help = false;

    std::uint32_t GetRunCount() const;
    // The simulation of run r: the base with the run's varied values applied after the --set
    // values.
    SimulatorOptions GetRun(std::uint32_t r) const;
    // The run's varied values as the summary writes them, each after a comma.
    std::string FormatRunValues(std::uint32_t r) const;
    // runs/NNNN: as many digits as the last run needs, at least four.
    std::string GetRunName(std::uint32_t r) const;
    // The largest flock any run places.
    std::uint32_t GetLargestFlock() const;
    // Everything that decides the runs' results, with the program's version, as one line of
    // JSON: a rerun with the same text resumes, any other is refused. --tasks and --jobs change
    // only the speed and are left out.
    std::string FormatSweepJson() const;
    // Throws UsageError, showing what differs, when stored (the folder's sweep.json) is not what
    // FormatSweepJson writes: another version of the program, or another sweep.
    void CheckSweepJson(const std::string& stored) const;
};

// The version sweep.json records: the project's.
extern const char* const kSweepVersion;

// Parses the command line; throws UsageError naming the offending argument. --boids, --steps,
// --dt, --tasks, --set and --every are read by avidrift-sim's own parser.
SweepOptions ParseSweepOptions(const std::vector<std::string>& arguments);

// How many of the wanted jobs fit into availableBytes, each holding a flock of boids; 0 when not
// even one does.
std::uint32_t FitJobs(std::uint32_t wanted, std::uint32_t boids, std::uint64_t availableBytes);

// summary.csv from the runs' metrics logs (text in run order, empty for a run not finished;
// seconds < 0 when unknown): run, the varied values, each measure's last value and its mean over
// the last fifth of the rows, and seconds. Throws std::runtime_error naming a malformed log.
std::string FormatSummary(const SweepOptions& sweep, const std::vector<std::string>& logs,
                          const std::vector<double>& seconds);

extern const char* const kSweepUsage;

}  // namespace Avidrift
