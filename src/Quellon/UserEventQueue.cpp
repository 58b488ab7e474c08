#include "Quellon/UserEventQueue.h"

#include <cerrno>

#include <boost/thread/lock_guard.hpp>

#include "Quellon/Exception.h"
#include "Quellon/UserEvent.h"

namespace Quellon {

void UserEventQueue::Post(std::shared_ptr<IUserEvent> event) {
    // Rejected here, on the poster's thread, rather than found empty on the logic thread.
    if (!event) {
        ThrowException(EINVAL, L"Invalid parameter: !event in UserEventQueue::Post");
    }
    boost::lock_guard<boost::mutex> guard(m_mutex);
    m_events.push_back(std::move(event));
}

std::deque<std::shared_ptr<IUserEvent>> UserEventQueue::TakeAll() {
    std::deque<std::shared_ptr<IUserEvent>> batch;
    {
        boost::lock_guard<boost::mutex> guard(m_mutex);
        batch.swap(m_events);
    }
    return batch;
}

}  // namespace Quellon
