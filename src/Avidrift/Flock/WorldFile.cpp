#include "Avidrift/Flock/WorldFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

namespace Avidrift {

using nlohmann::json;
using Quellon::Vector3;

namespace {

// The parameters a world file holds, by the names the simulator's --set takes. maxSpeed is
// apart: one number for its three components.
struct ParameterField {
    const char* name;
    float FlockData::*member;
    bool nonNegative;
};
constexpr ParameterField kParameters[] = {
    {"angleIncrement", &FlockData::angleIncrement, false},
    {"separationWeight", &FlockData::separationWeight, false},
    {"cohesionWeight", &FlockData::cohesionWeight, false},
    {"alignmentWeight", &FlockData::alignmentWeight, false},
    {"trefoilKnotPathWeight", &FlockData::trefoilKnotPathWeight, false},
    {"separationDistance", &FlockData::separationDistance, false},
    {"groupDistance", &FlockData::groupDistance, false},
    {"fleeDistance", &FlockData::fleeDistance, true},
    {"fleeWeight", &FlockData::fleeWeight, false},
    {"predatorSpeed", &FlockData::predatorSpeed, true},
    {"avoidDistance", &FlockData::avoidDistance, true},
    {"avoidWeight", &FlockData::avoidWeight, false},
};

// Reads one JSON value into the program's types; every fault names the file and the field.
class Reader {
public:
    explicit Reader(std::string name) : m_name(std::move(name)) {}

    [[noreturn]] void Fail(const std::string& field, const std::string& fault) const {
        throw WorldFileError(m_name + ": " + field + ": " + fault);
    }

    // Only the given keys.
    void OnlyKnown(const json& object, const std::string& field,
                   std::initializer_list<std::string_view> known) const {
        if (!object.is_object()) {
            Fail(field.empty() ? "the file" : field, "not an object");
        }
        for (const auto& [key, value] : object.items()) {
            if (std::find(known.begin(), known.end(), key) == known.end()) {
                Fail(Join(field, key), "unknown field");
            }
        }
    }

    float Float(const json& value, const std::string& field, bool nonNegative) const {
        if (!value.is_number()) {
            Fail(field, "not a number");
        }
        const auto number = value.get<double>();
        const auto single = static_cast<float>(number);
        if (!std::isfinite(number) || !std::isfinite(single)) {
            Fail(field, "not a finite number of single precision");
        }
        if (nonNegative && single < 0.0f) {
            Fail(field, "negative");
        }
        return single;
    }

    Vector3 Point(const json& value, const std::string& field) const {
        if (!value.is_array() || value.size() != 3) {
            Fail(field, "not an array of three numbers");
        }
        return {Float(value[0], field + "[0]", false), Float(value[1], field + "[1]", false),
                Float(value[2], field + "[2]", false)};
    }

