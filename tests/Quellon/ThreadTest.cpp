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
// thread and let a test hold it at a chosen point. The test reads the notes only where a latch
// or join orders the read after the writes. It also stands behind a real Logic or Render.
class ScriptedCallable : public IThreadCallable, public ILogicCallable, public IRenderCallable {
public:
    void OnMouseEvent(float, std::shared_ptr<IUserEvent>) override {}
    void OnCustomEvent(float, std::shared_ptr<IUserEvent>) override {}
    void Init() override {
        m_calls.push_back("Init");
        m_threadId = std::this_thread::get_id();
        Call(m_init);
    }
    void PostInit() override {
        m_calls.push_back("PostInit");
        Call(m_postInit);
    }
    void Update(float elapsedSeconds) override {
        if (m_updates++ == 0) {
            m_calls.push_back("Update");
            m_firstElapsedSeconds = elapsedSeconds;
        }
        if (m_update) {
            m_update(m_updates);
        }
    }
    void RequestStop() override { ++m_stopRequests; }
    // Whatever ends a subsystem thread, its callable is shut down once, last, on that thread: the
    // renderer relies on this to release its context before the window goes away.
    void Shutdown() override {
        m_calls.push_back(std::this_thread::get_id() == m_threadId ? "Shutdown" : "elsewhere");
    }

    std::function<void()> m_init;
    std::function<void()> m_postInit;
    std::function<void(int)> m_update;  // given the number of this update, from 1
    Calls m_calls;
    std::thread::id m_threadId;
    int m_updates = 0;
    float m_firstElapsedSeconds = -1.0f;
    std::atomic<int> m_stopRequests{0};

private:
    static void Call(const std::function<void()>& hook) {
        if (hook) {
            hook();
        }
    }
};

std::string Describe(const std::exception_ptr& failure) {
    try {
        if (failure) {
            std::rethrow_exception(failure);
        }
        return "none";
    } catch (const Exception& e) {
        return "Exception: " + WideToUtf8(e.GetMessage());
    } catch (const std::exception& e) {
        return std::string("std::exception: ") + e.what();
    }
}

// Two subsystems that start together.
struct Partners {
    Barrier m_initBarrier{2};
    Barrier m_readyBarrier{2};
    std::shared_ptr<ScriptedCallable> m_first = std::make_shared<ScriptedCallable>();
    std::shared_ptr<ScriptedCallable> m_second = std::make_shared<ScriptedCallable>();
};

// Left running, the threads are stopped and joined by their destructors; a thread still
// waiting for its partner is stopped as well.
TEST(Thread, RunsInitThenPostInitWithPartnerThenUpdates) {
    Partners p;
    std::latch threeUpdatesEach(2);
    for (ScriptedCallable* callable : {p.m_first.get(), p.m_second.get()}) {
        callable->m_update = [&](int update) {
            if (update == 3) {
                threeUpdatesEach.count_down();
            }
        };
    }
    {
        Thread firstThread(p.m_first, &p.m_initBarrier, &p.m_readyBarrier);
        // Init has finished, and PostInit waits for the partner's Init.
        EXPECT_EQ(p.m_first->m_calls, Calls{"Init"});
        Thread secondThread(p.m_second, &p.m_initBarrier, &p.m_readyBarrier);
        threeUpdatesEach.wait();
    }
    for (ScriptedCallable* callable : {p.m_first.get(), p.m_second.get()}) {
        EXPECT_EQ(callable->m_calls, (Calls{"Init", "PostInit", "Update", "Shutdown"}));
        EXPECT_EQ(callable->m_stopRequests.load(), 1);
    }
    EXPECT_EQ(p.m_first.use_count(), 1);
    Barrier initBarrier(2);
    Barrier readyBarrier(2);
    auto alone = std::make_shared<ScriptedCallable>();
    { Thread thread(alone, &initBarrier, &readyBarrier); }
    EXPECT_EQ(alone->m_calls, (Calls{"Init", "Shutdown"}));
    EXPECT_EQ(alone.use_count(), 1);
}

// Under ThreadSanitizer a frame read outside the read lock shows up as a race even when no
// publish happens to be torn.
TEST(Thread, RenderPostInitSeesLogicFirstStateAndFramesSeeWholePublishes) {
    Partners p;
    auto working = std::make_shared<ValueScene>(0);
    auto shared = std::make_shared<ValueScene>(0);
    std::latch enough(2);
    int tornFrames = 0;
    int postInitSaw = -1;
    p.m_first->m_init = [&] { working->Set(42); };
    p.m_first->m_update = [&](int update) {
        working->Set(working->m_first + 1);
        if (update == 50) {
            enough.count_down();
        }
    };
    p.m_second->m_postInit = [&] { postInitSaw = shared->m_first; };
    p.m_second->m_update = [&](int frame) {
        tornFrames += shared->m_first != shared->m_second ? 1 : 0;
        if (frame == 50) {
            enough.count_down();
        }
    };
    {
        Thread render(std::make_shared<Render>(p.m_second, shared), &p.m_initBarrier,
                      &p.m_readyBarrier);
        Thread logic(std::make_shared<Logic>(p.m_first, working, shared), &p.m_initBarrier,
                     &p.m_readyBarrier);
        enough.wait();
    }
    EXPECT_EQ(postInitSaw, 42);
    EXPECT_EQ(tornFrames, 0);
}

