#pragma once

#include <cstdint>

#include <boost/noncopyable.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

namespace Quellon {

// A reusable barrier for a fixed number of parties that can be cancelled. The subsystem
// threads meet at two of them during start-up; when one thread fails or is stopped there, the
// other must not wait for a partner that will never come, and boost::barrier has no way to
// release it.
class Barrier : private boost::noncopyable {
public:
    // Called on the owner's thread. Throws Exception when parties is 0.
    explicit Barrier(unsigned int parties);

    // Called by each party, on its own thread. Blocks until all parties of the current
    // generation have arrived and returns true; the barrier then starts the next generation.
    // Returns false, at once or while waiting, once the barrier has been cancelled: the
    // caller must not rely on the other parties having arrived.
    bool Wait();

    // Called on any thread. Releases every waiter with false and makes every later Wait return
    // false; a cancelled barrier stays cancelled. Parties already released keep their true.
    void Cancel();

private:
    boost::mutex m_mutex;
    boost::condition_variable m_released;
    const unsigned int m_parties;
    // The rest is guarded by m_mutex.
    unsigned int m_arrived;
    // Counts completed generations, so a waiter can tell its own release from a later one.
    std::uint64_t m_generation;
    bool m_cancelled;
};

}  // namespace Quellon
