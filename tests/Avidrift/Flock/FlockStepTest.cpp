#include "Avidrift/Flock/FlockStep.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockTask.h"
#include "Avidrift/Tasks/TaskScheduler.h"

namespace Avidrift {
namespace {

TEST(FlockStep, SlicesCoverTheFlockInOrder) {
    struct Case {
        std::uint32_t n;
        std::uint32_t t;
        std::vector<BoidSlice> slices;
    };
    const Case cases[] = {
        {10, 3, {{0, 3}, {3, 6}, {6, 10}}},
        {10, 4, {{0, 2}, {2, 5}, {5, 7}, {7, 10}}},
        {3, 5, {{0, 0}, {0, 1}, {1, 1}, {1, 2}, {2, 3}}},
    };
    for (const Case& c : cases) {
        for (std::uint32_t k = 0; k < c.t; ++k) {
            const BoidSlice slice = FlockStep::Slice(k, c.n, c.t);
            EXPECT_EQ(c.slices[k].begin, slice.begin) << c.n << "/" << c.t << " k=" << k;
            EXPECT_EQ(c.slices[k].end, slice.end) << c.n << "/" << c.t << " k=" << k;
        }
    }
    // k n does not overflow 32 bits.
    const BoidSlice last = FlockStep::Slice(99, 4000000000u, 100);
    EXPECT_EQ(3960000000u, last.begin);
    EXPECT_EQ(4000000000u, last.end);
}

TEST(FlockStep, TaskCountIsAtLeastOneAndAtMostOnePerBoid) {
    EXPECT_EQ(1u, FlockStep::TaskCountFor(0, 100));
    EXPECT_EQ(7u, FlockStep::TaskCountFor(7, 100));
    EXPECT_EQ(100u, FlockStep::TaskCountFor(999999999, 100));
    EXPECT_EQ(1u, FlockStep::TaskCountFor(999999999, 0));
    EXPECT_EQ(FlockStep::kMaxTasks, FlockStep::TaskCountFor(999999999, 8388608));
}

bool SameBits(const FlockData& a, const FlockData& b) {
    const std::size_t n = a.boidCount;
    if (n == 0) {
        return b.boidCount == 0;  // memcmp must not see the null arrays of an empty flock
    }
    return a.boidCount == b.boidCount &&
           std::memcmp(a.positions.get(), b.positions.get(), n * sizeof(Quellon::Vector3)) == 0 &&
           std::memcmp(a.velocities.get(), b.velocities.get(), n * sizeof(Quellon::Vector3)) == 0 &&
           std::memcmp(a.pathParameters.get(), b.pathParameters.get(), n * sizeof(float)) == 0;
}

FlockData Simulate(FlockStep& step, std::uint32_t n, std::uint32_t tasks, int steps) {
    FlockData read;
    read.ApplyDefaults();
    read.SetFlockSize(n);
    FlockData write = read;
    for (int s = 0; s < steps; ++s) {
        EXPECT_TRUE(step.Run(read, write, tasks, 0.05f));
        read = write;
    }
    return read;
}

TEST(FlockStep, ResultIsBitIdenticalForEveryTaskCount) {
    TaskScheduler scheduler;
    FlockStep step(scheduler);
    for (const std::uint32_t n : {0u, 1u, 7u, 150u, 601u}) {
        const FlockData serial = Simulate(step, n, 1, 4);
        for (std::uint32_t tasks = 2; tasks <= 16; ++tasks) {
            EXPECT_TRUE(SameBits(serial, Simulate(step, n, tasks, 4)))
                << "n=" << n << " tasks=" << tasks;
        }
        EXPECT_TRUE(SameBits(serial, Simulate(step, n, 999999999, 4))) << "n=" << n;
    }
}

TEST(FlockStep, EqualsOneTaskOverTheWholeFlock) {
    TaskScheduler scheduler;
    FlockStep step(scheduler);
    FlockData read;
    read.ApplyDefaults();
    read.SetFlockSize(300);
    FlockData expected = read;
    FlockTask(&read, &expected, 0, 300, 0.02f).Run();
    FlockData written;  // empty: the step sizes it
    ASSERT_TRUE(step.Run(read, written, 5, 0.02f));
    EXPECT_TRUE(SameBits(expected, written));
}

TEST(FlockStep, CancelledStepReportsItself) {
    TaskScheduler scheduler;
    FlockStep step(scheduler);
    FlockData read;
    read.ApplyDefaults();
    read.SetFlockSize(1000);
    FlockData write = read;
    const std::atomic<bool> cancel{true};
    EXPECT_FALSE(step.Run(read, write, 2, 0.02f, &cancel));
    const std::atomic<bool> keepGoing{false};
    EXPECT_TRUE(step.Run(read, write, 2, 0.02f, &keepGoing));
}

}  // namespace
}  // namespace Avidrift
