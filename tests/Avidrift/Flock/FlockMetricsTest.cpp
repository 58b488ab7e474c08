#include "Avidrift/Flock/FlockMetrics.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/TrefoilKnot.h"
#include "Avidrift/Tasks/TaskScheduler.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

FlockData Made(const std::vector<Vector3>& p, const std::vector<Vector3>& v,
               const std::vector<float>& t = {}) {
    FlockData flock;
    flock.ApplyDefaults();
    flock.SetFlockSize(static_cast<std::uint32_t>(p.size()));
    for (std::size_t i = 0; i < p.size(); ++i) {
        flock.positions[i] = p[i];
        flock.velocities[i] = v[i % v.size()];
        flock.pathParameters[i] = t.empty() ? 0.0f : t[i];
    }
    return flock;
}

FlockData InWorld(FlockData flock, std::vector<Obstacle> obstacles,
                  std::vector<Predator> predators) {
    flock.obstacles = std::move(obstacles);
    flock.predators = std::move(predators);
    return flock;
}

bool SameBits(const FlockMeasures& a, const FlockMeasures& b) {
    const std::vector<double> x = GetMeasureValues(a);
    const std::vector<double> y = GetMeasureValues(b);
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(x[i]) != std::bit_cast<std::uint64_t>(y[i])) {
            return false;
        }
    }
    return true;
}

// Flocks whose measure is known by construction, measured by every search and task count.
TEST(FlockMetrics, MeasuresFlocksKnownByConstruction) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Vector3> ring;
    std::vector<Vector3> around;
    for (int k = 0; k < 12; ++k) {
        const float a = static_cast<float>(k) * 0.5235988f;
        ring.push_back({7.0f * std::cos(a), 7.0f * std::sin(a), 0.0f});
        around.push_back({-2.0f * std::sin(a), 2.0f * std::cos(a), 0.0f});
    }
    std::vector<Vector3> onKnot;
    std::vector<float> t;
    for (int k = 0; k < 5; ++k) {
        t.push_back(static_cast<float>(k) * 1.3f);
        onKnot.push_back(TrefoilKnotPoint(t.back()) + Vector3(0.0f, 0.0f, 0.25f));
    }
    const struct {
        const char* name;
        FlockData flock;
        double FlockMeasures::*field;
        double expected;
    } cases[] = {
        {"same heading: polarization 1", Made({{0, 0, 0}, {5, 1, 2}, {-3, 8, 1}}, {{1, 2, 2}}),
         &FlockMeasures::polarization, 1.0},
        {"opposite headings: polarization 0",
         Made({{0, 0, 0}, {5, 1, 2}}, {{1, 2, 2}, {-1, -2, -2}}), &FlockMeasures::polarization,
         0.0},
        {"ring around its centre: milling 1", Made(ring, around), &FlockMeasures::milling, 1.0},
        {"ring: gyration radius", Made(ring, around), &FlockMeasures::gyrationRadius, 7.0},
        {"parallel line: milling 0", Made({{-2, 0, 0}, {2, 0, 0}}, {{0, 1, 0}, {0, 1, 0}}),
         &FlockMeasures::milling, 0.0},
        {"two boids 2.5 apart", Made({{1, 1, 1}, {1, 3.5f, 1}}, {{1, 0, 0}}),
         &FlockMeasures::meanNearestDistance, 2.5},
        // Beyond any group distance: the grid has to widen its cells to find the other boid.
        {"two boids 50 apart", Made({{1, 1, 1}, {1, 1, 51}}, {{1, 0, 0}}),
         &FlockMeasures::meanNearestDistance, 50.0},
        {"nearest among several", Made({{0, 0, 0}, {1, 0, 0}, {0, 4, 0}}, {{1, 0, 0}}),
         &FlockMeasures::meanNearestDistance, 2.0},
        // Group distance 3, separation 0.5: 3 + 3 + 2 + 2 + 0 neighbours, those within
        // separation distance not counted, as the step counts them.
        {"group neighbours",
         Made({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {2.2f, 0, 0}, {10, 0, 0}}, {{1, 0, 0}}),
         &FlockMeasures::meanGroupNeighbours, 2.0},
        {"a quarter above the knot", Made(onKnot, {{1, 0, 0}}, t),
         &FlockMeasures::meanTargetDistance, 0.25},
        // A non-finite boid is left out of every mean.
        {"NaN boid left out", Made({{0, 0, 0}, {nan, 0, 0}, {3, 0, 0}}, {{1, 0, 0}}),
         &FlockMeasures::meanNearestDistance, 3.0},
        {"NaN velocity left out", Made({{0, 0, 0}, {1, 0, 0}}, {{1, 0, 0}, {nan, 0, 0}}),
         &FlockMeasures::meanSpeed, 1.0},
        // Each boid's nearest predator, the NaN one never: 1 and 3 away.
        {"predators",
         InWorld(Made({{0, 0, 0}, {0, 0, 6}}, {{1, 0, 0}}), {{{0, 0, 9}, 3}, {{}, 0.5f}},
                 {{{nan, 0, 0}, true}, {{0, 1, 0}, false}, {{0, 0, 9}, true}}),
         &FlockMeasures::meanPredatorDistance, 2.0},
        {"no predator", Made({{0, 0, 0}}, {{1, 0, 0}}), &FlockMeasures::meanPredatorDistance, nan},
    };
    TaskScheduler scheduler;
    FlockMetrics metrics(scheduler);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        metrics.SetSearchMode(NeighbourSearchMode::AllPairs);
        const FlockMeasures reference = metrics.Measure(c.flock, 1);
        if (std::isnan(c.expected)) {
            EXPECT_TRUE(std::isnan(reference.*c.field));
        } else {
            EXPECT_NEAR(c.expected, reference.*c.field, 1e-6);
        }
        for (const NeighbourSearchMode mode :
             {NeighbourSearchMode::AllPairs, NeighbourSearchMode::Grid}) {
            metrics.SetSearchMode(mode);
            EXPECT_TRUE(SameBits(reference, metrics.Measure(c.flock, 3)));
            EXPECT_EQ(mode, metrics.GetLastSearch());
        }
    }
    EXPECT_EQ(1u, metrics.Measure(cases[10].flock, 1).excluded);  // the NaN boid
    // Inside is strictly closer than the radius: the boid 3 from a sphere of radius 3 is not.
    EXPECT_EQ(1u, metrics.Measure(cases[12].flock, 1).insideObstacles);
}

