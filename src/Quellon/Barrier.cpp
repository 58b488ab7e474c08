#include "Quellon/Barrier.h"

#include <cerrno>

#include <boost/thread/lock_guard.hpp>

#include "Quellon/Exception.h"

namespace Quellon {

Barrier::Barrier(unsigned int parties)
    : m_parties(parties), m_arrived(0), m_generation(0), m_cancelled(false) {
    if (parties == 0) {
        ThrowException(EINVAL, L"Invalid parameter: parties == 0 in Barrier::Barrier");
    }
}

bool Barrier::Wait() {
    boost::unique_lock<boost::mutex> lock(m_mutex);
    if (m_cancelled) {
        return false;
    }
    if (++m_arrived == m_parties) {
        m_arrived = 0;
        ++m_generation;
        m_released.notify_all();
        return true;
    }
    const std::uint64_t generation = m_generation;
    m_released.wait(lock, [&] { return m_generation != generation || m_cancelled; });
    // A generation completed before the cancel counts as a normal release: the other parties
    // did arrive.
    return m_generation != generation;
}

void Barrier::Cancel() {
    boost::lock_guard<boost::mutex> guard(m_mutex);
    m_cancelled = true;
    m_released.notify_all();
}

}  // namespace Quellon
