#include "Quellon/Thread.h"

#include <cerrno>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/thread.hpp>

#include "Quellon/Exception.h"
#include "Quellon/IThreadCallable.h"

namespace Quellon {

namespace {

void CancelBarriers(Barrier* initBarrier, Barrier* readyBarrier) {
    if (initBarrier != nullptr) {
        initBarrier->Cancel();
    }
    if (readyBarrier != nullptr) {
        readyBarrier->Cancel();
    }
}

}  // namespace

Thread::Thread(std::shared_ptr<IThreadCallable> callable, Barrier* initBarrier,
               Barrier* readyBarrier, std::function<void()> onFailure) try
    : m_callable(std::move(callable)),
      m_stop(false),
      m_startBarrier(2),
      m_initBarrier(initBarrier),
      m_readyBarrier(readyBarrier),
      m_onFailure(std::move(onFailure)) {
    if (!m_callable) {
        ThrowException(EINVAL, L"Invalid parameter: !callable in Thread::Thread");
    }
    if (m_initBarrier == nullptr) {
        ThrowException(EINVAL, L"Invalid parameter: !initBarrier in Thread::Thread");
    }
    if (m_readyBarrier == nullptr) {
        ThrowException(EINVAL, L"Invalid parameter: !readyBarrier in Thread::Thread");
    }
    m_thread = std::make_shared<boost::thread>([this] { (*this)(); });
    if (!m_startBarrier.Wait()) {
        // Init failed. The members die with this constructor, so the thread must be gone
        // first.
        m_thread->join();
        std::rethrow_exception(GetFailure());
    }
} catch (...) {
    // The other subsystem thread may already wait at the init barrier for this one, which will
    // never come.
    CancelBarriers(initBarrier, readyBarrier);
}

// A join that throws would leave the thread running on a dead object: ending the process, as
// the implicit noexcept does, is the only safe way out.
Thread::~Thread() {  // NOLINT(bugprone-exception-escape)
    // boost::thread would detach a joinable thread and leave it running on a dead object.
    if (m_thread && m_thread->joinable()) {
        RequestStop();
        Join();
    }
}

void Thread::RequestStop() {
    // A joined thread no longer uses the barriers, and its owner may have released them.
    if (!m_thread || !m_thread->joinable()) {
        return;
    }
    m_stop.store(true, std::memory_order_release);
    // A thread still in its start-up would otherwise go on to PostInit and wait at the ready
    // barrier for a partner that may already have been stopped.
    CancelBarriers(m_initBarrier, m_readyBarrier);
    m_callable->RequestStop();
}

void Thread::Join() {
    if (m_thread && m_thread->joinable()) {
        m_thread->join();
    }
}

std::exception_ptr Thread::GetFailure() const {
    boost::lock_guard<boost::mutex> guard(m_failureMutex);
    return m_failure;
}

void Thread::RethrowFailure() const {
    if (std::exception_ptr failure = GetFailure()) {
        std::rethrow_exception(failure);
    }
}

void Thread::operator()() {
    bool initialised = false;
    bool failed = false;
    try {
        m_callable->Init();
        initialised = true;
    } catch (...) {
        Fail(std::current_exception());
        failed = true;
    }
    if (initialised) {
        m_startBarrier.Wait();
        try {
            if (m_initBarrier->Wait()) {
                m_callable->PostInit();
                if (m_readyBarrier->Wait()) {
                    // Tested between iterations only: an Update that has started always runs
                    // to its end.
                    while (!m_stop.load(std::memory_order_acquire)) {
                        m_callable->Update(m_timer.Tick());
                    }
                }
            }
        } catch (...) {
            Fail(std::current_exception());
            failed = true;
        }
    }
    // On every path, before the owner can learn that this thread is done: what the callable
    // made on this thread (an OpenGL context, say) must be released here, while the resources
    // it depends on still exist.
    try {
        m_callable->Shutdown();
    } catch (...) {
        if (!failed) {
            Fail(std::current_exception());
            failed = true;
        }
    }
    if (!initialised) {
        // The constructor rethrows the failure; the owner learns of it there.
        m_startBarrier.Cancel();
        return;
    }
    if (failed && m_onFailure) {
        m_onFailure();
    }
}

void Thread::Fail(std::exception_ptr failure) {
    {
        boost::lock_guard<boost::mutex> guard(m_failureMutex);
        m_failure = std::move(failure);
    }
    CancelBarriers(m_initBarrier, m_readyBarrier);
}

}  // namespace Quellon
