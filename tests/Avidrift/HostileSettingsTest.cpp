// Settings at the spin boxes' limits and far beyond them, as another program posting to the
// queue could send: the logic keeps its flock within bounds, the step stays exact however wild
// the numbers it meets, and re-placing the flock brings it back.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Flock/FlockTask.h"
#include "Avidrift/Flock/NeighbourSearch.h"
#include "Avidrift/Tasks/TaskScheduler.h"
#include "Avidrift/TestLogic.h"
#include "Avidrift/TestScene.h"
#include "Quellon/UserEvent.h"

namespace Avidrift {
namespace {

using Quellon::Vector3;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kLargest = std::numeric_limits<float>::max();
constexpr float kTiniest = std::numeric_limits<float>::denorm_min();

// Bit-identical, except that any NaN equals any NaN: the sign and payload of a NaN depend on
// which operand an instruction propagates, which the vector kernels need not share with the
// scalar reference.
bool SameFloat(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

bool SameVector(const Vector3& a, const Vector3& b) {
    return SameFloat(a.x, b.x) && SameFloat(a.y, b.y) && SameFloat(a.z, b.z);
}

// The first boid whose state differs, or -1 when the two flocks agree.
std::int64_t FirstDifference(const FlockData& expected, const FlockData& actual) {
    if (expected.boidCount != actual.boidCount) {
        return 0;
    }
    for (std::uint32_t i = 0; i < expected.boidCount; ++i) {
        if (!SameVector(expected.positions[i], actual.positions[i]) ||
            !SameVector(expected.velocities[i], actual.velocities[i]) ||
            !SameFloat(expected.pathParameters[i], actual.pathParameters[i])) {
            return i;
        }
    }
    return -1;
}

bool AllFinite(const FlockData& flock) {
    for (std::uint32_t i = 0; i < flock.boidCount; ++i) {
        const Vector3& p = flock.positions[i];
        const Vector3& v = flock.velocities[i];
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z) ||
            !std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z) ||
            !std::isfinite(flock.pathParameters[i])) {
            return false;
        }
    }
    return true;
}

// The scalar reference: every boid of the flock by the plain scan, on this thread.
FlockData ReferenceStep(const FlockData& read, float stepTime) {
    FlockData write = read;
    FlockTask(&read, &write, 0, read.boidCount, stepTime).Run();
    return write;
}

// The flock parameters that settings ids 2 to 9 set, with the defaults they return to.
struct Parameter {
    int id;
    const char* name;
    float defaultValue;
    // The spin box's upper limit; its lower limit is 0 for every parameter.
    float spinBoxLimit;
    float (*read)(const FlockData&);
};

const Parameter kParameters[] = {
    {kAngleIncrementSetting, "angle increment", 0.1f, 720.0f,
     [](const FlockData& f) { return f.angleIncrement; }},
    {kSeparationWeightSetting, "separation weight", 2.5f, 99.99f,
     [](const FlockData& f) { return f.separationWeight; }},
    {kCohesionWeightSetting, "cohesion weight", 0.1f, 99.99f,
     [](const FlockData& f) { return f.cohesionWeight; }},
    {kAlignmentWeightSetting, "alignment weight", 0.1f, 99.99f,
     [](const FlockData& f) { return f.alignmentWeight; }},
    {kTrefoilKnotPathWeightSetting, "path weight", 0.1f, 99.99f,
     [](const FlockData& f) { return f.trefoilKnotPathWeight; }},
    {kMaxSpeedSetting, "max speed", 5.0f, 99.99f, [](const FlockData& f) { return f.maxSpeed.x; }},
    {kSeparationDistanceSetting, "separation distance", 0.5f, 99.99f,
     [](const FlockData& f) { return f.separationDistance; }},
    {kGroupDistanceSetting, "group distance", 3.0f, 99.99f,
     [](const FlockData& f) { return f.groupDistance; }},
};

class HostileSettingsTest : public ::testing::Test {
protected:
    // Large enough that the step hands the flock to the vector kernels and to several tasks.
    static constexpr std::uint32_t kBoids = 300;
    // What a small renderer would offer.
    static constexpr std::uint32_t kCapacity = 1000;

    void SetUp() override {
        m_scene = std::make_shared<TestScene>();
        m_scene->m_flock.maxFlockSize = kCapacity;
        m_logic = std::make_unique<TestLogic>(m_scene);
        m_logic->Init();
        Set(kTaskCountSetting, 3);
    }

    void Set(int id, float value) {
        m_logic->OnCustomEvent(0.0f, std::make_shared<Quellon::ValueChangedEvent>(value, id));
    }

    std::shared_ptr<TestScene> m_scene;
    std::unique_ptr<TestLogic> m_logic;
};

