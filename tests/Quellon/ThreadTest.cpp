#include "Quellon/Thread.h"

#include <atomic>
#include <chrono>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Quellon/Exception.h"
#include "Quellon/ILogicCallable.h"
#include "Quellon/IRenderCallable.h"
#include "Quellon/IThreadCallable.h"
#include "Quellon/Logic.h"
#include "Quellon/Render.h"
#include "Quellon/Text.h"
#include "ValueScene.h"

namespace Quellon {
namespace {

using QuellonTest::ValueScene;
using Calls = std::vector<std::string>;

// Notes what the Thread calls, a run of updates as one entry; the hooks run on the subsystem
// thread and let a test hold it at a chosen point. The test reads the notes only where a
// barrier, latch or join orders the read after the writes. It also stands behind a real Logic
// or Render.
class ScriptedCallable : public IThreadCallable, public ILogicCallable, public IRenderCallable {
public:
    void OnMouseEvent(float, std::shared_ptr<IUserEvent>) override {}
    void OnCustomEvent(float, std::shared_ptr<IUserEvent>) override {}
    void Init() override {
        m_calls.push_back("Init");
        m_threadId = std::this_thread::get_id();
        if (m_init) {
            m_init();
        }
    }
    void PostInit() override {
        m_calls.push_back("PostInit");
        if (m_postInit) {
            m_postInit();
        }
    }
    void Update(float elapsedSeconds) override {
        if (m_updates == 0) {
            m_calls.push_back("Update");
            m_firstElapsedSeconds = elapsedSeconds;
        }
        ++m_updates;
        if (m_update) {
            m_update(m_updates);
        }
    }
    void RequestStop() override { m_stopRequests.fetch_add(1); }
    void Shutdown() override {
        ++m_shutdowns;
        m_shutdownThreadId = std::this_thread::get_id();
        m_updatesBeforeShutdown = m_updates;
    }

