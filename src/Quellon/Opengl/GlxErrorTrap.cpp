#include "Quellon/Opengl/GlxErrorTrap.h"

#include <cerrno>

#include <atomic>

#include "Quellon/Exception.h"
#include "Quellon/Text.h"

namespace Quellon {

namespace {

std::mutex g_trapMutex;
// The handler runs on whichever thread reads the error from its connection; only the thread
// that owns the trap reads ours, so the active trap is per thread.
thread_local GlxErrorTrap* t_activeTrap = nullptr;
std::atomic<XErrorHandler> g_previousHandler{nullptr};

}  // namespace

GlxErrorTrap::GlxErrorTrap(Display* display)
    : m_lock(g_trapMutex), m_display(display), m_previous(nullptr) {
    // Errors of requests made before the trap belong to whoever made them.
    XSync(m_display, False);
    t_activeTrap = this;
    m_previous = XSetErrorHandler(&GlxErrorTrap::Handle);
    g_previousHandler.store(m_previous);
}

GlxErrorTrap::~GlxErrorTrap() {
    // Errors still in flight must arrive while our handler can claim them.
    XSync(m_display, False);
    XSetErrorHandler(m_previous);
    g_previousHandler.store(nullptr);
    t_activeTrap = nullptr;
}

int GlxErrorTrap::Handle(Display* display, XErrorEvent* event) {
    GlxErrorTrap* trap = t_activeTrap;
    if (trap != nullptr && trap->m_display == display) {
        if (!trap->m_failed) {
            trap->m_failed = true;
            trap->m_errorCode = event->error_code;
            trap->m_requestCode = event->request_code;
        }
        return 0;
    }
    const XErrorHandler previous = g_previousHandler.load();
    return previous != nullptr ? previous(display, event) : 0;
}

bool GlxErrorTrap::Failed() {
    XSync(m_display, False);
    const bool failed = m_failed;
    m_failed = false;
    return failed;
}

void GlxErrorTrap::Check(const std::wstring& operation) {
    XSync(m_display, False);
    if (!m_failed) {
        return;
    }
    m_failed = false;
    char text[256] = {};
    XGetErrorText(m_display, m_errorCode, text, sizeof text);
    ThrowException(EIO, L"X error " + Utf8ToWide(text) + L" (request " +
                            std::to_wstring(m_requestCode) + L") after " + operation);
}

}  // namespace Quellon
