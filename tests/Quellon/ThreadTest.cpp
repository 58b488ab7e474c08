#include "Quellon/Thread.h"

#include <atomic>
#include <chrono>
#include <latch>
#include <optional>
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

// A failure in Init is rethrown by the constructor with its message, after Shutdown; a later one
// is kept and reported once on the failing thread. Either way the partner is released from its
// barrier and ends without a failure of its own, having updated only if the failure came later.
TEST(Thread, FailureAtStartOrLaterIsReportedAndReleasesThePartner) {
    const auto fail = [] { throw Exception(L"failed"); };
    const auto failInTheLibrary = [] { throw std::runtime_error("failed"); };
    const struct {
        std::function<void()> init, postInit, update;
        const char* message;
        Calls calls;
    } cases[] = {
        {fail, {}, {}, "Exception: failed", {"Init", "Shutdown"}},
        {failInTheLibrary, {}, {}, "std::exception: failed", {"Init", "Shutdown"}},
        {nullptr, {}, {}, "Exception: Invalid parameter: !callable in Thread::Thread", {}},
        {{}, fail, {}, "Exception: failed", {"Init", "PostInit", "Shutdown"}},
        {{}, {}, fail, "Exception: failed", {"Init", "PostInit", "Update", "Shutdown"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message + std::to_string(c.calls.size()));
        Partners p;
        const auto failing = p.m_second;
        failing->m_init = c.init ? c.init : failing->m_init;
        failing->m_postInit = c.postInit ? c.postInit : failing->m_postInit;
        failing->m_update = [&c](int) { c.update ? c.update() : void(); };
        Thread partner(p.m_first, &p.m_initBarrier, &p.m_readyBarrier);
        std::vector<std::thread::id> reportedOn;
        std::optional<Thread> failingThread;
        std::string message = "none";
        try {
            failingThread.emplace(c.calls.empty() ? nullptr : failing, &p.m_initBarrier,
                                  &p.m_readyBarrier,
                                  [&] { reportedOn.push_back(std::this_thread::get_id()); });
            failingThread->Join();
            failingThread->RethrowFailure();
        } catch (const Exception& e) {
            message = "Exception: " + WideToUtf8(e.GetMessage());
        } catch (const std::exception& e) {
            message = std::string("std::exception: ") + e.what();
        }
        if (c.update) {
            partner.RequestStop();  // released from the ready barrier, it would loop on
        }
        partner.Join();
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(failing->m_calls, c.calls);
        EXPECT_EQ(reportedOn, failingThread ? std::vector{failing->m_threadId}
                                            : std::vector<std::thread::id>());
        failingThread.reset();
        EXPECT_EQ(failing.use_count(), 2);  // here and in the partners
        EXPECT_TRUE(c.update || p.m_first->m_updates == 0);
        EXPECT_EQ(p.m_first->m_calls.back(), "Shutdown");
        EXPECT_NO_THROW(partner.RethrowFailure());
    }
}

}  // namespace
}  // namespace Quellon
