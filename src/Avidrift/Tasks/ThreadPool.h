#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace Avidrift {

class AutoResetEvent;

// What a running callback may ask of the pool: an event to set once the callback has
// returned, so that a waiter never wakes while the callback still touches shared state.
class CallbackInstance {
public:
    void SetEventWhenCallbackReturns(AutoResetEvent* event) { m_eventOnReturn = event; }

private:
    friend class ThreadPool;
    AutoResetEvent* m_eventOnReturn = nullptr;
};

// A fixed set of worker threads that run submitted callbacks in FIFO order, each exactly once.
// A worker that has just finished an item watches the queue for about a tenth of a
// millisecond, since the next batch of a simulation step often follows at once, yielding its
// processor now and then; then it sleeps on a condition variable. Without work no worker spins.
class ThreadPool {
public:
    using Callback = void (*)(CallbackInstance& instance, void* context);

    // Starts workerCount threads (at least one). Throws Exception when a thread cannot start.
    explicit ThreadPool(unsigned workerCount);
    // Closes the pool: items already queued still run, then the workers end and are joined.
    virtual ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Called on any thread. Returns false, running nothing, once the pool is closing.
    bool TrySubmit(Callback callback, void* context);
    // Queues callback(contexts[0]), callback(contexts[1]), ... in order under one lock, so a
    // batch costs one lock and no worker wakes to a half-filled queue. Returns how many were
    // accepted: all, or none once the pool is closing. Virtual so that a test can stand in a
    // pool that refuses part-way through a batch.
    virtual std::size_t TrySubmitMany(Callback callback, void* const* contexts, std::size_t count);

    // Called on a thread that waits for queued work, outside the pool: runs the oldest queued
    // item there, as a worker would. Returns false, running nothing, when none is queued.
    bool TryRunOne();

private:
    struct Item {
        Callback callback;
        void* context;
    };

    void WorkerLoop();
    // Called with m_mutex held and the queue not empty.
    Item TakeFront();
    static void Run(const Item& item);

    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::deque<Item> m_items;  // guarded by m_mutex
    // The number of items in m_items, for workers watching without the lock.
    std::atomic<std::size_t> m_queued{0};
    bool m_closing = false;  // guarded by m_mutex
    std::vector<std::thread> m_workers;
};

}  // namespace Avidrift
