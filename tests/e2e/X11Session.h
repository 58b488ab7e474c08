#pragma once

#include <sys/types.h>

#include <QImage>
#include <QRect>
#include <optional>
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

// The test's own connection to the X server that the program under test uses, for looking at
// its windows the way a user or a window manager would.
class X11Session {
public:
    // Connects to displayName, or to $DISPLAY when it is empty. Throws std::runtime_error when
    // the display cannot be opened.
    explicit X11Session(const std::string& displayName = std::string());
    ~X11Session();
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;

    // The viewable top-level windows of process pid (their _NET_WM_PID) whose title starts with
    // titlePrefix; windows that vanish while they are looked at are left out.
    std::vector<TopLevelWindow> FindWindows(pid_t pid, const std::string& titlePrefix);
    std::optional<TopLevelWindow> FindWindow(pid_t pid, const std::string& titlePrefix);
    // What the screen shows in the area, child windows (such as an OpenGL one) included.
    QImage GrabScreen(const QRect& area);
    // The WM_DELETE_WINDOW message of a window manager: without one (Xvfb) the only way to close
    // a Qt window as a user would; destroying it would skip the program's close handling.
    void RequestClose(unsigned long window);
    // The keyboard focus, as a window manager gives it to a clicked window.
    void Focus(unsigned long window);

private:
    void Collect(unsigned long window, int depth, pid_t pid, const std::string& titlePrefix,
                 std::vector<TopLevelWindow>& found);
    std::string Property(unsigned long window, const char* name, const char* type);

    _XDisplay* m_display = nullptr;
};

}  // namespace AvidriftEndToEnd
