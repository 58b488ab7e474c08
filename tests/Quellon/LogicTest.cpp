#include "Quellon/Logic.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Quellon/ILogicCallable.h"
#include "Quellon/UserEvent.h"
#include "ValueScene.h"

namespace Quellon {
namespace {

using QuellonTest::ValueScene;
using Calls = std::vector<std::string>;

// An event of a type Logic does not know.
class OtherEvent : public IUserEvent {
public:
    int GetType() const override { return 2; }
};

// Writes down every call with its elapsed time and counts updates into the working scene; value 2
// posts two more events while the batch is handled. Driven on the test's own thread.
class RecordingLogic : public ILogicCallable {
public:
    void OnMouseEvent(float dt, std::shared_ptr<IUserEvent> event) override {
        Record("mouse " + std::to_string(static_cast<const MouseEvent&>(*event).m_x), dt);
    }
    void OnCustomEvent(float dt, std::shared_ptr<IUserEvent> event) override {
        const int id = static_cast<const ValueChangedEvent&>(*event).GetId();
        Record("value " + std::to_string(id), dt);
        if (id == 2) {
            m_events->Post(std::make_shared<ValueChangedEvent>(0.0f, 5));
            m_events->Post(std::make_shared<MouseEvent>(6, 0, 0, 0, 6, 0, 0, true, 0));
        }
    }
    void Init() override { m_scene->Set(m_scene->m_first + 100); }
    void Update(float dt) override {
        Record("update", dt);
        m_scene->Set(m_scene->m_first + 1);
    }
    void RequestStop() override {}
    void Record(const std::string& call, float dt) {
        m_calls.push_back(call + " @" + std::to_string(dt));
    }

    std::shared_ptr<ValueScene> m_scene;
    UserEventQueue* m_events = nullptr;
    Calls m_calls;
};

// Init starts from the shared scene and publishes its result; each update hands the events to
// the handlers by type in posting order, then publishes; events posted while a batch is handled
// wait for the next update; events of unknown types are dropped.
TEST(Logic, UpdateHandsEventsToHandlersByTypeInPostingOrder) {
    auto working = std::make_shared<ValueScene>(0);
    auto shared = std::make_shared<ValueScene>(5);
    auto callable = std::make_shared<RecordingLogic>();
    callable->m_scene = working;
    Logic logic(callable, working, shared);
    UserEventQueue* events = callable->m_events = logic.GetEventQueue();
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
    EXPECT_EQ(
        callable->m_calls,
        (Calls{"mouse 1 @0.500000", "value 2 @0.500000", "value 3 @0.500000", "mouse 4 @0.500000",
               "update @0.500000", "value 5 @2.000000", "mouse 6 @2.000000", "update @2.000000"}));
    EXPECT_TRUE(events->TakeAll().empty());
}

}  // namespace
}  // namespace Quellon
