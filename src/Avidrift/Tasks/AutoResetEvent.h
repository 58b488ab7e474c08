#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace Avidrift {

// An event that releases one waiter per Set and then resets itself. A Set with no waiter stays
// signalled until the next Wait consumes it, so a signal can never be lost to a late waiter.
class AutoResetEvent {
public:
    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    // Called on any thread. Notifies while holding the mutex: the waiter may destroy the
    // event as soon as its wait returns, and it cannot return before this unlock.
    void Set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled.store(true, std::memory_order_relaxed);
        m_condition.notify_one();
    }

    // Called on the waiting thread; blocks without a time limit. Watches the flag for about a
    // tenth of a millisecond first: a batch of short tasks usually ends within that, and
    // sleeping and waking would cost more than the batch.
    void Wait() {
        for (int spin = 0; spin < kSpinChecks; ++spin) {
            if (m_signalled.load(std::memory_order_relaxed)) {
                break;
            }
            Backoff(spin);
        }
        // Always through the mutex: Set may still be notifying, and this event must outlive it.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return m_signalled.load(std::memory_order_relaxed); });
        m_signalled.store(false, std::memory_order_relaxed);
    }

    // A hint to the processor that this thread is spinning.
    static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    // Between two looks at a flag: a pause, and every few looks a yield, so that a spinning
    // thread gives its core to a thread of the batch that waits for one (the pool has as many
    // workers as processors, and the submitting thread is one more).
    static void Backoff(int spin) {
        if (spin % kChecksPerYield == kChecksPerYield - 1) {
            std::this_thread::yield();
        } else {
            Pause();
        }
    }

    static constexpr int kSpinChecks = 4000;
    static constexpr int kChecksPerYield = 64;

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    // Written under m_mutex; read without it only while spinning.
    std::atomic<bool> m_signalled{false};
};

}  // namespace Avidrift
