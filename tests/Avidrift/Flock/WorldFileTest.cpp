#include "Avidrift/Flock/WorldFile.h"

#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

namespace Avidrift {
namespace {

using Quellon::Vector3;

// Every field set to a value unlike its default, so that a field read into the wrong parameter or
// written under another name cannot round-trip.
constexpr float FlockData::*kParameters[] = {
    &FlockData::angleIncrement,  &FlockData::separationWeight,      &FlockData::cohesionWeight,
    &FlockData::alignmentWeight, &FlockData::trefoilKnotPathWeight, &FlockData::separationDistance,
    &FlockData::groupDistance,   &FlockData::fleeDistance,          &FlockData::fleeWeight,
    &FlockData::predatorSpeed,   &FlockData::avoidDistance,         &FlockData::avoidWeight};

World Distinctive() {
    World world;
    world.parameters.ApplyDefaults();
    world.parameters.SetFlockSize(0);
    float value = 0.1f;
    for (float FlockData::*p : kParameters) {
        world.parameters.*p = value;
        value = value * 1.7f + 0.3f;
    }
    world.parameters.maxSpeed = Vector3(7.25f, 7.25f, 7.25f);
    world.parameters.obstacles = {{{1, 2, 3}, 4}, {{-1e-7f, 3.4e38f, 0.1f}, 0}};
    world.parameters.predators = {{{5, 6, 7}, true}, {{-0.0f, 1, 2}, false}};
    world.boidCount = 20000;
    world.camera = CameraPose{{0, 0, 80}, {1, 2, 3}, {0, 1, 0}};
    return world;
}

// Written and read back, a world is the same to the bit; so is the file written again.
TEST(WorldFile, RoundTripsEveryFieldToTheBit) {
    const World world = Distinctive();
    const std::string text = WorldToJson(world);
    const World read = ParseWorld(text, "w.json");
    EXPECT_EQ(read.boidCount, world.boidCount);
    EXPECT_EQ(read.camera, world.camera);
    for (float FlockData::*p : kParameters) {
        EXPECT_EQ(read.parameters.*p, world.parameters.*p);
    }
    EXPECT_TRUE(read.parameters.maxSpeed == world.parameters.maxSpeed);
    EXPECT_EQ(read.parameters.obstacles, world.parameters.obstacles);
    EXPECT_EQ(read.parameters.predators, world.parameters.predators);
    EXPECT_TRUE(std::signbit(read.parameters.predators[1].position.x));
    World again = world;
    again.parameters = FlockData();
    again.parameters.CopyParametersFrom(read.parameters);
    EXPECT_EQ(WorldToJson(again), text);
    // A file holding only a version is the defaults, and keeps the flock's size.
    const World bare = ParseWorld(R"({"version": 1})", "bare.json");
    EXPECT_FALSE(bare.boidCount);
    EXPECT_EQ(bare.parameters.separationWeight, 2.5f);
    EXPECT_TRUE(bare.parameters.obstacles.empty());

    const std::filesystem::path path = std::filesystem::temp_directory_path() / "avidrift-w.json";
    WriteWorld(path, world);
    EXPECT_EQ(WorldToJson(ReadWorld(path)), text);
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".part"));
    std::filesystem::remove(path);
}

// Every shipped preset reads; knot is the flock the program starts with, parameters and all.
TEST(WorldFile, PresetsReadAndKnotIsTheStartingFlock) {
    for (const char* name : {"knot", "school", "mill", "swarm", "predator", "obstacles"}) {
        EXPECT_NO_THROW(ReadWorld(std::string("worlds/") + name + ".json")) << name;
    }
    FlockData defaults;
    defaults.ApplyDefaults();
    World knot = ReadWorld("worlds/knot.json");
    knot.boidCount.reset();
    knot.camera.reset();
    World expected = WorldOf(defaults);
    expected.boidCount.reset();
    EXPECT_EQ(WorldToJson(knot), WorldToJson(expected));
}

// Each fault is refused with one message naming the file, the field and the fault.
TEST(WorldFile, RefusesBadInputNamingTheFieldAndTheFault) {
    std::string obstacles65 = R"({"version": 1, "obstacles": [)";
    for (int k = 0; k < 65; ++k) {
        obstacles65 += std::string(k > 0 ? "," : "") + R"({"radius": 1})";
    }
    obstacles65 += "]}";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"{\"version\": 1,\n \"boids\": }", "w.json: not JSON: parse error at line 2, column 11"},
        {"[1, 2]", "w.json: the file: not an object"},
        {R"({"version": 1, "boids": 1e999})", "w.json: not JSON: number overflow"},
        {R"({"version": 2})", "w.json: version: format 2 is not one this program reads"},
        {R"({"boids": 5})", "w.json: version: missing"},
        {R"({"version": 1, "colour": "red"})", "w.json: colour: unknown field"},
        {R"({"version": 1, "parameters": {"seperationWeight": 1}})",
         "w.json: parameters.seperationWeight: unknown field"},
        {R"({"version": 1, "parameters": {"fleeWeight": "1"}})",
         "w.json: parameters.fleeWeight: not a number"},
        {R"({"version": 1, "parameters": {"fleeWeight": 1e39}})",
         "w.json: parameters.fleeWeight: not a finite number"},
        {R"({"version": 1, "parameters": {"avoidDistance": -1}})",
         "w.json: parameters.avoidDistance: negative"},
        {R"({"version": 1, "obstacles": [{"centre": [0, 0], "radius": 1}]})",
         "w.json: obstacles[0].centre: not an array of three numbers"},
        {R"({"version": 1, "obstacles": [{"centre": [0, 0, 0], "radius": -2}]})",
         "w.json: obstacles[0].radius: negative"},
        {R"({"version": 1, "obstacles": [{"centre": [0, 0, 0]}]})",
         "w.json: obstacles[0].radius: missing"},
        {obstacles65, "w.json: obstacles: more than 64"},
        {R"({"version": 1, "predators": [{"autonomous": 1}]})",
         "w.json: predators[0].autonomous: not true or false"},
        {R"({"version": 1, "boids": -3})", "w.json: boids: not a whole number"},
        {R"({"version": 1, "boids": 2.5})", "w.json: boids: not a whole number"},
        {R"({"version": 1, "camera": {"eye": [0, 0, 1]}})", "w.json: camera.target: missing"},
        {R"({"version": 1, "parameters": {"fleeWeight": 1, "fleeWeight": 2}})",
         "w.json: fleeWeight: given twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            ParseWorld(c.text, "w.json");
            ADD_FAILURE() << "accepted";
        } catch (const WorldFileError& error) {
            EXPECT_EQ(std::string(error.what()).substr(0, c.message.size()), c.message)
                << error.what();
        }
    }
    EXPECT_THROW(ReadWorld("/nonexistent/w.json"), WorldFileError);
    EXPECT_THROW(WriteWorld("/nonexistent/w.json", Distinctive()), WorldFileError);
}

}  // namespace
}  // namespace Avidrift