    static std::string Join(const std::string& field, std::string_view key) {
        return field.empty() ? std::string(key) : field + "." + std::string(key);
    }

private:
    std::string m_name;
};

// The shortest decimal that reads back to the same float, as a JSON number.
json Number(float value) {
    if (value == 0.0f) {
        // "-0" would read back as the integer 0; -0.0 keeps its sign.
        return std::signbit(value) ? json(-0.0) : json(0);
    }
    std::array<char, 32> text{};
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    return json::parse(std::string_view(text.data(), static_cast<std::size_t>(end - text.data())));
}

json PointJson(const Vector3& v) {
    return json::array({Number(v.x), Number(v.y), Number(v.z)});
}

void ReadParameters(const Reader& reader, const json& object, FlockData& flock) {
    const std::string field = "parameters";
    if (!object.is_object()) {
        reader.Fail(field, "not an object");
    }
    for (const auto& [key, value] : object.items()) {
        const std::string name = Reader::Join(field, key);
        if (key == "maxSpeed") {
            const float speed = reader.Float(value, name, false);
            flock.maxSpeed = Vector3(speed, speed, speed);
            continue;
        }
        const auto* parameter = std::find_if(
            std::begin(kParameters), std::end(kParameters),
            [&parameterName = key](const ParameterField& p) { return parameterName == p.name; });
        if (parameter == std::end(kParameters)) {
            reader.Fail(name, "unknown field");
        }
        flock.*(parameter->member) = reader.Float(value, name, parameter->nonNegative);
    }
}

void ReadObstacles(const Reader& reader, const json& list, FlockData& flock) {
    if (!list.is_array()) {
        reader.Fail("obstacles", "not an array");
    }
    if (list.size() > kMaxObstacles) {
        reader.Fail("obstacles", "more than " + std::to_string(kMaxObstacles));
    }
    flock.obstacles.clear();
    for (std::size_t k = 0; k < list.size(); ++k) {
        const std::string field = "obstacles[" + std::to_string(k) + "]";
        reader.OnlyKnown(list[k], field, {"centre", "radius"});
        Obstacle obstacle;
        if (list[k].contains("centre")) {
            obstacle.centre = reader.Point(list[k]["centre"], field + ".centre");
        }
        if (!list[k].contains("radius")) {
            reader.Fail(field + ".radius", "missing");
        }
        obstacle.radius = reader.Float(list[k]["radius"], field + ".radius", true);
        flock.obstacles.push_back(obstacle);
    }
}

void ReadPredators(const Reader& reader, const json& list, FlockData& flock) {
    if (!list.is_array()) {
        reader.Fail("predators", "not an array");
    }
    if (list.size() > kMaxPredators) {
        reader.Fail("predators", "more than " + std::to_string(kMaxPredators));
    }
    flock.predators.clear();
    for (std::size_t k = 0; k < list.size(); ++k) {
        const std::string field = "predators[" + std::to_string(k) + "]";
        reader.OnlyKnown(list[k], field, {"position", "autonomous"});
        Predator predator;
        if (list[k].contains("position")) {
            predator.position = reader.Point(list[k]["position"], field + ".position");
        }
        if (list[k].contains("autonomous")) {
            if (!list[k]["autonomous"].is_boolean()) {
                reader.Fail(field + ".autonomous", "not true or false");
            }
            predator.autonomous = list[k]["autonomous"].get<bool>();
        }
        flock.predators.push_back(predator);
    }
}

}  // namespace

World ParseWorld(std::string_view text, const std::string& name) {
    const Reader reader(name);
    json document;
    // The library keeps the last of repeated keys, which would hide a slip of the user's; each
    // object's keys are watched as they come.
    std::vector<std::set<std::string>> keys;
    std::string repeated;
    const json::parser_callback_t watch = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end) {
            keys.pop_back();
        } else if (event == json::parse_event_t::key && !keys.empty() &&
                   !keys.back().insert(parsed.get<std::string>()).second && repeated.empty()) {
            repeated = parsed.get<std::string>();
        }
        return true;
    };
    try {
        document = json::parse(text.begin(), text.end(), watch);
    } catch (const json::exception& error) {  // a syntax error, or a number beyond a double
        // The library's message names the line and column; its own prefix means nothing to users.
        std::string what = error.what();
        const std::size_t at = what.find("] ");
        reader.Fail("not JSON", at == std::string::npos ? what : what.substr(at + 2));
    }
    if (!repeated.empty()) {
        reader.Fail(repeated, "given twice");
    }
    reader.OnlyKnown(document, "",
                     {"version", "boids", "parameters", "obstacles", "predators", "camera"});
    if (!document.contains("version") || !document["version"].is_number_integer()) {
        reader.Fail("version", "missing, or not a whole number");
    }
    const auto version = document["version"].get<std::int64_t>();
    if (version > kWorldFormatVersion || version < 1) {
        reader.Fail("version", "format " + std::to_string(version) +
                                   " is not one this program reads (it reads 1 to " +
                                   std::to_string(kWorldFormatVersion) + ")");
    }
    World world;
    world.parameters.ApplyDefaults();
    world.parameters.SetFlockSize(0);
    if (document.contains("boids")) {
        const json& boids = document["boids"];
        if (!boids.is_number_unsigned() || boids.get<std::uint64_t>() < 1 ||
            boids.get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
            reader.Fail("boids", "not a whole number from 1 to 4294967295");
        }
        world.boidCount = static_cast<std::uint32_t>(boids.get<std::uint64_t>());
    }
    if (document.contains("parameters")) {
        ReadParameters(reader, document["parameters"], world.parameters);
    }
    if (document.contains("obstacles")) {
        ReadObstacles(reader, document["obstacles"], world.parameters);
    }
    if (document.contains("predators")) {
        ReadPredators(reader, document["predators"], world.parameters);
    }
    if (document.contains("camera")) {
        const json& camera = document["camera"];
        reader.OnlyKnown(camera, "camera", {"eye", "target", "up"});
        for (const char* key : {"eye", "target", "up"}) {
            if (!camera.contains(key)) {
                reader.Fail(std::string("camera.") + key, "missing");
            }
        }
        world.camera = CameraPose{reader.Point(camera["eye"], "camera.eye"),
                                  reader.Point(camera["target"], "camera.target"),
                                  reader.Point(camera["up"], "camera.up")};
    }
    return world;
}

