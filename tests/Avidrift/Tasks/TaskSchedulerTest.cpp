#include "Avidrift/Tasks/TaskScheduler.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <memory>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "Avidrift/Tasks/ProcessorCount.h"
#include "Avidrift/Tasks/TaskGroup.h"
#include "Quellon/Exception.h"

namespace Avidrift {
namespace {

// Counts its runs and its destruction; records the thread it ran on.
class CountingTask : public ITask {
public:
    CountingTask(std::atomic<int>& runs, std::atomic<int>& destroyed)
        : m_runs(runs), m_destroyed(destroyed) {}
    ~CountingTask() override { ++m_destroyed; }
    void Run() override {
        ++m_runs;
        m_thread = std::this_thread::get_id();
    }
    std::thread::id m_thread;

private:
    std::atomic<int>& m_runs;
    std::atomic<int>& m_destroyed;
};

TEST(TaskScheduler, RunsEveryTaskOfBatchesOfAnySizeExactlyOnce) {
    TaskScheduler scheduler;
    EXPECT_GE(scheduler.GetWorkerCount(), GetProcessorCount());
    for (const int count : {1, 3, 64, 2, 1000, 1}) {
        std::atomic<int> runs{0};
        std::atomic<int> destroyed{0};
        {
            TaskGroup group;
            for (int i = 0; i < count; ++i) {
                group.Add(std::make_shared<CountingTask>(runs, destroyed));
            }
            scheduler.Submit(group);
            group.Wait();
            EXPECT_EQ(count, runs.load());
            EXPECT_EQ(0u, scheduler.GetPendingItemCount());
            EXPECT_EQ(0, destroyed.load()) << "the group keeps its tasks until it is destroyed";
        }
        EXPECT_EQ(count, destroyed.load());
    }
}

TEST(TaskScheduler, SpreadsTasksOverWorkers) {
    // Each task waits until all have started, which only completes if they run concurrently.
    const unsigned workers = 3;
    TaskScheduler scheduler(std::make_unique<ThreadPool>(workers));
    std::latch allStarted(workers);
    class MeetingTask : public ITask {
    public:
        explicit MeetingTask(std::latch& latch) : m_latch(latch) {}
        void Run() override { m_latch.arrive_and_wait(); }

    private:
        std::latch& m_latch;
    };
    TaskGroup group;
    for (unsigned i = 0; i < workers; ++i) {
        group.Add(std::make_shared<MeetingTask>(allStarted));
    }
    scheduler.Submit(group);
    group.Wait();
}

// A task that throws on a worker would end the process; instead the wait rethrows the first
// escaped exception once every task has returned, and the scheduler carries on.
TEST(TaskScheduler, ExceptionEscapingATaskReachesTheWaiter) {
    TaskScheduler scheduler(std::make_unique<ThreadPool>(2));
    class ThrowingTask : public ITask {
    public:
        explicit ThrowingTask(std::atomic<int>& runs) : m_runs(runs) {}
        void Run() override {
            ++m_runs;
            throw std::bad_alloc();
        }

    private:
        std::atomic<int>& m_runs;
    };
    std::atomic<int> runs{0};
    std::atomic<int> destroyed{0};
    TaskGroup group;
    for (int i = 0; i < 8; ++i) {
        if (i % 3 == 1) {
            group.Add(std::make_shared<ThrowingTask>(runs));
        } else {
            group.Add(std::make_shared<CountingTask>(runs, destroyed));
        }
    }
    scheduler.Submit(group);
    EXPECT_THROW(group.Wait(), std::bad_alloc);
    EXPECT_EQ(8, runs.load());
    EXPECT_EQ(0u, scheduler.GetPendingItemCount());

    TaskGroup next;
    next.Add(std::make_shared<CountingTask>(runs, destroyed));
    scheduler.Submit(next);
    EXPECT_NO_THROW(next.Wait());
    EXPECT_EQ(9, runs.load());
}

TEST(TaskScheduler, EmptyGroupCompletesAtOnce) {
    TaskScheduler scheduler;
    TaskGroup group;
    scheduler.Submit(group);
    group.Wait();
}

// Accepts the first `accepted` items of its life and refuses the rest, as a closing pool does.
class RefusingPool : public ThreadPool {
public:
    RefusingPool(unsigned workers, std::size_t accepted) : ThreadPool(workers), m_left(accepted) {}
    std::size_t TrySubmitMany(Callback callback, void* const* contexts,
                              std::size_t count) override {
        const std::size_t accepted = std::min(count, m_left);
        m_left -= accepted;
        return ThreadPool::TrySubmitMany(callback, contexts, accepted);
    }

private:
    std::size_t m_left;
};

// Blocks until released, so the refusal happens while handed-over items are still running.
class GatedTask : public ITask {
public:
    GatedTask(std::latch& gate, std::atomic<int>& finished) : m_gate(gate), m_finished(finished) {}
    void Run() override {
        m_gate.wait();
        ++m_finished;
    }

private:
    std::latch& m_gate;
    std::atomic<int>& m_finished;
};

TEST(TaskScheduler, RefusedSubmitWaitsForHandedOverItemsBeforeThrowing) {
    for (const std::size_t accepted : {0u, 1u, 3u}) {
        TaskScheduler scheduler(std::make_unique<RefusingPool>(2, accepted));
        std::latch gate(1);
        std::atomic<int> finished{0};
        auto group = std::make_unique<TaskGroup>();
        for (int i = 0; i < 5; ++i) {
            group->Add(std::make_shared<GatedTask>(gate, finished));
        }
        std::thread releaser([&] { gate.count_down(); });
        EXPECT_THROW(scheduler.Submit(*group), Quellon::Exception);
        releaser.join();
        // Every handed-over item has returned before Submit threw, so destroying the group now
        // cannot pull it from under a worker (AddressSanitizer would see that).
        EXPECT_EQ(static_cast<int>(accepted), finished.load());
        EXPECT_EQ(0u, scheduler.GetPendingItemCount());
        group.reset();
    }
}

TEST(ThreadPool, RunsQueuedItemsBeforeClosing) {
    std::atomic<int> runs{0};
    {
        ThreadPool pool(1);
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(
                pool.TrySubmit([](CallbackInstance&,
                                  void* context) { ++*static_cast<std::atomic<int>*>(context); },
                               &runs));
        }
    }
    EXPECT_EQ(100, runs.load());
}

TEST(ProcessorCount, SumsLogicalProcessorsOfCoresOnly) {
    auto mask = [](std::initializer_list<int> bits) {
        ProcessorMask m;
        for (const int bit : bits) {
            m.set(static_cast<std::size_t>(bit));
        }
        return m;
    };
    // Four cores of two hyper-threads each, one package and a cache entry: eight processors.
    std::vector<ProcessorRelation> table;
    for (int core = 0; core < 4; ++core) {
        table.push_back({ProcessorRelationship::ProcessorCore, mask({core, core + 4})});
    }
    table.push_back({ProcessorRelationship::ProcessorPackage, mask({0, 1, 2, 3, 4, 5, 6, 7})});
    table.push_back({ProcessorRelationship::Cache, mask({0, 4})});
    table.push_back({ProcessorRelationship::NumaNode, mask({0, 1, 2, 3, 4, 5, 6, 7})});
    EXPECT_EQ(8u, CountLogicalProcessors(table));
    EXPECT_EQ(0u, CountLogicalProcessors({}));
}

TEST(ProcessorCount, MatchesTheProcessorsThisProcessMayUse) {
    cpu_set_t affinity;
    CPU_ZERO(&affinity);
    ASSERT_EQ(0, sched_getaffinity(0, sizeof affinity, &affinity));
    EXPECT_EQ(static_cast<unsigned>(CPU_COUNT(&affinity)), GetProcessorCount());
}

}  // namespace
}  // namespace Avidrift
