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

// An event of a type Logic does not know.
class OtherEvent : public IUserEvent {
public:
    int GetType() const override { return 2; }
};

// Writes down every call as text, with the elapsed time where there is one, and counts its
// updates into the working scene. Driven on the test's own thread.
class RecordingLogic : public ILogicCallable {
public:
    explicit RecordingLogic(std::shared_ptr<ValueScene> scene) : m_scene(std::move(scene)) {}

    void OnMouseEvent(float elapsedSeconds, std::shared_ptr<IUserEvent> event) override {
        const auto& mouse = static_cast<const MouseEvent&>(*event);
        Record("mouse " + std::to_string(mouse.m_x), elapsedSeconds);
    }
    void OnCustomEvent(float elapsedSeconds, std::shared_ptr<IUserEvent> event) override {
        const auto& changed = static_cast<const ValueChangedEvent&>(*event);
        Record("value " + std::to_string(changed.GetId()), elapsedSeconds);
        if (m_onCustomEvent) {
            m_onCustomEvent(changed.GetId());
        }
    }
    void Init() override {
        m_calls.push_back("init sees " + std::to_string(m_scene->m_first));
        m_scene->Set(m_scene->m_first + 100);
    }
    void Update(float elapsedSeconds) override {
        Record("update", elapsedSeconds);
        m_scene->Set(m_scene->m_first + 1);
        if (m_onUpdate) {
            m_onUpdate();
        }
    }
    void RequestStop() override { m_calls.push_back("stop"); }

    std::shared_ptr<ValueScene> m_scene;
    std::vector<std::string> m_calls;
    std::function<void(int)> m_onCustomEvent;
    std::function<void()> m_onUpdate;

private:
    void Record(const std::string& call, float elapsedSeconds) {
        m_calls.push_back(call + " @" + std::to_string(elapsedSeconds));
    }
};

class LogicTest : public ::testing::Test {
protected:
    std::shared_ptr<ValueScene> m_working = std::make_shared<ValueScene>(0);
    std::shared_ptr<ValueScene> m_shared = std::make_shared<ValueScene>(5);
    std::shared_ptr<RecordingLogic> m_callable = std::make_shared<RecordingLogic>(m_working);
    Logic m_logic{m_callable, m_working, m_shared};
    UserEventQueue& m_events = *m_logic.GetEventQueue();
};

using Calls = std::vector<std::string>;

TEST_F(LogicTest, InitStartsFromSharedSceneAndPublishesTheResult) {
    m_logic.Init();
    EXPECT_EQ(m_callable->m_calls, Calls{"init sees 5"});
    EXPECT_EQ(m_shared->m_first, 105);
    EXPECT_EQ(m_shared->m_second, 105);
}

// Events posted while a batch is handled wait for the next update.
TEST_F(LogicTest, UpdateHandsEventsToHandlersByTypeInPostingOrder) {
    m_logic.Init();
    auto other = std::make_shared<OtherEvent>();
    std::weak_ptr<IUserEvent> otherAlive = other;
    m_callable->m_onCustomEvent = [&](int id) {
        if (id == 2) {
            m_events.Post(std::make_shared<ValueChangedEvent>(0.0f, 5));
            m_events.Post(std::make_shared<MouseEvent>(6, 0, 0, 0, 6, 0, 0, true, 0));
        }
    };
    m_events.Post(std::make_shared<MouseEvent>(1, 0, 0, 0, 1, 0, 0, true, 0));
    m_events.Post(std::make_shared<ValueChangedEvent>(0.0f, 2));
    m_events.Post(std::move(other));
    m_events.Post(std::make_shared<ValueChangedEvent>(0.0f, 3));
    m_events.Post(std::make_shared<MouseEvent>(4, 0, 0, 0, 4, 0, 0, false, 4));

    m_logic.Update(0.5f);
    EXPECT_TRUE(otherAlive.expired());
    EXPECT_EQ(m_shared->m_first, 106);
    m_logic.Update(2.0f);

    EXPECT_EQ(m_callable->m_calls,
              (Calls{"init sees 5", "mouse 1 @0.500000", "value 2 @0.500000", "value 3 @0.500000",
                     "mouse 4 @0.500000", "update @0.500000", "value 5 @2.000000",
                     "mouse 6 @2.000000", "update @2.000000"}));
    EXPECT_TRUE(m_events.TakeAll().empty());
}

TEST_F(LogicTest, StopRequestedDuringUpdateIsForwardedAndNothingOfThatUpdateIsPublished) {
    m_logic.Init();
    m_logic.Update(0.1f);
    ASSERT_EQ(m_shared->m_first, 106);
    m_callable->m_onUpdate = [&] { m_logic.RequestStop(); };
    m_logic.Update(0.1f);
    EXPECT_EQ(m_callable->m_calls.back(), "stop");
    EXPECT_EQ(m_working->m_first, 107);
    EXPECT_EQ(m_shared->m_first, 106);
}

}  // namespace
}  // namespace Quellon
