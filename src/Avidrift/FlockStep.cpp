#include "Avidrift/FlockStep.h"

#include <algorithm>
#include <memory>

#include "Avidrift/FlockData.h"
#include "Avidrift/FlockTask.h"
#include "Avidrift/TaskGroup.h"
#include "Avidrift/TaskScheduler.h"

namespace Avidrift {

std::uint32_t FlockStep::TaskCountFor(std::uint32_t requested, std::uint32_t boidCount) {
    return std::max<std::uint32_t>(1, std::min(requested, std::max<std::uint32_t>(boidCount, 1)));
}

BoidSlice FlockStep::Slice(std::uint32_t k, std::uint32_t boidCount, std::uint32_t taskCount) {
    const std::uint64_t n = boidCount;
    const std::uint64_t t = std::max<std::uint32_t>(taskCount, 1);
    const auto begin = static_cast<std::uint32_t>(k * n / t);
    const auto end = k + 1 >= t ? boidCount : static_cast<std::uint32_t>((k + 1) * n / t);
    return {begin, end};
}

bool FlockStep::Run(const FlockData& read, FlockData& write, std::uint32_t taskCount,
                    float stepTime, const std::atomic<bool>* cancel) {
    if (write.boidCount != read.boidCount) {
        // Size the arrays only: parameters staged in write must survive until they are
        // published.
        FlockData sized(read);
        sized.maxFlockSize = write.maxFlockSize;
        sized.CopyParametersFrom(write);
        write = std::move(sized);
    }
    const std::uint32_t n = read.boidCount;
    const std::uint32_t tasks = TaskCountFor(taskCount, n);
    TaskGroup group;
    for (std::uint32_t k = 0; k < tasks; ++k) {
        const BoidSlice slice = Slice(k, n, tasks);
        group.Add(
            std::make_shared<FlockTask>(&read, &write, slice.begin, slice.end, stepTime, cancel));
    }
    m_scheduler.Submit(group);
    group.Wait();
    return cancel == nullptr || !cancel->load(std::memory_order_relaxed);
}

}  // namespace Avidrift
