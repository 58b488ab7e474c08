#pragma once

#include <memory>
#include <vector>

#include "Avidrift/Tasks/ThreadPool.h"

namespace Avidrift {

class ITask;
class TaskGroup;
class TaskScheduler;

// What the pool hands to a worker for one task; everything in it is borrowed.
struct WorkItem {
    TaskScheduler* scheduler;
    ITask* task;
    TaskGroup* group;
};

// Runs batches of tasks on a pool of worker threads. Owned by the flock logic; one batch is in
// flight at a time, and the scheduler is destroyed only when none is.
class TaskScheduler {
public:
    // A pool of GetProcessorCount() workers. Throws Exception on failure.
    TaskScheduler();
    // Takes a pool made elsewhere (tests use one that refuses items).
    explicit TaskScheduler(std::unique_ptr<ThreadPool> pool);
    TaskScheduler(const TaskScheduler&) = delete;
    TaskScheduler& operator=(const TaskScheduler&) = delete;

    // Called on the submitting thread; returns once every task is handed to the pool, without
    // waiting for them. If the pool refuses an item, waits until every item already handed over
    // has finished (so no worker touches the group afterwards) and then throws Exception.
    // An empty group completes at once.
    void Submit(TaskGroup& group);

    // Items of the batch in flight; empty between batches.
    std::size_t GetPendingItemCount() const { return m_items.size(); }

private:
    static void RunWorkItem(CallbackInstance& instance, void* context);

    std::unique_ptr<ThreadPool> m_pool;
    std::vector<WorkItem> m_items;
    std::vector<void*> m_contexts;  // the items' addresses, handed to the pool in one call
};

}  // namespace Avidrift
