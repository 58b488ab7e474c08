#include "SimulatorOptions.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "Avidrift/DataFile.h"
#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockMetrics.h"
#include "Avidrift/Flock/WorldSteering.h"
#include "Quellon/Text.h"

namespace Avidrift {

namespace {

// Each setting: how it is applied to a flock and read back (maxSpeed: its three components set,
// its x read).
constexpr FlockSetting kFlockSettings[] = {
    {"angleIncrement", [](FlockData& f, float v) { f.angleIncrement = v; },
     [](const FlockData& f) { return f.angleIncrement; }},
    {"separationWeight", [](FlockData& f, float v) { f.separationWeight = v; },
     [](const FlockData& f) { return f.separationWeight; }},
    {"cohesionWeight", [](FlockData& f, float v) { f.cohesionWeight = v; },
     [](const FlockData& f) { return f.cohesionWeight; }},
    {"alignmentWeight", [](FlockData& f, float v) { f.alignmentWeight = v; },
     [](const FlockData& f) { return f.alignmentWeight; }},
    {"trefoilKnotPathWeight", [](FlockData& f, float v) { f.trefoilKnotPathWeight = v; },
     [](const FlockData& f) { return f.trefoilKnotPathWeight; }},
    {"maxSpeed", [](FlockData& f, float v) { f.maxSpeed = Quellon::Vector3(v, v, v); },
     [](const FlockData& f) { return f.maxSpeed.x; }},
    {"separationDistance", [](FlockData& f, float v) { f.separationDistance = v; },
     [](const FlockData& f) { return f.separationDistance; }},
    {"groupDistance", [](FlockData& f, float v) { f.groupDistance = v; },
     [](const FlockData& f) { return f.groupDistance; }},
    {"fleeDistance", [](FlockData& f, float v) { f.fleeDistance = v; },
     [](const FlockData& f) { return f.fleeDistance; }},
    {"fleeWeight", [](FlockData& f, float v) { f.fleeWeight = v; },
     [](const FlockData& f) { return f.fleeWeight; }},
    {"predatorSpeed", [](FlockData& f, float v) { f.predatorSpeed = v; },
     [](const FlockData& f) { return f.predatorSpeed; }},
    {"avoidDistance", [](FlockData& f, float v) { f.avoidDistance = v; },
     [](const FlockData& f) { return f.avoidDistance; }},
    {"avoidWeight", [](FlockData& f, float v) { f.avoidWeight = v; },
     [](const FlockData& f) { return f.avoidWeight; }},
};

std::string RequireText(const std::string& option, const std::string& value) {
    if (value.empty()) {
        throw UsageError("missing value for " + option);
    }
    return value;
}

}  // namespace

NeighbourSearchMode ParseSearchMode(const std::string& name) {
    for (const NeighbourSearchMode mode :
         {NeighbourSearchMode::Auto, NeighbourSearchMode::AllPairs, NeighbourSearchMode::Grid}) {
        if (name == GetSearchName(mode)) {
            return mode;
        }
    }
    throw UsageError("invalid value '" + name + "' for --search (auto, all-pairs or grid)");
}

namespace {

std::pair<const FlockSetting*, float> ParseSetting(const std::string& text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        throw UsageError("invalid setting '" + text + "' for --set (expected NAME=VALUE)");
    }
    const std::string name = text.substr(0, equals);
    const FlockSetting* setting = FindFlockSetting(name);
    if (setting == nullptr) {
        throw UsageError("unknown setting name '" + name + "' for --set");
    }
    return {setting, ParseFloatArgument("--set " + name, text.substr(equals + 1))};
}

// --world FILE and --preset NAME: the file is read now, so a broken one is refused before any
// run, and a world's flock size counts unless --boids gives one.
void ReadWorldOption(SimulatorOptions& options, const std::string& option,
                     const std::string& path) {
    try {
        options.world = std::make_shared<const World>(ReadWorld(path));
    } catch (const WorldFileError& error) {
        throw UsageError(option + ": " + error.what());
    }
    if (!options.boidsGiven && options.world->boidCount) {
        options.boids = *options.world->boidCount;
    }
}

std::string PresetFile(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) {
        throw UsageError("invalid value '" + name + "' for --preset (a name in worlds/)");
    }
    return Quellon::WideToUtf8(FindDataFile(Quellon::Utf8ToWide("worlds/" + name + ".json")));
}

