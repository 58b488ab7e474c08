#include "Quellon/UserEventQueue.h"

#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Quellon/Exception.h"
#include "Quellon/UserEvent.h"

namespace Quellon {
namespace {

int IdOf(const std::shared_ptr<IUserEvent>& event) {
    return static_cast<const ValueChangedEvent&>(*event).GetId();
}

// An empty event is rejected on the poster's thread rather than found on the logic thread.
TEST(UserEventQueue, TakeAllReturnsEventsInPostingOrderAndEmptiesQueue) {
    UserEventQueue queue;
    queue.Post(std::make_shared<ValueChangedEvent>(0.5f, 7));
    queue.Post(std::make_shared<MouseEvent>(1, 2, 0, 0, 1, 2, 0, true, MouseEvent::kLeftButton));
    try {
        queue.Post(nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.GetMessage(), L"Invalid parameter: !event in UserEventQueue::Post");
    }
    queue.Post(std::make_shared<ValueChangedEvent>(1.5f, 3));
    const std::deque<std::shared_ptr<IUserEvent>> batch = queue.TakeAll();
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(IdOf(batch[0]), 7);
    EXPECT_EQ(batch[1]->GetType(), IUserEvent::kMouseEventType);
    EXPECT_EQ(IdOf(batch[2]), 3);
    EXPECT_TRUE(queue.TakeAll().empty());
}

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
    int taken = 0;
    while (taken < kPosters * kEventsEach) {
        for (const std::shared_ptr<IUserEvent>& event : queue.TakeAll()) {
            const auto& changed = static_cast<const ValueChangedEvent&>(*event);
            const int poster = static_cast<int>(changed.m_value);
            EXPECT_EQ(changed.m_id, next[poster]) << "poster " << poster;
            next[poster] = changed.m_id + 1;
            ++taken;
        }
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    EXPECT_TRUE(queue.TakeAll().empty());
}

}  // namespace
}  // namespace Quellon
