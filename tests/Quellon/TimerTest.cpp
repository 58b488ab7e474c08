#include "Quellon/Timer.h"

#include <gtest/gtest.h>

#include <time.h>

namespace Quellon {
namespace {

double MonotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

TEST(Timer, FirstTickCoversTimeSinceConstruction) {
    const double before = MonotonicSeconds();
    Timer timer;
    // Burn a measurable amount of time without sleeping.
    while (MonotonicSeconds() - before < 0.02) {
    }
    const double outside = MonotonicSeconds() - before;
    const float first = timer.Tick();
    EXPECT_GE(first, 0.019f);
    EXPECT_LE(first, static_cast<float>(outside) + 0.001f);
}

TEST(Timer, TicksInQuickSuccessionAreSmallAndNonNegative) {
    Timer timer;
    timer.Tick();
    const float second = timer.Tick();
    EXPECT_GE(second, 0.0f);
    EXPECT_LT(second, 1.0f);
}

}  // namespace
}  // namespace Quellon
