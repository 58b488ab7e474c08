#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Avidrift {

// What a local worker tells the thread that hands out runs.
struct WorkerReport {
    std::uint32_t worker = 0;
    std::int64_t finished = -1;  // the run just finished; -1: none
    double seconds = 0.0;
    std::int64_t failedRun = -1;  // the run that failed, -1 when none or before any run
    std::string failure;          // empty: none
};

// Between the local workers and the one thread that answers them (the only one that calls MPI).
class WorkerQueue {
public:
    explicit WorkerQueue(std::uint32_t workers) : m_answers(workers) {}

    // Called on a worker: reports and waits for the next run; nullopt for "no more", which is
    // also every answer once the queue is closed.
    std::optional<std::uint32_t> Next(WorkerReport report);

    // Called on the answering thread: the oldest report, waiting at most timeout for one
    // (forever without a timeout).
    std::optional<WorkerReport> Take(std::optional<std::chrono::milliseconds> timeout);

    // Called on the answering thread: run < 0 is "no more".
    void Answer(std::uint32_t worker, std::int64_t run);

    // Every waiting and later Next hears "no more": the answering thread may have left on an
    // exception, and a worker waiting for it would wait forever.
    void Close();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::condition_variable m_answered;
    std::deque<WorkerReport> m_reports;
    std::vector<std::optional<std::int64_t>> m_answers;
    bool m_closed = false;
};

// Local worker threads, each taking runs from the queue until there are none. Each makes its
// runner on its own thread (a runner owns its thread pool and buffers, reused for each run);
// a runner returns the run's seconds or throws the reason it failed. A failed worker reports
// the failure and the run, and asks for nothing more.
class SweepWorkers {
public:
    using Runner = std::function<double(std::uint32_t run)>;

    SweepWorkers(std::uint32_t count, const std::function<Runner()>& makeRunner);
    // Closes the queue and joins: a worker busy with a run finishes it first.
    ~SweepWorkers();
    SweepWorkers(const SweepWorkers&) = delete;
    SweepWorkers& operator=(const SweepWorkers&) = delete;

    WorkerQueue& GetQueue() { return m_queue; }

private:
    void Work(std::uint32_t worker, const std::function<Runner()>& makeRunner);

    WorkerQueue m_queue;
    std::vector<std::thread> m_threads;
};

}  // namespace Avidrift
