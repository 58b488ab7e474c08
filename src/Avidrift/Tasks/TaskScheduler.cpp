#include "Avidrift/Tasks/TaskScheduler.h"

#include <cerrno>

#include "Avidrift/Tasks/ProcessorCount.h"
#include "Avidrift/Tasks/TaskGroup.h"
#include "Quellon/Exception.h"

namespace Avidrift {

TaskScheduler::TaskScheduler() : TaskScheduler(std::make_unique<ThreadPool>(GetProcessorCount())) {}

TaskScheduler::TaskScheduler(std::unique_ptr<ThreadPool> pool) : m_pool(std::move(pool)) {}

void TaskScheduler::Submit(TaskGroup& group) {
    const std::size_t count = group.m_tasks.size();
    if (count == 0) {
        group.m_completion.Set();
        return;
    }
    // Every item exists before the first is handed over, so no reallocation can move an item
    // a worker is already reading.
    group.m_pool = m_pool.get();
    m_items.clear();
    m_items.reserve(count);
    m_contexts.clear();
    for (const std::shared_ptr<ITask>& task : group.m_tasks) {
        m_items.push_back(WorkItem{this, task.get(), &group});
        m_contexts.push_back(&m_items.back());
    }
    const std::size_t handedOver = m_pool->TrySubmitMany(&RunWorkItem, m_contexts.data(), count);
    if (handedOver == count) {
        return;
    }
    // Take the refused items off the counter. Whoever brings it to zero owns the clean-up: us,
    // when every handed-over item has already finished, otherwise the last worker.
    const auto refused = static_cast<std::int32_t>(count - handedOver);
    if (group.m_pending.fetch_sub(refused, std::memory_order_acq_rel) == refused) {
        m_items.clear();
    } else {
        group.Wait();
    }
    Quellon::ThrowException(ECANCELED, L"");
}

void TaskScheduler::RunWorkItem(CallbackInstance& instance, void* context) {
    if (context == nullptr) {
        return;
    }
    auto* item = static_cast<WorkItem*>(context);
    TaskGroup* group = item->group;
    TaskScheduler* scheduler = item->scheduler;
    try {
        item->task->Run();
    } catch (...) {
        group->RecordFailure(std::current_exception());
    }
    // After the decrement only the last worker may touch the item, the group or the scheduler.
    if (group->m_pending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        scheduler->m_items.clear();
        instance.SetEventWhenCallbackReturns(&group->m_completion);
    }
}

}  // namespace Avidrift