// A flock after some steps, with boids far off, two at one place and one lost to NaN, also under
// distances where the single-precision screening cannot be trusted: every search, instruction set
// and task count gives the same bits, whichever blocks and cells the tasks took.
TEST(FlockMetrics, BitIdenticalForEveryTaskCountSearchAndInstructionSet) {
    TaskScheduler scheduler;
    FlockStep step(scheduler);
    FlockData flock;
    flock.ApplyDefaults();
    flock.SetFlockSize(5000);
    FlockData written = flock;
    for (int k = 0; k < 20; ++k) {
        step.Run(flock, written, 2, 0.016f);
        flock = written;
    }
    flock.positions[17] = {400.0f, -300.0f, 2.0f};
    flock.positions[4001] = {-90.0f, 0.0f, 0.0f};
    flock.positions[3000] = flock.positions[2999];
    flock.velocities[2500].y = std::numeric_limits<float>::infinity();
    flock.predators = {{{0, 0, 0}, true}, {{30, 0, 0}, false}};
    flock.obstacles = {{{10, 0, 0}, 8}, {{-20, 0, 0}, 5}};
    FlockData tiny = flock;
    tiny.separationDistance = 1e-45f;
    tiny.groupDistance = 2e-38f;
    FlockMetrics metrics(scheduler);
    for (const FlockData* f : {&flock, &tiny}) {
        metrics.SetInstructionSet(InstructionSet::Portable);
        metrics.SetSearchMode(NeighbourSearchMode::AllPairs);
        const FlockMeasures reference = metrics.Measure(*f, 1);
        EXPECT_EQ(1u, reference.excluded);
        EXPECT_GT(reference.meanGroupNeighbours, f == &flock ? 1.0 : -1.0);
        for (const InstructionSet set :
             {InstructionSet::Portable, InstructionSet::Avx2, InstructionSet::Avx512}) {
            if (set > DetectInstructionSet()) {
                continue;
            }
            metrics.SetInstructionSet(set);
            for (const NeighbourSearchMode mode :
                 {NeighbourSearchMode::AllPairs, NeighbourSearchMode::Grid,
                  NeighbourSearchMode::Auto}) {
                for (const std::uint32_t tasks : {1u, 2u, 3u, 7u}) {
                    SCOPED_TRACE(std::string(GetInstructionSetName(set)) + " " +
                                 std::to_string(static_cast<int>(mode)) + " " +
                                 std::to_string(tasks));
                    metrics.SetSearchMode(mode);
                    EXPECT_TRUE(SameBits(reference, metrics.Measure(*f, tasks)));
                }
            }
        }
    }
}

}  // namespace
}  // namespace Avidrift
