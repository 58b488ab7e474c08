#include "SweepWorkers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace Avidrift {
namespace {

// Answers reports as the sweep's coordinator does, handing out runs 0..runs-1; returns the
// failures reported, in the order they came.
std::vector<WorkerReport> HandOut(SweepWorkers& workers, std::uint32_t count, std::uint32_t runs) {
    std::vector<WorkerReport> failures;
    std::uint32_t next = 0;
    for (std::uint32_t active = count; active > 0;) {
        const WorkerReport report = *workers.GetQueue().Take(std::nullopt);
        const bool failed = !report.failure.empty();
        if (failed) {
            failures.push_back(report);
        }
        const std::int64_t answer = !failed && next < runs ? std::int64_t{next++} : -1;
        workers.GetQueue().Answer(report.worker, answer);
        active -= answer < 0;
    }
    return failures;
}

TEST(SweepWorkers, AFailedRunIsReportedWithItsRunWhateverItThrows) {
    const struct {
        const char* name;
        void (*fail)();
        std::string message;
    } cases[] = {
        {"std::exception", [] { throw std::runtime_error("disk full"); }, "disk full"},
        {"std::bad_alloc", [] { throw std::bad_alloc(); }, "not enough memory for this flock"},
        {"anything else", [] { throw 42; }, "unknown error"},
    };
    for (const auto& c : cases) {
        std::atomic<int> done{0};
        SweepWorkers workers(2, [&] {
            return [&](std::uint32_t run) {
                if (run == 3) {
                    c.fail();
                }
                ++done;
                return 0.0;
            };
        });
        const std::vector<WorkerReport> failures = HandOut(workers, 2, 6);
        ASSERT_EQ(1u, failures.size()) << c.name;
        EXPECT_EQ(3, failures[0].failedRun) << c.name;
        EXPECT_EQ(c.message, failures[0].failure) << c.name;
        EXPECT_EQ(5, done.load()) << c.name;
    }
}

TEST(SweepWorkers, AFailedRunnerIsReportedWithoutARun) {
    SweepWorkers workers(1, []() -> SweepWorkers::Runner { throw std::runtime_error("no pool"); });
    const std::vector<WorkerReport> failures = HandOut(workers, 1, 1);
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(-1, failures[0].failedRun);
    EXPECT_EQ("no pool", failures[0].failure);
}

// The coordinator leaves (an exception) while workers wait for their answers: the workers must
// hear "no more" and be joined, not wait forever.
TEST(SweepWorkers, WorkersAreReleasedWhenTheCoordinatorLeaves) {
    std::atomic<int> done{0};
    {
        SweepWorkers workers(3, [&] {
            return [&](std::uint32_t) {
                ++done;
                return 0.0;
            };
        });
        // One worker gets a run; its next request and the other two are never answered.
        const WorkerReport first = *workers.GetQueue().Take(std::nullopt);
        workers.GetQueue().Answer(first.worker, 0);
    }
    EXPECT_LE(done.load(), 1);
}

}  // namespace
}  // namespace Avidrift
