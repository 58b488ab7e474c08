// Parameter sweeps: one simulation per combination of values, spread over local threads and
// over MPI ranks, into one folder that a rerun of the same command completes.

#include <fcntl.h>
#include <mpi.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Avidrift/Flock/FlockMemory.h"
#include "Avidrift/Tasks/ProcessorCount.h"
#include "Avidrift/Tasks/TaskScheduler.h"
#include "Avidrift/Tasks/ThreadPool.h"
#include "OutputFile.h"
#include "Quellon/Exception.h"
#include "Quellon/Text.h"
#include "Quellon/Timer.h"
#include "Simulation.h"
#include "SweepOptions.h"
#include "SweepWorkers.h"

namespace {

namespace fs = std::filesystem;
using Avidrift::SweepOptions;
using Avidrift::WorkerReport;

// A worker asks rank 0 for work with {finished run or -1, its seconds}; rank 0 answers with a
// run index or -1 (no more). A rank whose workers all heard -1 says so once.
constexpr int kRequestTag = 1;
constexpr int kAnswerTag = 2;
constexpr int kDoneTag = 3;

// Exit statuses: a failure, and a command refused before any run.
constexpr int kFailed = 1;
constexpr int kRefused = 2;

// Throws std::runtime_error "cannot read 'PATH': REASON".
std::string ReadFile(const fs::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string text;
    int error = fd < 0 ? errno : 0;
    char buffer[65536];
    while (error == 0) {
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno != EINTR) {
            error = errno;
        } else if (count == 0) {
            break;
        } else if (count > 0) {
            text.append(buffer, static_cast<std::size_t>(count));
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    if (error != 0) {
        throw std::runtime_error("cannot read '" + path.string() + "': " + std::strerror(error));
    }
    return text;
}

// A finished run's log must be there. On a shared file system a file another machine has just
// renamed into place can be missing here for a moment, so a few tries come before the error.
std::string ReadFinishedRun(const fs::path& path) {
    constexpr int kTries = 5;
    for (int attempt = 1;; ++attempt) {
        try {
            std::string text = ReadFile(path);
            if (!text.empty() || attempt == kTries) {
                return text;
            }
        } catch (const std::runtime_error&) {
            if (attempt == kTries) {
                throw;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// One local worker's simulator: its own pool, reused for each of its runs. The pool has as many
// threads as the run has tasks, not one per processor: J workers each with a full pool put J
// times the processor count of threads on the machine, and their watching for the next batch
// took the processors from the simulations.
Avidrift::SweepWorkers::Runner MakeRunner(const SweepOptions& sweep) {
    auto scheduler = std::make_shared<Avidrift::TaskScheduler>(
        std::make_unique<Avidrift::ThreadPool>(Avidrift::GetTaskCount(sweep.base)));
    const fs::path runs = fs::path(sweep.outDir) / "runs";
    return [&sweep, scheduler, runs](std::uint32_t r) {
        const Avidrift::SimulatorOptions options = sweep.GetRun(r);
        Quellon::Timer timer;
        timer.Tick();
        std::string log = Avidrift::FormatMetricsHeader();
        Avidrift::SimulationSink sink;
        sink.measured = [&](std::uint32_t step, const Avidrift::FlockMeasures& measures) {
            log += Avidrift::FormatMetricsRow(step, options.stepTime, measures);
        };
        try {
            Avidrift::Simulate(options, sink, *scheduler);
        } catch (const Quellon::Exception& error) {
            throw std::runtime_error(Quellon::WideToUtf8(error.GetMessage()));
        }
        const double seconds = timer.Tick();
        const std::string name = sweep.GetRunName(r);
        char text[64];
        std::snprintf(text, sizeof text, "%.6f\n", seconds);
        // The log last: its presence marks the run as done.
        Avidrift::WriteWholeFile((runs / (name + ".seconds")).string(), text);
        Avidrift::WriteWholeFile((runs / (name + ".csv")).string(), log);
        return seconds;
    };
}

std::string DescribeFailure(const SweepOptions& sweep, const WorkerReport& report) {
    return report.failedRun < 0
               ? report.failure
               : "run " + sweep.GetRunName(static_cast<std::uint32_t>(report.failedRun)) + ": " +
                     report.failure;
}

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

// Rank 0's hold on the folder for the sweep's life: a second sweep on it would remove this
// one's .part files and write the same runs. flock(2) locks die with their process, so a killed
// sweep never leaves the folder locked.
class FolderLock {
public:
    // Makes the folder. Throws UsageError when another sweep holds it or it cannot be made.
    explicit FolderLock(const fs::path& dir) {
        std::error_code error;
        fs::create_directories(dir / "runs", error);
        if (error) {
            throw Avidrift::UsageError("cannot create '" + (dir / "runs").string() +
                                       "': " + error.message());
        }
        const fs::path path = dir / "sweep.lock";
        m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0 || flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            const int reason = errno;
            if (m_fd >= 0) {
                close(m_fd);
            }
            if (reason == EWOULDBLOCK) {
                throw Avidrift::UsageError(
                    "'" + dir.string() + "' is in use by another avidrift-sweep (it holds '" +
                    path.string() + "'); wait for it to end, or use another --out");
            }
            throw Avidrift::UsageError("cannot lock '" + path.string() +
                                       "': " + std::strerror(reason));
        }
    }
    ~FolderLock() { close(m_fd); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int m_fd = -1;
};

// Rank 0, holding the folder's lock, before any run: its sweep.json, the runs still missing.
// Throws UsageError for a folder that holds another sweep.
std::vector<std::uint32_t> PrepareFolder(const SweepOptions& sweep) {
    const fs::path dir = sweep.outDir;
    const fs::path stored = dir / "sweep.json";
    if (fs::exists(stored)) {
        sweep.CheckSweepJson(ReadFile(stored));
    } else {
        Avidrift::WriteWholeFile(stored.string(), sweep.FormatSweepJson());
    }
    // What an interrupted run left behind; no run is in progress while the lock is held here.
    for (const fs::directory_entry& entry : fs::directory_iterator(dir / "runs")) {
        if (entry.path().extension() == ".part") {
            fs::remove(entry.path());
        }
    }
    fs::remove(dir / "summary.csv.part");
    std::vector<std::uint32_t> missing;
    for (std::uint32_t r = 0; r < sweep.GetRunCount(); ++r) {
        if (!fs::exists(dir / "runs" / (sweep.GetRunName(r) + ".csv"))) {
            missing.push_back(r);
        }
    }
    return missing;
}

// summary.csv from every finished run: after a complete sweep that is every run, and a run that
// cannot be read then is an error rather than a row quietly left out.
void WriteSummary(const SweepOptions& sweep, bool complete) {
    const fs::path runs = fs::path(sweep.outDir) / "runs";
    std::vector<std::string> logs(sweep.GetRunCount());
    std::vector<double> seconds(sweep.GetRunCount(), -1.0);
    for (std::uint32_t r = 0; r < sweep.GetRunCount(); ++r) {
        const fs::path log = runs / (sweep.GetRunName(r) + ".csv");
        if (!complete && !fs::exists(log)) {
            continue;
        }
        logs[r] = ReadFinishedRun(log);
        if (logs[r].empty()) {
            throw std::runtime_error("'" + log.string() + "' is empty");
        }
        try {
            seconds[r] =
                std::strtod(ReadFile(runs / (sweep.GetRunName(r) + ".seconds")).c_str(), nullptr);
        } catch (const std::runtime_error&) {
            // The time is only informative: its column stays empty.
        }
    }
    Avidrift::WriteWholeFile((fs::path(sweep.outDir) / "summary.csv").string(),
                             Avidrift::FormatSummary(sweep, logs, seconds));
}

// Rank 0's main thread: hands out the missing runs to its own workers and to every other rank
// as they ask, until all have heard there are no more.
class Coordinator {
public:
    Coordinator(const SweepOptions& sweep, const std::vector<std::uint32_t>& missing,
                std::uint32_t workerCount, int ranks)
        : m_sweep(sweep),
          m_ranks(ranks),
          m_queue(missing.begin(), missing.end()),
          m_progress(sweep.GetRunCount(),
                     sweep.GetRunCount() - static_cast<std::uint32_t>(missing.size()),
                     ranks > 1 || std::getenv("OMPI_COMM_WORLD_SIZE") != nullptr),
          m_workers(workerCount, [&sweep] { return MakeRunner(sweep); }),
          m_localActive(workerCount),
          m_remoteActive(ranks - 1) {}

    // False after a failure.
    bool Run() {
        while (m_localActive > 0 || m_remoteActive > 0) {
            const bool busy = m_ranks > 1 && ServeRanks();
            if (m_localActive > 0) {
                ServeWorkers(busy);
            } else if (!busy) {
                // Only other ranks are left; MPI has no wait on two sources at once.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return !m_failed;
    }

private:
    std::int64_t NextRun() {
        if (m_queue.empty()) {
            return -1;
        }
        const std::uint32_t run = m_queue.front();
        m_queue.pop_front();
        return run;
    }

    // Answers another rank's request or notes that it is done; true when there was one.
    bool ServeRanks() {
        bool served = false;
        int flag = 0;
        MPI_Status status;
        MPI_Iprobe(MPI_ANY_SOURCE, kRequestTag, MPI_COMM_WORLD, &flag, &status);
        if (flag) {
            double message[2];
            MPI_Recv(message, 2, MPI_DOUBLE, status.MPI_SOURCE, kRequestTag, MPI_COMM_WORLD,
                     MPI_STATUS_IGNORE);
            if (message[0] >= 0) {
                m_progress.Finished(m_sweep, static_cast<std::uint32_t>(message[0]), message[1]);
            }
            std::int64_t answer = NextRun();
            MPI_Send(&answer, 1, MPI_INT64_T, status.MPI_SOURCE, kAnswerTag, MPI_COMM_WORLD);
            served = true;
        }
        MPI_Iprobe(MPI_ANY_SOURCE, kDoneTag, MPI_COMM_WORLD, &flag, &status);
        if (flag) {
            MPI_Recv(nullptr, 0, MPI_BYTE, status.MPI_SOURCE, kDoneTag, MPI_COMM_WORLD,
                     MPI_STATUS_IGNORE);
            --m_remoteActive;
            served = true;
        }
        return served;
    }

    // Answers one local worker's report, if one comes in time.
    void ServeWorkers(bool busy) {
        // MPI cannot wake this thread, so with other ranks the wait is short.
        const std::optional<WorkerReport> report = m_workers.GetQueue().Take(
            m_ranks > 1 ? std::optional(std::chrono::milliseconds(busy ? 0 : 1)) : std::nullopt);
        if (!report) {
            return;
        }
        if (report->finished >= 0) {
            m_progress.Finished(m_sweep, static_cast<std::uint32_t>(report->finished),
                                report->seconds);
        }
        if (!report->failure.empty()) {
            std::fprintf(stderr, "\navidrift-sweep: %s\n",
                         DescribeFailure(m_sweep, *report).c_str());
            if (m_ranks > 1) {
                // The other ranks are running; only MPI can stop them. Finished runs stay.
                MPI_Abort(MPI_COMM_WORLD, kFailed);
            }
            m_failed = true;
            m_queue.clear();
        }
        const std::int64_t answer = report->failure.empty() ? NextRun() : -1;
        m_workers.GetQueue().Answer(report->worker, answer);
        if (answer < 0) {
            --m_localActive;
        }
    }

    const SweepOptions& m_sweep;
    int m_ranks;
    std::deque<std::uint32_t> m_queue;
    Progress m_progress;
    // Last among the members the workers use: destroyed first, so no worker outlives them.
    Avidrift::SweepWorkers m_workers;
    std::uint32_t m_localActive;
    int m_remoteActive;
    bool m_failed = false;
};

// Any other rank's main thread: relays its workers' requests to rank 0.
void Relay(const SweepOptions& sweep, std::uint32_t workerCount) {
    Avidrift::SweepWorkers workers(workerCount, [&sweep] { return MakeRunner(sweep); });
    for (std::uint32_t active = workerCount; active > 0;) {
        const WorkerReport report = *workers.GetQueue().Take(std::nullopt);
        if (!report.failure.empty()) {
            std::fprintf(stderr, "avidrift-sweep: %s\n", DescribeFailure(sweep, report).c_str());
            MPI_Abort(MPI_COMM_WORLD, kFailed);
        }
        double message[2] = {static_cast<double>(report.finished), report.seconds};
        MPI_Send(message, 2, MPI_DOUBLE, 0, kRequestTag, MPI_COMM_WORLD);
        std::int64_t answer = -1;
        MPI_Recv(&answer, 1, MPI_INT64_T, 0, kAnswerTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        workers.GetQueue().Answer(report.worker, answer);
        if (answer < 0) {
            --active;
        }
    }
    MPI_Send(nullptr, 0, MPI_BYTE, 0, kDoneTag, MPI_COMM_WORLD);
}

// The command line, read alike on every rank. Returns the exit status for a command that runs
// nothing (help, or refused), nullopt for one that goes on.
std::optional<int> ParseCommandLine(int argc, char** argv, int rank, SweepOptions& sweep) {
    try {
        sweep = Avidrift::ParseSweepOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const Avidrift::UsageError& error) {
        if (rank == 0) {
            std::fprintf(stderr, "avidrift-sweep: %s (see --help)\n", error.what());
        }
        return kRefused;
    }
    if (sweep.help) {
        if (rank == 0) {
            std::fputs(Avidrift::kSweepUsage, stdout);
        }
        return 0;
    }
    return std::nullopt;
}

// Every rank: how many simulations it runs at once. The ranks on one machine share its memory,
// and each of this rank's jobs may hold the largest flock at the same time, so the jobs are
// lowered, with a note, to what the memory holds; 0 (after the message) when not even one fits.
std::uint32_t ChooseJobs(const SweepOptions& sweep, int rank, int ranks) {
    MPI_Comm local;
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank, MPI_INFO_NULL, &local);
    int localRanks = 1;
    MPI_Comm_size(local, &localRanks);
    MPI_Comm_free(&local);
    const std::uint32_t wanted =
        sweep.jobs != 0
            ? sweep.jobs
            : std::max<std::uint32_t>(
                  1, Avidrift::GetProcessorCount() /
                         (Avidrift::GetTaskCount(sweep.base) * static_cast<unsigned>(localRanks)));
    const std::uint64_t available =
        Avidrift::GetAvailableMemory() / static_cast<unsigned>(localRanks);
    const std::uint32_t boids = sweep.GetLargestFlock();
    const std::uint32_t jobs = Avidrift::FitJobs(wanted, boids, available);
    const std::string who = ranks > 1 ? "rank " + std::to_string(rank) + ": " : "";
    if (jobs == 0) {
        std::fprintf(stderr, "avidrift-sweep: %s%s\n", who.c_str(),
                     Avidrift::DescribeFlockShortfall(boids, available).c_str());
    } else if (jobs < wanted) {
        std::fprintf(stderr,
                     "avidrift-sweep: %smemory for %" PRIu32 " flocks of %" PRIu32
                     " boids at once, not %" PRIu32 ": running %" PRIu32 " jobs\n",
                     who.c_str(), jobs, boids, wanted, jobs);
    }
    return jobs;
}

// Rank 0: locks the folder for the sweep's life and finds the runs still missing. Returns the
// exit status of a refusal or failure, nullopt to go on.
std::optional<int> Prepare(const SweepOptions& sweep, std::optional<FolderLock>& lock,
                           std::vector<std::uint32_t>& missing) {
    try {
        lock.emplace(sweep.outDir);
        missing = PrepareFolder(sweep);
        return std::nullopt;
    } catch (const Avidrift::UsageError& error) {
        std::fprintf(stderr, "avidrift-sweep: %s\n", error.what());
        return kRefused;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "avidrift-sweep: %s\n", error.what());
        return kFailed;
    }
}

// Rank 0 after the runs.
int Finish(const SweepOptions& sweep, bool complete) {
    try {
        WriteSummary(sweep, complete);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "avidrift-sweep: %s\n", error.what());
        return kFailed;
    }
    return complete ? 0 : kFailed;
}

int Main(int argc, char** argv, int rank, int ranks) {
    SweepOptions sweep;
    if (const std::optional<int> status = ParseCommandLine(argc, argv, rank, sweep)) {
        return *status;
    }
    const std::uint32_t jobs = ChooseJobs(sweep, rank, ranks);
    int status = jobs == 0 ? kFailed : 0;
    MPI_Allreduce(MPI_IN_PLACE, &status, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    if (status != 0) {
        return status;
    }

    std::optional<FolderLock> lock;
    std::vector<std::uint32_t> missing;
    if (rank == 0) {
        status = Prepare(sweep, lock, missing).value_or(0);
    }
    MPI_Bcast(&status, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (status != 0) {
        return status;
    }
    if (rank != 0) {
        Relay(sweep, jobs);
        return 0;
    }
    bool complete = false;
    try {
        complete = Coordinator(sweep, missing, jobs, ranks).Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "avidrift-sweep: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "avidrift-sweep: unknown error while handing out runs\n");
    }
    if (!complete && ranks > 1) {
        // The other ranks are still running; only MPI can stop them. Finished runs stay.
        MPI_Abort(MPI_COMM_WORLD, kFailed);
    }
    return Finish(sweep, complete);
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
