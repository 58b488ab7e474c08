#include "Avidrift/Flock/NeighbourSearch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Flock/FlockTask.h"
#include "Avidrift/Flock/NeighbourGrid.h"
#include "Avidrift/Tasks/TaskScheduler.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

bool SameBits(const FlockData& a, const FlockData& b) {
    const std::size_t n = a.boidCount;
    if (a.boidCount != b.boidCount) {
        return false;
    }
    return n == 0 ||
           (std::memcmp(a.positions.get(), b.positions.get(), n * sizeof(Vector3)) == 0 &&
            std::memcmp(a.velocities.get(), b.velocities.get(), n * sizeof(Vector3)) == 0 &&
            std::memcmp(a.pathParameters.get(), b.pathParameters.get(), n * sizeof(float)) == 0);
}

// The reference: every boid by the plain all-pairs scan.
FlockData LiteralStep(const FlockData& read, float dt) {
    FlockData write = read;
    FlockTask(&read, &write, 0, read.boidCount, dt).Run();
    return write;
}

struct Flock {
    std::string name;
    FlockData data;
};

// Random boids in a box, with some placed exactly on top of others and some exactly at the
// separation and group distances from another boid.
FlockData RandomFlock(std::uint32_t n, float box, float separation, float group,
                      std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> coordinate(-box, box);
    std::uniform_real_distribution<float> speed(-6, 6);
    FlockData flock;
    flock.ApplyDefaults();
    flock.separationDistance = separation;
    flock.groupDistance = group;
    flock.SetFlockSize(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        flock.positions[i] = {coordinate(random), coordinate(random), coordinate(random)};
        flock.velocities[i] = {speed(random), speed(random), speed(random)};
    }
    for (std::uint32_t i = 3; i + 3 < n; i += 17) {
        flock.positions[i + 1] = flock.positions[i];
        flock.positions[i + 2] = flock.positions[i] + Vector3(separation, 0, 0);
        flock.positions[i + 3] = flock.positions[i] + Vector3(0, group, 0);
    }
    return flock;
}

std::vector<Flock> AwkwardFlocks() {
    std::vector<Flock> flocks;
    flocks.push_back({"random", RandomFlock(700, 10, 0.5f, 3, 1)});
    flocks.push_back({"dense", RandomFlock(600, 2, 0.5f, 3, 2)});
    flocks.push_back({"largest distances", RandomFlock(300, 60, 99.99f, 99.99f, 3)});
    flocks.push_back({"zero distances", RandomFlock(300, 5, 0, 0, 4)});
    flocks.push_back({"separation beyond group", RandomFlock(400, 5, 3, 0.5f, 5)});
    FlockData far = RandomFlock(300, 5, 0.5f, 3, 6);
    for (std::uint32_t i = 0; i < 300; i += 7) {
        far.positions[i] = {1e30f, -1e30f + static_cast<float>(i), 1e30f};
    }
    far.positions[10] = {kInf, 0, 0};
    far.positions[11] = {kInf, 0, 0};
    far.positions[12] = {0, -kInf, 0};
    far.positions[13] = {kNan, 1, 1};
    far.positions[14] = {3.4e38f, 0, 0};
    far.positions[15] = {-3.4e38f, 0, 0};
    far.velocities[16] = {kNan, kInf, 0};
    flocks.push_back({"far, infinite and NaN", far});
    FlockData stacked = RandomFlock(200, 1, 0.5f, 3, 7);
    for (std::uint32_t i = 0; i < 200; ++i) {
        stacked.positions[i] = {1, 2, 3};
    }
    flocks.push_back({"all at one place", stacked});
    flocks.push_back({"one boid", RandomFlock(1, 5, 0.5f, 3, 8)});
    flocks.push_back({"no boid", RandomFlock(0, 5, 0.5f, 3, 9)});
    FlockData placed;
    placed.ApplyDefaults();
    placed.SetFlockSize(5000);
    flocks.push_back({"placed on the knot", placed});
    return flocks;
}

std::vector<InstructionSet> RunnableInstructionSets() {
    std::vector<InstructionSet> sets{InstructionSet::Portable};
    if (DetectInstructionSet() != InstructionSet::Portable) {
        sets.push_back(InstructionSet::Avx2);
    }
    if (DetectInstructionSet() == InstructionSet::Avx512) {
        sets.push_back(InstructionSet::Avx512);
    }
    return sets;
}

