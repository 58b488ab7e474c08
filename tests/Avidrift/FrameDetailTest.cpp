#include "Avidrift/FrameDetail.h"

#include <gtest/gtest.h>

#include <utility>

namespace Avidrift {
namespace {

constexpr double kBudget = 1.0 / 30.0;
constexpr double kFast = 0.005;
constexpr double kSlow = 0.1;

std::pair<float, bool> Detail(const FrameDetail& detail) {
    return {detail.GetPixelError(), detail.IsMultisampled()};
}

TEST(FrameDetail, SlowFramesStepDownOnceEachAndAStepSeenTooSlowWaitsForAReason) {
    FrameDetail detail(kBudget, true);
    for (int i = 0; i < 20; ++i) {
        detail.AfterFrame(kFast, 1000);
    }
    // One slow frame among fast ones is a hiccup, not a reason.
    detail.AfterFrame(kSlow, 1000);
    EXPECT_EQ(std::make_pair(1.0f, true), Detail(detail));

    const std::pair<float, bool> steps[] = {
        {1.5f, true}, {2.0f, true}, {3.0f, true}, {3.0f, false}, {3.0f, false}};
    FrameDetail slow(kBudget, true);
    for (const auto& step : steps) {
        slow.AfterFrame(kSlow, 1000);
        EXPECT_EQ(step, Detail(slow));
    }
    FrameDetail plain(kBudget, false);
    for (int i = 0; i < 5; ++i) {
        plain.AfterFrame(kSlow, 1000);
    }
    EXPECT_EQ(std::make_pair(3.0f, false), Detail(plain));

    // At 2 pixels frames are fast again, but 1.5 was too slow for this flock: it stays.
    FrameDetail back(kBudget, true);
    back.AfterFrame(kSlow, 1000);
    back.AfterFrame(kSlow, 1000);
    for (int i = 0; i < 100; ++i) {
        back.AfterFrame(kFast, 1100);
    }
    EXPECT_EQ(2.0f, back.GetPixelError());
    // A flock a third smaller, or 30 seconds later, may afford it.
    back.AfterFrame(kFast, 700);
    EXPECT_EQ(1.5f, back.GetPixelError());
    back.AfterFrame(kSlow, 700);
    EXPECT_EQ(2.0f, back.GetPixelError());
    for (int i = 0; i < 6100 && back.GetPixelError() == 2.0f; ++i) {
        back.AfterFrame(kFast, 700);
    }
    EXPECT_EQ(1.5f, back.GetPixelError());

    back.Pin(0.0f);
    back.AfterFrame(kSlow, 700);
    EXPECT_EQ(std::make_pair(0.0f, true), Detail(back));
}

}  // namespace
}  // namespace Avidrift
