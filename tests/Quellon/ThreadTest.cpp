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
#include "Quellon/IThreadCallable.h"
#include "Quellon/Logic.h"
#include "Quellon/Text.h"
#include "ValueScene.h"

namespace Quellon {
namespace {

using QuellonTest::ValueScene;
using Calls = std::vector<std::string>;

// Notes the calls (a run of updates as one entry) on the subsystem thread; the test reads them
// only after a latch or join. The hooks hold the thread where a test wants it.
class ScriptedCallable : public IThreadCallable, public ILogicCallable {
public:
    void OnMouseEvent(float, std::shared_ptr<IUserEvent>) override {}
    void OnCustomEvent(float, std::shared_ptr<IUserEvent>) override {}
    void Init() override {
        m_calls.push_back("Init");
        m_threadId = std::this_thread::get_id();
        m_init();
    }
    void PostInit() override {
        m_calls.push_back("PostInit");
        m_postInit();
    }
    void Update(float elapsedSeconds) override {
        if (m_updates++ == 0) {
            m_calls.push_back("Update");
            m_firstElapsedSeconds = elapsedSeconds;
        }
        m_update(m_updates);
    }
    void RequestStop() override { ++m_stopRequests; }
    // Shut down once, last, on its own thread: the renderer releases its context there.
    void Shutdown() override {
        m_calls.push_back(std::this_thread::get_id() == m_threadId ? "Shutdown" : "elsewhere");
    }

    std::function<void()> m_init = [] {}, m_postInit = [] {};
    std::function<void(int)> m_update = [](int) {};  // given the number of the update, from 1
    Calls m_calls;
    std::thread::id m_threadId;
    int m_updates = 0;
    float m_firstElapsedSeconds = -1.0f;
    std::atomic<int> m_stopRequests{0};
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
    Barrier m_initBarrier{2}, m_readyBarrier{2};
    std::shared_ptr<ScriptedCallable> m_first = std::make_shared<ScriptedCallable>();
    std::shared_ptr<ScriptedCallable> m_second = std::make_shared<ScriptedCallable>();
};

// The partner's PostInit is held a while: a thread that skipped the ready barrier would start
// updating with almost nothing elapsed. Destructors stop and join, also a lone waiting thread.
TEST(Thread, RunsInitThenPostInitWithPartnerThenUpdates) {
    Partners p;
    std::latch threeUpdatesEach(2);
    std::chrono::duration<float> held{};
    p.m_second->m_postInit = [&] {
        const auto start = std::chrono::steady_clock::now();
        while ((held = std::chrono::steady_clock::now() - start).count() < 0.02f) {
        }
    };
    for (ScriptedCallable* callable : {p.m_first.get(), p.m_second.get()}) {
        callable->m_update = [&](int update) {
            if (update == 3) {
                threeUpdatesEach.count_down();
            }
        };
    }
    {
        Thread firstThread(p.m_first, &p.m_initBarrier, &p.m_readyBarrier);
        EXPECT_EQ(p.m_first->m_calls, Calls{"Init"});  // PostInit waits for the partner's Init
        Thread secondThread(p.m_second, &p.m_initBarrier, &p.m_readyBarrier);
        threeUpdatesEach.wait();
    }
    EXPECT_GE(p.m_first->m_firstElapsedSeconds, held.count() * (1.0f - 1e-4f));
    for (ScriptedCallable* callable : {p.m_first.get(), p.m_second.get()}) {
        EXPECT_EQ(callable->m_calls, (Calls{"Init", "PostInit", "Update", "Shutdown"}));
        EXPECT_EQ(callable->m_stopRequests.load(), 1);
    }
    EXPECT_EQ(p.m_first.use_count(), 1);
    Partners alone;
    { Thread thread(alone.m_first, &alone.m_initBarrier, &alone.m_readyBarrier); }
    EXPECT_EQ(alone.m_first->m_calls, (Calls{"Init", "Shutdown"}));
    EXPECT_EQ(alone.m_first.use_count(), 1);
}

// Like a large flock step, the update runs until told to stop: the join returns only if the
// stop reaches it.
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
    Barrier initBarrier(1), readyBarrier(1);
    Thread thread(std::make_shared<Logic>(logic, working, shared), &initBarrier, &readyBarrier);
    inStep.wait();
    thread.RequestStop();
    thread.Join();
    EXPECT_EQ(logic->m_updates, 1);
    EXPECT_EQ(shared->m_first, 0);
}

// The constructor rethrows Init's failure with its message, after Shutdown; the partner waiting
// at the init barrier is released and ends without a failure of its own.
TEST(Thread, StartFailureReleasesPartnerWaitingAtInitBarrier) {
    const struct {
        std::function<void()> init;
        const char* message;
    } cases[] = {
        {[] { throw Exception(L"init failed"); }, "Exception: init failed"},
        {[] { throw std::runtime_error("render failed"); }, "std::exception: render failed"},
        {nullptr, "Exception: Invalid parameter: !callable in Thread::Thread"},
    };
    for (const auto& c : cases) {
        Partners p;
        p.m_second->m_init = c.init;
        Thread partnerThread(p.m_first, &p.m_initBarrier, &p.m_readyBarrier);
        std::exception_ptr caught;
        try {
            Thread failingThread(c.init ? p.m_second : std::shared_ptr<IThreadCallable>(),
                                 &p.m_initBarrier, &p.m_readyBarrier);
        } catch (...) {
            caught = std::current_exception();
        }
        EXPECT_EQ(Describe(caught), c.message);
        EXPECT_EQ(p.m_second->m_calls, c.init ? (Calls{"Init", "Shutdown"}) : Calls{});
        EXPECT_EQ(p.m_second.use_count(), 1);
        partnerThread.Join();
        EXPECT_EQ(p.m_first->m_calls, (Calls{"Init", "Shutdown"}));
        EXPECT_EQ(Describe(partnerThread.GetFailure()), "none");
    }
}

TEST(Thread, LoopFailureIsKeptReportedAndReleasesPartner) {
    for (const bool inPostInit : {true, false}) {
        SCOPED_TRACE(inPostInit ? "PostInit fails" : "Update fails");
        Partners p;
        const auto failing = p.m_first;
        if (inPostInit) {
            failing->m_postInit = [] { throw Exception(L"frame failed"); };
        } else {
            failing->m_update = [](int) { throw Exception(L"frame failed"); };
        }
        std::latch reported(1);
        std::atomic<int> reports{0};
        std::thread::id reportedOn;
        Thread failingThread(failing, &p.m_initBarrier, &p.m_readyBarrier, [&] {
            reportedOn = std::this_thread::get_id();
            ++reports;
            reported.count_down();
        });
        Thread partnerThread(p.m_second, &p.m_initBarrier, &p.m_readyBarrier);
        reported.wait();
        // Released from the ready barrier, a partner of a failed PostInit ends without looping.
        if (!inPostInit) {
            partnerThread.RequestStop();
        }
        partnerThread.Join();
        failingThread.Join();
        if (inPostInit) {
            EXPECT_EQ(p.m_second->m_updates, 0);
        }
        EXPECT_EQ(Describe(failingThread.GetFailure()), "Exception: frame failed");
        EXPECT_THROW(failingThread.RethrowFailure(), Exception);
        EXPECT_EQ(reports.load(), 1);
        EXPECT_EQ(reportedOn, failing->m_threadId);
        EXPECT_EQ(failing->m_updates, inPostInit ? 0 : 1);
        EXPECT_EQ(failing->m_calls.back(), "Shutdown");
        EXPECT_NO_THROW(partnerThread.RethrowFailure());
    }
}

}  // namespace
}  // namespace Quellon
