#include "Quellon/Thread.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <latch>
#include <memory>
#include <optional>
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
#include "Quellon/Scene.h"
#include "Quellon/Text.h"
#include "Quellon/UserEvent.h"
#include "Quellon/UserEventQueue.h"

namespace Quellon {
namespace {

using Calls = std::vector<std::string>;

// Two numbers copied one after the other, with a hook between them: a copy that fails half way.
class ValueScene : public Scene {
public:
    explicit ValueScene(int value = 0) : m_first(value), m_second(value) {}
    void CopyFrom(std::shared_ptr<Scene> source) override {
        const auto& from = static_cast<const ValueScene&>(*source);
        m_first = from.m_first;
        if (m_midCopy) {
            m_midCopy();
        }
        m_second = from.m_second;
    }
    void Set(int value) { m_first = m_second = value; }

    int m_first, m_second;
    std::function<void()> m_midCopy;
};

// Notes the calls (a run of updates as one entry, events with their elapsed time) on its thread,
// read by the test after a latch or join; the hooks hold the thread where a test wants it.
class ScriptedCallable : public IThreadCallable, public ILogicCallable {
public:
    void OnMouseEvent(float dt, std::shared_ptr<IUserEvent> event) override {
        Note("mouse ", static_cast<const MouseEvent&>(*event).m_x, dt);
    }
    void OnCustomEvent(float dt, std::shared_ptr<IUserEvent> event) override {
        const int id = static_cast<const ValueChangedEvent&>(*event).GetId();
        Note("value ", id, dt);
        m_customEvent(id);
    }
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

    void Note(const char* what, int value, float dt) {
        m_calls.push_back(what + std::to_string(value) + " @" + std::to_string(dt));
    }

    std::function<void()> m_init = [] {}, m_postInit = [] {};
    std::function<void(int)> m_update = [](int) {};       // given the number of the update, from 1
    std::function<void(int)> m_customEvent = [](int) {};  // given the event's id
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
    Partners alone;
    { Thread thread(alone.m_first, &alone.m_initBarrier, &alone.m_readyBarrier); }
    EXPECT_EQ(alone.m_first->m_calls, (Calls{"Init", "Shutdown"}));
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

// An event of a type Logic does not know.
class OtherEvent : public IUserEvent {
public:
    int GetType() const override { return 2; }
};

// Init starts from the shared scene and publishes its result; each update hands the events to
// the handlers by type in posting order, then publishes; events posted while a batch is handled
// wait for the next update; events of unknown types are dropped.
TEST(Logic, UpdateHandsEventsToHandlersByTypeInPostingOrder) {
    auto working = std::make_shared<ValueScene>(0);
    auto shared = std::make_shared<ValueScene>(5);
    auto callable = std::make_shared<ScriptedCallable>();
    Logic logic(callable, working, shared);
    UserEventQueue* events = logic.GetEventQueue();
    callable->m_init = [&] { working->Set(working->m_first + 100); };
    callable->m_update = [&](int) { working->Set(working->m_first + 1); };
    callable->m_customEvent = [&](int id) {
        if (id == 2) {
            events->Post(std::make_shared<ValueChangedEvent>(0.0f, 5));
            events->Post(std::make_shared<MouseEvent>(6, 0, 0, 0, 6, 0, 0, true, 0));
        }
    };
    logic.Init();
    EXPECT_EQ(shared->m_second, 105);  // the shared 5, plus 100
    auto other = std::make_shared<OtherEvent>();
    std::weak_ptr<IUserEvent> otherAlive = other;
    events->Post(std::make_shared<MouseEvent>(1, 0, 0, 0, 1, 0, 0, true, 0));
    events->Post(std::make_shared<ValueChangedEvent>(0.0f, 2));
    events->Post(std::move(other));
    events->Post(std::make_shared<ValueChangedEvent>(0.0f, 3));
    events->Post(std::make_shared<MouseEvent>(4, 0, 0, 0, 4, 0, 0, false, 4));
    logic.Update(0.5f);
    EXPECT_TRUE(otherAlive.expired());
    EXPECT_EQ(shared->m_first, 106);
    logic.Update(2.0f);
    EXPECT_EQ(callable->m_calls,
              (Calls{"Init", "mouse 1 @0.500000", "value 2 @0.500000", "value 3 @0.500000",
                     "mouse 4 @0.500000", "Update", "value 5 @2.000000", "mouse 6 @2.000000"}));
    EXPECT_EQ(callable->m_firstElapsedSeconds, 0.5f);
    EXPECT_EQ(callable->m_updates, 2);
    EXPECT_TRUE(events->TakeAll().empty());
}

// An empty event is rejected on the poster's thread rather than found on the logic thread.
TEST(UserEventQueue, RejectsAnEmptyEvent) {
    UserEventQueue queue;
    try {
        queue.Post(nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.GetMessage(), L"Invalid parameter: !event in UserEventQueue::Post");
    }
    EXPECT_TRUE(queue.TakeAll().empty());
}

// Each poster's events come out in posting order, none lost, each batch emptying the queue.
TEST(UserEventQueue, ConcurrentPostersLoseNothingAndKeepEachPostersOrder) {
    constexpr int kPosters = 2;
    constexpr int kEventsEach = 5000;
    UserEventQueue queue;
    std::latch start(kPosters + 1);
    std::vector<std::thread> posters;
    posters.reserve(kPosters);
    for (int poster = 0; poster < kPosters; ++poster) {
        posters.emplace_back([&, poster] {
            start.arrive_and_wait();
            for (int i = 0; i < kEventsEach; ++i) {
                queue.Post(std::make_shared<ValueChangedEvent>(static_cast<float>(poster), i));
            }
        });
    }
    start.arrive_and_wait();
    std::vector<int> next(kPosters, 0);
    for (int taken = 0; taken < kPosters * kEventsEach;) {
        for (const std::shared_ptr<IUserEvent>& event : queue.TakeAll()) {
            const auto& changed = static_cast<const ValueChangedEvent&>(*event);
            const int poster = static_cast<int>(changed.m_value);
            EXPECT_EQ(changed.m_id, next[poster]++) << "poster " << poster;
            ++taken;
        }
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    EXPECT_TRUE(queue.TakeAll().empty());
}

// A failed copy must leave the scene unlocked, or a writer on this thread would wait for itself.
TEST(Scene, FailedAssignLeavesSceneUnlocked) {
    ValueScene scene(1);
    auto source = std::make_shared<ValueScene>(2);
    EXPECT_THROW(scene.Assign(nullptr), Exception);
    scene.m_midCopy = [] { throw std::runtime_error("copy failed"); };
    EXPECT_THROW(scene.Assign(source), std::runtime_error);
    scene.m_midCopy = nullptr;
    scene.Assign(source);
    EXPECT_EQ(scene.m_second, 2);
}

// A read lock another thread still holds must not keep destruction waiting (bounded hang guard).
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

class FailingFrame : public IRenderCallable {
public:
    void Init() override {}
    void PostInit() override {}
    void Update(float) override { throw std::runtime_error("frame failed"); }
};

TEST(Render, FailedFrameReleasesReadLock) {
    const auto scene = std::make_shared<ValueScene>();
    Render render(std::make_shared<FailingFrame>(), scene);
    EXPECT_THROW(render.Update(0.0f), std::runtime_error);
    // A read lock left behind would make this throw here and block the logic's next publish.
    EXPECT_NO_THROW(scene->BeginRead());
    scene->EndRead();
}

}  // namespace
}  // namespace Quellon
