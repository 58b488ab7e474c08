#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Avidrift/Flock/FlockData.h"
#include "Quellon/Vector3.h"

namespace Avidrift {

// Where the window's camera stands: its eye, the point it looks at and its up direction.
struct CameraPose {
    Quellon::Vector3 eye;
    Quellon::Vector3 target;
    Quellon::Vector3 up;

    bool operator==(const CameraPose&) const = default;
};

// A world as a file holds it: the flock size, every parameter, the obstacles and predators, and
// for the window the camera. The boids' states are not part of it: a world is placed anew.
struct World {
    std::optional<std::uint32_t> boidCount;  // none: the flock keeps its size
    FlockData parameters;                    // the parameters and the world; no boids
    std::optional<CameraPose> camera;
};

// A world file that cannot be used; the message names the file, the field and the fault.
class WorldFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The newest format this program reads and the one it writes.
constexpr int kWorldFormatVersion = 1;

// Reads a world from JSON text; name is what messages call the file. Fields left out keep the
// defaults (FlockData::ApplyDefaults); an unknown field, a wrong type, a non-finite number, a
// negative distance or radius, more than kMaxObstacles obstacles or kMaxPredators predators, or
// a newer format version throw WorldFileError and nothing is returned.
World ParseWorld(std::string_view text, const std::string& name);

// Reads the file at path as ParseWorld does; a file that cannot be read throws WorldFileError.
World ReadWorld(const std::string& path);

// The world as JSON text, every field written, numbers so that they read back to the same bits.
std::string WorldToJson(const World& world);

// Writes the world to path whole or not at all (a .part file renamed when written); throws
// WorldFileError naming the file and the reason.
void WriteWorld(const std::string& path, const World& world);

// The world's parameters, obstacles and predators into flock (its boids untouched).
void ApplyWorld(const World& world, FlockData& flock);

// The world of flock: its size, parameters, obstacles and predators, and camera if given.
World WorldOf(const FlockData& flock, std::optional<CameraPose> camera = std::nullopt);

}  // namespace Avidrift