World ReadWorld(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const int error = errno;
    if (!file) {
        throw WorldFileError(path + ": cannot be read: " + std::strerror(error));
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (file.bad()) {
        throw WorldFileError(path + ": cannot be read");
    }
    return ParseWorld(text, path);
}

std::string WorldToJson(const World& world) {
    const FlockData& f = world.parameters;
    json parameters = json::object();
    for (const ParameterField& p : kParameters) {
        parameters[p.name] = Number(f.*(p.member));
    }
    parameters["maxSpeed"] = Number(f.maxSpeed.x);
    json obstacles = json::array();
    for (const Obstacle& o : f.obstacles) {
        obstacles.push_back({{"centre", PointJson(o.centre)}, {"radius", Number(o.radius)}});
    }
    json predators = json::array();
    for (const Predator& p : f.predators) {
        predators.push_back({{"position", PointJson(p.position)}, {"autonomous", p.autonomous}});
    }
    json document = {{"version", kWorldFormatVersion},
                     {"parameters", parameters},
                     {"obstacles", obstacles},
                     {"predators", predators}};
    if (world.boidCount) {
        document["boids"] = *world.boidCount;
    }
    if (world.camera) {
        document["camera"] = {{"eye", PointJson(world.camera->eye)},
                              {"target", PointJson(world.camera->target)},
                              {"up", PointJson(world.camera->up)}};
    }
    return document.dump(2) + "\n";
}

void WriteWorld(const std::string& path, const World& world) {
    const std::string text = WorldToJson(world);
    const std::string part = path + ".part";
    const auto fail = [&](const char* what, int error) {
        std::remove(part.c_str());
        throw WorldFileError(path + ": " + what + ": " + std::strerror(error));
    };
    std::FILE* file = std::fopen(part.c_str(), "wb");
    if (file == nullptr) {
        fail("cannot be written", errno);
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    int error = errno;
    if (std::fclose(file) != 0 && written) {
        error = errno;
        fail("cannot be written", error);
    }
    if (!written) {
        fail("cannot be written", error);
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) {
        fail("cannot be written", errno);
    }
}

void ApplyWorld(const World& world, FlockData& flock) {
    flock.CopyParametersFrom(world.parameters);
}

World WorldOf(const FlockData& flock, std::optional<CameraPose> camera) {
    World world;
    world.boidCount = flock.boidCount;
    world.parameters.CopyParametersFrom(flock);
    world.camera = camera;
    return world;
}

}  // namespace Avidrift
