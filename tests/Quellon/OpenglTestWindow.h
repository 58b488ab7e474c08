#pragma once

#include <X11/Xlib.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace QuellonTest {

// A plain top-level window on the test's own connection, standing in for the host's render
// frame. The GL tests need an X display: run them under xvfb-run.
class OpenglTestWindow {
public:
    OpenglTestWindow(unsigned int width, unsigned int height) : m_display(XOpenDisplay(nullptr)) {
        if (m_display == nullptr) {
            throw std::runtime_error(
                "the OpenGL tests need an X display (run them under xvfb-run)");
        }
        // With backing store the server keeps what was drawn readable under the window of a
        // test running side by side.
        XSetWindowAttributes attributes = {};
        attributes.background_pixel = BlackPixel(m_display, DefaultScreen(m_display));
        attributes.backing_store = WhenMapped;
        m_window = XCreateWindow(m_display, DefaultRootWindow(m_display), 0, 0, width, height, 0,
                                 CopyFromParent, InputOutput, CopyFromParent,
                                 CWBackPixel | CWBackingStore, &attributes);
        XMapWindow(m_display, m_window);
        XSync(m_display, False);  // the context's connection must find the window mapped
    }
    ~OpenglTestWindow() {
        XDestroyWindow(m_display, m_window);
        XCloseDisplay(m_display);
    }
    OpenglTestWindow(const OpenglTestWindow&) = delete;
    OpenglTestWindow& operator=(const OpenglTestWindow&) = delete;

    Display* GetDisplay() const { return m_display; }
    unsigned long GetWindow() const { return m_window; }
    std::string GetDisplayName() const { return DisplayString(m_display); }
    std::vector<Window> GetChildren() const {
        Window ignored = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        XQueryTree(m_display, m_window, &ignored, &ignored, &children, &count);
        std::vector<Window> result(children, children + count);
        XFree(children);
        return result;
    }

private:
    Display* m_display;
    Window m_window = 0;
};

}  // namespace QuellonTest