// --obstacle X,Y,Z,R
Obstacle ParseObstacle(const std::string& option, const std::string& text) {
    float values[4];
    std::size_t start = 0;
    for (int k = 0; k < 4; ++k) {
        const std::size_t comma = k < 3 ? text.find(',', start) : text.size();
        if (comma == std::string::npos) {
            throw UsageError("invalid value '" + text + "' for " + option + " (X,Y,Z,R)");
        }
        values[k] = ParseFloatArgument(option, text.substr(start, comma - start));
        start = comma + 1;
    }
    if (values[3] < 0.0f) {
        throw UsageError("invalid value '" + text + "' for " + option + " (a negative radius)");
    }
    return {{values[0], values[1], values[2]}, values[3]};
}

// Every option of avidrift-sim and how its value is read.
struct OptionReader {
    std::string_view name;
    void (*read)(SimulatorOptions& options, const std::string& option, const std::string& value);
};

constexpr OptionReader kOptionReaders[] = {
    {"--boids",
     [](auto& o, auto& n, auto& v) {
         o.boids = ParseCountArgument(n, v);
         o.boidsGiven = true;
     }},
    {"--world", [](auto& o, auto& n, auto& v) { ReadWorldOption(o, n, RequireText(n, v)); }},
    {"--preset", [](auto& o, auto& n, auto& v) { ReadWorldOption(o, n, PresetFile(v)); }},
    {"--obstacle", [](auto& o, auto& n, auto& v) { o.obstacles.push_back(ParseObstacle(n, v)); }},
    {"--predators", [](auto& o, auto& n, auto& v) { o.predators = ParseCountArgument(n, v); }},
    {"--steps", [](auto& o, auto& n, auto& v) { o.steps = ParseCountArgument(n, v); }},
    {"--tasks", [](auto& o, auto& n, auto& v) { o.tasks = ParseCountArgument(n, v); }},
    {"--dt", [](auto& o, auto& n, auto& v) { o.stepTime = ParseFloatArgument(n, v); }},
    {"--set", [](auto& o, auto&, auto& v) { o.settings.push_back(ParseSetting(v)); }},
    {"--dump", [](auto& o, auto& n, auto& v) { o.dumpFile = RequireText(n, v); }},
    {"--metrics", [](auto& o, auto& n, auto& v) { o.metricsFile = RequireText(n, v); }},
    {"--trajectory", [](auto& o, auto& n, auto& v) { o.trajectoryFile = RequireText(n, v); }},
    {"--search", [](auto& o, auto&, auto& v) { o.search = ParseSearchMode(v); }},
    {"--every",
     [](auto& o, auto& n, auto& v) {
         o.every = ParseCountArgument(n, v);
         if (o.every == 0) {
             throw UsageError("invalid value '0' for --every (at least 1)");
         }
     }},
};

const OptionReader* FindOptionReader(const std::string& option) {
    for (const OptionReader& reader : kOptionReaders) {
        if (reader.name == option) {
            return &reader;
        }
    }
    return nullptr;
}

}  // namespace

std::span<const FlockSetting> GetFlockSettings() {
    return kFlockSettings;
}

const FlockSetting* FindFlockSetting(std::string_view name) {
    for (const FlockSetting& setting : kFlockSettings) {
        if (setting.name == name) {
            return &setting;
        }
    }
    return nullptr;
}

