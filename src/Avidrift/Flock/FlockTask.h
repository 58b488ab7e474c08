#pragma once

#include <atomic>
#include <cstdint>

#include "Avidrift/Tasks/ITask.h"

namespace Avidrift {

struct FlockData;

// The steering step for one contiguous slice of boids. It reads only m_read and writes only
// its own slice of m_write, so the tasks of one step need no lock and the result does not
// depend on how they are scheduled.
class FlockTask : public ITask {
public:
    // Both records are borrowed and must outlive the task, keep their sizes during the step and
    // not share arrays. cancel, when given, is polled every few hundred boids; once it reads
    // true the task returns early and leaves the rest of its slice unwritten.
    FlockTask(const FlockData* read, FlockData* write, std::uint32_t begin, std::uint32_t end,
              float stepTime, const std::atomic<bool>* cancel = nullptr);

    void Run() override;

private:
    const FlockData* m_read;
    FlockData* m_write;
    std::uint32_t m_begin;
    std::uint32_t m_end;
    float m_stepTime;
    const std::atomic<bool>* m_cancel;
};

}  // namespace Avidrift
