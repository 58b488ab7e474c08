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
// barrier, latch or join orders the read after the writes.
class ScriptedCallable : public IThreadCallable {
public:
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
        ++m_completedUpdates;
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
    int m_completedUpdates = 0;
    float m_firstElapsedSeconds = -1.0f;
    std::atomic<int> m_stopRequests{0};
    int m_shutdowns = 0;
    std::thread::id m_shutdownThreadId;
    int m_updatesBeforeShutdown = -1;
};

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
    Thread firstThread(first, &initBarrier, &readyBarrier);
    // Init has finished, and PostInit waits for the partner's Init.
    EXPECT_EQ(first->m_calls, Calls{"Init"});
    Thread secondThread(second, &initBarrier, &readyBarrier);
    threeUpdatesEach.wait();
    firstThread.RequestStop();
    secondThread.RequestStop();
    firstThread.Join();
    secondThread.Join();

    for (ScriptedCallable* callable : {first.get(), second.get()}) {
        EXPECT_EQ(callable->m_calls, (Calls{"Init", "PostInit", "Update"}));
        EXPECT_GE(callable->m_updates, 3);
    }
    EXPECT_EQ(Describe(firstThread.GetFailure()), "none");
    EXPECT_EQ(Describe(secondThread.GetFailure()), "none");
}

// The logic side of the start-up test: a first state in Init, then one more per update.
class CountingLogic : public ILogicCallable {
public:
    CountingLogic(std::shared_ptr<ValueScene> scene, std::atomic<bool>& renderPostInitDone,
                  std::latch& enoughUpdates)
        : m_scene(std::move(scene)),
          m_renderPostInitDone(renderPostInitDone),
          m_enoughUpdates(enoughUpdates) {}
    void OnMouseEvent(float, std::shared_ptr<IUserEvent>) override {}
    void OnCustomEvent(float, std::shared_ptr<IUserEvent>) override {}
    void Init() override { m_scene->Set(42); }
    void Update(float) override {
        if (m_updates == 0) {
            m_firstUpdateAfterRenderPostInit = m_renderPostInitDone.load();
        }
        m_scene->Set(m_scene->m_first + 1);
        if (++m_updates == kEnough) {
            m_enoughUpdates.count_down();
        }
    }

    static constexpr int kEnough = 50;
    std::shared_ptr<ValueScene> m_scene;
    std::atomic<bool>& m_renderPostInitDone;
    std::latch& m_enoughUpdates;
    int m_updates = 0;
    bool m_firstUpdateAfterRenderPostInit = false;
};

// The render side: what PostInit found in the shared scene, and whether a frame ever saw a
// publish half done.
class CheckingRender : public IRenderCallable {
public:
    CheckingRender(std::shared_ptr<ValueScene> scene, std::atomic<bool>& postInitDone,
                   std::latch& enoughFrames)
        : m_scene(std::move(scene)), m_postInitDone(postInitDone), m_enoughFrames(enoughFrames) {}
    void Init() override {}
    void PostInit() override {
        m_postInitSaw = m_scene->m_first;
        m_postInitDone.store(true);
    }
    void Update(float) override {
        if (m_scene->m_first != m_scene->m_second) {
            ++m_tornFrames;
        }
        if (++m_frames == CountingLogic::kEnough) {
            m_enoughFrames.count_down();
        }
    }

    std::shared_ptr<ValueScene> m_scene;
    std::atomic<bool>& m_postInitDone;
    std::latch& m_enoughFrames;
    int m_postInitSaw = -1;
    int m_frames = 0;
    int m_tornFrames = 0;
};

