#pragma once

namespace Avidrift {

// One unit of a batch. Run is called exactly once, on a pool thread, and must not throw: an
// exception has nowhere to go there.
class ITask {
public:
    ITask() = default;
    ITask(const ITask&) = delete;
    ITask& operator=(const ITask&) = delete;

    virtual void Run() = 0;
    virtual ~ITask() = default;
};

}  // namespace Avidrift