// A thread that did not wait at the ready barrier would start updating with almost nothing
// elapsed while its partner is held in PostInit.
TEST(Thread, FirstUpdateCoversWholeStartUp) {
    Partners p;
    std::latch firstUpdate(1);
    std::chrono::steady_clock::time_point start;
    std::chrono::duration<float> held{};
    p.m_second->m_postInit = [&] {
        start = std::chrono::steady_clock::now();
        while ((held = std::chrono::steady_clock::now() - start).count() < 0.02f) {
        }
    };
    p.m_first->m_update = [&](int update) {
        if (update == 1) {
            firstUpdate.count_down();
        }
    };
    {
        Thread measured(p.m_first, &p.m_initBarrier, &p.m_readyBarrier);
        Thread partner(p.m_second, &p.m_initBarrier, &p.m_readyBarrier);
        firstUpdate.wait();
    }
    EXPECT_GE(p.m_first->m_firstElapsedSeconds, held.count() * (1.0f - 1e-4f));
}

// Like a large flock step, the update runs until told to stop, so the join never returns unless
// the stop reaches it.
TEST(Thread, StopAbandonsLongLogicUpdatePromptlyAndPublishesNothingOfIt) {
    auto working = std::make_shared<ValueScene>(0);
    auto shared = std::make_shared<ValueScene>(0);
    auto logic = std::make_shared<ScriptedCallable>();
    std::latch inStep(1);
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

TEST(Thread, InitFailureIsRethrownByConstructorWithItsMessage) {
    Partners p;
    p.m_first->m_init = [] { throw Exception(L"init failed"); };
    std::exception_ptr caught;
    try {
        Thread thread(p.m_first, &p.m_initBarrier, &p.m_readyBarrier);
    } catch (...) {
        caught = std::current_exception();
    }
    EXPECT_EQ(Describe(caught), "Exception: init failed");
    EXPECT_EQ(p.m_first->m_calls, (Calls{"Init", "Shutdown"}));
    EXPECT_EQ(p.m_first.use_count(), 1);
}

// A std::exception from Init, or no callable at all: the partner waiting at the init barrier
// is released and ends on its own, without a failure of its own.
TEST(Thread, StartFailureReleasesPartnerWaitingAtInitBarrier) {
    for (const bool emptyCallable : {false, true}) {
        Barrier initBarrier(2);
        Barrier readyBarrier(2);
        auto partner = std::make_shared<ScriptedCallable>();
        auto failing = std::make_shared<ScriptedCallable>();
        failing->m_init = [] { throw std::runtime_error("render init failed"); };
        Thread partnerThread(partner, &initBarrier, &readyBarrier);
        std::exception_ptr caught;
        try {
            Thread failingThread(emptyCallable ? std::shared_ptr<IThreadCallable>() : failing,
                                 &initBarrier, &readyBarrier);
        } catch (...) {
            caught = std::current_exception();
        }
        EXPECT_EQ(Describe(caught),
                  emptyCallable ? "Exception: Invalid parameter: !callable in Thread::Thread"
                                : "std::exception: render init failed");
        partnerThread.Join();
        EXPECT_EQ(partner->m_calls, (Calls{"Init", "Shutdown"}));
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
        (inPostInit ? failing->m_postInit : failing->m_init) = [&] {
            if (inPostInit) {
                throw Exception(L"frame failed");
            }
            failing->m_update = [](int) { throw Exception(L"frame failed"); };
        };
        std::latch reported(1);
        std::atomic<int> reports{0};
        std::thread::id reportedOn;
        Thread failingThread(failing, &initBarrier, &readyBarrier, [&] {
            reportedOn = std::this_thread::get_id();
            ++reports;
            reported.count_down();
        });
        Thread partnerThread(partner, &initBarrier, &readyBarrier);
        reported.wait();
        if (!inPostInit) {
            partnerThread.RequestStop();
        }
        // Released from the ready barrier, a partner of a failed PostInit ends without looping.
        partnerThread.Join();
        failingThread.Join();
        if (inPostInit) {
            EXPECT_EQ(partner->m_updates, 0);
        }
        EXPECT_EQ(Describe(failingThread.GetFailure()), "Exception: frame failed");
        EXPECT_THROW(failingThread.RethrowFailure(), Exception);
        EXPECT_EQ(reports.load(), 1);
        EXPECT_EQ(reportedOn, failing->m_threadId);
        EXPECT_EQ(failing->m_updates, inPostInit ? 0 : 1);
        EXPECT_EQ(failing->m_calls.back(), "Shutdown");
        EXPECT_EQ(Describe(partnerThread.GetFailure()), "none");
        EXPECT_NO_THROW(partnerThread.RethrowFailure());
    }
}

}  // namespace
}  // namespace Quellon
