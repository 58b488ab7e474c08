#include "Avidrift/Render/FrameDetail.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace Avidrift {

namespace {

// Past 3 pixels the teapot's coarsest level is already used at the default distance, and
// only the nearest boids would lose more.
constexpr float kPixelErrors[] = {1.0f, 1.5f, 2.0f, 3.0f};
// How long a step seen too slow is not tried again.
constexpr double kMemorySeconds = 30.0;
// A flock that grew or shrank by more than this share costs differently.
constexpr double kSameFlock = 0.25;
// The step for the slowest frames: taken by frames over this many budgets, with impostors this
// many times the size.
constexpr double kSlowestFrames = 3.0;
constexpr float kSlowestImpostors = 2.0f;

}  // namespace

FrameDetail::FrameDetail(double budgetSeconds, bool multisampled, float impostorPixels)
    : m_budget(budgetSeconds) {
    for (const float error : kPixelErrors) {
        m_steps.push_back({error, multisampled, 0.0f, budgetSeconds});
    }
    const float coarsest = kPixelErrors[std::size(kPixelErrors) - 1];
    if (impostorPixels > 0.0f) {
        m_steps.push_back({coarsest, multisampled, impostorPixels, budgetSeconds});
    }
    if (multisampled) {
        m_steps.push_back({coarsest, false, impostorPixels, budgetSeconds});
    }
    if (impostorPixels > 0.0f) {
        m_steps.push_back(
            {coarsest, false, kSlowestImpostors * impostorPixels, kSlowestFrames * budgetSeconds});
    }
}

bool FrameDetail::IsCurrent(const Step& step, std::uint32_t boids) const {
    const double change = std::abs(static_cast<double>(boids) - step.boids);
    return step.seconds >= 0.0 && change <= kSameFlock * step.boids &&
           m_clock - step.judgedAt < kMemorySeconds;
}

void FrameDetail::MoveTo(std::size_t step) {
    m_step = step;
    m_previous = -1.0;
}

void FrameDetail::AfterFrame(double seconds, std::uint32_t boids) {
    if (m_pinned || !(seconds >= 0.0)) {
        return;
    }
    m_clock += seconds;
    const double previous = m_previous;
    m_previous = seconds;
    if (previous < 0.0) {
        return;
    }
    Step& step = m_steps[m_step];
    step.seconds = std::min(previous, seconds);
    step.boids = boids;
    step.judgedAt = m_clock;
    // Coarser only when both frames were slow, finer only when both were fast.
    std::size_t coarser = m_step;
    if (step.seconds > m_budget) {
        const auto halvings =
            static_cast<std::size_t>(std::ceil(std::log2(step.seconds / m_budget)));
        coarser = std::min(m_step + std::max<std::size_t>(halvings, 1), m_steps.size() - 1);
        while (coarser > m_step && !(step.seconds > m_steps[coarser].takenAbove)) {
            --coarser;
        }
    }
    if (coarser > m_step) {
        MoveTo(coarser);
    } else if (m_step > 0 && std::max(previous, seconds) < 0.5 * step.takenAbove &&
               !IsCurrent(m_steps[m_step - 1], boids)) {
        // Room to spare, and the finer step has not been seen too slow for this flock lately.
        MoveTo(m_step - 1);
    }
}

void FrameDetail::Pin(float pixelError, bool multisampled, float impostorPixels) {
    m_pinned = true;
    m_pinnedError = pixelError;
    m_pinnedSamples = multisampled;
    m_pinnedImpostors = impostorPixels;
}

float FrameDetail::GetPixelError() const {
    return m_pinned ? m_pinnedError : m_steps[m_step].pixelError;
}

bool FrameDetail::IsMultisampled() const {
    return m_pinned ? m_pinnedSamples : m_steps[m_step].multisample;
}

float FrameDetail::GetImpostorPixels() const {
    return m_pinned ? m_pinnedImpostors : m_steps[m_step].impostorPixels;
}

}  // namespace Avidrift
