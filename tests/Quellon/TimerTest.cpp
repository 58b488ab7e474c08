#include "Quellon/Timer.h"

#include <gtest/gtest.h>

#include <chrono>

namespace Quellon {
namespace {

// The first tick covers the time since construction, in seconds; the next only what followed.
TEST(Timer, TicksMeasureSecondsSinceTheLastTick) {
    const auto before = std::chrono::steady_clock::now();
    Timer timer;
    while (std::chrono::steady_clock::now() - before < std::chrono::milliseconds(20)) {
    }
    const float first = timer.Tick();
    const std::chrono::duration<float> outside = std::chrono::steady_clock::now() - before;
    EXPECT_GE(first, 0.019f);
    EXPECT_LE(first, outside.count() + 0.001f);
    EXPECT_LT(timer.Tick(), first);
}

}  // namespace
}  // namespace Quellon
