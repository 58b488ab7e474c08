#pragma once

#include <atomic>
#include <cstdint>

#include "Avidrift/ITask.h"
#include "Quellon/Vector3.h"

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

// What boid i's neighbours add up to: the sums before they are averaged, and how many
// neighbours counted for separation and for the group.
struct NeighbourSums {
    Quellon::Vector3 separation;
    Quellon::Vector3 centre;
    Quellon::Vector3 alignment;
    std::uint32_t separationCount = 0;
    std::uint32_t groupCount = 0;
};

// Scans every other boid in ascending index order: the reference that every faster search
// must reproduce bit for bit.
NeighbourSums AccumulateNeighbours(const FlockData& read, std::uint32_t i);

// Turns boid i's neighbour sums into its new velocity, position and path parameter in write.
void FinishBoid(const FlockData& read, FlockData& write, std::uint32_t i, const NeighbourSums& sums,
                float stepTime);

// Steers boid i from the state in read and stores its new velocity, position and path
// parameter in write.
inline void StepBoid(const FlockData& read, FlockData& write, std::uint32_t i, float stepTime) {
    FinishBoid(read, write, i, AccumulateNeighbours(read, i), stepTime);
}

}  // namespace Avidrift
