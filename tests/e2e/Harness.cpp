#include "Harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

// Last: Xlib's macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace AvidriftEndToEnd {

using namespace std::chrono_literals;

std::string Describe(int status) {
    return WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                             : std::string("signal ") + strsignal(WTERMSIG(status));
}

// setpriv arms the death signal and env(1) takes the removals before the assignments (the last
// assignment of a name wins); both exec, so the pid stays the program's.
ChildProcess::ChildProcess(const std::vector<std::string>& command,
                           const std::filesystem::path& directory,
                           std::vector<std::string> environment, const std::string& outputName)
    : m_output(directory / (outputName + ".out")) {
    std::stable_partition(environment.begin(), environment.end(),
                          [](const std::string& word) { return word.starts_with("--unset="); });
    environment.insert(environment.begin(),
                       {"setpriv", "--pdeathsig", "KILL", "env", "--chdir=" + directory.string()});
    environment.insert(environment.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (std::string& word : environment) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, m_output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int error = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::runtime_error(std::string("cannot start setpriv: ") + std::strerror(error));
    }
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int status = 0;; std::this_thread::sleep_for(20ms)) {
        if (!m_status && waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = status;
        }
        if (m_status || std::chrono::steady_clock::now() >= deadline) {
            return m_status;
        }
    }
}

void ChildProcess::Kill() {
    for (const int signal : {SIGTERM, SIGKILL}) {
        if (m_pid > 0 && !WaitForExit()) {
            kill(m_pid, signal);
            WaitForExit(20s);
        }
    }
}

std::string ChildProcess::ReadOutput() const {
    std::ostringstream text;
    text << std::ifstream(m_output, std::ios::binary).rdbuf();
    return text.str();
}

namespace {

std::string Property(Display* display, ::Window window, const char* name, const char* type) {
    Atom actualType = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    std::string value;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 1024, False,
                           XInternAtom(display, type, False), &actualType, &format, &items,
                           &remaining, &data) == Success &&
        data != nullptr && format != 0) {
        // Format 32 properties come back as longs whatever the width of long.
        value.assign(reinterpret_cast<const char*>(data),
                     items * (format == 32 ? sizeof(long) : format / 8));
    }
    XFree(data);
    return value;
}

// Clients are directly under the root without a window manager (Xvfb), one or two levels down
// inside a reparenting manager's frames (Xwayland's).
void Collect(Display* display, ::Window window, int depth, pid_t pid,
             std::vector<TopLevelWindow>& found) {
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned int count = 0;
    if (depth >= 3 || XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
        return;
    }
    const std::vector<::Window> list(children, children + count);
    XFree(children);
    for (const ::Window child : list) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, child, &attributes) == 0 ||
            attributes.map_state != IsViewable) {
            continue;
        }
        const std::string owner = Property(display, child, "_NET_WM_PID", "CARDINAL");
        int x = 0;
        int y = 0;
        ::Window ignored = 0;
        if (owner.size() != sizeof(long)) {
            Collect(display, child, depth + 1, pid, found);
        } else if (*reinterpret_cast<const long*>(owner.data()) == pid &&
                   XTranslateCoordinates(display, child, attributes.root, 0, 0, &x, &y, &ignored) !=
                       0) {
            found.push_back({child, Property(display, child, "_NET_WM_NAME", "UTF8_STRING"),
                             QRect(x, y, attributes.width, attributes.height)});
        }
    }
}

}  // namespace

// Xvfb resets when its last client leaves, and refuses connections while it does. BadWindow's
// default handler would end the test, so every request is checked by its return value instead.
_XDisplay* OpenDisplay(const std::string& name) {
    Display* display = nullptr;
    for (int attempt = 0; display == nullptr && attempt < 100; ++attempt) {
        display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
        std::this_thread::sleep_for(display == nullptr ? 100ms : 0ms);
    }
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    return display;
}

void CloseDisplay(_XDisplay* display) {
    if (display != nullptr) {
        XCloseDisplay(display);
    }
}

std::vector<TopLevelWindow> FindWindows(_XDisplay* display, pid_t pid) {
    std::vector<TopLevelWindow> found;
    Collect(display, DefaultRootWindow(display), 0, pid, found);
    return found;
}

// The root window, not the program's: where an inferior of another depth (the GL window) covers
// a window, that window's image is undefined. The test server's 24-bit visual is 0xRRGGBB in 32
// bits, as Format_RGB32.
QImage GrabScreen(_XDisplay* display, const QRect& area) {
    const int screen = DefaultScreen(display);
    const QRect clipped = area.intersected(
        QRect(0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)));
    XImage* image = clipped.isEmpty()
                        ? nullptr
                        : XGetImage(display, DefaultRootWindow(display), clipped.x(), clipped.y(),
                                    clipped.width(), clipped.height(), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return QImage();
    }
    QImage result = QImage(reinterpret_cast<const uchar*>(image->data), image->width, image->height,
                           image->bytes_per_line, QImage::Format_RGB32)
                        .copy();
    XDestroyImage(image);
    return result;
}

void RequestClose(_XDisplay* display, unsigned long window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
}

}  // namespace AvidriftEndToEnd
