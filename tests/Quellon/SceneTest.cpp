#include "Quellon/Scene.h"

#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <boost/thread/exceptions.hpp>

#include "Quellon/Exception.h"
#include "ValueScene.h"

namespace Quellon {
namespace {

using QuellonTest::ValueScene;

// Enough yields for a writer or reader that is not held back to get where it must not be.
constexpr int kChances = 2000;

TEST(Scene, AssignWaitsForFrameInProgress) {
    auto scene = std::make_shared<ValueScene>(1);
    auto source = std::make_shared<ValueScene>(2);
    std::atomic<bool> frameEnded{false};
    std::atomic<bool> copyStarted{false};
    bool copyStartedAfterFrame = false;
    scene->m_onCopy = [&] {
        copyStartedAfterFrame = frameEnded.load();
        copyStarted.store(true);
    };

    scene->BeginRead();
    std::latch writerStarting(1);
    std::thread writer([&] {
        writerStarting.count_down();
        scene->Assign(source);
    });
    writerStarting.wait();
    for (int i = 0; i < kChances && !copyStarted.load(); ++i) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(copyStarted.load());
    EXPECT_EQ(scene->m_first, 1);
    frameEnded.store(true);
    scene->EndRead();
    writer.join();

    EXPECT_TRUE(copyStartedAfterFrame);
    EXPECT_EQ(scene->m_first, 2);
    EXPECT_EQ(scene->m_second, 2);
}

TEST(Scene, ReadWaitsForCopyInProgressAndSeesItWhole) {
    auto scene = std::make_shared<ValueScene>(1);
    auto source = std::make_shared<ValueScene>(2);
    std::latch halfCopied(1);
    std::latch finishCopy(1);
    scene->m_midCopy = [&] {
        halfCopied.count_down();
        finishCopy.wait();
    };
    std::thread writer([&] { scene->Assign(source); });
    halfCopied.wait();

    std::atomic<bool> reading{false};
    int seenFirst = 0;
    int seenSecond = 0;
    std::latch readerStarting(1);
    std::thread reader([&] {
        readerStarting.count_down();
        scene->BeginRead();
        reading.store(true);
        seenFirst = scene->m_first;
        seenSecond = scene->m_second;
        scene->EndRead();
    });
    readerStarting.wait();
    for (int i = 0; i < kChances && !reading.load(); ++i) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(reading.load());
    finishCopy.count_down();
    writer.join();
    reader.join();

    EXPECT_EQ(seenFirst, 2);
    EXPECT_EQ(seenSecond, 2);
}

// A writer on this thread would wait for itself if a misused read lock had been left held.
TEST(Scene, MisusedReadLockThrowsLockErrorAndChangesNothing) {
    ValueScene scene(1);
    auto source = std::make_shared<ValueScene>(2);
    EXPECT_THROW(scene.EndRead(), boost::lock_error);
    scene.Assign(source);
    scene.BeginRead();
    EXPECT_THROW(scene.BeginRead(), boost::lock_error);
    // Still held, and only once.
    EXPECT_NO_THROW(scene.EndRead());
    EXPECT_THROW(scene.EndRead(), boost::lock_error);
    scene.Assign(source);
    EXPECT_EQ(scene.m_second, 2);
}

TEST(Scene, FailedAssignLeavesSceneUnlocked) {
    ValueScene scene(1);
    auto source = std::make_shared<ValueScene>(2);
    EXPECT_THROW(scene.Assign(nullptr), Exception);
    scene.m_midCopy = [] { throw std::runtime_error("copy failed"); };
    EXPECT_THROW(scene.Assign(source), std::runtime_error);
    scene.m_midCopy = nullptr;
    // Both would wait forever on an exclusive ownership that was never released.
    scene.BeginRead();
    scene.EndRead();
    scene.Assign(source);
    EXPECT_EQ(scene.m_second, 2);
}

// A read lock another thread still holds must not keep the scene's destruction waiting; the
// wait is bounded as a hang guard, not a speed limit.
TEST(Scene, DestroyingSceneReleasesReadLockHeldByAnotherThread) {
    auto scene = std::make_shared<ValueScene>();
    std::thread reader([&] { scene->BeginRead(); });
    reader.join();
    auto destroyed = std::make_shared<std::promise<void>>();
    std::future<void> done = destroyed->get_future();
    std::thread([scene = std::move(scene), destroyed]() mutable {
        scene.reset();
        destroyed->set_value();
    }).detach();
    ASSERT_EQ(done.wait_for(std::chrono::minutes(1)), std::future_status::ready);
}

}  // namespace
}  // namespace Quellon
