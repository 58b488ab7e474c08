#pragma once

#include <sys/types.h>

#include <QImage>
#include <QRect>
#include <string>
#include <vector>

// Xlib's Display, declared without Xlib's macros (None, Bool, Status) that break Qt and
// GoogleTest headers.
struct _XDisplay;

namespace AvidriftEndToEnd {

// A mapped top-level window of some client, with its geometry in root coordinates.
struct TopLevelWindow {
    unsigned long id = 0;
    std::string title;
    QRect geometry;
};

// The test's own connection to the program's X server, to look at its windows as a user or a
// window manager would.
class X11Session {
public:
    // Connects to displayName, or to $DISPLAY when it is empty; throws when it cannot.
    explicit X11Session(const std::string& displayName = std::string());
    ~X11Session();
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;

    // The viewable top-level windows of process pid (their _NET_WM_PID).
    std::vector<TopLevelWindow> FindWindows(pid_t pid);
    // What the screen shows there, child windows (such as an OpenGL one) included.
    QImage GrabScreen(const QRect& area);
    // A window manager's WM_DELETE_WINDOW: without a manager (Xvfb) the only way to close a Qt
    // window as a user would; destroying it would skip the program's close handling.
    void RequestClose(unsigned long window);

private:
    void Collect(unsigned long window, int depth, pid_t pid, std::vector<TopLevelWindow>& found);
    std::string Property(unsigned long window, const char* name, const char* type);

    _XDisplay* m_display = nullptr;
};

}  // namespace AvidriftEndToEnd
