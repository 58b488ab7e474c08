// Counts the frames a running program presents into an X window, from outside the program: the
// X server reports every change to the window's contents through the DAMAGE extension, and a
// presented frame is one such change. Usage: avidrift_frame_counter WINDOW SECONDS
// (WINDOW: the id of a top-level window; every 800 x 600 window under it is watched).
// Prints the frames counted and the frames per second.

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

void CollectRenderWindows(Display* display, Window window, std::vector<Window>& found) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window, &attributes) != 0 && attributes.width == 800 &&
        attributes.height == 600) {
        found.push_back(window);
    }
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) != 0) {
        for (unsigned int i = 0; i < count; ++i) {
            CollectRenderWindows(display, children[i], found);
        }
        XFree(children);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s WINDOW SECONDS\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    int eventBase = 0;
    int errorBase = 0;
    if (display == nullptr || !XDamageQueryExtension(display, &eventBase, &errorBase)) {
        std::fprintf(stderr, "no X display with the DAMAGE extension\n");
        return 1;
    }
    std::vector<Window> windows;
    CollectRenderWindows(display, std::strtoul(argv[1], nullptr, 0), windows);
    if (windows.empty()) {
        std::fprintf(stderr, "no 800 x 600 window under %s\n", argv[1]);
        return 1;
    }
    for (const Window window : windows) {
        // Raw rectangles: one event per drawing request, none merged or held back.
        XDamageCreate(display, window, XDamageReportRawRectangles);
    }
    XSync(display, False);

    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration<double>(std::atof(argv[2]));
    // The renderer's window and the frame that holds it may both report the same put, so
    // frames are counted per window and the busiest window counts.
    std::map<Drawable, long> perWindow;
    while (Clock::now() < end) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == eventBase + XDamageNotify) {
                const auto& damage = reinterpret_cast<const XDamageNotifyEvent&>(event);
                // A frame is put as one whole-area image; the program's other drawing is small.
                if (!damage.more && damage.area.width == 800 && damage.area.height == 600) {
                    ++perWindow[damage.drawable];
                }
            }
        }
        pollfd descriptor{ConnectionNumber(display), POLLIN, 0};
        poll(&descriptor, 1, 10);
    }
    long frames = 0;
    for (const auto& [window, count] : perWindow) {
        std::fprintf(stderr, "window 0x%lx: %ld\n", window, count);
        frames = std::max(frames, count);
    }
    std::printf("%ld frames %.2f frames/s\n", frames,
                static_cast<double>(frames) / std::atof(argv[2]));
    XCloseDisplay(display);
    return 0;
}