TEST_F(HostileSettingsTest, ParametersBeyondTheirLimitsStepSafelyAndReplacingTheFlockRecovers) {
    FlockData placed;
    placed.SetFlockSize(kBoids);
    for (const Parameter& parameter : kParameters) {
        // The spin box's limits first, then what it never offers.
        for (const float value : {0.0f, parameter.spinBoxLimit, -0.0f, -1.0f, kTiniest, 1e30f,
                                  -1e30f, kLargest, kNan, kInf, -kInf}) {
            SCOPED_TRACE(std::string(parameter.name) + " = " + std::to_string(value));
            Set(kFlockSizeSetting, kBoids);
            Set(parameter.id, value);
            bool finite = true;
            for (int step = 0; step < 4; ++step) {
                m_logic->Update(0.02f);
                const FlockData& flock = m_scene->m_flock;
                ASSERT_EQ(kBoids, flock.boidCount);
                ASSERT_TRUE(flock.positions && flock.velocities && flock.pathParameters);
                EXPECT_TRUE(SameFloat(value, parameter.read(flock)));
                EXPECT_EQ(3u, m_scene->m_taskCount);
                finite = finite && AllFinite(flock);
            }
            // A NaN weight, speed bound or angle reaches every velocity; without that, this
            // table would not show that the flock comes back from a blow-up.
            if (std::isnan(value) && parameter.id <= kMaxSpeedSetting) {
                EXPECT_FALSE(finite);
            }

            // The user puts the setting back and asks for the flock again.
            Set(parameter.id, parameter.defaultValue);
            Set(kFlockSizeSetting, kBoids);
            const FlockData& replaced = m_scene->m_flock;
            ASSERT_EQ(kBoids, replaced.boidCount);
            EXPECT_EQ(-1, FirstDifference(placed, replaced));
            for (int step = 0; step < 3; ++step) {
                m_logic->Update(0.02f);
            }
            EXPECT_TRUE(AllFinite(m_scene->m_flock));
        }
    }
}

TEST_F(HostileSettingsTest, FlockSizeStopsAtTheRendererCapacity) {
    struct Case {
        float requested;
        std::uint32_t boids;
    };
    const Case cases[] = {
        {kCapacity, kCapacity},
        {kCapacity - 0.5f, kCapacity - 1},
        {kCapacity + 1.0f, kCapacity},
        {kLargest, kCapacity},
        {1.0f, 1},
        {kTiniest, 0},
        {-0.0f, 0},
    };
    // The largest task count the spin box offers: the step must not make a task per boid of a
    // flock that is not there.
    Set(kTaskCountSetting, 999999999.0f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        Set(kFlockSizeSetting, c.requested);
        EXPECT_EQ(c.boids, m_scene->m_flock.boidCount);
        EXPECT_EQ(kCapacity, m_scene->m_flock.maxFlockSize);
        m_logic->Update(0.02f);
        EXPECT_EQ(c.boids, m_scene->m_flock.boidCount);
        EXPECT_EQ(kCapacity, m_scene->m_flock.maxFlockSize);
    }
}

// Parameter sets that drive a flock to huge, infinite or NaN states, or that reach the
// search's own edge cases (no neighbour possible, a neighbourhood without bound).
struct HostileFlock {
    const char* name;
    std::function<void(FlockData&)> apply;
};

std::vector<HostileFlock> HostileFlocks() {
    const auto weights = [](float value) {
        return [value](FlockData& f) {
            f.separationWeight = f.cohesionWeight = f.alignmentWeight = f.trefoilKnotPathWeight =
                value;
        };
    };
    const auto distances = [](float separation, float group) {
        return [separation, group](FlockData& f) {
            f.separationDistance = separation;
            f.groupDistance = group;
        };
    };
    return {
        {"weights 1e30", weights(1e30f)},
        {"weights -1e30", weights(-1e30f)},
        {"weights NaN", weights(kNan)},
        {"weights infinite", weights(kInf)},
        {"separation weight 1e30", [](FlockData& f) { f.separationWeight = 1e30f; }},
        {"cohesion weight -infinity", [](FlockData& f) { f.cohesionWeight = -kInf; }},
        {"alignment weight largest", [](FlockData& f) { f.alignmentWeight = kLargest; }},
        {"path weight NaN", [](FlockData& f) { f.trefoilKnotPathWeight = kNan; }},
        {"weights 1e30 at the largest distances",
         [](FlockData& f) {
             f.separationWeight = f.cohesionWeight = f.alignmentWeight = 1e30f;
             f.separationDistance = 99.99f;
             f.groupDistance = 99.99f;
         }},
        {"weights 1e30 with no neighbour possible",
         [](FlockData& f) {
             f.separationWeight = f.cohesionWeight = f.alignmentWeight = 1e30f;
             f.separationDistance = f.groupDistance = 0;
         }},
        {"distances zero", distances(0, 0)},
        {"distances negative", distances(-1, -3)},
        {"distances NaN", distances(kNan, kNan)},
        {"separation NaN, group finite", distances(kNan, 3)},
        {"distances infinite", distances(kInf, kInf)},
        {"distances 1e30", distances(1e30f, 1e30f)},
        {"distances tiniest", distances(kTiniest, kTiniest)},
        {"separation infinite, group finite", distances(kInf, 3)},
        {"max speed zero", [](FlockData& f) { f.maxSpeed = Vector3(0, 0, 0); }},
        {"max speed negative", [](FlockData& f) { f.maxSpeed = Vector3(-5, -5, -5); }},
        {"max speed NaN", [](FlockData& f) { f.maxSpeed = Vector3(kNan, kNan, kNan); }},
        {"max speed infinite", [](FlockData& f) { f.maxSpeed = Vector3(kInf, kInf, kInf); }},
        {"max speed 1e30 with weights 1e30",
         [](FlockData& f) {
             f.maxSpeed = Vector3(1e30f, 1e30f, 1e30f);
             f.separationWeight = f.cohesionWeight = f.alignmentWeight = 1e30f;
         }},
        {"angle increment 1e30", [](FlockData& f) { f.angleIncrement = 1e30f; }},
        {"angle increment NaN", [](FlockData& f) { f.angleIncrement = kNan; }},
        {"angle increment -infinity", [](FlockData& f) { f.angleIncrement = -kInf; }},
    };
}

