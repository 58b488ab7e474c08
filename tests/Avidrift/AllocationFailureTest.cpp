// AddressSanitizer aborts on an impossible request, and real exhaustion would take the machine:
// the allocation functions here throw from a given size on, and leave the rest to malloc.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/FlockMemory.h"
#include "Avidrift/Flock/FlockStep.h"
#include "Avidrift/Tasks/TaskScheduler.h"
#include "Avidrift/TestLogic.h"
#include "Avidrift/TestScene.h"
#include "Quellon/UserEvent.h"

namespace {

std::atomic<std::size_t> g_failFrom{std::numeric_limits<std::size_t>::max()};

void* AllocateOrNull(std::size_t size) noexcept {
    return size >= g_failFrom.load(std::memory_order_relaxed) ? nullptr
                                                              : std::malloc(size == 0 ? 1 : size);
}

// Makes allocations of at least `bytes` fail while it lives.
struct FailingAllocations {
    explicit FailingAllocations(std::size_t bytes) { g_failFrom = bytes; }
    ~FailingAllocations() { g_failFrom = std::numeric_limits<std::size_t>::max(); }
};

}  // namespace

// Every form, so that nothing allocated here reaches the sanitizer's own operators or the other
// way round (it would report the mismatch).
void* operator new(std::size_t size) {
    void* memory = AllocateOrNull(size);
    return memory != nullptr ? memory : throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateOrNull(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

namespace Avidrift {
namespace {

constexpr std::size_t kMegabyte = 1 << 20;

bool SameBoids(const FlockData& a, const FlockData& b) {
    const std::size_t n = a.boidCount;
    return n == b.boidCount &&
           std::memcmp(a.positions.get(), b.positions.get(), n * sizeof(Quellon::Vector3)) == 0 &&
           std::memcmp(a.velocities.get(), b.velocities.get(), n * sizeof(Quellon::Vector3)) == 0;
}

// A flock size that does not fit: the flock runs on, standard error says why, and the settings
// page learns which size runs.
TEST(AllocationFailure, FlockSizeBeyondMemoryKeepsTheRunningFlock) {
    auto scene = std::make_shared<TestScene>();
    scene->m_flock.maxFlockSize = 4'000'000;
    // A machine that claims plenty, so that the allocation itself fails.
    TestLogic logic(scene,
                    {.availableMemory = [] { return std::uint64_t{1} << 40; }, .stepBegins = {}});
    logic.Init();
    const auto setSize = [&](float size) {
        logic.OnCustomEvent(0.0f,
                            std::make_shared<Quellon::ValueChangedEvent>(size, kFlockSizeSetting));
    };
    setSize(200);
    logic.Update(0.016f);
    const FlockData before = scene->m_flock;

    testing::internal::CaptureStderr();
    {
        FailingAllocations failing(kMegabyte);
        setSize(3'000'000);
    }
    const std::string error = testing::internal::GetCapturedStderr();
    EXPECT_EQ("avidrift: not enough memory for a flock of 3000000 boids; it keeps 200\n", error);
    EXPECT_TRUE(SameBoids(before, scene->m_flock));
    EXPECT_EQ(2u, scene->GetFlockSizeAnswer().handled);
    EXPECT_EQ(200u, scene->GetFlockSizeAnswer().boidCount);

    logic.Update(0.016f);
    EXPECT_EQ(200u, scene->m_flock.boidCount);
}

// Linux overcommits, so a flock beyond the machine would be killed, not throw: the size is refused
// beforehand, from what the address-space limit (set in the child) leaves. The machine's free
// memory and cgroups are left out, so a small machine does not answer with less.
TEST(AllocationFailureDeathTest, FlockSizeBeyondTheAddressSpaceLimitIsRefused) {
    // Everything in the child: a worker pool made before the fork would not survive it.
    const auto check = [] {
        auto scene = std::make_shared<TestScene>();
        scene->m_flock.maxFlockSize = 100'000'000;
        // The real limit and address space, without the machine's free memory and cgroups.
        TestLogic logic(scene, {.availableMemory =
                                    [] {
                                        MemorySources sources;
                                        sources.meminfo = "/nonexistent";
                                        sources.processCgroups = "/nonexistent";
                                        return GetAvailableMemory(sources);
                                    },
                                .stepBegins = {}});
        logic.Init();
        rlim_t pages = 0;  // the address space in use, as VmSize
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t cap = pages * sysconf(_SC_PAGESIZE) + 256 * kMegabyte;
        const rlimit limit{cap, cap};
        setrlimit(RLIMIT_AS, &limit);
        logic.OnCustomEvent(
            0.0f, std::make_shared<Quellon::ValueChangedEvent>(20'000'000, kFlockSizeSetting));
        std::exit(scene->m_flock.boidCount == 1 ? 0 : 1);
    };
    EXPECT_EXIT(check(), testing::ExitedWithCode(0),
                "^avidrift: not enough memory for a flock of 20000000 boids \\(needs [0-9]+ MiB, "
                "2[0-9][0-9] MiB available\\); it keeps 1\n$");
}

// A step that cannot size its buffers throws bad_alloc (an error box), and a resize that cannot
// allocate throws too; neither touches the flock.
TEST(AllocationFailure, StepOrResizeThatCannotAllocateLeavesTheFlockAlone) {
    TaskScheduler scheduler;
    FlockStep step(scheduler);
    FlockData read;
    read.SetFlockSize(100'000);
    const FlockData before = read;
    FlockData write;
    {
        FailingAllocations failing(kMegabyte / 4);
        EXPECT_THROW(read.SetFlockSize(1'000'000), std::bad_alloc);
        EXPECT_THROW(step.Run(read, write, 2, 0.016f), std::bad_alloc);
    }
    EXPECT_TRUE(SameBoids(before, read));
    EXPECT_TRUE(step.Run(read, write, 2, 0.016f));
}

}  // namespace
}  // namespace Avidrift
