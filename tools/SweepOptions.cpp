#include "SweepOptions.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "Avidrift/Flock/FlockMemory.h"

namespace Avidrift {

const char* const kSweepVersion = AVIDRIFT_VERSION;

const char* const kSweepUsage =
    "usage: avidrift-sweep --out DIR --vary NAME=FROM:TO:COUNT | --vary NAME=V1,V2,...\n"
    "                      [--vary ...] [--set NAME=VALUE]... [--boids N] [--steps K]\n"
    "                      [--dt SECONDS] [--tasks T] [--every K] [--jobs J]\n"
    "                      [--world FILE | --preset NAME] [--obstacle X,Y,Z,R]... [--predators K]\n"
    "NAME: boids, steps, dt or a --set name of avidrift-sim. One run per combination of the\n"
    "values, the first --vary varying slowest; each run's metrics in DIR/runs/, one row per run\n"
    "in DIR/summary.csv. The same command again resumes; --tasks defaults to 1 and --jobs to\n"
    "the processor count / (tasks x MPI ranks on the machine). Under mpirun the ranks share\n"
    "the runs.\n";

namespace {

// More runs than this is a typing mistake rather than a sweep.
constexpr std::uint64_t kMaxRuns = 1000000;

bool IsCount(const std::string& name) {
    return name == "boids" || name == "steps";
}

std::string FormatValue(const std::string& name, double value) {
    char text[64];
    if (IsCount(name)) {
        std::snprintf(text, sizeof text, "%" PRIu32, static_cast<std::uint32_t>(value));
    } else {
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(static_cast<float>(value)));
    }
    return text;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end == std::string::npos ? end : end - begin));
        if (end == std::string::npos) {
            return parts;
        }
        begin = end + 1;
    }
}

double ParseValue(const std::string& name, const std::string& text) {
    const std::string what = "--vary " + name;
    // Each branch in double: a common type of float would round counts above 2^24.
    return IsCount(name) ? static_cast<double>(ParseCountArgument(what, text))
                         : static_cast<double>(ParseFloatArgument(what, text));
}

SweepVariable ParseVariable(const std::string& text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
        throw UsageError("invalid value '" + text +
                         "' for --vary (expected NAME=FROM:TO:COUNT or NAME=V1,V2,...)");
    }
    SweepVariable variable{text.substr(0, equals), {}};
    const std::string& name = variable.name;
    if (!IsCount(name) && name != "dt" && FindFlockSetting(name) == nullptr) {
        throw UsageError("unknown name '" + name + "' for --vary");
    }
    const std::string values = text.substr(equals + 1);
    if (values.find(':') != std::string::npos) {
        const std::vector<std::string> range = Split(values, ':');
        if (range.size() != 3) {
            throw UsageError("invalid range '" + values + "' for --vary " + name +
                             " (expected FROM:TO:COUNT)");
        }
        const double from = ParseValue(name, range[0]);
        const double to = ParseValue(name, range[1]);
        const std::uint32_t count = ParseCountArgument("--vary " + name + " COUNT", range[2]);
        if (count == 0) {
            throw UsageError("invalid value '0' for --vary " + name + " COUNT (at least 1)");
        }
        for (std::uint32_t k = 0; k < count; ++k) {
            // The ends exactly as given (a single value is FROM); between them evenly spaced,
            // rounded as the parameter is stored.
            double value = k == 0           ? from
                           : k + 1 == count ? to
                                            : from + (to - from) * k / (count - 1);
            value = IsCount(name) ? std::round(value) : static_cast<float>(value);
            variable.values.push_back(value);
        }
    } else {
        for (const std::string& item : Split(values, ',')) {
            variable.values.push_back(ParseValue(name, item));
        }
    }
    return variable;
}

// A value no run can take (not finite, or a count that is no uint32) would reach a run as NaN
// or as an undefined conversion; no parse may produce one, and this holds every path to it.
void CheckValues(const SweepVariable& variable) {
    for (const double value : variable.values) {
        const bool valid = IsCount(variable.name)
                               ? value >= 0 && value <= std::numeric_limits<std::uint32_t>::max() &&
                                     value == std::floor(value)
                               : std::isfinite(value) && std::isfinite(static_cast<float>(value));
        if (!valid) {
            throw UsageError("invalid value '" + std::to_string(value) + "' for --vary " +
                             variable.name);
        }
    }
}

