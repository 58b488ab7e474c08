#pragma once

#include <mutex>
#include <string>

#include <X11/Xlib.h>
#include <boost/noncopyable.hpp>

namespace Quellon {

// Collects the X errors that one connection raises while the trap exists. Xlib's error handler
// is process-wide: Qt installs one that ignores every error, so a failed request on our own
// connection would go unnoticed, and Xlib's default handler would end the process instead.
// Private to the GL layer. Used on the thread that owns the connection; traps do not nest.
class GlxErrorTrap : private boost::noncopyable {
public:
    // Installs the trap's handler; errors of other connections still reach the handler that
    // was installed before.
    explicit GlxErrorTrap(Display* display);
    // Restores the previous handler. Errors never collected by Check or Failed are dropped.
    ~GlxErrorTrap();

    // Waits until the server has answered every request made so far, then throws Exception
    // naming the first error and the operation ("XCreateWindow in OpenglContext::...").
    void Check(const std::wstring& operation);
    // The same wait; reports the first error instead of throwing and forgets it.
    bool Failed();

private:
    static int Handle(Display* display, XErrorEvent* event);

    // Only one trap may own the process-wide handler at a time, or two threads restoring
    // their previous handlers in the wrong order would leave ours installed for good.
    std::unique_lock<std::mutex> m_lock;
    Display* m_display;
    XErrorHandler m_previous;
    bool m_failed = false;
    unsigned char m_errorCode = 0;
    unsigned char m_requestCode = 0;
};

}  // namespace Quellon
