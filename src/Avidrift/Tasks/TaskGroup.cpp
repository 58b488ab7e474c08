#include "Avidrift/Tasks/TaskGroup.h"

#include <cerrno>
#include <limits>

#include "Avidrift/Tasks/ThreadPool.h"
#include "Quellon/Exception.h"

namespace Avidrift {

void TaskGroup::Add(std::shared_ptr<ITask> task) {
    if (m_tasks.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        Quellon::ThrowException(EOVERFLOW, L"Invalid parameter: too many tasks in TaskGroup::Add");
    }
    m_tasks.push_back(std::move(task));
    // Only the submitting thread touches the counter before submission.
    m_pending.store(m_pending.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void TaskGroup::Wait() {
    if (m_pool != nullptr) {
        while (m_pending.load(std::memory_order_acquire) > 0 && m_pool->TryRunOne()) {
        }
    }
    m_completion.Wait();
    if (m_failure) {
        std::exception_ptr failure = std::move(m_failure);
        m_failure = nullptr;
        m_failed.store(false, std::memory_order_relaxed);
        std::rethrow_exception(failure);
    }
}

void TaskGroup::RecordFailure(std::exception_ptr failure) {
    if (!m_failed.exchange(true, std::memory_order_relaxed)) {
        m_failure = std::move(failure);
    }
}

}  // namespace Avidrift
