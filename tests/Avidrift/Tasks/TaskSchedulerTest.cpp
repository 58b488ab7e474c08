#include "Avidrift/Tasks/TaskScheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <new>
#include <thread>

#include "Avidrift/Tasks/TaskGroup.h"
#include "Quellon/Exception.h"

namespace Avidrift {
namespace {

class CountingTask : public ITask {
public:
    explicit CountingTask(
        std::atomic<int>& runs, std::function<void()> body = [] {})
        : m_runs(runs), m_body(std::move(body)) {}
    void Run() override {
        ++m_runs;
        m_body();
    }

private:
    std::atomic<int>& m_runs;
    std::function<void()> m_body;
};

// The pool sizes every scheduler test runs with: one worker, the machine's two, an odd count
// and more workers than cores.
constexpr unsigned kWorkerCounts[] = {1, 2, 3, 8};

// Batches of any size, each task once; then a task per worker that waits until all have started,
// which only happens if they run side by side. A lost task hangs the wait, which CTest's
// timeout ends.
TEST(TaskScheduler, RunsEveryTaskOnceSpreadOverWorkers) {
    for (const unsigned workers : kWorkerCounts) {
        SCOPED_TRACE(testing::Message() << workers << " workers");
        TaskScheduler scheduler(std::make_unique<ThreadPool>(workers));
        const auto runBatch = [&](int count, const std::function<void()>& body) {
            std::atomic<int> runs{0};
            TaskGroup group;
            for (int i = 0; i < count; ++i) {
                group.Add(std::make_shared<CountingTask>(runs, body));
            }
            scheduler.Submit(group);
            group.Wait();
            return runs.load();
        };
        for (const int count : {0, 1, 3, 64, 2, 1000, 1}) {
            EXPECT_EQ(count, runBatch(count, [] {}));  // an empty group at once
            EXPECT_EQ(0u, scheduler.GetPendingItemCount());
        }
        std::latch allStarted(workers);
        EXPECT_EQ(static_cast<int>(workers),
                  runBatch(static_cast<int>(workers), [&] { allStarted.arrive_and_wait(); }));
    }
}

// The wait rethrows the first exception escaping a task once every task has returned (on a
// worker it would end the process), and the scheduler carries on.
TEST(TaskScheduler, ExceptionEscapingATaskReachesTheWaiter) {
    for (const unsigned workers : kWorkerCounts) {
        SCOPED_TRACE(testing::Message() << workers << " workers");
        TaskScheduler scheduler(std::make_unique<ThreadPool>(workers));
        std::atomic<int> runs{0};
        TaskGroup group;
        for (int i = 0; i < 8; ++i) {
            group.Add(std::make_shared<CountingTask>(runs, [i] {
                if (i % 3 == 1) {
                    throw std::bad_alloc();
                }
            }));
        }
        scheduler.Submit(group);
        EXPECT_THROW(group.Wait(), std::bad_alloc);
        EXPECT_EQ(8, runs.load());
        EXPECT_EQ(0u, scheduler.GetPendingItemCount());
        TaskGroup next;
        next.Add(std::make_shared<CountingTask>(runs));
        scheduler.Submit(next);
        EXPECT_NO_THROW(next.Wait());
        EXPECT_EQ(9, runs.load());
    }
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

// Every handed-over item has returned before Submit throws, so destroying the group cannot pull
// it from under a worker (AddressSanitizer would see that); the refusal comes while they run.
TEST(TaskScheduler, RefusedSubmitWaitsForHandedOverItemsBeforeThrowing) {
    for (const std::size_t accepted : {0u, 1u, 3u}) {
        SCOPED_TRACE(testing::Message() << accepted << " accepted");
        TaskScheduler scheduler(std::make_unique<RefusingPool>(2, accepted));
        std::latch gate(1);
        std::atomic<int> runs{0};
        auto group = std::make_unique<TaskGroup>();
        for (int i = 0; i < 5; ++i) {
            group->Add(std::make_shared<CountingTask>(runs, [&] { gate.wait(); }));
        }
        std::thread releaser([&] { gate.count_down(); });
        EXPECT_THROW(scheduler.Submit(*group), Quellon::Exception);
        releaser.join();
        EXPECT_EQ(static_cast<int>(accepted), runs.load());
        EXPECT_EQ(0u, scheduler.GetPendingItemCount());
        group.reset();
    }
}

}  // namespace
}  // namespace Avidrift
