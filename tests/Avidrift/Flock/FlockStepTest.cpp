#include "Avidrift/Flock/FlockStep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Avidrift/Flock/BoidInspection.h"
#include "Avidrift/Flock/BoidSteering.h"
#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockTask.h"
#include "Avidrift/Flock/NeighbourGrid.h"
#include "Avidrift/Flock/NeighbourSearch.h"
#include "Avidrift/Flock/WorldSteering.h"
#include "Avidrift/Tasks/TaskScheduler.h"
#include "Avidrift/Tasks/ThreadPool.h"
#include "Quellon/Scalar.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

// Bit-identical, except that any NaN equals any NaN: which operand's NaN an instruction
// propagates the vector kernels need not share with the scalar rule. Vector3 arrays are packed.
bool SameState(const FlockData& a, const FlockData& b) {
    const auto same = [](const float* x, const float* y, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (std::bit_cast<std::uint32_t>(x[i]) != std::bit_cast<std::uint32_t>(y[i]) &&
                !(std::isnan(x[i]) && std::isnan(y[i]))) {
                return false;
            }
        }
        return true;
    };
    const std::size_t n = a.boidCount;
    const std::size_t predators = a.predators.size();
    return a.boidCount == b.boidCount && predators == b.predators.size() &&
           (predators == 0 ||
            same(&a.predators[0].position.x, &b.predators[0].position.x, 4 * predators)) &&
           (n == 0 || (same(&a.positions[0].x, &b.positions[0].x, 3 * n) &&
                       same(&a.velocities[0].x, &b.velocities[0].x, 3 * n) &&
                       same(a.pathParameters.get(), b.pathParameters.get(), n)));
}

// The reference: every boid by the plain all-pairs scan, on this thread.
FlockData ReferenceStep(const FlockData& read, float dt) {
    FlockData write = read;
    write.KeepNeighbourCounts(true);
    FlockTask(&read, &write, 0, read.boidCount, dt).Run();
    MovePredators(read, write, dt);
    return write;
}

// The default flock on the knot.
FlockData Placed(std::uint32_t n) {
    FlockData flock;
    flock.ApplyDefaults();
    flock.SetFlockSize(n);
    return flock;
}

// Each boid starts on the knot, spread over one turn, heading one degree further along it.
TEST(FlockData, SpreadsBoidsOverOneTurn) {
    FlockData flock;
    flock.maxFlockSize = 1234;
    flock.separationWeight = 7;
    flock.SetFlockSize(4);
    const float pi = 3.1415927f;
    const Vector3 expected[4] = {{30, 0, 0}, {-20, 0, -10}, {10, 0, 0}, {-20, 0, 10}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(pi * static_cast<float>(i), flock.pathParameters[i]) << i;
        EXPECT_NEAR(0.0f, Quellon::Length(flock.positions[i] - expected[i]), 1e-4f) << i;
    }
    EXPECT_NEAR(0.0f, Quellon::Length(flock.velocities[0] - Vector3(-0.0080f, 0.5235f, 0.2618f)),
                1e-4f);
    // Resizing keeps the parameters; the defaults keep the renderer's limit.
    EXPECT_EQ(7.0f, flock.separationWeight);
    flock.ApplyDefaults();
    EXPECT_EQ(1234u, flock.maxFlockSize);
}

void ExpectNear(const Vector3& expected, const Vector3& actual, float tolerance) {
    EXPECT_NEAR(0.0f, Quellon::Length(expected - actual), tolerance)
        << actual.x << ", " << actual.y << ", " << actual.z;
}

// The default parameters, the given boids and weights (separation, cohesion, alignment, path).
FlockData MakeFlock(const std::vector<std::pair<Vector3, Vector3>>& boids,
                    std::array<float, 4> weights = {2.5f, 0.1f, 0.1f, 0.1f}) {
    FlockData flock = Placed(static_cast<std::uint32_t>(boids.size()));
    for (std::size_t i = 0; i < boids.size(); ++i) {
        flock.positions[i] = boids[i].first;
        flock.velocities[i] = boids[i].second;
    }
    flock.separationWeight = weights[0];
    flock.cohesionWeight = weights[1];
    flock.alignmentWeight = weights[2];
    flock.trefoilKnotPathWeight = weights[3];
    return flock;
}

