#include "SimulatorOptions.h"

#include <gtest/gtest.h>

#include <tuple>

#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {
namespace {

TEST(SimulatorOptions, ReadsEveryOption) {
    const SimulatorOptions o = ParseSimulatorOptions(
        {"--boids", "500", "--steps=10", "--tasks", "3", "--dt", "0.02", "--set", "maxSpeed=2.5",
         "--set", "groupDistance=4", "--dump", "out.csv", "--metrics", "m.csv", "--every", "7",
         "--search", "grid"});
    EXPECT_EQ(std::tuple(o.boids, o.steps, o.tasks, o.stepTime, o.dumpFile, o.metricsFile, o.every,
                         o.search),
              std::tuple(500u, 10u, 3u, 0.02f, "out.csv", "m.csv", 7u, NeighbourSearchMode::Grid));
    ASSERT_EQ(2u, o.settings.size());
    EXPECT_EQ(std::tuple("maxSpeed", 2.5f),
              std::tuple(o.settings[0].first->name, o.settings[0].second));
    EXPECT_EQ(std::tuple("groupDistance", 4.0f),
              std::tuple(o.settings[1].first->name, o.settings[1].second));
}

// Each name must set its own parameter and no other: two names swapped in the table would
// otherwise pass every run that sets only one of them.
TEST(SimulatorOptions, EachSettingSetsExactlyItsOwnParameter) {
    using Read = float (*)(const FlockData&);
    const std::pair<std::string_view, Read> parameters[] = {
        {"angleIncrement", [](const FlockData& f) { return f.angleIncrement; }},
        {"separationWeight", [](const FlockData& f) { return f.separationWeight; }},
        {"cohesionWeight", [](const FlockData& f) { return f.cohesionWeight; }},
        {"alignmentWeight", [](const FlockData& f) { return f.alignmentWeight; }},
        {"trefoilKnotPathWeight", [](const FlockData& f) { return f.trefoilKnotPathWeight; }},
        {"maxSpeed.x", [](const FlockData& f) { return f.maxSpeed.x; }},
        {"maxSpeed.y", [](const FlockData& f) { return f.maxSpeed.y; }},
        {"maxSpeed.z", [](const FlockData& f) { return f.maxSpeed.z; }},
        {"separationDistance", [](const FlockData& f) { return f.separationDistance; }},
        {"groupDistance", [](const FlockData& f) { return f.groupDistance; }},
        {"fleeDistance", [](const FlockData& f) { return f.fleeDistance; }},
        {"fleeWeight", [](const FlockData& f) { return f.fleeWeight; }},
        {"predatorSpeed", [](const FlockData& f) { return f.predatorSpeed; }},
        {"avoidDistance", [](const FlockData& f) { return f.avoidDistance; }},
        {"avoidWeight", [](const FlockData& f) { return f.avoidWeight; }},
    };
    FlockData defaults;
    defaults.ApplyDefaults();
    const std::string usage = GetSimulatorUsage();
    std::size_t names = 0;
    for (const FlockSetting& setting : GetFlockSettings()) {
        ++names;
        const std::string name(setting.name);
        EXPECT_NE(std::string::npos, usage.find(name)) << "the usage does not name " << name;
        // Through the parser and MakeFlock, as a command line reaches the flock.
        const FlockData flock =
            MakeFlock(ParseSimulatorOptions({"--boids", "1", "--set", name + "=1234.5"}));
        int set = 0;
        for (const auto& [parameter, read] : parameters) {
            const bool own = parameter.substr(0, parameter.find('.')) == name;
            set += own;
            EXPECT_EQ(own ? 1234.5f : read(defaults), read(flock)) << name << " -> " << parameter;
        }
        EXPECT_GT(set, 0) << name << " names no parameter";
    }
    EXPECT_EQ(13u, names);
}

// A world comes first, then --set, then the obstacles and predators of the command line; its
// flock size counts unless --boids gives one, wherever --boids stands.
TEST(SimulatorOptions, WorldThenSettingsThenObstaclesAndPredators) {
    const FlockData flock =
        MakeFlock(ParseSimulatorOptions({"--preset", "obstacles", "--set", "fleeWeight=7",
                                         "--obstacle", "1,2,3,4", "--predators", "2"}));
    EXPECT_EQ(flock.boidCount, 2000u);
    EXPECT_EQ(flock.fleeWeight, 7.0f);
    ASSERT_EQ(flock.obstacles.size(), 7u);
    EXPECT_EQ(flock.obstacles.back(), (Obstacle{{1, 2, 3}, 4}));
    ASSERT_EQ(flock.predators.size(), 2u);
    EXPECT_TRUE(flock.predators[0].autonomous);
    EXPECT_EQ(ParseSimulatorOptions({"--boids", "10", "--preset", "school"}).boids, 10u);
}

TEST(SimulatorOptions, BadArgumentsAreNamed) {
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--boids", "99999999999"}, "invalid value '99999999999' for --boids"},
        {{"--steps"}, "missing value for --steps"},
        {{"--dt", "nan"}, "invalid value 'nan' for --dt"},
        // Every number is plain decimal, whichever option it belongs to.
        {{"--dt", "0x1p3"}, "invalid value '0x1p3' for --dt"},
        {{"--boids", "0x10"}, "invalid value '0x10' for --boids"},
        {{"--steps", "+3"}, "invalid value '+3' for --steps"},
        {{"--set", "maxSpeed=0x2"}, "invalid value '0x2' for --set maxSpeed"},
        {{"--set", "speed=3"}, "unknown setting name 'speed' for --set"},
        {{"--set", "maxSpeed"}, "invalid setting 'maxSpeed' for --set (expected NAME=VALUE)"},
        {{"--metrics", "m.csv", "--every", "0"}, "invalid value '0' for --every (at least 1)"},
        {{"--search", "fast"}, "invalid value 'fast' for --search (auto, all-pairs or grid)"},
        {{"--dump="}, "missing value for --dump"},
        {{"--obstacle", "1,2,3"}, "invalid value '1,2,3' for --obstacle (X,Y,Z,R)"},
        {{"--obstacle", "1,2,3,-4"}, "invalid value '1,2,3,-4' for --obstacle (a negative radius)"},
        {{"--predators", "65"}, "more than 64 predators"},
        {{"--preset", "../x"}, "invalid value '../x' for --preset (a name in worlds/)"},
        {{"--world", "/nonexistent.json"},
         "--world: /nonexistent.json: cannot be read: No such file or directory"},
    };
    for (const auto& c : cases) {
        try {
            ParseSimulatorOptions(c.arguments);
            ADD_FAILURE() << "accepted " << c.arguments[0];
        } catch (const UsageError& error) {
            EXPECT_EQ(c.message, error.what());
        }
    }
}

TEST(SimulatorOptions, CsvHasHeaderAndNineDigitRows) {
    FlockData flock;
    flock.SetFlockSize(2);
    flock.positions[1] = {0.1f, -2, 1e-10f};
    const std::string csv = FormatFlockCsv(flock);
    EXPECT_EQ(0u, csv.find("index,px,py,pz,vx,vy,vz,t\n0,30,0,0,"));
    EXPECT_NE(std::string::npos, csv.find("\n1,0.100000001,-2,1.00000001e-10,"));
}

}  // namespace
}  // namespace Avidrift