std::string GetSimulatorUsage() {
    std::string usage =
        "usage: avidrift-sim [--boids N] [--steps K] [--tasks T] [--dt SECONDS]\n"
        "                    [--set NAME=VALUE]... [--dump FILE] [--search auto|all-pairs|grid]\n"
        "                    [--metrics FILE] [--trajectory FILE.h5] [--every K]\n"
        "                    [--world FILE | --preset NAME]"
        " [--obstacle X,Y,Z,R]... [--predators K] [--pairs]\n";
    std::string line = "NAME:";
    for (std::size_t s = 0; s < std::size(kFlockSettings); ++s) {
        const std::string word =
            std::string(kFlockSettings[s].name) + (s + 1 < std::size(kFlockSettings) ? "," : "");
        if (line.size() + 1 + word.size() > 80) {
            usage += line + "\n";
            line = "     ";
        }
        line += " " + word;
    }
    return usage + line + "\n";
}

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

bool ReadSimulatorOption(SimulatorOptions& options, const std::string& option,
                         const std::string& value) {
    const OptionReader* reader = FindOptionReader(option);
    if (reader == nullptr) {
        return false;
    }
    reader->read(options, option, value);
    return true;
}

SimulatorOptions ParseSimulatorOptions(const std::vector<std::string>& arguments) {
    SimulatorOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        auto [option, value, hasValue] = SplitOptionWord(arguments[i]);
        if (option == "--help" || option == "-h") {
            options.help = true;
            continue;
        }
        if (option == "--pairs" && !hasValue) {
            options.pairs = true;
            continue;
        }
        if (FindOptionReader(option) == nullptr) {
            throw UsageError("unknown option '" + arguments[i] + "'");
        }
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                throw UsageError("missing value for " + option);
            }
            value = arguments[++i];
        }
        ReadSimulatorOption(options, option, value);
    }
    CheckWorldOptions(options);
    return options;
}

void CheckWorldOptions(const SimulatorOptions& options) {
    const std::size_t obstacles =
        options.obstacles.size() + (options.world ? options.world->parameters.obstacles.size() : 0);
    if (obstacles > kMaxObstacles) {
        throw UsageError("more than " + std::to_string(kMaxObstacles) + " obstacles");
    }
    const std::size_t predators =
        options.predators + (options.world ? options.world->parameters.predators.size() : 0);
    if (predators > kMaxPredators) {
        throw UsageError("more than " + std::to_string(kMaxPredators) + " predators");
    }
}

FlockData MakeFlock(const SimulatorOptions& options) {
    FlockData flock;
    flock.ApplyDefaults();
    if (options.world) {
        ApplyWorld(*options.world, flock);
    }
    for (const auto& [setting, value] : options.settings) {
        setting->apply(flock, value);
    }
    flock.obstacles.insert(flock.obstacles.end(), options.obstacles.begin(),
                           options.obstacles.end());
    for (const Predator& predator : AutonomousPredators(options.predators)) {
        flock.predators.push_back(predator);
    }
    flock.SetFlockSize(options.boids);
    return flock;
}

const char* GetSearchName(NeighbourSearchMode mode) {
    switch (mode) {
        case NeighbourSearchMode::AllPairs:
            return "all-pairs";
        case NeighbourSearchMode::Grid:
            return "grid";
        case NeighbourSearchMode::Auto:
            break;
    }
    return "auto";
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

void ApplySetting(FlockData& flock, const std::string& name, float value) {
    const FlockSetting* setting = FindFlockSetting(name);
    if (setting == nullptr) {
        throw UsageError("unknown setting name '" + name + "' for --set");
    }
    setting->apply(flock, value);
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
                  "%" PRIu32 ",%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g,%" PRIu32
                  ",%.17g,%" PRIu32 "\n",
                  step, static_cast<double>(step) * static_cast<double>(stepTime), m.polarization,
                  m.milling, m.meanSpeed, m.meanGroupNeighbours, m.meanNearestDistance,
                  m.gyrationRadius, m.meanTargetDistance, m.excluded, m.meanPredatorDistance,
                  m.insideObstacles);
    return row;
}

}  // namespace Avidrift
