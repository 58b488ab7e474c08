#include "Avidrift/Flock/FlockTask.h"

#include "Avidrift/Flock/BoidSteering.h"

namespace Avidrift {

namespace {
// How many boids a task steers between two looks at the cancellation flag: small enough that a
// stop is seen within a fraction of a second even for all-pairs scans of huge flocks.
constexpr std::uint32_t kBoidsBetweenCancelChecks = 128;
}  // namespace

FlockTask::FlockTask(const FlockData* read, FlockData* write, std::uint32_t begin,
                     std::uint32_t end, float stepTime, const std::atomic<bool>* cancel)
    : m_read(read),
      m_write(write),
      m_begin(begin),
      m_end(end),
      m_stepTime(stepTime),
      m_cancel(cancel) {}

void FlockTask::Run() {
    for (std::uint32_t i = m_begin; i < m_end; ++i) {
        if (m_cancel != nullptr && (i - m_begin) % kBoidsBetweenCancelChecks == 0 &&
            m_cancel->load(std::memory_order_relaxed)) {
            return;
        }
        StepBoid(*m_read, *m_write, i, m_stepTime);
    }
}

}  // namespace Avidrift
