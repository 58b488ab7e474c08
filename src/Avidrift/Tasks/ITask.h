#pragma once

namespace Avidrift {

// One unit of a batch. Run is called exactly once, on a pool thread or on the thread waiting for
// the batch. It may throw: the pool keeps the first exception of a batch and TaskGroup::Wait
// rethrows it once every task has returned.
class ITask {
public:
    ITask() = default;
    ITask(const ITask&) = delete;
    ITask& operator=(const ITask&) = delete;

    virtual void Run() = 0;
    virtual ~ITask() = default;
};

}  // namespace Avidrift