// The faster searches run into every hostile state the model reaches and must still steer each
// boid exactly as the scalar reference does.
TEST(HostileStep, BothSearchesEqualTheScalarReferenceWhileTheFlockBlowsUp) {
    TaskScheduler scheduler;
    FlockStep step(scheduler);
    int nonFinite = 0;
    int gridSearches = 0;
    for (const HostileFlock& hostile : HostileFlocks()) {
        FlockData read;
        read.ApplyDefaults();
        read.SetFlockSize(256);
        hostile.apply(read);
        for (int s = 0; s < 6; ++s) {
            const FlockData expected = ReferenceStep(read, 0.02f);
            for (const NeighbourSearchMode mode :
                 {NeighbourSearchMode::AllPairs, NeighbourSearchMode::Grid}) {
                step.SetSearchMode(mode);
                for (const std::uint32_t tasks : {1u, 3u}) {
                    FlockData written;
                    ASSERT_TRUE(step.Run(read, written, tasks, 0.02f));
                    gridSearches += step.GetLastSearch() == NeighbourSearchMode::Grid ? 1 : 0;
                    EXPECT_EQ(-1, FirstDifference(expected, written))
                        << hostile.name << ", step " << s << ", "
                        << (mode == NeighbourSearchMode::Grid ? "grid" : "all pairs") << ", "
                        << tasks << " tasks";
                }
            }
            read = expected;
        }
        nonFinite += AllFinite(read) ? 0 : 1;
    }
    // The table must really reach the non-finite states it is about, and not only through the
    // all-pairs search that the grid falls back to when no cell size fits.
    EXPECT_GE(nonFinite, 8);
    EXPECT_GT(gridSearches, 0);
}

// With a distance of sqrt(FLT_MAX) (about 1.8e19) or more, including +infinity, the search's
// squared threshold is +infinity, and its cheap filter, summed in single precision, once dropped
// a pair whose single-precision sum overflows although its exactly rounded squared length is
// FLT_MAX. The scalar reference counts that pair: its length, sqrt(FLT_MAX), is below the
// distance.
TEST(HostileStep, PairsWhoseSquaredLengthOverflowsOnlyInSinglePrecisionStillCount) {
    // The three squares of this offset sum to FLT_MAX when rounded once, but to infinity when
    // each square and each partial sum is rounded to float.
    const Vector3 offset(8.96308575e18f, 1.01532928e19f, 1.25242203e19f);
    ASSERT_TRUE(std::isfinite(Quellon::Length(offset)));
    const volatile float x = offset.x;
    const volatile float y = offset.y;
    const volatile float z = offset.z;
    ASSERT_TRUE(std::isinf(x * x + y * y + z * z));

    for (const float separation : {kInf, 1e20f}) {
        // Two boids at rest, the rest out of everyone's reach, and nothing but separation to
        // move them: only a counted pair changes a velocity.
        FlockData read;
        read.ApplyDefaults();
        read.SetFlockSize(64);
        read.separationDistance = separation;
        read.separationWeight = 1;
        read.cohesionWeight = read.alignmentWeight = read.trefoilKnotPathWeight = 0;
        for (std::uint32_t i = 0; i < read.boidCount; ++i) {
            read.positions[i] = Vector3(kNan, kNan, kNan);
            read.velocities[i] = Vector3(0, 0, 0);
        }
        read.positions[0] = Vector3(0, 0, 0);
        read.positions[1] = offset;
        const FlockData expected = ReferenceStep(read, 0.02f);
        ASSERT_NE(0.0f, expected.velocities[0].x);

        TaskScheduler scheduler;
        FlockStep step(scheduler);
        for (const InstructionSet set : {InstructionSet::Portable, DetectInstructionSet()}) {
            step.SetInstructionSet(set);
            for (const NeighbourSearchMode mode :
                 {NeighbourSearchMode::AllPairs, NeighbourSearchMode::Grid}) {
                step.SetSearchMode(mode);
                FlockData written;
                ASSERT_TRUE(step.Run(read, written, 1, 0.02f));
                EXPECT_EQ(-1, FirstDifference(expected, written))
                    << "separation distance " << separation << ", " << GetInstructionSetName(set)
                    << ", " << (mode == NeighbourSearchMode::Grid ? "grid" : "all pairs");
            }
        }
    }
}

}  // namespace
}  // namespace Avidrift