// The angle increment times the step time plus the parameter, rounded once to float: 0.1 * 0.1 +
// 0.02 gives 0.0299999993, where rounding the product to float first gives 0.0300000012.
TEST(FlockTask, PathParameterAdvancesWithOneRounding) {
    FlockData read = MakeFlock({{{0, 0, 0}, {0, 0, 0}}});
    read.pathParameters[0] = 0.02f;
    EXPECT_EQ(0.0299999993f, ReferenceStep(read, 0.1f).pathParameters[0]);
}

// One weight at a time, so that no two can stand in for each other: the first boid's velocity
// after the step, with a neighbour at x (none if NaN) moving at (0, 0, 1); it moves by that.
TEST(FlockTask, EachForceAlone) {
    const struct {
        std::array<float, 4> weights;  // separation, cohesion, alignment, path
        float separationDistance, groupDistance, x;
        Vector3 position, velocity, expected;
        std::optional<Vector3> predator, obstacle;
    } cases[] = {
        // clang-format off
        // Cohesion towards the centre of a boid without neighbours (the origin) is -v.
        {{0, 1, 0, 0}, 0.5f, 3, kNan, {0, 0, 0}, {1, 2, 3}, {0, 0, 0}},
        // The neighbour counts for the group exactly when in [separation, group) away.
        {{0, 0, 1, 0}, 0.5f, 3, 0.4f, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        {{0, 0, 1, 0}, 0.5f, 3, 0.5f, {0, 0, 0}, {0, 0, 0}, {0, 0, 1}},
        {{0, 0, 1, 0}, 0.5f, 3, 2.9f, {0, 0, 0}, {0, 0, 0}, {0, 0, 1}},
        {{0, 0, 1, 0}, 0.5f, 3, 3, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        // Separation beyond group: nobody counts for the group; cohesion hits the speed bound.
        {{0, 1, 0, 0}, 0.5f, 0.4f, 10.45f, {10, 0, 0}, {0, 0, 0}, {-5, 0, 0}},
        {{1, 0, 0, 0}, 0.5f, 3, 0.25f, {0, 0, 0}, {0, 0, 0}, {-4, 0, 0}},
        // Coincident boids ignore each other.
        {{1, 0, 0, 0}, 0.5f, 3, 0, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        // Towards the knot's point at the advanced parameter, at full speed.
        {{0, 0, 0, 1}, 0.5f, 3, kNan, {0, 0, 0}, {0, 0, 0}, {4.9997f, 0.05f, 0.025f}},
        // The speed bound limits from above only.
        {{0, 0, 0, 0}, 0.5f, 3, kNan, {0, 0, 0}, {-9, 9, 0}, {-9, 5, 0}},
        // A predator 2.5 units off in -x (flee distance 10, weight 1): 5 * (1 - 0.25) away.
        {{0, 0, 0, 0}, 0.5f, 3, kNan, {0, 0, 0}, {0, 0, 0}, {3.75f, 0, 0}, Vector3{-2.5f, 0, 0}},
        // On the predator, or beyond its reach: no direction, no flight.
        {{0, 0, 0, 0}, 0.5f, 3, kNan, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, Vector3{0, 0, 0}},
        {{0, 0, 0, 0}, 0.5f, 3, kNan, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, Vector3{0, 10, 0}},
        // A sphere of radius 1 at +3 in y, avoid distance 4, weight 0.5: the surface 2 away is
        // half the ramp, 5 * 0.5 * 0.5 down; at the surface all of it; inside, more.
        {{0, 0, 0, 0}, 0.5f, 3, kNan, {0, 0, 0}, {0, 0, 0}, {0, -1.25f, 0}, {}, Vector3{0, 3, 0}},
        {{0, 0, 0, 0}, 0.5f, 3, kNan, {0, 2, 0}, {0, 0, 0}, {0, -2.5f, 0}, {}, Vector3{0, 3, 0}},
        {{0, 0, 0, 0}, 0.5f, 3, kNan, {0, 2.5f, 0}, {0, 0, 0}, {0, -2.8125f, 0}, {}, Vector3{0, 3, 0}},
        {{0, 0, 0, 0}, 0.5f, 3, kNan, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {}, Vector3{0, 7, 0}},
        // clang-format on
    };
    for (const auto& c : cases) {
        std::vector<std::pair<Vector3, Vector3>> boids{{c.position, c.velocity}};
        if (!std::isnan(c.x)) {
            boids.push_back({{c.x, 0, 0}, {0, 0, 1}});
        }
        FlockData read = MakeFlock(boids, c.weights);
        read.separationDistance = c.separationDistance;
        read.groupDistance = c.groupDistance;
        read.fleeDistance = 10;
        read.fleeWeight = 1;
        read.avoidDistance = 4;
        read.avoidWeight = 0.5f;
        if (c.predator) {
            read.predators.push_back({*c.predator, false});
        }
        if (c.obstacle) {
            read.obstacles.push_back({*c.obstacle, 1});
        }
        const FlockData written = ReferenceStep(read, 0.1f);
        ExpectNear(c.expected, written.velocities[0], 1e-4f);
        ExpectNear(c.position + c.expected * 0.1f, written.positions[0], 1e-4f);
    }
}

// Random boids in a box, some on top of others, some exactly at either distance from another.
FlockData RandomFlock(std::uint32_t n, float box, float separation, float group,
                      std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> coordinate(-box, box);
    std::uniform_real_distribution<float> speed(-6, 6);
    FlockData flock = Placed(n);
    flock.separationDistance = separation;
    flock.groupDistance = group;
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

// Two boids at rest whose squared distance overflows only when each square is rounded to float,
// the others unreachable, and only separation to move them.
FlockData OverflowingPair(float separation) {
    FlockData f = Placed(64);
    f.cohesionWeight = f.alignmentWeight = f.trefoilKnotPathWeight = 0;
    f.separationWeight = 1;
    f.separationDistance = separation;
    for (std::uint32_t i = 0; i < f.boidCount; ++i) {
        f.positions[i] = Vector3(kNan, kNan, kNan);
        f.velocities[i] = Vector3(0, 0, 0);
    }
    f.positions[0] = Vector3(0, 0, 0);
    f.positions[1] = Vector3(8.96308575e18f, 1.01532928e19f, 1.25242203e19f);
    return f;
}

// Boids on a lattice of half the grid's cells: every other one exactly on the cells' corners,
// each with neighbours in the cells around.
FlockData OnCellBoundaries() {
    const float half = NeighbourThresholds::For(0.5f, 3).reach / 2;
    FlockData f = Placed(512);
    for (std::uint32_t i = 0; i < 512; ++i) {
        const std::uint32_t lattice[3] = {i % 8, i / 8 % 8, i / 64 % 8};
        f.positions[i] =
            Vector3(half * static_cast<float>(lattice[0]), half * static_cast<float>(lattice[1]),
                    -half * static_cast<float>(lattice[2]));
    }
    return f;
}

std::vector<std::pair<std::string, FlockData>> AwkwardFlocks() {
    // A crowd inside one cell of the grid, far more than one block of lanes.
    FlockData oneCell = RandomFlock(300, 1.4f, 0.2f, 1, 10);
    // Non-finite boids among a dense crowd, which go into no cell.
    FlockData holes = RandomFlock(500, 3, 0.5f, 3, 12);
    for (std::uint32_t i = 0; i < 300; ++i) {
        oneCell.positions[i] = oneCell.positions[i] + Vector3(1.5f, 1.5f, 1.5f);
        holes.positions[i + 200] =
            i % 9 != 0 ? holes.positions[i + 200] : Vector3(i % 2 != 0 ? kNan : -kInf, 0, 1);
    }
    // Dozens beyond the coordinates' clamp share one border cell, half of them in one place,
    // half spread across the float range.
    FlockData far = RandomFlock(300, 5, 0.5f, 3, 6);
    for (std::uint32_t i = 0; i < 300; i += 7) {
        const float x = i % 14 == 0 ? 1e30f : 3.4e38f * (static_cast<float>(i) / 300);
        far.positions[i] = {x, -1e30f + static_cast<float>(i), 1e30f};
    }
    far.positions[10] = far.positions[11] = {kInf, 0, 0};
    far.positions[12] = {0, -kInf, 0};
    far.positions[13] = {kNan, 1, 1};
    far.positions[14] = {3.4e38f, 0, 0};
    far.positions[15] = {-3.4e38f, 0, 0};
    far.velocities[16] = {kNan, kInf, 0};
    // Enough boids for the grid's counting sort: over many cells (digits of two passes), with
    // some off every cell; and with some at the coordinates' clamp, too wide for the digits.
    FlockData manyCells = RandomFlock(4500, 90, 0.5f, 3, 13);
    FlockData clamped = RandomFlock(4500, 20, 0.5f, 3, 14);
    for (std::uint32_t i = 0; i < 4500; i += 97) {
        manyCells.positions[i] = Vector3(i % 2 != 0 ? kNan : -kInf, 1, 1);
        clamped.positions[i] = Vector3(1e30f, -1e30f, static_cast<float>(i));
    }
    std::vector<std::pair<std::string, FlockData>> flocks = {
        {"random", RandomFlock(700, 10, 0.5f, 3, 1)},
        {"dense", RandomFlock(600, 2, 0.5f, 3, 2)},
        {"largest distances", RandomFlock(300, 60, 99.99f, 99.99f, 3)},
        {"zero distances", RandomFlock(300, 5, 0, 0, 4)},
        {"separation beyond group", RandomFlock(400, 5, 3, 0.5f, 5)},
        {"far, infinite and NaN", far},
        {"nearly all at one place", RandomFlock(200, 0, 0.5f, 3, 7)},
        {"one boid", RandomFlock(1, 5, 0.5f, 3, 8)},
        {"no boid", RandomFlock(0, 5, 0.5f, 3, 9)},
        {"placed on the knot", Placed(5000)},
        {"on the cells' boundaries", OnCellBoundaries()},
        {"in one cell", oneCell},
        {"spread over many empty cells", RandomFlock(500, 100, 0.5f, 3, 11)},
        {"non-finite among a crowd", holes},
        {"thousands over many cells, some off every cell", manyCells},
        {"thousands, some at the coordinates' clamp", clamped},
        {"squared length overflows, infinite distance", OverflowingPair(kInf)},
        {"squared length overflows, distance 1e20", OverflowingPair(1e20f)},
    };
    // Worlds: predators placed and autonomous, obstacles around and among the boids.
    const auto inWorld = [](FlockData f, std::vector<Obstacle> obstacles,
                            std::vector<Predator> predators) {
        f.fleeDistance = 6;
        f.fleeWeight = 1.5f;
        f.predatorSpeed = 7;
        f.avoidDistance = 3;
        f.avoidWeight = 2;
        f.obstacles = std::move(obstacles);
        f.predators = std::move(predators);
        return f;
    };
    std::vector<Obstacle> course;
    for (int k = 0; k < 8; ++k) {
        course.push_back({Vector3(static_cast<float>(k * 5 - 20), 0, 3), 0.5f + k});
    }
    FlockData onSurface = RandomFlock(300, 5, 0.5f, 3, 15);
    const Vector3 touched = onSurface.positions[7];
    flocks.emplace_back("a world of obstacles and predators",
                        inWorld(RandomFlock(700, 10, 0.5f, 3, 1), course,
                                {{{0, 0, 0}, false}, {{9, 9, 9}, true}, {{-30, 0, 0}, true}}));
    flocks.emplace_back("a world on the knot", inWorld(Placed(5000), course, {{{30, 0, 0}, true}}));
    flocks.emplace_back("a boid on an obstacle's surface and a predator on a boid",
                        inWorld(onSurface, {{touched + Vector3(2, 0, 0), 2}, {touched, 0}},
                                {{onSurface.positions[9], false}, {touched, true}}));
    flocks.emplace_back("an obstacle around the whole flock",
                        inWorld(RandomFlock(400, 5, 0.5f, 3, 16), {{{0, 0, 0}, 100}}, {}));
    flocks.emplace_back("non-finite boids and a non-finite world",
                        inWorld(far, {{{kNan, 0, 0}, 1}, {{0, 0, 0}, kInf}, {{1, 1, 1}, -2}},
                                {{{kInf, 0, 0}, false}, {{0, 0, 0}, true}, {{kNan, 1, 1}, true}}));
    // What hostile settings make of a flock: huge, infinite and NaN states, no neighbour possible,
    // neighbourhoods without bound.
    for (const float v : {0.0f, -5.0f, 1e30f, -1e30f, kNan, kInf, -kInf}) {
        FlockData f = Placed(256);
        f.separationWeight = f.cohesionWeight = f.alignmentWeight = f.trefoilKnotPathWeight = v;
        flocks.emplace_back("weights " + ::testing::PrintToString(v), f);
        f.maxSpeed = Vector3(v, v, v);
        f.angleIncrement = v;
        flocks.emplace_back("everything " + ::testing::PrintToString(v), f);
    }
    const float distances[][2] = {
        // clang-format off
        {-1, -3}, {0, 0}, {1e-45f, 1e-45f}, {99.99f, 99.99f}, {1e30f, 1e30f}, {kInf, kInf},
        {kInf, 3}, {kNan, kNan}, {kNan, 3},
        // clang-format on
    };
    for (const auto& [separation, group] : distances) {
        FlockData f = Placed(256);
        f.separationDistance = separation;
        f.groupDistance = group;
        flocks.emplace_back("distances " + ::testing::PrintToString(separation) + ", " +
                                ::testing::PrintToString(group),
                            f);
    }
    return flocks;
}

// Every search, instruction set and task count steers every boid exactly as the plain scan does,
// also over steps that take the flock to huge, infinite and NaN states. The flocks take turns on
// pools of 1, 2, 3 and 8 workers, so tasks also queue behind each other and outnumber cores.
TEST(NeighbourSearch, EverySearchEqualsThePlainScanBitForBit) {
    std::vector<std::unique_ptr<TaskScheduler>> schedulers;
    for (const unsigned workers : {1u, 2u, 3u, 8u}) {
        schedulers.push_back(
            std::make_unique<TaskScheduler>(std::make_unique<ThreadPool>(workers)));
    }
    int gridSearches = 0;
    FlockData written;  // the logic steps into the state before last: stale boids, another size
    std::size_t row = 0;
    for (const auto& [name, flock] : AwkwardFlocks()) {
        const std::size_t pool = row++ % schedulers.size();
        SCOPED_TRACE(name + ", pool " + std::to_string(pool));
        FlockStep step(*schedulers[pool]);
        FlockData read = flock;
        for (int s = 0; s < 3; ++s) {
            const FlockData expected = ReferenceStep(read, 0.02f);
            std::optional<std::uint64_t> neighbourPairs;
            for (const InstructionSet set :
                 {InstructionSet::Portable, InstructionSet::Avx2, InstructionSet::Avx512}) {
                if (set > DetectInstructionSet()) {
                    continue;
                }
                step.SetInstructionSet(set);
                for (const NeighbourSearchMode mode :
                     {NeighbourSearchMode::AllPairs, NeighbourSearchMode::Grid,
                      NeighbourSearchMode::Auto}) {
                    step.SetSearchMode(mode);
                    for (std::uint32_t tasks = 1; tasks <= 8; ++tasks) {
                        // The logic's next state holds the world it published, unless the user
                        // rearranged it since; the step reads only the state it is given.
                        written.CopyParametersFrom(read);
                        written.KeepNeighbourCounts(true);
                        ASSERT_TRUE(step.Run(read, written, tasks, 0.02f));
                        ASSERT_TRUE(std::equal(expected.neighbourCounts.get(),
                                               expected.neighbourCounts.get() + read.boidCount,
                                               written.neighbourCounts.get()));
                        gridSearches += step.GetLastSearch() == NeighbourSearchMode::Grid;
                        ASSERT_TRUE(SameState(expected, written))
                            << name << ", step " << s << ", " << GetInstructionSetName(set)
                            << ", mode " << static_cast<int>(mode) << ", " << tasks << " tasks";
                        // Every search counts the same neighbours; the grid examines no more
                        // pairs than its cells propose.
                        const StepCounts& counts = step.GetLastCounts();
                        neighbourPairs = neighbourPairs.value_or(counts.neighbourPairs);
                        ASSERT_EQ(*neighbourPairs, counts.neighbourPairs) << name;
                        ASSERT_LE(counts.examinedPairs, counts.candidatePairs) << name;
                    }
                }
            }
            // What an inspector shows of a boid is what every step above did with it.
            for (std::uint32_t i = 0; i < read.boidCount; i += 1 + read.boidCount / 16) {
                const BoidInspection seen = InspectBoid(read, i, 0.02f);
                FlockData one = expected;
                one.positions[i] = seen.terms.position;
                one.velocities[i] = seen.terms.velocity;
                one.pathParameters[i] = seen.terms.pathParameter;
                ASSERT_TRUE(SameState(expected, one)) << name << ", boid " << i;
                ASSERT_EQ(
                    expected.neighbourCounts[i],
                    (NeighbourCount{static_cast<std::uint32_t>(seen.separationNeighbours.size()),
                                    static_cast<std::uint32_t>(seen.groupNeighbours.size())}));
                for (const std::uint32_t j : seen.separationNeighbours) {
                    ASSERT_LT(Quellon::Length(read.positions[i] - read.positions[j]),
                              read.separationDistance);
                }
            }
            read = expected;
        }
    }
    // Not only through the all-pairs search the grid falls back to when no cell size fits.
    EXPECT_GT(gridSearches, 0);
    // Only a counted pair moves the two boids of the overflow rows.
    EXPECT_NE(0.0f, ReferenceStep(OverflowingPair(kInf), 0.02f).velocities[0].x);
}

// The grid's count of the pairs it would examine, which chooses the search, is the sum over its
// cells of the neighbourhood each gathers, on flocks spread over many cells, off every cell and
// in one; each neighbourhood comes in index order, close indices or far apart.
TEST(NeighbourGrid, CountsThePairsItsNeighbourhoodsHold) {
    for (const auto& [name, flock] : AwkwardFlocks()) {
        const NeighbourThresholds thresholds =
            NeighbourThresholds::For(flock.separationDistance, flock.groupDistance);
        if (!(thresholds.reach > 0.0f) || !std::isfinite(thresholds.reach)) {
            continue;
        }
        BoidArrays arrays;
        arrays.Resize(flock.boidCount);
        arrays.CopyFrom(flock, 0, flock.boidCount);
        NeighbourGrid grid;
        grid.Prepare(flock.boidCount, thresholds.reach);
        grid.SortRange(arrays, 0, flock.boidCount);
        grid.Finish({flock.boidCount});
        std::uint64_t expected = 0;
        std::vector<std::uint32_t> neighbourhood;
        for (std::uint32_t cell = 0; cell < grid.GetCellCount(); ++cell) {
            grid.GatherNeighbourhood(cell, neighbourhood);
            expected += std::uint64_t{grid.CellSize(cell)} * neighbourhood.size();
            // Ascending, each boid once: the sums run in index order, whichever way it was sorted.
            ASSERT_TRUE(std::adjacent_find(neighbourhood.begin(), neighbourhood.end(),
                                           std::greater_equal<>()) == neighbourhood.end())
                << name;
        }
        EXPECT_EQ(grid.CountCandidatePairs(), expected) << name;
    }
}

// An autonomous predator runs at its speed to the nearest boid (the lower index of two as near),
// lands on it when it is within a step, and stays without a boid to chase; a placed one stays.
TEST(Predators, ChaseTheNearestBoid) {
    FlockData read = MakeFlock({{{3, 4, 0}, {}}, {{0, 0, 9}, {}}, {{-3, 4, 0}, {}}});
    read.predatorSpeed = 10;
    read.predators = {{{0, 0, 0}, true}, {{0, 0, 0}, false}, {{0, 0, 8.5f}, true}};
    FlockData written = ReferenceStep(read, 0.1f);
    ExpectNear({0.6f, 0.8f, 0}, written.predators[0].position, 1e-6f);
    ExpectNear({0, 0, 0}, written.predators[1].position, 0);
    ExpectNear({0, 0, 9}, written.predators[2].position, 0);
    read.positions[0] = read.positions[1] = read.positions[2] = {kNan, 0, 0};
    EXPECT_EQ(ReferenceStep(read, 0.1f).predators[0].position.x, 0.0f);
}

// The angles whose vector sine or cosine differs from the library's, at most ten, for every
// vector instruction set this CPU has.
std::vector<float> VectorSinCosMisses(const std::vector<float>& angles) {
    using SinesAndCosines = void (*)(const float*, std::uint32_t, float*, float*);
    std::vector<SinesAndCosines> vectors;
    if (DetectInstructionSet() >= InstructionSet::Avx2) {
        vectors.push_back(&SinesAndCosinesAvx2);
    }
    if (DetectInstructionSet() >= InstructionSet::Avx512) {
        vectors.push_back(&SinesAndCosinesAvx512);
    }
    const auto n = static_cast<std::uint32_t>(angles.size());
    std::vector<float> sines(n), cosines(n), misses;
    for (const SinesAndCosines sinesAndCosines : vectors) {
        sinesAndCosines(angles.data(), n, sines.data(), cosines.data());
        for (std::uint32_t i = 0; i < n && misses.size() < 10; ++i) {
            if (std::bit_cast<std::uint32_t>(sines[i]) !=
                    std::bit_cast<std::uint32_t>(Quellon::Sin(angles[i])) ||
                std::bit_cast<std::uint32_t>(cosines[i]) !=
                    std::bit_cast<std::uint32_t>(Quellon::Cos(angles[i]))) {
                misses.push_back(angles[i]);
            }
        }
    }
    return misses;
}

// The vector steering takes the knot's sines and cosines its own way and asks the library only
// where the rounding is in doubt: close to the functions' zeros (multiples of pi/2 for t, of
// pi/3 for the knot's 1.5 t), past its fast range, and for non-finite angles (NaN keeps its bits).
TEST(FlockSteering, VectorSinesAndCosinesAreTheLibrarysAtHardAngles) {
    if (DetectInstructionSet() < InstructionSet::Avx2) {
        GTEST_SKIP() << "this CPU has neither AVX2 nor AVX-512: no vector sine to check";
    }
    std::vector<float> angles = {0,     -0.0f, 1e-45f, 1e-30f,  kNan,     kInf,
                                 -kInf, 1e20f, -3e38f, 0x1p20f, -0x1p20f, 0x1.000002p20f};
    for (int k = -4000; k <= 4000; ++k) {
        for (const double zero : {k * 1.5707963267948966, k * 1.0471975511965976}) {
            const auto nearest = static_cast<float>(zero);
            float t = std::nextafter(std::nextafter(nearest, -kInf), -kInf);
            for (int step = 0; step < 5; ++step, t = std::nextafter(t, kInf)) {
                angles.push_back(t);
            }
        }
    }
    std::mt19937 random(21);
    std::uniform_real_distribution<float> exponent(-20, 21);
    for (int i = 0; i < 100000; ++i) {
        angles.push_back((i % 2 != 0 ? -1.0f : 1.0f) * std::exp2(exponent(random)));
    }
    EXPECT_EQ(VectorSinCosMisses(angles), std::vector<float>{});
}

// Every float of the fast range, both signs, in slices of 2^24: about a minute for each
// instruction set. Run it with --gtest_also_run_disabled_tests after any change to the vector
// sine and cosine.
TEST(FlockSteering, DISABLED_VectorSinesAndCosinesAreTheLibrarysForEveryFastAngle) {
    if (DetectInstructionSet() < InstructionSet::Avx2) {
        GTEST_SKIP() << "this CPU has neither AVX2 nor AVX-512: no vector sine to check";
    }
    const std::uint32_t end = std::bit_cast<std::uint32_t>(0x1p20f) + 1;
    std::vector<float> angles;
    for (const std::uint32_t sign : {0u, 0x80000000u}) {
        for (std::uint32_t first = 0; first < end; first += 1u << 24) {
            angles.clear();
            for (std::uint32_t bits = first; bits < std::min(end, first + (1u << 24)); ++bits) {
                angles.push_back(std::bit_cast<float>(bits | sign));
            }
            ASSERT_EQ(VectorSinCosMisses(angles), std::vector<float>{});
        }
    }
}

TEST(FlockStep, SlicesCoverTheFlockInOrder) {
    const struct {
        std::uint32_t n;
        std::vector<BoidSlice> slices;
    } cases[] = {
        {10, {{0, 3}, {3, 6}, {6, 10}}},
        {10, {{0, 2}, {2, 5}, {5, 7}, {7, 10}}},
        {3, {{0, 0}, {0, 1}, {1, 1}, {1, 2}, {2, 3}}},
        // k n must not overflow 32 bits.
        {4000000000u, {{0, 1333333333u}, {1333333333u, 2666666666u}, {2666666666u, 4000000000u}}},
    };
    for (const auto& c : cases) {
        const auto t = static_cast<std::uint32_t>(c.slices.size());
        for (std::uint32_t k = 0; k < t; ++k) {
            const BoidSlice slice = FlockStep::Slice(k, c.n, t);
            EXPECT_EQ(c.slices[k].begin, slice.begin) << c.n << "/" << t << " k=" << k;
            EXPECT_EQ(c.slices[k].end, slice.end) << c.n << "/" << t << " k=" << k;
        }
    }
    EXPECT_EQ(1u, FlockStep::TaskCountFor(0, 100));
    EXPECT_EQ(7u, FlockStep::TaskCountFor(7, 100));
    EXPECT_EQ(100u, FlockStep::TaskCountFor(999999999, 100));
    EXPECT_EQ(1u, FlockStep::TaskCountFor(999999999, 0));
    EXPECT_EQ(FlockStep::kMaxTasks, FlockStep::TaskCountFor(999999999, 8388608));
}

TEST(FlockStep, CancelledStepReportsItself) {
    TaskScheduler scheduler;
    FlockStep step(scheduler);
    const FlockData read = Placed(1000);
    FlockData write;
    const std::atomic<bool> cancel{true};
    EXPECT_FALSE(step.Run(read, write, 2, 0.02f, &cancel));
    const std::atomic<bool> keepGoing{false};
    EXPECT_TRUE(step.Run(read, write, 2, 0.02f, &keepGoing));
}

}  // namespace
}  // namespace Avidrift