TEST(Thread, RenderPostInitSeesLogicFirstStateAndFramesSeeWholePublishes) {
    auto working = std::make_shared<ValueScene>(0);
    auto shared = std::make_shared<ValueScene>(0);
    std::atomic<bool> renderPostInitDone{false};
    std::latch enough(2);
    auto logic = std::make_shared<CountingLogic>(working, renderPostInitDone, enough);
    auto render = std::make_shared<CheckingRender>(shared, renderPostInitDone, enough);
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

    EXPECT_EQ(render->m_postInitSaw, 42);
    EXPECT_TRUE(logic->m_firstUpdateAfterRenderPostInit);
    EXPECT_EQ(render->m_tornFrames, 0);
}

TEST(Thread, FirstUpdateCoversWholeStartUp) {
    const struct {
        const char* name;
        bool holdPartnerPostInit;
    } cases[] = {{"held in own Init", false}, {"held in partner's PostInit", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
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
        (c.holdPartnerPostInit ? partner->m_postInit : measured->m_init) = hold;
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

TEST(Thread, StopLetsCurrentUpdateFinishAndStartsNoOther) {
    Barrier initBarrier(1);
    Barrier readyBarrier(1);
    auto callable = std::make_shared<ScriptedCallable>();
    std::latch inUpdate(1);
    std::latch finishUpdate(1);
    callable->m_update = [&](int update) {
        if (update == 1) {
            inUpdate.count_down();
            finishUpdate.wait();
        }
    };
    Thread thread(callable, &initBarrier, &readyBarrier);
    inUpdate.wait();
    thread.RequestStop();
    finishUpdate.count_down();
    thread.Join();

    EXPECT_EQ(callable->m_updates, 1);
    EXPECT_EQ(callable->m_completedUpdates, 1);
    EXPECT_EQ(callable->m_stopRequests.load(), 1);
}

// A step that runs until it is told to stop, like a large flock step that is abandoned.
class EndlessStepLogic : public ILogicCallable {
public:
    explicit EndlessStepLogic(std::shared_ptr<ValueScene> scene) : m_scene(std::move(scene)) {}
    void OnMouseEvent(float, std::shared_ptr<IUserEvent>) override {}
    void OnCustomEvent(float, std::shared_ptr<IUserEvent>) override {}
    void Init() override {}
    void Update(float) override {
        ++m_updates;
        m_scene->Set(99);
        m_inStep.count_down();
        while (!m_stop.load()) {
            std::this_thread::yield();
        }
    }
    void RequestStop() override { m_stop.store(true); }

    std::shared_ptr<ValueScene> m_scene;
    std::latch m_inStep{1};
    std::atomic<bool> m_stop{false};
    int m_updates = 0;
};

TEST(Thread, StopAbandonsLongLogicUpdatePromptlyAndPublishesNothingOfIt) {
    auto working = std::make_shared<ValueScene>(0);
    auto shared = std::make_shared<ValueScene>(0);
    auto logic = std::make_shared<EndlessStepLogic>(working);
    Barrier initBarrier(1);
    Barrier readyBarrier(1);
    Thread thread(std::make_shared<Logic>(logic, working, shared), &initBarrier, &readyBarrier);
    logic->m_inStep.wait();
    const auto start = std::chrono::steady_clock::now();
    thread.RequestStop();
    thread.Join();

    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(logic->m_updates, 1);
    EXPECT_EQ(shared->m_first, 0);
}

TEST(Thread, InitFailureIsRethrownByConstructorWithItsMessage) {
    const struct {
        std::function<void()> fail;
        const char* expected;
    } cases[] = {
        {[] { throw Exception(L"init failed"); }, "Exception: init failed"},
        {[] { throw std::runtime_error("init failed"); }, "std::exception: init failed"},
    };
    for (const auto& c : cases) {
        Barrier initBarrier(2);
        Barrier readyBarrier(2);
        auto callable = std::make_shared<ScriptedCallable>();
        callable->m_init = c.fail;
        std::exception_ptr caught;
        try {
            Thread thread(callable, &initBarrier, &readyBarrier);
        } catch (...) {
            caught = std::current_exception();
        }
        EXPECT_EQ(Describe(caught), c.expected);
        EXPECT_EQ(callable->m_calls, Calls{"Init"});
        // The thread has ended and let go of the callable.
        EXPECT_EQ(callable.use_count(), 1);
    }
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
        EXPECT_EQ(Describe(partnerThread.GetFailure()), "none");
    }
}

TEST(Thread, LoopFailureIsKeptReportedAndReleasesPartner) {
    const struct {
        const char* name;
        bool inPostInit;
    } cases[] = {{"PostInit fails", true}, {"Update fails", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Barrier initBarrier(2);
        Barrier readyBarrier(2);
        auto failing = std::make_shared<ScriptedCallable>();
        auto partner = std::make_shared<ScriptedCallable>();
        if (c.inPostInit) {
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
        if (c.inPostInit) {
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
        EXPECT_EQ(failing->m_updates, c.inPostInit ? 0 : 1);
        EXPECT_EQ(Describe(partnerThread.GetFailure()), "none");
        EXPECT_NO_THROW(partnerThread.RethrowFailure());
    }
}

// Whatever ends a subsystem thread, its callable is shut down once, last, on that thread: the
// renderer relies on this to release its context before the window goes away.
TEST(Thread, ShutdownRunsLastOnTheSubsystemThreadWhateverEndsIt) {
    enum class End { Stop, InitFails, UpdateFails, PartnerInitFails };
    for (const End end : {End::Stop, End::InitFails, End::UpdateFails, End::PartnerInitFails}) {
        SCOPED_TRACE(static_cast<int>(end));
        Barrier initBarrier(2);
        Barrier readyBarrier(2);
        auto callable = std::make_shared<ScriptedCallable>();
        std::latch updated(1);
        callable->m_update = [&](int number) {
            if (number == 1) {
                updated.count_down();
            }
            if (end == End::UpdateFails) {
                throw Exception(L"frame failed");
            }
        };
        if (end == End::InitFails) {
            callable->m_init = [] { throw Exception(L"no context"); };
            EXPECT_THROW(Thread(callable, &initBarrier, &readyBarrier), Exception);
        } else {
            Thread thread(callable, &initBarrier, &readyBarrier);
            auto partner = std::make_shared<ScriptedCallable>();
            if (end == End::PartnerInitFails) {
                partner->m_init = [] { throw Exception(L"partner failed"); };
                EXPECT_THROW(Thread(partner, &initBarrier, &readyBarrier), Exception);
            } else {
                Thread partnerThread(partner, &initBarrier, &readyBarrier);
                updated.wait();
                partnerThread.RequestStop();
            }
            thread.RequestStop();
            thread.Join();
        }
        EXPECT_EQ(callable->m_shutdowns, 1);
        EXPECT_EQ(callable->m_shutdownThreadId, callable->m_threadId);
        EXPECT_EQ(callable->m_updatesBeforeShutdown, callable->m_updates);
    }
}

TEST(Thread, DestructorStopsAndJoinsThreadStillRunning) {
    const struct {
        const char* name;
        bool partnerMissing;
        Calls calls;
    } cases[] = {
        {"looping", false, {"Init", "PostInit", "Update"}},
        {"waiting at the init barrier", true, {"Init"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned int parties = c.partnerMissing ? 2 : 1;
        Barrier initBarrier(parties);
        Barrier readyBarrier(parties);
        auto callable = std::make_shared<ScriptedCallable>();
        std::latch looping(1);
        callable->m_update = [&](int update) {
            if (update == 1) {
                looping.count_down();
            }
        };
        {
            Thread thread(callable, &initBarrier, &readyBarrier);
            if (!c.partnerMissing) {
                looping.wait();
            }
        }
        EXPECT_EQ(callable.use_count(), 1);
        EXPECT_EQ(callable->m_stopRequests.load(), 1);
        EXPECT_EQ(callable->m_calls, c.calls);
    }
}

}  // namespace
}  // namespace Quellon
