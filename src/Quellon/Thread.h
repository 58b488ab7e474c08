#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>

#include <boost/noncopyable.hpp>
#include <boost/thread/mutex.hpp>

#include "Quellon/Barrier.h"
#include "Quellon/Timer.h"

namespace boost {
class thread;
}

namespace Quellon {

class IThreadCallable;

// Runs one IThreadCallable on a thread of its own: Init, the init barrier, PostInit, the ready
// barrier, then Update in an unpaced loop with the measured elapsed time until a stop is
// requested. The two barriers are shared with the other subsystem thread, so each waits for
// the other's Init before PostInit and for the other's PostInit before looping.
//
// A failure on the thread never leaves it: an exception from Init is rethrown by the
// constructor; one from PostInit or Update ends the loop, is kept for GetFailure and
// RethrowFailure, and is announced through the failure callback. Any failure, and any stop
// request, cancels both shared barriers, so the other thread never waits at one for a partner
// that has gone; released that way, a thread skips the rest of its start-up and ends without
// error.
//
// The thread runs this object in place: a Thread never moves, so hold it by shared pointer.
class Thread : private boost::noncopyable {
public:
    // Called on the owner's (main) thread, which keeps the barriers alive until it has joined
    // this thread; the Thread shares ownership of callable. Returns once the callable's Init has
    // finished on the new thread, or rethrows what Init threw, after that thread has ended.
    // Throws Exception for empty arguments or when the clock is missing, and
    // boost::thread_resource_error when no thread can be started; a constructor that throws
    // cancels both barriers too.
    //
    // onFailure, if given, is called on the failing subsystem thread when PostInit or Update
    // throws, after the failure is kept; it must not throw, block or join, and should only post
    // or notify to the owner's thread, which then stops, joins and calls RethrowFailure. It is
    // not called for a failure of Init, which the constructor rethrows instead.
    Thread(std::shared_ptr<IThreadCallable> callable, Barrier* initBarrier, Barrier* readyBarrier,
           std::function<void()> onFailure = {});
    // Called on the owner's thread. A thread still running is stopped and joined first, so that
    // unwinding past a running Thread is safe; the Update in progress still runs to its end.
    ~Thread();  // NOLINT(bugprone-exception-escape): see the definition

    // Called on the owner's thread. The current Update finishes (the callable is asked to
    // abandon its work, through its own RequestStop) and no other starts; a thread still in its
    // start-up skips what is left of it, and so does the other subsystem thread. Does nothing
    // once the thread has been joined.
    void RequestStop();
    // Called on the owner's thread; waits until the thread has ended. Calling it again does
    // nothing.
    void Join();

    // Called on any thread; meaningful once Join has returned. The exception PostInit or
    // Update threw, or empty when the thread ended without failing.
    std::exception_ptr GetFailure() const;
    // Called on the owner's thread after Join: throws what GetFailure holds, if anything.
    void RethrowFailure() const;

private:
    // The thread body.
    void operator()();
    // Called on the subsystem thread with the exception being handled.
    void Fail(std::exception_ptr failure);

    // Ticked only by the subsystem thread once that has started.
    Timer m_timer;
    std::shared_ptr<IThreadCallable> m_callable;
    // Written by the owner's thread with release, read by the subsystem thread before every
    // iteration.
    std::atomic<bool> m_stop;
    std::shared_ptr<boost::thread> m_thread;
    // Between the constructor and its thread; cancelled when Init fails.
    Barrier m_startBarrier;
    // Shared with the other subsystem thread; owned by whoever made both threads.
    Barrier* m_initBarrier;
    Barrier* m_readyBarrier;
    const std::function<void()> m_onFailure;
    mutable boost::mutex m_failureMutex;
    // Guarded by m_failureMutex.
    std::exception_ptr m_failure;
};

}  // namespace Quellon
