#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Avidrift/AutoResetEvent.h"
#include "Avidrift/ITask.h"

namespace Avidrift {

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

    // Called on the submitting thread after Submit; blocks until the last task has returned.
    void Wait() { m_completion.Wait(); }

    std::size_t GetTaskCount() const { return m_tasks.size(); }

private:
    friend class TaskScheduler;

    // Tasks added and not yet finished; the workers' only shared mutable value.
    std::atomic<std::int32_t> m_pending{0};
    AutoResetEvent m_completion;
    std::vector<std::shared_ptr<ITask>> m_tasks;
};

}  // namespace Avidrift
