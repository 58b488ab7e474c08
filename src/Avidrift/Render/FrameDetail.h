#pragma once

#include <cstdint>
#include <vector>

namespace Avidrift {

// How much detail the flock renderer can afford. A renderer without a GPU (Mesa's llvmpipe)
// spends its frame on triangles, so when frames take longer than the budget the detail steps
// down: first a boid may show more pixels of geometric error, so that coarser levels are used
// nearer the eye, then boids that span only a few pixels are drawn as impostors (where the
// renderer can), and at last multisampling goes off. A machine that keeps up stays at the finest
// step, an error under a pixel with multisampling and every boid a mesh. Frames that still take
// over three budgets (1/10 s at 30 frames a second, where motion stops looking smooth) take one
// step more, only for them: impostors up to twice the size, and so twice the error.
//
// Each step is judged by two frames in a row, which must agree: a single slow frame (the first
// one, which compiles the shaders, or another program taking the processor) is no reason.
// Each step roughly halves the frame time, so a frame many times over the budget skips steps.
// A step is left for a finer one when its frames take under half of what it is taken for.
// A step found too slow is not tried again while the flock keeps its size, for 30 seconds of
// frames: going back and forth would make the whole flock change level every few frames.
class FrameDetail {
public:
    // multisampled: whether the window has samples that can be switched off; impostorPixels:
    // the size in pixels under which a boid may be drawn as an impostor, 0 where it cannot
    // (twice that in the step for the slowest frames).
    FrameDetail(double budgetSeconds, bool multisampled, float impostorPixels = 0.0f);

    // Called on the render thread after each frame with how long drawing and presenting it took
    // and how many boids it drew; sets the detail of the next frame.
    void AfterFrame(double seconds, std::uint32_t boids);
    // Called on the render thread: keeps this error and multisampling (or none) from now on,
    // whatever the frames take; 0 draws every boid with the full mesh, and an impostorPixels of
    // 0 draws no impostor.
    void Pin(float pixelError, bool multisampled = true, float impostorPixels = 0.0f);

    // Geometric error, in pixels, that a boid's level may show.
    float GetPixelError() const;
    bool IsMultisampled() const;
    // The size in pixels across under which a boid is drawn as an impostor; 0: none is.
    float GetImpostorPixels() const;

private:
    struct Step {
        float pixelError;
        bool multisample;
        float impostorPixels;
        // Frames slower than this lead to the step; faster than half of it, away from it.
        double takenAbove;
        // Frame time last judged at this step, for a flock of `boids` boids, at `judgedAt` on
        // the clock below; negative while never judged.
        double seconds = -1.0;
        std::uint32_t boids = 0;
        double judgedAt = 0.0;
    };

    bool IsCurrent(const Step& step, std::uint32_t boids) const;
    void MoveTo(std::size_t step);

    double m_budget;
    std::vector<Step> m_steps;
    std::size_t m_step = 0;
    // The frame before at the current step; negative when there was none.
    double m_previous = -1.0;
    // Seconds of frames since construction.
    double m_clock = 0.0;
    bool m_pinned = false;
    float m_pinnedError = 0.0f;
    bool m_pinnedSamples = true;
    float m_pinnedImpostors = 0.0f;
};

}  // namespace Avidrift
