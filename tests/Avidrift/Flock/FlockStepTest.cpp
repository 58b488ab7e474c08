#include "Avidrift/Flock/FlockStep.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Tasks/TaskScheduler.h"

namespace Avidrift {
namespace {

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
    FlockData read;
    read.SetFlockSize(1000);
    FlockData write = read;
    const std::atomic<bool> cancel{true};
    EXPECT_FALSE(step.Run(read, write, 2, 0.02f, &cancel));
    const std::atomic<bool> keepGoing{false};
    EXPECT_TRUE(step.Run(read, write, 2, 0.02f, &keepGoing));
}

}  // namespace
}  // namespace Avidrift