// Every search, on every instruction set the CPU runs and for every task count, steers every
// boid exactly as the plain scan does.
TEST(NeighbourSearch, EverySearchEqualsThePlainScanBitForBit) {
    TaskScheduler scheduler;
    FlockStep step(scheduler);
    for (const Flock& flock : AwkwardFlocks()) {
        const FlockData expected = LiteralStep(flock.data, 0.02f);
        for (const InstructionSet set : RunnableInstructionSets()) {
            step.SetInstructionSet(set);
            for (const NeighbourSearchMode mode :
                 {NeighbourSearchMode::AllPairs, NeighbourSearchMode::Grid,
                  NeighbourSearchMode::Auto}) {
                step.SetSearchMode(mode);
                for (std::uint32_t tasks = 1; tasks <= 8; ++tasks) {
                    FlockData written;
                    ASSERT_TRUE(step.Run(flock.data, written, tasks, 0.02f));
                    EXPECT_TRUE(SameBits(expected, written))
                        << flock.name << ", " << GetInstructionSetName(set) << ", mode "
                        << static_cast<int>(mode) << ", " << tasks << " tasks";
                }
            }
        }
    }
}

TEST(NeighbourSearch, StaysExactOverManySteps) {
    TaskScheduler scheduler;
    FlockStep step(scheduler);
    step.SetSearchMode(NeighbourSearchMode::Grid);
    FlockData literal;
    literal.ApplyDefaults();
    literal.SetFlockSize(1500);
    FlockData fast = literal;
    FlockData written = fast;  // the parameters a publish carries come from the written side
    for (int s = 0; s < 20; ++s) {
        literal = LiteralStep(literal, 0.016f);
        ASSERT_TRUE(step.Run(fast, written, 2, 0.016f));
        fast = written;
    }
    EXPECT_TRUE(SameBits(literal, fast));
}

TEST(NeighbourThresholds, MatchTheDistanceTestsExactly) {
    for (const float distance : {0.5f, 3.0f, 99.99f, 1e-20f, 7.0f, 1e19f}) {
        const NeighbourThresholds t = NeighbourThresholds::For(distance, 0);
        // Just below and at the threshold, the square root falls on either side of distance.
        float below = std::nextafter(t.separation, 0.0f);
        EXPECT_LT(std::sqrt(below), distance) << distance;
        EXPECT_GE(std::sqrt(t.separation), distance) << distance;
        EXPECT_LE(t.separation, t.filter);
    }
    EXPECT_TRUE(NeighbourThresholds::For(0, -1).none);
    EXPECT_TRUE(NeighbourThresholds::For(kNan, kNan).none);
    EXPECT_FALSE(NeighbourThresholds::For(kNan, 1).none);
    const NeighbourThresholds endless = NeighbourThresholds::For(kInf, 0);
    EXPECT_EQ(kInf, endless.separation);
    EXPECT_FALSE(std::isfinite(endless.reach));
}

TEST(NeighbourGrid, PutsNonFiniteBoidsInNoCellAndKeepsCellsAscending) {
    BoidArrays boids;
    boids.Resize(6);
    const float xs[6] = {0.1f, kNan, 0.2f, kInf, 5.5f, 0.3f};
    for (int i = 0; i < 6; ++i) {
        boids.px[i] = xs[i];
        boids.py[i] = boids.pz[i] = 0;
    }
    NeighbourGrid grid;
    grid.Build(boids, 1.0f);
    EXPECT_EQ((std::vector<std::uint32_t>{1, 3}), grid.GetOutsiders());
    ASSERT_EQ(2u, grid.GetCellCount());
    EXPECT_EQ(3u, grid.CellSize(0));
    EXPECT_EQ(0u, grid.CellBegin(0)[0]);
    EXPECT_EQ(2u, grid.CellBegin(0)[1]);
    EXPECT_EQ(5u, grid.CellBegin(0)[2]);
    std::vector<std::uint32_t> around;
    grid.GatherNeighbourhood(0, around);
    EXPECT_EQ((std::vector<std::uint32_t>{0, 2, 5}), around);
    EXPECT_EQ(9u + 1u, grid.CountCandidatePairs());
}

}  // namespace
}  // namespace Avidrift
