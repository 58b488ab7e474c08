#include "Quellon/UserEventQueue.h"

#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Quellon/Exception.h"
#include "Quellon/UserEvent.h"

namespace Quellon {
namespace {

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

}  // namespace
}  // namespace Quellon
