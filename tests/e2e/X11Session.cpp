#include "X11Session.h"

#include <chrono>
#include <stdexcept>
#include <thread>

// Last: Xlib's macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace AvidriftEndToEnd {

// Xvfb resets when its last client leaves, and refuses connections while it does. The
// program's windows come and go while the test looks: BadWindow's default handler would end the
// test, so every request is checked by its return value instead.
X11Session::X11Session(const std::string& displayName) {
    for (int attempt = 0; m_display == nullptr && attempt < 100; ++attempt) {
        m_display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(m_display == nullptr ? 100 : 0));
    }
    if (m_display == nullptr) {
        throw std::runtime_error("the end-to-end tests need an X display (run them under Xvfb)");
    }
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
}

X11Session::~X11Session() {
    XCloseDisplay(m_display);
    XSetErrorHandler(nullptr);
}

std::vector<TopLevelWindow> X11Session::FindWindows(pid_t pid) {
    std::vector<TopLevelWindow> found;
    Collect(DefaultRootWindow(m_display), 0, pid, found);
    return found;
}

// Clients are directly under the root without a window manager (Xvfb), one or two levels down
// inside a reparenting manager's frames (Xwayland's).
void X11Session::Collect(unsigned long window, int depth, pid_t pid,
                         std::vector<TopLevelWindow>& found) {
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned int count = 0;
    if (depth >= 3 || XQueryTree(m_display, window, &root, &parent, &children, &count) == 0) {
        return;
    }
    const std::vector<::Window> list(children, children + count);
    XFree(children);
    for (const ::Window child : list) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(m_display, child, &attributes) == 0 ||
            attributes.map_state != IsViewable) {
            continue;
        }
        // Format 32 properties come back as longs whatever the width of long.
        const std::string owner = Property(child, "_NET_WM_PID", "CARDINAL");
        int x = 0;
        int y = 0;
        ::Window ignored = 0;
        if (owner.size() != sizeof(long)) {
            Collect(child, depth + 1, pid, found);
        } else if (*reinterpret_cast<const long*>(owner.data()) == pid &&
                   XTranslateCoordinates(m_display, child, attributes.root, 0, 0, &x, &y,
                                         &ignored) != 0) {
            found.push_back({child, Property(child, "_NET_WM_NAME", "UTF8_STRING"),
                             QRect(x, y, attributes.width, attributes.height)});
        }
    }
}

std::string X11Session::Property(unsigned long window, const char* name, const char* type) {
    Atom actualType = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    std::string value;
    if (XGetWindowProperty(m_display, window, XInternAtom(m_display, name, False), 0, 1024, False,
                           XInternAtom(m_display, type, False), &actualType, &format, &items,
                           &remaining, &data) == Success &&
        data != nullptr && format != 0) {
        value.assign(reinterpret_cast<const char*>(data),
                     items * (format == 32 ? sizeof(long) : format / 8));
    }
    XFree(data);
    return value;
}

// The root window, not the program's: where an inferior of another depth (the GL window) covers
// a window, that window's image is undefined. The test server's 24-bit visual is 0xRRGGBB.
QImage X11Session::GrabScreen(const QRect& area) {
    const int screen = DefaultScreen(m_display);
    const QRect clipped = area.intersected(
        QRect(0, 0, DisplayWidth(m_display, screen), DisplayHeight(m_display, screen)));
    XImage* image = clipped.isEmpty() ? nullptr
                                      : XGetImage(m_display, DefaultRootWindow(m_display),
                                                  clipped.x(), clipped.y(), clipped.width(),
                                                  clipped.height(), AllPlanes, ZPixmap);
    QImage result(clipped.width(), clipped.height(), QImage::Format_RGB32);
    for (int y = 0; image != nullptr && y < clipped.height(); ++y) {
        for (int x = 0; x < clipped.width(); ++x) {
            result.setPixel(x, y, static_cast<QRgb>(XGetPixel(image, x, y)) | 0xff000000u);
        }
    }
    if (image != nullptr) {
        XDestroyImage(image);
    }
    return image != nullptr ? result : QImage();
}

void X11Session::RequestClose(unsigned long window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(m_display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(m_display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(m_display, window, False, NoEventMask, &event);
    XSync(m_display, False);
}

}  // namespace AvidriftEndToEnd
