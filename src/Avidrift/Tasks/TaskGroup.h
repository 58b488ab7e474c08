#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "Avidrift/Tasks/AutoResetEvent.h"
#include "Avidrift/Tasks/ITask.h"

namespace Avidrift {

class ThreadPool;

// One batch of tasks: built, submitted and waited for on the submitting thread, destroyed after
// the wait. It keeps its tasks alive until it is destroyed.
class TaskGroup {
public:
    TaskGroup() = default;
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    // Called on the submitting thread before Submit. Throws Exception when the batch would
    // exceed the pending counter's range.
    void Add(std::shared_ptr<ITask> task);

    // Called on the submitting thread after Submit; blocks until the last task has returned,
    // running tasks of the batch still queued itself meanwhile. Then rethrows the first exception a
    // task let escape, if any: on a worker it would have ended the process.
    void Wait();

private:
    friend class TaskScheduler;

    // Called on a worker with the exception a task let escape; keeps the first.
    void RecordFailure(std::exception_ptr failure);

    // Tasks added and not yet finished; the workers' only shared mutable value.
    std::atomic<std::int32_t> m_pending{0};
    AutoResetEvent m_completion;
    // The first escaped exception; written by the worker that set m_failed, before its
    // decrement of m_pending, so the waiter sees it after the completion.
    std::atomic<bool> m_failed{false};
    std::exception_ptr m_failure;
    std::vector<std::shared_ptr<ITask>> m_tasks;
    // The pool the batch was handed to, set by Submit: the waiter takes queued items from it,
    // so that the batch needs one worker fewer and no worker waits for the waiter's processor.
    ThreadPool* m_pool = nullptr;
};

}  // namespace Avidrift
