#include "Avidrift/Render/FrameDetail.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

namespace Avidrift {
namespace {

constexpr double kFast = 0.005;
constexpr double kSlow = 0.05;  // one and a half times the budget

using Detail = std::pair<float, bool>;  // pixel error, multisampling

Detail Frames(FrameDetail& detail, std::initializer_list<double> seconds,
              std::uint32_t boids = 1000) {
    for (const double s : seconds) {
        detail.AfterFrame(s, boids);
    }
    return {detail.GetPixelError(), detail.IsMultisampled()};
}

TEST(FrameDetail, StepsDownWhileTwoFramesInARowAreOverTheBudget) {
    FrameDetail detail(1.0 / 30.0, true);
    // The first frame compiles the shaders; a single slow frame is no reason.
    EXPECT_EQ(Detail(1.0f, true), Frames(detail, {1.0, kFast, kFast, 1.0, kFast, kFast}));
    for (const Detail& step : {Detail(1.5f, true), Detail(2.0f, true), Detail(3.0f, true),
                               Detail(3.0f, false), Detail(3.0f, false)}) {
        EXPECT_EQ(step, Frames(detail, {kSlow, kSlow}));
    }
    // Frames fifteen times over the budget skip steps; without samples there is none to lose.
    FrameDetail plain(1.0 / 30.0, false);
    EXPECT_EQ(Detail(3.0f, false), Frames(plain, {0.5, 0.5}));

    // Impostors come after the coarsest error, before multisampling goes, and stay.
    FrameDetail impostors(1.0 / 30.0, true, 16.0f);
    Frames(impostors, {kSlow, kSlow, kSlow, kSlow, kSlow, kSlow});
    EXPECT_EQ(Detail(3.0f, true), Frames(impostors, {}));
    EXPECT_EQ(0.0f, impostors.GetImpostorPixels());
    for (const Detail& step : {Detail(3.0f, true), Detail(3.0f, false)}) {
        EXPECT_EQ(step, Frames(impostors, {kSlow, kSlow}));
        EXPECT_EQ(16.0f, impostors.GetImpostorPixels());
    }
    // Only frames over three budgets make them twice the size, and only frames under one and a
    // half budgets take that back (for another flock: this one just saw 16 too slow).
    EXPECT_EQ(Detail(3.0f, false), Frames(impostors, {0.2, 0.2}));
    EXPECT_EQ(32.0f, impostors.GetImpostorPixels());
    Frames(impostors, {0.07, 0.07, 0.04, 0.04});
    EXPECT_EQ(32.0f, impostors.GetImpostorPixels());
    Frames(impostors, {0.04, 0.04}, 700);
    EXPECT_EQ(16.0f, impostors.GetImpostorPixels());
}

TEST(FrameDetail, ReturnsToAStepSeenTooSlowOnlyForAnotherFlockOrAfterHalfAMinute) {
    FrameDetail detail(1.0 / 30.0, true);
    Frames(detail, {kSlow, kSlow, kSlow, kSlow});
    // Fast at 2 pixels, but 1.5 was too slow for about this many boids.
    EXPECT_EQ(2.0f, Frames(detail, {kFast, kFast, kFast, kFast}, 1100).first);
    EXPECT_EQ(1.5f, Frames(detail, {kFast, kFast}, 700).first);
    EXPECT_EQ(2.0f, Frames(detail, {kSlow, kSlow}, 700).first);
    for (int frame = 1; frame <= 6100; ++frame) {
        detail.AfterFrame(kFast, 700);
        if (detail.GetPixelError() != 2.0f) {
            EXPECT_GE(frame, 6000);  // 30 seconds
            break;
        }
    }
    EXPECT_EQ(1.5f, detail.GetPixelError());

    detail.Pin(0.0f);
    EXPECT_EQ(Detail(0.0f, true), Frames(detail, {1.0, 1.0}));
}

}  // namespace
}  // namespace Avidrift
