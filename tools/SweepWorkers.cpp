#include "SweepWorkers.h"

#include <exception>
#include <new>

namespace Avidrift {

std::optional<std::uint32_t> WorkerQueue::Next(WorkerReport report) {
    std::unique_lock lock(m_mutex);
    const std::uint32_t worker = report.worker;
    m_reports.push_back(std::move(report));
    m_changed.notify_all();
    m_answered.wait(lock, [&] { return m_closed || m_answers[worker].has_value(); });
    const std::int64_t answer = m_answers[worker].value_or(-1);
    m_answers[worker].reset();
    if (m_closed || answer < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(answer);
}

std::optional<WorkerReport> WorkerQueue::Take(std::optional<std::chrono::milliseconds> timeout) {
    std::unique_lock lock(m_mutex);
    const auto ready = [&] { return !m_reports.empty(); };
    if (timeout) {
        m_changed.wait_for(lock, *timeout, ready);
    } else {
        m_changed.wait(lock, ready);
    }
    if (m_reports.empty()) {
        return std::nullopt;
    }
    WorkerReport report = std::move(m_reports.front());
    m_reports.pop_front();
    return report;
}

void WorkerQueue::Answer(std::uint32_t worker, std::int64_t run) {
    std::lock_guard lock(m_mutex);
    m_answers[worker] = run;
    m_answered.notify_all();
}

void WorkerQueue::Close() {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_answered.notify_all();
}

SweepWorkers::SweepWorkers(std::uint32_t count, const std::function<Runner()>& makeRunner)
    : m_queue(count) {
    try {
        for (std::uint32_t w = 0; w < count; ++w) {
            m_threads.emplace_back([this, w, makeRunner] { Work(w, makeRunner); });
        }
    } catch (...) {
        m_queue.Close();
        for (std::thread& thread : m_threads) {
            thread.join();
        }
        throw;
    }
}

SweepWorkers::~SweepWorkers() {
    m_queue.Close();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
}

void SweepWorkers::Work(std::uint32_t worker, const std::function<Runner()>& makeRunner) {
    WorkerReport report{worker, -1, 0.0, -1, {}};
    // A thread that lets an exception escape ends the process without a word, so every kind is
    // caught and reported.
    try {
        const Runner run = makeRunner();
        while (const std::optional<std::uint32_t> next = m_queue.Next(report)) {
            report.failedRun = *next;
            report = {worker, *next, run(*next), -1, {}};
        }
        return;
    } catch (const std::bad_alloc&) {
        report.failure = "not enough memory for this flock";
    } catch (const std::exception& error) {
        report.failure = error.what();
    } catch (...) {
        report.failure = "unknown error";
    }
    report.finished = -1;
    // A failed worker asks no more; the answer only releases it.
    m_queue.Next(report);
}

}  // namespace Avidrift
