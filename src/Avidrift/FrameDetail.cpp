#include "Avidrift/FrameDetail.h"

#include <cmath>

namespace Avidrift {

namespace {

// Past 3 pixels the teapot's coarsest level is already used at the default distance, and
// only the nearest boids would lose more.
constexpr float kPixelErrors[] = {1.0f, 1.5f, 2.0f, 3.0f};
// How long a step seen too slow is not tried again.
constexpr double kMemorySeconds = 30.0;
// A flock that grew or shrank by more than this share costs differently.
constexpr double kSameFlock = 0.25;
// Weight of the newest frame in a step's average: one slow frame (a window drag, another
// program) must not cost a step.
constexpr double kNewestWeight = 0.25;

}  // namespace

FrameDetail::FrameDetail(double budgetSeconds, bool multisampled) : m_budget(budgetSeconds) {
    for (const float error : kPixelErrors) {
        m_steps.push_back({error, multisampled});
    }
    if (multisampled) {
        m_steps.push_back({kPixelErrors[std::size(kPixelErrors) - 1], false});
    }
}

bool FrameDetail::IsCurrent(const Step& step, std::uint32_t boids) const {
    const double change = std::abs(static_cast<double>(boids) - step.boids);
    return step.seconds > 0.0 && change <= kSameFlock * step.boids &&
           m_clock - step.seenAt < kMemorySeconds;
}

void FrameDetail::AfterFrame(double seconds, std::uint32_t boids) {
    if (m_pinned || !(seconds >= 0.0)) {
        return;
    }
    m_clock += seconds;
    Step& step = m_steps[m_step];
    step.seconds = IsCurrent(step, boids)
                       ? (1.0 - kNewestWeight) * step.seconds + kNewestWeight * seconds
                       : seconds;
    step.boids = boids;
    step.seenAt = m_clock;
    if (step.seconds > m_budget) {
        if (m_step + 1 < m_steps.size()) {
            ++m_step;
        }
    } else if (m_step > 0 && step.seconds < 0.5 * m_budget &&
               !IsCurrent(m_steps[m_step - 1], boids)) {
        // Room to spare, and the finer step has not been seen too slow for this flock lately.
        --m_step;
    }
}

void FrameDetail::Pin(float pixelError) {
    m_pinned = true;
    m_pinnedError = pixelError;
}

float FrameDetail::GetPixelError() const {
    return m_pinned ? m_pinnedError : m_steps[m_step].pixelError;
}

bool FrameDetail::IsMultisampled() const {
    return m_pinned || m_steps[m_step].multisample;
}

}  // namespace Avidrift
