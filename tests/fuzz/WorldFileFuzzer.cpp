// Feeds each input to the world file reader. It must either refuse the input with its own
// error or return a world that keeps every promise a running flock relies on; and what it
// returns must write and read back to the same text, so a saved world opens as it was.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Avidrift/Flock/WorldFile.h"

namespace {

void Check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "WorldFileFuzzer: %s\n", what);
        std::abort();
    }
}

bool Finite(const Quellon::Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Avidrift::World world;
    try {
        world = Avidrift::ParseWorld(text, "fuzz.json");
    } catch (const Avidrift::WorldFileError& error) {
        Check(std::string(error.what()).rfind("fuzz.json: ", 0) == 0, "a message without the file");
        return 0;
    }
    const Avidrift::FlockData& f = world.parameters;
    Check(f.obstacles.size() <= Avidrift::kMaxObstacles, "too many obstacles");
    Check(f.predators.size() <= Avidrift::kMaxPredators, "too many predators");
    for (const Avidrift::Obstacle& o : f.obstacles) {
        Check(Finite(o.centre) && std::isfinite(o.radius) && o.radius >= 0, "a bad obstacle");
    }
    for (const Avidrift::Predator& p : f.predators) {
        Check(Finite(p.position), "a bad predator");
    }
    Check(std::isfinite(f.fleeDistance) && f.fleeDistance >= 0 && std::isfinite(f.avoidDistance) &&
              f.avoidDistance >= 0 && std::isfinite(f.predatorSpeed) && f.predatorSpeed >= 0,
          "a bad world parameter");
    const std::string written = Avidrift::WorldToJson(world);
    Check(Avidrift::WorldToJson(Avidrift::ParseWorld(written, "again.json")) == written,
          "a world that does not read back as written");
    return 0;
}
