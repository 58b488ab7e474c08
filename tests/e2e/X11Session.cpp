#include "X11Session.h"

#include <stdexcept>

// Last: Xlib's macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace AvidriftEndToEnd {

namespace {

// Client and WM-frame windows are found this many levels under the root: directly under it
// without a window manager (Xvfb), one or two levels down inside a reparenting manager's frames.
constexpr int kSearchDepth = 3;

// The program's windows come and go while the test looks at them: a window destroyed between
// XQueryTree and the next request raises BadWindow, whose default handler ends the test process.
// Every such request is checked by its return value instead.
int IgnoreError(Display*, XErrorEvent*) {
    return 0;
}

int ShiftOf(unsigned long mask) {
    int shift = 0;
    while (mask != 0 && (mask & 1) == 0) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

int ChannelOf(unsigned long pixel, unsigned long mask) {
    const unsigned long maximum = mask >> ShiftOf(mask);
    if (maximum == 0) {
        return 0;
    }
    return static_cast<int>(((pixel & mask) >> ShiftOf(mask)) * 255 / maximum);
}

}  // namespace

X11Session::X11Session(const std::string& displayName)
    : m_display(XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str())) {
    if (m_display == nullptr) {
        throw std::runtime_error(
            "the end-to-end tests need an X display: run them under xvfb-run or set DISPLAY");
    }
    XSetErrorHandler(IgnoreError);
}

X11Session::~X11Session() {
    XCloseDisplay(m_display);
    XSetErrorHandler(nullptr);
}

std::vector<TopLevelWindow> X11Session::FindWindows(pid_t pid, const std::string& titlePrefix) {
    std::vector<TopLevelWindow> found;
    Collect(DefaultRootWindow(m_display), 0, pid, titlePrefix, found);
    return found;
}

std::optional<TopLevelWindow> X11Session::FindWindow(pid_t pid, const std::string& titlePrefix) {
    std::vector<TopLevelWindow> found = FindWindows(pid, titlePrefix);
    if (found.empty()) {
        return std::nullopt;
    }
    return found.front();
}

void X11Session::Collect(unsigned long window, int depth, pid_t pid, const std::string& titlePrefix,
                         std::vector<TopLevelWindow>& found) {
    if (depth >= kSearchDepth) {
        return;
    }
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(m_display, window, &root, &parent, &children, &count) == 0) {
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
        if (OwnerOf(child) == pid) {
            const std::string title = TitleOf(child);
            if (title.rfind(titlePrefix, 0) == 0) {
                int x = 0;
                int y = 0;
                ::Window ignored = 0;
                if (XTranslateCoordinates(m_display, child, attributes.root, 0, 0, &x, &y,
                                          &ignored) != 0) {
                    found.push_back(
                        {child, title, QRect(x, y, attributes.width, attributes.height)});
                }
            }
            // A client's own children (the render frame, the GL window) are not top-levels.
            continue;
        }
        Collect(child, depth + 1, pid, titlePrefix, found);
    }
}

std::optional<pid_t> X11Session::OwnerOf(unsigned long window) {
    const Atom property = XInternAtom(m_display, "_NET_WM_PID", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    std::optional<pid_t> owner;
    if (XGetWindowProperty(m_display, window, property, 0, 1, False, XA_CARDINAL, &type, &format,
                           &items, &remaining, &data) == Success &&
        data != nullptr && format == 32 && items == 1) {
        // Format 32 properties come back as longs whatever the width of long.
        owner = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data != nullptr) {
        XFree(data);
    }
    return owner;
}

std::string X11Session::TitleOf(unsigned long window) {
    // _NET_WM_NAME carries the title in UTF-8; WM_NAME may be limited to Latin-1.
    const Atom property = XInternAtom(m_display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(m_display, "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(m_display, window, property, 0, 1024, False, utf8, &type, &format,
                           &items, &remaining, &data) == Success &&
        data != nullptr && type == utf8 && format == 8) {
        title.assign(reinterpret_cast<const char*>(data), items);
    } else {
        char* name = nullptr;
        if (XFetchName(m_display, window, &name) != 0 && name != nullptr) {
            title = name;
        }
        if (name != nullptr) {
            XFree(name);
        }
    }
    if (data != nullptr) {
        XFree(data);
    }
    return title;
}

QImage X11Session::GrabScreen(const QRect& area) {
    const ::Window root = DefaultRootWindow(m_display);
    const int screen = DefaultScreen(m_display);
    const QRect clipped = area.intersected(
        QRect(0, 0, DisplayWidth(m_display, screen), DisplayHeight(m_display, screen)));
    if (clipped.isEmpty()) {
        return QImage();
    }
    // The root window, not the program's window: the GL child window may have a visual of its
    // own, and a window's image is undefined where an inferior of another depth covers it.
    XImage* image = XGetImage(m_display, root, clipped.x(), clipped.y(), clipped.width(),
                              clipped.height(), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return QImage();
    }
    QImage result(clipped.width(), clipped.height(), QImage::Format_RGB32);
    for (int y = 0; y < clipped.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < clipped.width(); ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            line[x] = qRgb(ChannelOf(pixel, image->red_mask), ChannelOf(pixel, image->green_mask),
                           ChannelOf(pixel, image->blue_mask));
        }
    }
    XDestroyImage(image);
    return result;
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

void X11Session::Focus(unsigned long window) {
    XSetInputFocus(m_display, window, RevertToPointerRoot, CurrentTime);
    XSync(m_display, False);
}

}  // namespace AvidriftEndToEnd