// sweep.json: the program's version first, so a stored sweep of another version is told apart
// before anything else.
nlohmann::ordered_json MakeSweepJson(const SweepOptions& sweep) {
    const SimulatorOptions& base = sweep.base;
    nlohmann::ordered_json json;
    json["version"] = kSweepVersion;
    json["boids"] = base.boids;
    json["steps"] = base.steps;
    json["dt"] = static_cast<double>(base.stepTime);
    json["every"] = base.every;
    json["set"] = nlohmann::ordered_json::array();
    for (const auto& [setting, value] : base.settings) {
        json["set"].push_back({setting->name, static_cast<double>(value)});
    }
    // The world as read, not its file's name: a file changed between two runs of the command
    // is another sweep.
    if (base.world) {
        json["world"] = nlohmann::ordered_json::parse(WorldToJson(*base.world));
    }
    json["obstacles"] = nlohmann::ordered_json::array();
    for (const Obstacle& o : base.obstacles) {
        json["obstacles"].push_back({o.centre.x, o.centre.y, o.centre.z, o.radius});
    }
    json["predators"] = base.predators;
    json["vary"] = nlohmann::ordered_json::array();
    for (const SweepVariable& variable : sweep.vary) {
        nlohmann::ordered_json values = nlohmann::ordered_json::array();
        for (const double value : variable.values) {
            if (IsCount(variable.name)) {
                values.push_back(static_cast<std::uint32_t>(value));
            } else {
                values.push_back(value);
            }
        }
        json["vary"].push_back({variable.name, values});
    }
    return json;
}

}  // namespace

SweepOptions ParseSweepOptions(const std::vector<std::string>& arguments) {
    SweepOptions options;
    options.base.tasks = 1;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        auto [option, value, hasValue] = SplitOptionWord(arguments[i]);
        if (option == "--help" || option == "-h") {
            options.help = true;
            continue;
        }
        const bool own = option == "--out" || option == "--vary" || option == "--jobs";
        const bool forwarded = option == "--boids" || option == "--steps" || option == "--dt" ||
                               option == "--tasks" || option == "--set" || option == "--every" ||
                               option == "--world" || option == "--preset" ||
                               option == "--obstacle" || option == "--predators";
        if (!own && !forwarded) {
            throw UsageError("unknown option '" + arguments[i] + "'");
        }
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                throw UsageError("missing value for " + option);
            }
            value = arguments[++i];
        }
        if (forwarded) {
            ReadSimulatorOption(options.base, option, value);
        } else if (option == "--out") {
            if (value.empty()) {
                throw UsageError("missing value for --out");
            }
            options.outDir = value;
        } else if (option == "--jobs") {
            options.jobs = ParseCountArgument(option, value);
            if (options.jobs == 0) {
                throw UsageError("invalid value '0' for --jobs (at least 1)");
            }
        } else {
            SweepVariable variable = ParseVariable(value);
            CheckValues(variable);
            for (const SweepVariable& other : options.vary) {
                if (other.name == variable.name) {
                    throw UsageError("--vary " + variable.name + " given twice");
                }
            }
            options.vary.push_back(std::move(variable));
        }
    }
    if (options.help) {
        return options;
    }
    CheckWorldOptions(options.base);
    if (options.outDir.empty()) {
        throw UsageError("missing --out DIR");
    }
    if (options.vary.empty()) {
        throw UsageError("missing --vary NAME=...");
    }
    std::uint64_t runs = 1;
    for (const SweepVariable& variable : options.vary) {
        for (const auto& setting : options.base.settings) {
            if (setting.first->name == variable.name) {
                throw UsageError("--set " + variable.name + " conflicts with --vary " +
                                 variable.name);
            }
        }
        runs *= variable.values.size();
        if (runs > kMaxRuns) {
            throw UsageError("too many runs for --vary (more than " + std::to_string(kMaxRuns) +
                             ")");
        }
    }
    return options;
}

std::uint32_t SweepOptions::GetRunCount() const {
    std::uint32_t runs = 1;
    for (const SweepVariable& variable : vary) {
        runs *= static_cast<std::uint32_t>(variable.values.size());
    }
    return runs;
}

SimulatorOptions SweepOptions::GetRun(std::uint32_t r) const {
    SimulatorOptions run = base;
    std::uint32_t rest = r;
    std::vector<double> chosen(vary.size());
    for (std::size_t v = vary.size(); v-- > 0;) {
        const auto count = static_cast<std::uint32_t>(vary[v].values.size());
        chosen[v] = vary[v].values[rest % count];
        rest /= count;
    }
    for (std::size_t v = 0; v < vary.size(); ++v) {
        const std::string& name = vary[v].name;
        if (name == "boids") {
            run.boids = static_cast<std::uint32_t>(chosen[v]);
        } else if (name == "steps") {
            run.steps = static_cast<std::uint32_t>(chosen[v]);
        } else if (name == "dt") {
            run.stepTime = static_cast<float>(chosen[v]);
        } else {
            run.settings.emplace_back(FindFlockSetting(name), static_cast<float>(chosen[v]));
        }
    }
    return run;
}

std::string SweepOptions::FormatRunValues(std::uint32_t r) const {
    std::string text;
    std::uint32_t rest = r;
    std::vector<std::string> values(vary.size());
    for (std::size_t v = vary.size(); v-- > 0;) {
        const auto count = static_cast<std::uint32_t>(vary[v].values.size());
        values[v] = FormatValue(vary[v].name, vary[v].values[rest % count]);
        rest /= count;
    }
    for (const std::string& value : values) {
        text += "," + value;
    }
    return text;
}

