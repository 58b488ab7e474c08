#pragma once

#include <sys/types.h>

#include <QImage>
#include <QRect>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Xlib's Display, declared without Xlib's macros (None, Bool, Status) that break Qt and
// GoogleTest headers.
struct _XDisplay;

namespace AvidriftEndToEnd {

// A waitpid status (0 for a clean exit) in words.
std::string Describe(int status);

// A program started by the test through env(1), which takes words "NAME=value" and
// "--unset=NAME" before the command; standard output and error go to one file of the working
// directory. It dies with the test process, so a crashed test leaves nothing on the X server.
class ChildProcess {
public:
    // Throws std::runtime_error when the child cannot be started.
    ChildProcess(const std::vector<std::string>& command, const std::filesystem::path& directory,
                 std::vector<std::string> environment, const std::string& outputName);
    ~ChildProcess() { Kill(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t GetPid() const { return m_pid; }
    // Polls until the child has ended or the timeout has passed: its waitpid status, if it ended.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout = {});
    // SIGTERM (Weston stops its Xwayland cleanly only then), SIGKILL if that does not end it.
    void Kill();
    std::string ReadOutput() const;

private:
    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::filesystem::path m_output;
};

// A mapped top-level window of some client, with its geometry in root coordinates.
struct TopLevelWindow {
    unsigned long id = 0;
    std::string title;
    QRect geometry;
};

// The test's own connection to the program's X server, to $DISPLAY when name is empty; null
// when there is none. Failed requests do not end the test: the program's windows come and go.
_XDisplay* OpenDisplay(const std::string& name);
void CloseDisplay(_XDisplay* display);
// The viewable top-level windows of process pid (their _NET_WM_PID).
std::vector<TopLevelWindow> FindWindows(_XDisplay* display, pid_t pid);
// What the screen shows there, child windows (such as an OpenGL one) included.
QImage GrabScreen(_XDisplay* display, const QRect& area);
// A window manager's WM_DELETE_WINDOW: without a manager (Xvfb) the only way to close a Qt
// window as a user would; destroying it would skip the program's close handling.
void RequestClose(_XDisplay* display, unsigned long window);

}  // namespace AvidriftEndToEnd