    std::function<void()> m_init;
    std::function<void()> m_postInit;
    // Given the number of this update, from 1.
    std::function<void(int)> m_update;
    Calls m_calls;
    std::thread::id m_threadId;
    int m_updates = 0;
    float m_firstElapsedSeconds = -1.0f;
    std::atomic<int> m_stopRequests{0};
    int m_shutdowns = 0;
    std::thread::id m_shutdownThreadId;
    int m_updatesBeforeShutdown = -1;
};

// Whatever ends a subsystem thread, its callable is shut down once, last, on that thread: the
// renderer relies on this to release its context before the window goes away.
void ExpectShutDownLastOnItsThread(const ScriptedCallable& callable) {
    EXPECT_EQ(callable.m_shutdowns, 1);
    EXPECT_EQ(callable.m_shutdownThreadId, callable.m_threadId);
    EXPECT_EQ(callable.m_updatesBeforeShutdown, callable.m_updates);
}

std::string Describe(const std::exception_ptr& failure) {
    if (!failure) {
        return "none";
    }
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& e) {
        return "Exception: " + WideToUtf8(e.GetMessage());
    } catch (const std::exception& e) {
        return std::string("std::exception: ") + e.what();
    } catch (...) {
        return "unknown";
    }
}

// Left running, the threads are stopped and joined by their destructors.
TEST(Thread, RunsInitThenPostInitWithPartnerThenUpdates) {
    Barrier initBarrier(2);
    Barrier readyBarrier(2);
    auto first = std::make_shared<ScriptedCallable>();
    auto second = std::make_shared<ScriptedCallable>();
    std::latch threeUpdatesEach(2);
    for (ScriptedCallable* callable : {first.get(), second.get()}) {
        callable->m_update = [&](int update) {
            if (update == 3) {
                threeUpdatesEach.count_down();
            }
        };
    }
    {
        Thread firstThread(first, &initBarrier, &readyBarrier);
        // Init has finished, and PostInit waits for the partner's Init.
        EXPECT_EQ(first->m_calls, Calls{"Init"});
        Thread secondThread(second, &initBarrier, &readyBarrier);
        threeUpdatesEach.wait();
    }
    for (ScriptedCallable* callable : {first.get(), second.get()}) {
        EXPECT_EQ(callable->m_calls, (Calls{"Init", "PostInit", "Update"}));
        EXPECT_GE(callable->m_updates, 3);
        EXPECT_EQ(callable->m_stopRequests.load(), 1);
        ExpectShutDownLastOnItsThread(*callable);
    }
    EXPECT_EQ(first.use_count(), 1);
}

// Under ThreadSanitizer a frame read outside the read lock shows up as a race even when no
// publish happens to be torn.
TEST(Thread, RenderPostInitSeesLogicFirstStateAndFramesSeeWholePublishes) {
    constexpr int kEnough = 50;
    auto working = std::make_shared<ValueScene>(0);
    auto shared = std::make_shared<ValueScene>(0);
    auto logic = std::make_shared<ScriptedCallable>();
    auto render = std::make_shared<ScriptedCallable>();
    std::latch enough(2);
    int tornFrames = 0;
    int postInitSaw = -1;
    logic->m_init = [&] { working->Set(42); };
    logic->m_update = [&](int update) {
        working->Set(working->m_first + 1);
        if (update == kEnough) {
            enough.count_down();
        }
    };
    render->m_postInit = [&] { postInitSaw = shared->m_first; };
    render->m_update = [&](int frame) {
        tornFrames += shared->m_first != shared->m_second ? 1 : 0;
        if (frame == kEnough) {
            enough.count_down();
        }
    };
    Barrier initBarrier(2);
    Barrier readyBarrier(2);
    Thread renderThread(std::make_shared<Render>(render, shared), &initBarrier, &readyBarrier);
    Thread logicThread(std::make_shared<Logic>(logic, working, shared), &initBarrier,
                       &readyBarrier);
    enough.wait();
    renderThread.RequestStop();
    logicThread.RequestStop();
    renderThread.Join();
    logicThread.Join();

    EXPECT_EQ(postInitSaw, 42);
    EXPECT_EQ(tornFrames, 0);
}

// Held in the partner's PostInit, a thread that did not wait at the ready barrier would start
// updating with almost nothing elapsed.
TEST(Thread, FirstUpdateCoversWholeStartUp) {
    for (const bool holdPartnerPostInit : {false, true}) {
        SCOPED_TRACE(holdPartnerPostInit ? "held in partner's PostInit" : "held in own Init");
        Barrier initBarrier(2);
        Barrier readyBarrier(2);
        auto measured = std::make_shared<ScriptedCallable>();
        auto partner = std::make_shared<ScriptedCallable>();
        std::latch held(1);
        std::latch release(1);
        std::latch firstUpdate(1);
        const auto hold = [&] {
            held.count_down();
            release.wait();
        };
        (holdPartnerPostInit ? partner->m_postInit : measured->m_init) = hold;
        measured->m_update = [&](int update) {
            if (update == 1) {
                firstUpdate.count_down();
            }
        };
        double heldSeconds = 0.0;
        std::thread holder([&] {
            held.wait();
            const auto start = std::chrono::steady_clock::now();
            while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(20)) {
                std::this_thread::yield();
            }
            heldSeconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            release.count_down();
        });
        Thread measuredThread(measured, &initBarrier, &readyBarrier);
        Thread partnerThread(partner, &initBarrier, &readyBarrier);
        firstUpdate.wait();
        measuredThread.RequestStop();
        partnerThread.RequestStop();
        measuredThread.Join();
        partnerThread.Join();
        holder.join();

        EXPECT_GE(measured->m_firstElapsedSeconds, heldSeconds * (1.0 - 1e-4));
    }
}

TEST(Thread, StopAbandonsLongLogicUpdatePromptlyAndPublishesNothingOfIt) {
    auto working = std::make_shared<ValueScene>(0);
    auto shared = std::make_shared<ValueScene>(0);
    auto logic = std::make_shared<ScriptedCallable>();
    std::latch inStep(1);
    // Like a large flock step: it runs until told to stop, so the join below never returns
    // unless the stop reaches it.
    logic->m_update = [&](int) {
        working->Set(99);
        inStep.count_down();
        while (logic->m_stopRequests.load() == 0) {
            std::this_thread::yield();
        }
    };
    Barrier initBarrier(1);
    Barrier readyBarrier(1);
    Thread thread(std::make_shared<Logic>(logic, working, shared), &initBarrier, &readyBarrier);
    inStep.wait();
    thread.RequestStop();
    thread.Join();

    EXPECT_EQ(logic->m_updates, 1);
    EXPECT_EQ(shared->m_first, 0);
}

