#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Avidrift/Flock/FlockStep.h"

namespace Avidrift {

struct FlockData;
struct FlockMeasures;
class TaskScheduler;

// A command line the simulator cannot run; what() is the one-line message for the user.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SimulatorOptions {
    std::uint32_t boids = 1000;
    std::uint32_t steps = 100;
    std::uint32_t tasks = 0;  // 0: the processor count
    float stepTime = 0.016f;
    std::vector<std::pair<std::string, float>> settings;  // --set NAME=VALUE, in order
    std::string dumpFile;                                 // empty: no dump
    std::string metricsFile;                              // empty: no metrics
    std::uint32_t every = 1;                              // metrics after every K-th step
    std::string trajectoryFile;   // empty: no trajectory; else H5MD frames as metrics' rows
    std::string search = "auto";  // auto, all-pairs or grid
    bool help = false;
};

// Throws UsageError naming the offending argument.
SimulatorOptions ParseSimulatorOptions(const std::vector<std::string>& arguments);

// One command-line word, "--name=value" split in two (both "--boids 10" and "--boids=10" are
// accepted); any other word is the option alone.
struct OptionWord {
    std::string option;
    std::string value;
    bool hasValue = false;
};
OptionWord SplitOptionWord(const std::string& word);

// How every number of the command line is read; what names the option in the message.
std::uint32_t ParseCountArgument(const std::string& what, const std::string& text);
float ParseFloatArgument(const std::string& what, const std::string& text);

// The flock the options describe: the defaults, the settings in order, the boids on the knot.
FlockData MakeFlock(const SimulatorOptions& options);

// The step's search for a --search value; throws UsageError for an unknown one.
NeighbourSearchMode ParseSearchMode(const std::string& name);

// Sets one named flock parameter; maxSpeed sets all three components. Throws UsageError for an
// unknown name.
void ApplySetting(FlockData& flock, const std::string& name, float value);

// The state as CSV: header, then one row per boid with every float to nine significant digits.
std::string FormatFlockCsv(const FlockData& flock);

// The metrics log: a header, then one row per measured step with every number to seventeen
// significant digits (%.17g), which read back to the same double, so logs compare byte for byte.
std::string FormatMetricsHeader();
std::string FormatMetricsRow(std::uint32_t step, float stepTime, const FlockMeasures& measures);
// The log's columns after step and time, and a row's numbers in that order: what a trajectory's
// /observables and the Python module call them.
std::vector<std::string> GetMeasureNames();
std::vector<double> GetMeasureValues(const FlockMeasures& measures);

extern const char* const kSimulatorUsage;

}  // namespace Avidrift
