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
    OpenglTestWindow(unsigned int width, unsigned int height) {
        m_display = XOpenDisplay(nullptr);
        if (m_display == nullptr) {
            throw std::runtime_error(
                "the OpenGL tests need an X display (run them under xvfb-run)");
        }
        // Tests running side by side put their windows on top of each other; with backing
        // store the server keeps what was drawn under another test's window readable.
        XSetWindowAttributes attributes = {};
        attributes.background_pixel = BlackPixel(m_display, DefaultScreen(m_display));
        attributes.backing_store = WhenMapped;
        m_window = XCreateWindow(m_display, DefaultRootWindow(m_display), 0, 0, width, height, 0,
                                 CopyFromParent, InputOutput, CopyFromParent,
                                 CWBackPixel | CWBackingStore, &attributes);
        XMapWindow(m_display, m_window);
        // The context's connection must find the window created and mapped.
        XSync(m_display, False);
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
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        std::vector<Window> result;
        if (XQueryTree(m_display, m_window, &root, &parent, &children, &count) != 0 &&
            children != nullptr) {
            result.assign(children, children + count);
            XFree(children);
        }
        return result;
    }

private:
    Display* m_display = nullptr;
    Window m_window = 0;
};

}  // namespace QuellonTest