// A std::exception from Init is rethrown just the same; the start failure below shows that.
TEST(Thread, InitFailureIsRethrownByConstructorWithItsMessage) {
    Barrier initBarrier(2);
    Barrier readyBarrier(2);
    auto callable = std::make_shared<ScriptedCallable>();
    callable->m_init = [] { throw Exception(L"init failed"); };
    std::exception_ptr caught;
    try {
        Thread thread(callable, &initBarrier, &readyBarrier);
    } catch (...) {
        caught = std::current_exception();
    }
    EXPECT_EQ(Describe(caught), "Exception: init failed");
    EXPECT_EQ(callable->m_calls, Calls{"Init"});
    ExpectShutDownLastOnItsThread(*callable);
    // The thread has ended and let go of the callable.
    EXPECT_EQ(callable.use_count(), 1);
}

TEST(Thread, StartFailureReleasesPartnerWaitingAtInitBarrier) {
    const struct {
        bool emptyCallable;
        const char* expected;
    } cases[] = {
        {false, "std::exception: render init failed"},
        {true, "Exception: Invalid parameter: !callable in Thread::Thread"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        Barrier initBarrier(2);
        Barrier readyBarrier(2);
        auto partner = std::make_shared<ScriptedCallable>();
        auto failing = std::make_shared<ScriptedCallable>();
        failing->m_init = [] { throw std::runtime_error("render init failed"); };
        Thread partnerThread(partner, &initBarrier, &readyBarrier);
        std::exception_ptr caught;
        try {
            Thread failingThread(c.emptyCallable ? std::shared_ptr<IThreadCallable>() : failing,
                                 &initBarrier, &readyBarrier);
        } catch (...) {
            caught = std::current_exception();
        }
        EXPECT_EQ(Describe(caught), c.expected);
        // No stop request: the partner ends on its own.
        partnerThread.Join();
        EXPECT_EQ(partner->m_calls, Calls{"Init"});
        ExpectShutDownLastOnItsThread(*partner);
        EXPECT_EQ(Describe(partnerThread.GetFailure()), "none");
    }
}

TEST(Thread, LoopFailureIsKeptReportedAndReleasesPartner) {
    for (const bool inPostInit : {true, false}) {
        SCOPED_TRACE(inPostInit ? "PostInit fails" : "Update fails");
        Barrier initBarrier(2);
        Barrier readyBarrier(2);
        auto failing = std::make_shared<ScriptedCallable>();
        auto partner = std::make_shared<ScriptedCallable>();
        if (inPostInit) {
            failing->m_postInit = [] { throw Exception(L"frame failed"); };
        } else {
            failing->m_update = [](int) { throw Exception(L"frame failed"); };
        }
        std::latch reported(1);
        std::atomic<int> reports{0};
        std::thread::id reportedOn;
        Thread failingThread(failing, &initBarrier, &readyBarrier, [&] {
            reportedOn = std::this_thread::get_id();
            reports.fetch_add(1);
            reported.count_down();
        });
        Thread partnerThread(partner, &initBarrier, &readyBarrier);
        reported.wait();
        if (inPostInit) {
            // Released from the ready barrier, the partner ends without looping.
            partnerThread.Join();
            EXPECT_EQ(partner->m_updates, 0);
        } else {
            partnerThread.RequestStop();
            partnerThread.Join();
        }
        failingThread.Join();

        EXPECT_EQ(Describe(failingThread.GetFailure()), "Exception: frame failed");
        EXPECT_THROW(failingThread.RethrowFailure(), Exception);
        EXPECT_EQ(reports.load(), 1);
        EXPECT_EQ(reportedOn, failing->m_threadId);
        EXPECT_EQ(failing->m_updates, inPostInit ? 0 : 1);
        ExpectShutDownLastOnItsThread(*failing);
        EXPECT_EQ(Describe(partnerThread.GetFailure()), "none");
        EXPECT_NO_THROW(partnerThread.RethrowFailure());
    }
}

TEST(Thread, DestructorStopsAndJoinsThreadWaitingForItsPartner) {
    Barrier initBarrier(2);
    Barrier readyBarrier(2);
    auto callable = std::make_shared<ScriptedCallable>();
    { Thread thread(callable, &initBarrier, &readyBarrier); }
    EXPECT_EQ(callable.use_count(), 1);
    EXPECT_EQ(callable->m_stopRequests.load(), 1);
    EXPECT_EQ(callable->m_calls, Calls{"Init"});
    ExpectShutDownLastOnItsThread(*callable);
}

}  // namespace
}  // namespace Quellon
