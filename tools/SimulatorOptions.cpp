#include "SimulatorOptions.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockMetrics.h"

namespace Avidrift {

const char* const kSimulatorUsage =
    "usage: avidrift-sim [--boids N] [--steps K] [--tasks T] [--dt SECONDS]\n"
    "                    [--set NAME=VALUE]... [--dump FILE] [--search auto|all-pairs|grid]\n"
    "                    [--metrics FILE] [--trajectory FILE.h5] [--every K]\n"
    "NAME: angleIncrement, separationWeight, cohesionWeight, alignmentWeight,\n"
    "      trefoilKnotPathWeight, maxSpeed, separationDistance, groupDistance\n";

// Every number on the command line is read by std::from_chars in plain decimal: no sign on a
// count, no leading blanks, no hexadecimal (strtof took "0x1p3" for --dt where --boids refused
// "0x10"), and the whole text must be the number.
std::uint32_t ParseCountArgument(const std::string& option, const std::string& text) {
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || stop != end || error != std::errc()) {
        throw UsageError("invalid value '" + text + "' for " + option);
    }
    return value;
}

float ParseFloatArgument(const std::string& what, const std::string& text) {
    float value = 0.0f;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (text.empty() || stop != end || error != std::errc() || !std::isfinite(value)) {
        throw UsageError("invalid value '" + text + "' for " + what);
    }
    return value;
}

OptionWord SplitOptionWord(const std::string& word) {
    const std::size_t equals = word.find('=');
    if (word.rfind("--", 0) != 0 || equals == std::string::npos) {
        return {word, std::string(), false};
    }
    return {word.substr(0, equals), word.substr(equals + 1), true};
}

SimulatorOptions ParseSimulatorOptions(const std::vector<std::string>& arguments) {
    SimulatorOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        auto [option, value, hasValue] = SplitOptionWord(arguments[i]);
        if (option == "--help" || option == "-h") {
            options.help = true;
            continue;
        }
        const bool known = option == "--boids" || option == "--steps" || option == "--tasks" ||
                           option == "--dt" || option == "--set" || option == "--dump" ||
                           option == "--search" || option == "--metrics" || option == "--every" ||
                           option == "--trajectory";
        if (!known) {
            throw UsageError("unknown option '" + arguments[i] + "'");
        }
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                throw UsageError("missing value for " + option);
            }
            value = arguments[++i];
        }
        if (option == "--boids") {
            options.boids = ParseCountArgument(option, value);
        } else if (option == "--steps") {
            options.steps = ParseCountArgument(option, value);
        } else if (option == "--tasks") {
            options.tasks = ParseCountArgument(option, value);
        } else if (option == "--dt") {
            options.stepTime = ParseFloatArgument(option, value);
        } else if (option == "--every") {
            options.every = ParseCountArgument(option, value);
            if (options.every == 0) {
                throw UsageError("invalid value '0' for --every (at least 1)");
            }
        } else if (option == "--metrics") {
            if (value.empty()) {
                throw UsageError("missing value for --metrics");
            }
            options.metricsFile = value;
        } else if (option == "--trajectory") {
            if (value.empty()) {
                throw UsageError("missing value for --trajectory");
            }
            options.trajectoryFile = value;
        } else if (option == "--search") {
            ParseSearchMode(value);
            options.search = value;
        } else if (option == "--dump") {
            if (value.empty()) {
                throw UsageError("missing value for --dump");
            }
            options.dumpFile = value;
        } else {
            const std::size_t equals = value.find('=');
            if (equals == std::string::npos) {
                throw UsageError("invalid setting '" + value + "' for --set (expected NAME=VALUE)");
            }
            const std::string name = value.substr(0, equals);
            FlockData probe;
            ApplySetting(probe, name, 0.0f);  // rejects unknown names before any work
            options.settings.emplace_back(
                name, ParseFloatArgument("--set " + name, value.substr(equals + 1)));
        }
    }
    return options;
}

FlockData MakeFlock(const SimulatorOptions& options) {
    FlockData flock;
    flock.ApplyDefaults();
    for (const auto& [name, value] : options.settings) {
        ApplySetting(flock, name, value);
    }
    flock.SetFlockSize(options.boids);
    return flock;
}

NeighbourSearchMode ParseSearchMode(const std::string& name) {
    if (name == "auto") {
        return NeighbourSearchMode::Auto;
    }
    if (name == "all-pairs") {
        return NeighbourSearchMode::AllPairs;
    }
    if (name == "grid") {
        return NeighbourSearchMode::Grid;
    }
    throw UsageError("invalid value '" + name + "' for --search (auto, all-pairs or grid)");
}

void ApplySetting(FlockData& flock, const std::string& name, float value) {
    if (name == "angleIncrement") {
        flock.angleIncrement = value;
    } else if (name == "separationWeight") {
        flock.separationWeight = value;
    } else if (name == "cohesionWeight") {
        flock.cohesionWeight = value;
    } else if (name == "alignmentWeight") {
        flock.alignmentWeight = value;
    } else if (name == "trefoilKnotPathWeight") {
        flock.trefoilKnotPathWeight = value;
    } else if (name == "maxSpeed") {
        flock.maxSpeed = Quellon::Vector3(value, value, value);
    } else if (name == "separationDistance") {
        flock.separationDistance = value;
    } else if (name == "groupDistance") {
        flock.groupDistance = value;
    } else {
        throw UsageError("unknown setting name '" + name + "' for --set");
    }
}

std::string FormatFlockCsv(const FlockData& flock) {
    std::string csv = "index,px,py,pz,vx,vy,vz,t\n";
    char row[256];
    for (std::uint32_t i = 0; i < flock.boidCount; ++i) {
        const Quellon::Vector3& p = flock.positions[i];
        const Quellon::Vector3& v = flock.velocities[i];
        std::snprintf(row, sizeof row, "%" PRIu32 ",%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g\n", i,
                      static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z),
                      static_cast<double>(v.x), static_cast<double>(v.y), static_cast<double>(v.z),
                      static_cast<double>(flock.pathParameters[i]));
        csv += row;
    }
    return csv;
}

}  // namespace Avidrift

namespace Avidrift {

std::vector<std::string> GetMeasureNames() {
    return {
        "polarization",          "milling",         "mean_speed",           "mean_group_neighbours",
        "mean_nearest_distance", "gyration_radius", "mean_target_distance", "excluded"};
}

std::vector<double> GetMeasureValues(const FlockMeasures& m) {
    return {m.polarization,        m.milling,
            m.meanSpeed,           m.meanGroupNeighbours,
            m.meanNearestDistance, m.gyrationRadius,
            m.meanTargetDistance,  static_cast<double>(m.excluded)};
}

std::string FormatMetricsHeader() {
    std::string header = "step,time";
    for (const std::string& name : GetMeasureNames()) {
        header += "," + name;
    }
    return header + "\n";
}

std::string FormatMetricsRow(std::uint32_t step, float stepTime, const FlockMeasures& m) {
    char row[512];
    std::snprintf(row, sizeof row,
                  "%" PRIu32 ",%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%" PRIu32 "\n", step,
                  static_cast<double>(step) * static_cast<double>(stepTime), m.polarization,
                  m.milling, m.meanSpeed, m.meanGroupNeighbours, m.meanNearestDistance,
                  m.gyrationRadius, m.meanTargetDistance, m.excluded);
    return row;
}

}  // namespace Avidrift
