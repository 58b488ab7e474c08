#include "Quellon/Barrier.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Quellon/Exception.h"

namespace Quellon {
namespace {

TEST(Barrier, ReleasesEachGenerationOnlyWhenAllPartiesHaveArrivedAndNoneOnceCancelled) {
    constexpr int kGenerations = 200;
    // A barrier of no parties could never release anyone.
    EXPECT_THROW(Barrier(0), Exception);
    for (const int parties : {1, 2, 3}) {
        SCOPED_TRACE(parties);
        Barrier barrier(parties);
        std::atomic<int> arrivals{0}, faults{0};
        auto party = [&] {
            for (int generation = 0; generation < kGenerations; ++generation) {
                arrivals.fetch_add(1);
                const bool released = barrier.Wait();
                // All have arrived for this generation, and none is past the next.
                const int seen = arrivals.load();
                if (!released || seen < (generation + 1) * parties ||
                    seen > (generation + 2) * parties - 1) {
                    faults.fetch_add(1);
                }
            }
        };
        std::vector<std::thread> others;
        for (int i = 1; i < parties; ++i) {
            others.emplace_back(party);
        }
        party();
        for (std::thread& other : others) {
            other.join();
        }
        EXPECT_EQ(faults.load(), 0);
        EXPECT_EQ(arrivals.load(), kGenerations * parties);
    }
    // Three arrivals would complete a generation if a cancelled barrier still counted them. The
    // thread tests see a cancel release a partner already waiting.
    Barrier cancelled(3);
    cancelled.Cancel();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(cancelled.Wait());
    }
}

}  // namespace
}  // namespace Quellon
