#pragma once

#include <deque>
#include <memory>

#include <boost/noncopyable.hpp>
#include <boost/thread/mutex.hpp>

namespace Quellon {

class IUserEvent;

// Carries user events from the Qt thread to the logic thread in posting order. The mutex is
// held only for one append or one take, never while an event is handled, so posting never
// waits for the logic's update. The queue is unbounded: every event is handled, none merged.
class UserEventQueue : private boost::noncopyable {
public:
    // Called on the Qt thread (any thread may post); the queue owns the event until the logic
    // has handled it. Throws Exception for an empty pointer.
    void Post(std::shared_ptr<IUserEvent> event);
    // Called on the logic thread: everything posted so far, oldest first; the caller owns the
    // batch and the queue is left empty.
    std::deque<std::shared_ptr<IUserEvent>> TakeAll();

private:
    boost::mutex m_mutex;
    // Guarded by m_mutex.
    std::deque<std::shared_ptr<IUserEvent>> m_events;
};

}  // namespace Quellon
