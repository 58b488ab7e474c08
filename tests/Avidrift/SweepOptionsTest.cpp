#include "SweepOptions.h"

#include <gtest/gtest.h>

#include "Avidrift/Flock/FlockMemory.h"

namespace Avidrift {
namespace {

SweepOptions Parse(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--out", "dir"});
    return ParseSweepOptions(arguments);
}

TEST(SweepOptions, RangesAndListsGiveTheValuesInOrder) {
    const struct {
        std::string vary;
        std::vector<double> values;
    } cases[] = {
        {"separationWeight=0:5:3", {0, 2.5, 5}},
        // One value is FROM, not 0/0.
        {"separationWeight=1:2:1", {1}},
        {"boids=7:9:1", {7}},
        {"steps=1:2:4", {1, 1, 2, 2}},                   // counts rounded to the nearest
        {"cohesionWeight=0:0.06:3", {0, 0.03f, 0.06f}},  // as the parameter stores them
        {"dt=0.02,0.01", {0.02f, 0.01f}},
    };
    for (const auto& c : cases) {
        const SweepOptions sweep = Parse({"--vary", c.vary});
        EXPECT_EQ(c.values, sweep.vary.at(0).values) << c.vary;
    }
}

TEST(SweepOptions, FirstVaryVariesSlowest) {
    const SweepOptions sweep =
        Parse({"--vary", "boids=100,200", "--vary", "separationWeight=1:3:3", "--vary", "dt=0.5"});
    ASSERT_EQ(6u, sweep.GetRunCount());
    const char* expected[] = {",100,1,0.5", ",100,2,0.5", ",100,3,0.5",
                              ",200,1,0.5", ",200,2,0.5", ",200,3,0.5"};
    for (std::uint32_t r = 0; r < 6; ++r) {
        EXPECT_EQ(expected[r], sweep.FormatRunValues(r));
        const SimulatorOptions run = sweep.GetRun(r);
        EXPECT_EQ(r < 3 ? 100u : 200u, run.boids);
        EXPECT_EQ(0.5f, run.stepTime);
        ASSERT_EQ(1u, run.settings.size());
        EXPECT_EQ("separationWeight", run.settings[0].first->name);
        EXPECT_EQ(static_cast<float>(r % 3 + 1), run.settings[0].second);
    }
    EXPECT_EQ(200u, sweep.GetLargestFlock());
}

TEST(SweepOptions, SummaryTakesLastRowAndMeanOfLastFifth) {
    const SweepOptions sweep = Parse({"--vary", "separationWeight=1,2"});
    // Six rows: the last fifth is the last two (at least one row, rounded up).
    std::string log = FormatMetricsHeader();
    for (int step = 0; step < 6; ++step) {
        log += std::to_string(step) + ",0," + std::to_string(step) + ",0.5,0,0,0,0,0,0,nan,0\n";
    }
    const std::string summary = FormatSummary(sweep, {"", log}, {-1, 2.5});
    const std::size_t header = summary.find('\n');
    EXPECT_EQ(0u, summary.find("run,separationWeight,polarization_last,polarization_mean,"
                               "milling_last,milling_mean,"));
    EXPECT_EQ("0001,2,5,4.5,0.5,0.5,0,0,0,0,0,0,0,0,0,0,0,0,nan,nan,0,0,2.500\n",
              summary.substr(header + 1));
    EXPECT_THROW(FormatSummary(sweep, {"", "step\n"}, {-1, -1}), std::runtime_error);
}

TEST(SweepOptions, RefusesBeforeAnyRun) {
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{"--vary", "speed=1,2"}, "unknown name 'speed' for --vary"},
        {{"--vary", "boids=1:2:0"}, "invalid value '0' for --vary boids COUNT (at least 1)"},
        {{"--vary", "dt=1:2"}, "invalid range '1:2' for --vary dt (expected FROM:TO:COUNT)"},
        {{"--vary", "dt=1:inf:2"}, "invalid value 'inf' for --vary dt"},
        {{"--vary", "steps=1,-2"}, "invalid value '-2' for --vary steps"},
        {{"--vary", "dt=1", "--vary", "dt=2"}, "--vary dt given twice"},
        {{"--vary", "maxSpeed=1", "--set", "maxSpeed=2"},
         "--set maxSpeed conflicts with --vary maxSpeed"},
        {{"--vary", "dt=1", "--dump", "x"}, "unknown option '--dump'"},
    };
    for (const auto& c : cases) {
        try {
            Parse(c.arguments);
            ADD_FAILURE() << "accepted " << c.arguments[1];
        } catch (const UsageError& error) {
            EXPECT_EQ(c.message, error.what());
        }
    }
}

// sweep.json decides whether a folder is resumed: its own text must read back as equal (every
// double exactly), and anything else must be refused with both sides shown.
TEST(SweepOptions, SweepJsonResumesOnlyTheSameSweepOfTheSameVersion) {
    const SweepOptions sweep =
        Parse({"--vary", "cohesionWeight=0:0.06:7", "--vary", "maxSpeed=1e-45,3.4028235e38",
               "--vary", "boids=4294967295", "--set", "groupDistance=0.1", "--dt", "0.016"});
    EXPECT_NO_THROW(sweep.CheckSweepJson(sweep.FormatSweepJson()));

    const auto refusal = [&](const std::string& stored) {
        try {
            sweep.CheckSweepJson(stored);
        } catch (const UsageError& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    const std::string other = Parse({"--vary", "cohesionWeight=0:0.06:7", "--vary",
                                     "maxSpeed=1e-45,3.4028235e38", "--vary", "boids=4294967295",
                                     "--set", "groupDistance=0.1", "--dt", "0.016", "--every", "4"})
                                  .FormatSweepJson();
    EXPECT_EQ(
        "'dir' holds a different sweep (every 4 there, 1 in this command); use another "
        "--out, or remove it to start again",
        refusal(other));

    std::string json = sweep.FormatSweepJson();
    const std::string version = std::string("\"version\":\"") + kSweepVersion + "\",";
    ASSERT_EQ(1u, json.find(version));
    const std::string mismatch = "a different version of avidrift-sweep";
    // Written before sweep.json held a version: the same command, no version.
    const std::string unversioned = "{" + json.substr(1 + version.size());
    EXPECT_NE(std::string::npos, refusal(unversioned).find(mismatch + " (none, this is "));
    EXPECT_NE(std::string::npos,
              refusal("{\"version\":\"0.0.1\"," + json.substr(1 + version.size()))
                  .find(mismatch + " (0.0.1, this is " + kSweepVersion + ")"));
    EXPECT_NE(std::string::npos, refusal("{\"vary\": [-nan]}").find(mismatch + " (unknown"));
}

TEST(SweepOptions, JobsFitTheMemory) {
    const std::uint64_t flock = EstimateFlockBytes(5000);
    EXPECT_EQ(8u, FitJobs(8, 5000, 100 * flock));
    EXPECT_EQ(3u, FitJobs(8, 5000, 3 * flock + flock / 2));
    EXPECT_EQ(1u, FitJobs(8, 5000, flock));
    EXPECT_EQ(0u, FitJobs(8, 5000, flock - 1));
}

}  // namespace
}  // namespace Avidrift
