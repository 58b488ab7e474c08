#include "Avidrift/Tasks/ThreadPool.h"

#include <cerrno>
#include <system_error>

#include "Avidrift/Tasks/AutoResetEvent.h"
#include "Quellon/Exception.h"

namespace Avidrift {

ThreadPool::ThreadPool(unsigned workerCount) {
    const unsigned count = workerCount == 0 ? 1 : workerCount;
    m_workers.reserve(count);
    try {
        for (unsigned i = 0; i < count; ++i) {
            m_workers.emplace_back([this] { WorkerLoop(); });
        }
    } catch (const std::system_error& error) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closing = true;
        }
        m_condition.notify_all();
        for (std::thread& worker : m_workers) {
            worker.join();
        }
        Quellon::ThrowException(error.code().value(), L"");
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_condition.notify_all();
    for (std::thread& worker : m_workers) {
        worker.join();
    }
}

bool ThreadPool::TrySubmit(Callback callback, void* context) {
    return TrySubmitMany(callback, &context, 1) == 1;
}

std::size_t ThreadPool::TrySubmitMany(Callback callback, void* const* contexts, std::size_t count) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closing) {
            return 0;
        }
        for (std::size_t i = 0; i < count; ++i) {
            m_items.push_back(Item{callback, contexts[i]});
        }
        m_queued.fetch_add(count, std::memory_order_relaxed);
    }
    if (count >= m_workers.size()) {
        m_condition.notify_all();
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            m_condition.notify_one();
        }
    }
    return count;
}

void ThreadPool::WorkerLoop() {
    bool justWorked = false;
    for (;;) {
        if (justWorked) {
            for (int spin = 0; spin < AutoResetEvent::kSpinChecks; ++spin) {
                if (m_queued.load(std::memory_order_relaxed) != 0) {
                    break;
                }
                AutoResetEvent::Backoff(spin);
            }
        }
        Item item{};
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_condition.wait(lock, [this] { return m_closing || !m_items.empty(); });
            if (m_items.empty()) {
                return;  // closing and drained
            }
            item = TakeFront();
        }
        justWorked = true;
        Run(item);
    }
}

bool ThreadPool::TryRunOne() {
    Item item{};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_items.empty()) {
            return false;
        }
        item = TakeFront();
    }
    Run(item);
    return true;
}

ThreadPool::Item ThreadPool::TakeFront() {
    const Item item = m_items.front();
    m_items.pop_front();
    m_queued.fetch_sub(1, std::memory_order_relaxed);
    return item;
}

void ThreadPool::Run(const Item& item) {
    CallbackInstance instance;
    item.callback(instance, item.context);
    if (instance.m_eventOnReturn != nullptr) {
        instance.m_eventOnReturn->Set();
    }
}

}  // namespace Avidrift