std::string SweepOptions::GetRunName(std::uint32_t r) const {
    const int width = std::max<int>(4, static_cast<int>(std::to_string(GetRunCount() - 1).size()));
    char name[32];
    std::snprintf(name, sizeof name, "%0*" PRIu32, width, r);
    return name;
}

std::uint32_t SweepOptions::GetLargestFlock() const {
    std::uint32_t largest = base.boids;
    for (const SweepVariable& variable : vary) {
        if (variable.name == "boids") {
            largest = static_cast<std::uint32_t>(
                *std::max_element(variable.values.begin(), variable.values.end()));
        }
    }
    return largest;
}

std::string SweepOptions::FormatSweepJson() const {
    return MakeSweepJson(*this).dump() + "\n";
}

void SweepOptions::CheckSweepJson(const std::string& stored) const {
    const auto old = nlohmann::ordered_json::parse(stored, nullptr, false);
    const nlohmann::ordered_json current = MakeSweepJson(*this);
    // Folders written before sweep.json held a version have none; unreadable text has no
    // version either, and a version mismatch is the likelier story than a hand-edited file.
    std::string version = old.is_object() ? "none" : "unknown";
    if (old.is_object() && old.contains("version") && old["version"].is_string()) {
        version = old["version"].get<std::string>();
    }
    if (version != kSweepVersion) {
        throw UsageError("'" + outDir +
                         "' holds a sweep of a different version of avidrift-sweep (" + version +
                         ", this is " + kSweepVersion +
                         ") whose results may differ; start a new folder with another --out");
    }
    if (old == current) {
        return;
    }
    std::string differences;
    for (const auto& [key, value] : current.items()) {
        if (!old.contains(key) || old[key] != value) {
            differences += std::string(differences.empty() ? "" : ", ") + key + " " +
                           (old.contains(key) ? old[key].dump() : "unset") + " there, " +
                           value.dump() + " in this command";
        }
    }
    for (const auto& [key, value] : old.items()) {
        if (!current.contains(key)) {
            differences += std::string(differences.empty() ? "" : ", ") + key + " " + value.dump() +
                           " there, unset in this command";
        }
    }
    throw UsageError("'" + outDir + "' holds a different sweep (" + differences +
                     "); use another --out, or remove it to start again");
}

std::uint32_t FitJobs(std::uint32_t wanted, std::uint32_t boids, std::uint64_t availableBytes) {
    const std::uint64_t each = std::max<std::uint64_t>(EstimateFlockBytes(boids), 1);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, availableBytes / each));
}

std::string FormatSummary(const SweepOptions& sweep, const std::vector<std::string>& logs,
                          const std::vector<double>& seconds) {
    const std::string header = FormatMetricsHeader();
    // The measures are the log's columns after step and time.
    const std::vector<std::string> columns = Split(header.substr(0, header.size() - 1), ',');
    std::string summary = "run";
    for (const SweepVariable& variable : sweep.vary) {
        summary += "," + variable.name;
    }
    for (std::size_t c = 2; c < columns.size(); ++c) {
        summary += "," + columns[c] + "_last," + columns[c] + "_mean";
    }
    summary += ",seconds\n";
    for (std::uint32_t r = 0; r < logs.size(); ++r) {
        if (logs[r].empty()) {
            continue;
        }
        std::vector<std::vector<std::string>> rows;
        for (const std::string& line : Split(logs[r], '\n')) {
            if (!line.empty()) {
                rows.push_back(Split(line, ','));
            }
        }
        if (rows.size() < 2 || logs[r].rfind(header, 0) != 0) {
            throw std::runtime_error("run " + sweep.GetRunName(r) + ": not a metrics log");
        }
        rows.erase(rows.begin());
        // The last fifth of the rows, at least one.
        const std::size_t tail = (rows.size() + 4) / 5;
        summary += sweep.GetRunName(r) + sweep.FormatRunValues(r);
        for (std::size_t c = 2; c < columns.size(); ++c) {
            double sum = 0.0;
            for (std::size_t k = rows.size() - tail; k < rows.size(); ++k) {
                if (rows[k].size() != columns.size()) {
                    throw std::runtime_error("run " + sweep.GetRunName(r) + ": row " +
                                             std::to_string(k + 1) + " is incomplete");
                }
                sum += std::strtod(rows[k][c].c_str(), nullptr);
            }
            char mean[64];
            std::snprintf(mean, sizeof mean, "%.17g", sum / static_cast<double>(tail));
            summary += "," + rows.back()[c] + "," + mean;
        }
        char time[64] = "";
        if (seconds[r] >= 0) {
            std::snprintf(time, sizeof time, "%.3f", seconds[r]);
        }
        summary += std::string(",") + time + "\n";
    }
    return summary;
}

}  // namespace Avidrift
