#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Flock/WorldFile.h"

namespace Avidrift {

struct FlockData;
struct FlockMeasures;

// A command line the simulator cannot run; what() is the one-line message for the user.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A flock parameter that --set (and the sweep's --vary) names. The one table of them gives the
// parser, the usage line and the flock what each name means, so they cannot disagree.
struct FlockSetting {
    std::string_view name;
    void (*apply)(FlockData& flock, float value);
    float (*read)(const FlockData& flock);
};

// Every setting, in the order the usage lists them.
std::span<const FlockSetting> GetFlockSettings();
// nullptr for a name that is not in the table.
const FlockSetting* FindFlockSetting(std::string_view name);
// The setting of that name applied to flock; throws UsageError for a name not in the table.
void ApplySetting(FlockData& flock, const std::string& name, float value);
// auto, all-pairs or grid; throws UsageError for any other name.
NeighbourSearchMode ParseSearchMode(const std::string& name);

struct SimulatorOptions {
    std::uint32_t boids = 1000;
    bool boidsGiven = false;  // --boids was given: a world's flock size does not count
    std::uint32_t steps = 100;
    std::uint32_t tasks = 0;  // 0: the processor count
    float stepTime = 0.016f;
    std::vector<std::pair<const FlockSetting*, float>> settings;  // --set NAME=VALUE, in order
    std::string dumpFile;                                         // empty: no dump
    std::string metricsFile;                                      // empty: no metrics
    std::string trajectoryFile;  // empty: no trajectory; else H5MD frames at the metrics' steps
    std::uint32_t every = 1;     // metrics after every K-th step
    NeighbourSearchMode search = NeighbourSearchMode::Auto;
    // --world FILE or --preset NAME, read when parsed; applied before the settings.
    std::shared_ptr<const World> world;
    std::vector<Obstacle> obstacles;  // --obstacle X,Y,Z,R, after the world's
    std::uint32_t predators = 0;      // --predators K: autonomous ones, after the world's
    bool pairs = false;               // --pairs: the step's distance from its counted floor
    bool help = false;
};

// Throws UsageError naming the offending argument.
SimulatorOptions ParseSimulatorOptions(const std::vector<std::string>& arguments);

// Throws UsageError when the world and the options together hold more obstacles or predators
// than a world may.
void CheckWorldOptions(const SimulatorOptions& options);

// Reads one option of avidrift-sim ("--boids", ...) with its value into options; false for an
// option the simulator does not have. The sweep reads the options it shares this way.
bool ReadSimulatorOption(SimulatorOptions& options, const std::string& option,
                         const std::string& value);

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

// The name --search and the report use for a search.
const char* GetSearchName(NeighbourSearchMode mode);

// The state as CSV: header, then one row per boid with every float to nine significant digits.
std::string FormatFlockCsv(const FlockData& flock);

// The metrics log: a header, then one row per measured step with every number to seventeen
// significant digits (%.17g), which read back to the same double, so logs compare byte for byte.
std::string FormatMetricsHeader();

std::string FormatMetricsRow(std::uint32_t step, float stepTime, const FlockMeasures& measures);

std::string GetSimulatorUsage();

}  // namespace Avidrift
