#include "SimulatorOptions.h"

#include <gtest/gtest.h>

#include <tuple>

#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {
namespace {

TEST(SimulatorOptions, ReadsEveryOptionAndSettings) {
    const SimulatorOptions o = ParseSimulatorOptions(
        {"--boids", "500", "--steps=10", "--tasks", "3", "--dt", "0.02", "--set", "maxSpeed=2.5",
         "--set", "groupDistance=4", "--dump", "out.csv"});
    EXPECT_EQ(std::tuple(o.boids, o.steps, o.tasks, o.stepTime, o.dumpFile),
              std::tuple(500u, 10u, 3u, 0.02f, "out.csv"));
    EXPECT_EQ(o.settings, (decltype(o.settings){{"maxSpeed", 2.5f}, {"groupDistance", 4.0f}}));
    FlockData flock;
    ApplySetting(flock, "maxSpeed", 3);
    ApplySetting(flock, "trefoilKnotPathWeight", 0.7f);
    EXPECT_TRUE(flock.maxSpeed == Quellon::Vector3(3, 3, 3));
    EXPECT_EQ(0.7f, flock.trefoilKnotPathWeight);
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
