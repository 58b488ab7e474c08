#pragma once

#include <memory>
#include <string>

#include "Quellon/Widgets/IWindowListener.h"

namespace Quellon {

class ISubsystemsAllocator;
class Thread;

// The two subsystem threads, as the run hands them to the entry point. Destroying it stops and
// joins any thread still running before releasing it, the logic thread first, so unwinding
// past it never leaves a thread using what is being destroyed.
struct AppThreads {
    std::shared_ptr<Thread> m_renderThread;
    std::shared_ptr<Thread> m_logicThread;

    AppThreads() = default;
    AppThreads(AppThreads&&) noexcept = default;
    AppThreads& operator=(AppThreads&&) noexcept = default;
    ~AppThreads();

    // Called on the main thread: asks both threads to stop, render first, then joins them in
    // the same order. Threads that have ended already are left alone.
    void StopAndJoin();
    // Called on the main thread after StopAndJoin: rethrows the first failure of the render
    // thread, else of the logic thread, if either failed.
    void RethrowFailure() const;
};

// Stops and joins the subsystem threads when the main window closes. Owns nothing.
class AppWindowListener : public IWindowListener {
public:
    // The threads are borrowed from the run, which outlives the window and so this listener.
    explicit AppWindowListener(AppThreads* threads) : m_threads(threads) {}
    // Called on the Qt thread before the window closes; returns once both threads have ended.
    void OnClose() override;

private:
    AppThreads* m_threads;
};

// A platform that cannot show the program: no X display, or Qt running on a platform other
// than xcb. The entry point reports it on standard error instead of in a window.
class DisplayUnavailable {
public:
    explicit DisplayUnavailable(std::string text) : m_text(std::move(text)) {}
    const std::string& GetText() const { return m_text; }

private:
    std::string m_text;
};

namespace App {

// Assembles the whole system on the main thread and runs the Qt event loop until the main
// window closes; returns the two ended threads. Throws what the factory, the window or the
// thread constructors throw, an exception that ended a subsystem thread (after the window has
// closed and both threads were joined), and DisplayUnavailable.
AppThreads Run(ISubsystemsAllocator& allocator, int argc, char** argv, const std::wstring& title);

// Whether a QApplication made from argc and argv could show windows here: false without an X
// display (Qt would abort the process trying to open it) and on a platform other than xcb. The
// display is the one Qt opens: its -display argument, else $DISPLAY.
bool CanShowWindows(int argc, char** argv);

}  // namespace App

}  // namespace Quellon
