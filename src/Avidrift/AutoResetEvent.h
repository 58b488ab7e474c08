#pragma once

#include <condition_variable>
#include <mutex>

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
        m_signalled = true;
        m_condition.notify_one();
    }

    // Called on the waiting thread; blocks without a time limit.
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return m_signalled; });
        m_signalled = false;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_signalled = false;
};

}  // namespace Avidrift
