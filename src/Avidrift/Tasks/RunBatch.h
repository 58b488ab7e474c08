#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "Avidrift/Tasks/ITask.h"
#include "Avidrift/Tasks/TaskGroup.h"
#include "Avidrift/Tasks/TaskScheduler.h"

namespace Avidrift {

namespace Detail {
class FunctionTask : public ITask {
public:
    explicit FunctionTask(std::function<void()> body) : m_body(std::move(body)) {}
    void Run() override { m_body(); }

private:
    std::function<void()> m_body;
};
}  // namespace Detail

// Called on the submitting thread: runs body(k) for k in [0, tasks) as one batch on scheduler
// and waits for it; an exception escaping a body reaches the caller. One task runs on this
// thread: handing it to a worker only adds two wake-ups, which on a loaded machine cost more
// than the task (sweeps run many one-task simulations at once).
template <typename Body>
void RunBatch(TaskScheduler& scheduler, std::uint32_t tasks, Body body) {
    if (tasks == 1) {
        body(0);
        return;
    }
    TaskGroup group;
    for (std::uint32_t k = 0; k < tasks; ++k) {
        group.Add(std::make_shared<Detail::FunctionTask>([&body, k] { body(k); }));
    }
    scheduler.Submit(group);
    group.Wait();
}

}  // namespace Avidrift
