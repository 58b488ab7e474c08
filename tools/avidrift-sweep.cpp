// Parameter sweeps: one simulation per combination of values, spread over local threads and
// over MPI ranks, into one folder that a rerun of the same command completes.

#include <mpi.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockMemory.h"
#include "Avidrift/Flock/FlockMetrics.h"
#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Tasks/ProcessorCount.h"
#include "Avidrift/Tasks/TaskScheduler.h"
#include "Avidrift/Tasks/ThreadPool.h"
#include "Quellon/Exception.h"
#include "Quellon/Text.h"
#include "Quellon/Timer.h"
#include "SweepOptions.h"

namespace {

namespace fs = std::filesystem;
using Avidrift::SweepOptions;

// A worker asks rank 0 for work with {finished run or -1, its seconds}; rank 0 answers with a
// run index or -1 (no more). A rank whose workers all heard -1 says so once.
constexpr int kRequestTag = 1;
constexpr int kAnswerTag = 2;
constexpr int kDoneTag = 3;

std::string ErrorText(const std::string& path) {
    return "cannot write '" + path + "': " + std::strerror(errno);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Written under a temporary name, flushed to the disk and renamed: a reader, or a rerun after a
// crash, sees the whole file or none of it.
void WriteWhole(const fs::path& path, const std::string& text) {
    const fs::path part = path.string() + ".part";
    std::FILE* file = std::fopen(part.c_str(), "wb");
    if (file == nullptr) {
        throw std::runtime_error(ErrorText(part));
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                         std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    const std::string error = ErrorText(part);
    if (std::fclose(file) != 0 || !written) {
        throw std::runtime_error(written ? ErrorText(part) : error);
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) {
        throw std::runtime_error(ErrorText(path));
    }
}

// One local worker's simulator: its own pool, step and metrics, reused for each of its runs.
// The pool has as many threads as the run has tasks, not one per processor: J workers each
// with a full pool put J times the processor count of threads on the machine, and their
// watching for the next batch took the processors from the simulations.
class RunWorker {
public:
    RunWorker(const SweepOptions& sweep, const fs::path& runs)
        : m_sweep(sweep),
          m_runs(runs),
          m_scheduler(
              std::make_unique<Avidrift::ThreadPool>(std::max<std::uint32_t>(sweep.base.tasks, 1))),
          m_step(m_scheduler),
          m_metrics(m_scheduler) {}

    // Called on the worker's thread. Returns the run's seconds; throws with the reason.
    double Run(std::uint32_t r) {
        const Avidrift::SimulatorOptions options = m_sweep.GetRun(r);
        Quellon::Timer timer;
        timer.Tick();
        Avidrift::FlockData flock = Avidrift::MakeFlock(options);
        Avidrift::FlockData written = flock;
        std::string log = Avidrift::FormatMetricsHeader();
        const std::uint32_t tasks =
            options.tasks != 0 ? options.tasks : Avidrift::GetProcessorCount();
        log += Avidrift::FormatMetricsRow(0, options.stepTime, m_metrics.Measure(flock, tasks));
        for (std::uint32_t k = 1; k <= options.steps; ++k) {
            m_step.Run(flock, written, tasks, options.stepTime);
            std::swap(flock, written);
            if (k % options.every == 0) {
                log += Avidrift::FormatMetricsRow(k, options.stepTime,
                                                  m_metrics.Measure(flock, tasks));
            }
        }
        const double seconds = timer.Tick();
        const std::string name = m_sweep.GetRunName(r);
        char text[64];
        std::snprintf(text, sizeof text, "%.6f\n", seconds);
        // The log last: its presence marks the run as done.
        WriteWhole(m_runs / (name + ".seconds"), text);
        WriteWhole(m_runs / (name + ".csv"), log);
        return seconds;
    }

private:
    const SweepOptions& m_sweep;
    fs::path m_runs;
    Avidrift::TaskScheduler m_scheduler;
    Avidrift::FlockStep m_step;
    Avidrift::FlockMetrics m_metrics;
};

// What the local workers tell the main thread, the only thread that calls MPI.
struct Request {
    std::uint32_t worker;
    std::int64_t finished;  // -1: none
    double seconds;
    std::string failure;  // empty: none
};

class LocalQueue {
public:
    explicit LocalQueue(std::uint32_t workers) : m_answers(workers) {}

    // Called on a worker: reports and waits for the next run, or nullopt when there is none.
    std::optional<std::uint32_t> Next(Request request) {
        std::unique_lock lock(m_mutex);
        const std::uint32_t worker = request.worker;
        m_requests.push_back(std::move(request));
        m_changed.notify_all();
        m_answered.wait(lock, [&] { return m_answers[worker].has_value(); });
        const std::int64_t answer = *m_answers[worker];
        m_answers[worker].reset();
        return answer < 0 ? std::nullopt : std::optional<std::uint32_t>(answer);
    }

    // Called on the main thread: the oldest request, waiting at most timeout for one (forever
    // without a timeout).
    std::optional<Request> Take(std::optional<std::chrono::milliseconds> timeout) {
        std::unique_lock lock(m_mutex);
        const auto ready = [&] { return !m_requests.empty(); };
        if (timeout) {
            m_changed.wait_for(lock, *timeout, ready);
        } else {
            m_changed.wait(lock, ready);
        }
        if (m_requests.empty()) {
            return std::nullopt;
        }
        Request request = std::move(m_requests.front());
        m_requests.pop_front();
        return request;
    }

    // Called on the main thread.
    void Answer(std::uint32_t worker, std::int64_t run) {
        std::lock_guard lock(m_mutex);
        m_answers[worker] = run;
        m_answered.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::condition_variable m_answered;
    std::deque<Request> m_requests;
    std::vector<std::optional<std::int64_t>> m_answers;
};

// On a terminal, one line redrawn in place; otherwise a line per finished run.
class Progress {
public:
    // Open MPI hands its ranks a pseudo-terminal whatever mpirun writes to, so under mpirun a
    // rank cannot tell and writes lines.
    Progress(std::uint32_t total, std::uint32_t done, bool underMpirun)
        : m_total(total),
          m_done(done),
          m_startDone(done),
          m_terminal(!underMpirun && isatty(1) != 0) {
        m_clock.Tick();
    }

    void Finished(const SweepOptions& sweep, std::uint32_t run, double seconds) {
        ++m_done;
        m_elapsed += m_clock.Tick();
        const double perRun = m_elapsed / (m_done - m_startDone);
        const double left = perRun * (m_total - m_done);
        if (m_terminal) {
            std::printf("\r%" PRIu32 "/%" PRIu32 " runs, %.0f s elapsed, about %.0f s left   ",
                        m_done, m_total, m_elapsed, left);
        } else {
            std::printf("run %s done in %.3f s (%" PRIu32 "/%" PRIu32 ")\n",
                        sweep.GetRunName(run).c_str(), seconds, m_done, m_total);
        }
        std::fflush(stdout);
    }

    ~Progress() {
        if (m_terminal && m_done > m_startDone) {
            std::printf("\n");
        }
    }

private:
    std::uint32_t m_total;
    std::uint32_t m_done;
    std::uint32_t m_startDone;
    bool m_terminal;
    Quellon::Timer m_clock;
    double m_elapsed = 0.0;
};

// Rank 0, before any run: the folder, its sweep.json, the runs still missing. Throws
// UsageError for a folder that holds another sweep.
std::vector<std::uint32_t> PrepareFolder(const SweepOptions& sweep) {
    const fs::path dir = sweep.outDir;
    std::error_code error;
    fs::create_directories(dir / "runs", error);
    if (error) {
        throw Avidrift::UsageError("cannot create '" + (dir / "runs").string() +
                                   "': " + error.message());
    }
    const std::string json = sweep.FormatSweepJson();
    const fs::path stored = dir / "sweep.json";
    if (fs::exists(stored)) {
        const std::string old = ReadFile(stored);
        if (old != json) {
            throw Avidrift::UsageError("'" + dir.string() +
                                       "' holds a different sweep; use another --out, or "
                                       "remove it to start again\n  stored:       " +
                                       old.substr(0, old.find('\n')) +
                                       "\n  this command: " + json.substr(0, json.size() - 1));
        }
    } else {
        WriteWhole(stored, json);
    }
    // What an interrupted run left behind; no run is in progress while rank 0 prepares.
    for (const fs::directory_entry& entry : fs::directory_iterator(dir / "runs")) {
        if (entry.path().extension() == ".part") {
            fs::remove(entry.path());
        }
    }
    if (fs::exists(dir / "summary.csv.part")) {
        fs::remove(dir / "summary.csv.part");
    }
    std::vector<std::uint32_t> missing;
    for (std::uint32_t r = 0; r < sweep.GetRunCount(); ++r) {
        if (!fs::exists(dir / "runs" / (sweep.GetRunName(r) + ".csv"))) {
            missing.push_back(r);
        }
    }
    return missing;
}

void WriteSummary(const SweepOptions& sweep) {
    const fs::path runs = fs::path(sweep.outDir) / "runs";
    std::vector<std::string> logs(sweep.GetRunCount());
    std::vector<double> seconds(sweep.GetRunCount(), -1.0);
    for (std::uint32_t r = 0; r < sweep.GetRunCount(); ++r) {
        const fs::path log = runs / (sweep.GetRunName(r) + ".csv");
        if (fs::exists(log)) {
            logs[r] = ReadFile(log);
            const std::string time = ReadFile(runs / (sweep.GetRunName(r) + ".seconds"));
            if (!time.empty()) {
                seconds[r] = std::strtod(time.c_str(), nullptr);
            }
        }
    }
    WriteWhole(fs::path(sweep.outDir) / "summary.csv",
               Avidrift::FormatSummary(sweep, logs, seconds));
}

// The local workers: each takes runs until there are none, reporting each finished one.
class Workers {
public:
    Workers(const SweepOptions& sweep, std::uint32_t count) : m_queue(count) {
        const fs::path runs = fs::path(sweep.outDir) / "runs";
        for (std::uint32_t w = 0; w < count; ++w) {
            m_threads.emplace_back([this, &sweep, runs, w] {
                Request report{w, -1, 0.0, {}};
                try {
                    RunWorker worker(sweep, runs);
                    while (const std::optional<std::uint32_t> run = m_queue.Next(report)) {
                        report = {w, *run, worker.Run(*run), {}};
                    }
                    return;
                } catch (const Quellon::Exception& error) {
                    report.failure = Quellon::WideToUtf8(error.GetMessage());
                } catch (const std::bad_alloc&) {
                    report.failure = "not enough memory for this flock";
                } catch (const std::exception& error) {
                    report.failure = error.what();
                }
                report.finished = -1;
                // A failed worker asks no more; the answer only releases it.
                m_queue.Next(report);
            });
        }
    }

    ~Workers() {
        for (std::thread& thread : m_threads) {
            thread.join();
        }
    }

    LocalQueue& GetQueue() { return m_queue; }

private:
    LocalQueue m_queue;
    std::vector<std::thread> m_threads;
};

// Rank 0's main thread: hands out the missing runs to its own workers and to every other rank
// as they ask, until all have heard there are no more. Returns false after a failure.
bool Coordinate(const SweepOptions& sweep, std::vector<std::uint32_t> missing,
                std::uint32_t workerCount, int ranks) {
    Progress progress(sweep.GetRunCount(),
                      sweep.GetRunCount() - static_cast<std::uint32_t>(missing.size()),
                      ranks > 1 || std::getenv("OMPI_COMM_WORLD_SIZE") != nullptr);
    std::deque<std::uint32_t> queue(missing.begin(), missing.end());
    const auto next = [&]() -> std::int64_t {
        if (queue.empty()) {
            return -1;
        }
        const std::uint32_t run = queue.front();
        queue.pop_front();
        return run;
    };
    bool failed = false;
    Workers workers(sweep, workerCount);
    std::uint32_t localActive = workerCount;
    int remoteActive = ranks - 1;
    while (localActive > 0 || remoteActive > 0) {
        bool busy = false;
        if (ranks > 1) {
            int flag = 0;
            MPI_Status status;
            MPI_Iprobe(MPI_ANY_SOURCE, kRequestTag, MPI_COMM_WORLD, &flag, &status);
            if (flag) {
                double message[2];
                MPI_Recv(message, 2, MPI_DOUBLE, status.MPI_SOURCE, kRequestTag, MPI_COMM_WORLD,
                         MPI_STATUS_IGNORE);
                if (message[0] >= 0) {
                    progress.Finished(sweep, static_cast<std::uint32_t>(message[0]), message[1]);
                }
                std::int64_t answer = next();
                MPI_Send(&answer, 1, MPI_INT64_T, status.MPI_SOURCE, kAnswerTag, MPI_COMM_WORLD);
                busy = true;
            }
            MPI_Iprobe(MPI_ANY_SOURCE, kDoneTag, MPI_COMM_WORLD, &flag, &status);
            if (flag) {
                MPI_Recv(nullptr, 0, MPI_BYTE, status.MPI_SOURCE, kDoneTag, MPI_COMM_WORLD,
                         MPI_STATUS_IGNORE);
                --remoteActive;
                busy = true;
            }
        }
        if (localActive == 0) {
            if (!busy) {
                // Only other ranks are left; MPI has no wait on two sources at once.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            continue;
        }
        // MPI cannot wake this thread, so with other ranks the wait is short.
        const std::optional<Request> request = workers.GetQueue().Take(
            ranks > 1 ? std::optional(std::chrono::milliseconds(busy ? 0 : 1)) : std::nullopt);
        if (!request) {
            continue;
        }
        if (request->finished >= 0) {
            progress.Finished(sweep, static_cast<std::uint32_t>(request->finished),
                              request->seconds);
        }
        if (!request->failure.empty()) {
            std::fprintf(stderr, "\navidrift-sweep: %s\n", request->failure.c_str());
            if (ranks > 1) {
                // The other ranks are running; only MPI can stop them. Finished runs stay.
                MPI_Abort(MPI_COMM_WORLD, 1);
            }
            failed = true;
            queue.clear();
        }
        const std::int64_t answer = request->failure.empty() ? next() : -1;
        workers.GetQueue().Answer(request->worker, answer);
        if (answer < 0) {
            --localActive;
        }
    }
    return !failed;
}

// Any other rank's main thread: relays its workers' requests to rank 0.
void Relay(const SweepOptions& sweep, std::uint32_t workerCount) {
    Workers workers(sweep, workerCount);
    for (std::uint32_t active = workerCount; active > 0;) {
        const Request request = *workers.GetQueue().Take(std::nullopt);
        if (!request.failure.empty()) {
            std::fprintf(stderr, "avidrift-sweep: %s\n", request.failure.c_str());
            MPI_Abort(MPI_COMM_WORLD, 1);
        }
        double message[2] = {static_cast<double>(request.finished), request.seconds};
        MPI_Send(message, 2, MPI_DOUBLE, 0, kRequestTag, MPI_COMM_WORLD);
        std::int64_t answer = -1;
        MPI_Recv(&answer, 1, MPI_INT64_T, 0, kAnswerTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        workers.GetQueue().Answer(request.worker, answer);
        if (answer < 0) {
            --active;
        }
    }
    MPI_Send(nullptr, 0, MPI_BYTE, 0, kDoneTag, MPI_COMM_WORLD);
}

int Main(int argc, char** argv, int rank, int ranks) {
    SweepOptions sweep;
    std::vector<std::uint32_t> missing;
    // 0: go on, 1: failed, 2: refused; rank 0 decides for every rank.
    int status = 0;
    std::string message;
    try {
        sweep = Avidrift::ParseSweepOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (sweep.help) {
            if (rank == 0) {
                std::fputs(Avidrift::kSweepUsage, stdout);
            }
            return 0;
        }
        if (rank == 0) {
            std::uint32_t largest = sweep.base.boids;
            for (const Avidrift::SweepVariable& variable : sweep.vary) {
                for (const double value : variable.values) {
                    if (variable.name == "boids") {
                        largest = std::max(largest, static_cast<std::uint32_t>(value));
                    }
                }
            }
            message = Avidrift::DescribeFlockShortfall(largest, Avidrift::GetAvailableMemory());
            if (!message.empty()) {
                status = 1;
            } else {
                missing = PrepareFolder(sweep);
            }
        }
    } catch (const Avidrift::UsageError& error) {
        status = 2;
        message = std::string(error.what()) + (rank == 0 ? " (see --help)" : "");
    } catch (const std::exception& error) {
        status = 1;
        message = error.what();
    }
    MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (status != 0) {
        if (rank == 0) {
            std::fprintf(stderr, "avidrift-sweep: %s\n", message.c_str());
        }
        return status;
    }

    MPI_Comm local;
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank, MPI_INFO_NULL, &local);
    int localRanks = 1;
    MPI_Comm_size(local, &localRanks);
    MPI_Comm_free(&local);
    const std::uint32_t tasks = std::max<std::uint32_t>(sweep.base.tasks, 1);
    const std::uint32_t workers =
        sweep.jobs != 0
            ? sweep.jobs
            : std::max<std::uint32_t>(
                  1, Avidrift::GetProcessorCount() / (tasks * static_cast<unsigned>(localRanks)));
    if (rank != 0) {
        Relay(sweep, workers);
        return 0;
    }
    const bool complete = Coordinate(sweep, std::move(missing), workers, ranks);
    try {
        WriteSummary(sweep);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "avidrift-sweep: %s\n", error.what());
        return 1;
    }
    return complete ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    int provided = 0;
    if (MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided) != MPI_SUCCESS) {
        std::fprintf(stderr, "avidrift-sweep: MPI_Init_thread failed\n");
        return 1;
    }
    int rank = 0;
    int ranks = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    int status = 1;
    if (provided < MPI_THREAD_FUNNELED) {
        std::fprintf(stderr, "avidrift-sweep: this MPI offers no MPI_THREAD_FUNNELED\n");
    } else {
        status = Main(argc, argv, rank, ranks);
    }
    MPI_Finalize();
    return status;
}
