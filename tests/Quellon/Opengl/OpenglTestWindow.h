#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Quellon/Exception.h"

namespace QuellonTest {

// A plain top-level window on the test's own connection, standing in for the host's render
// frame. The GL tests need an X display: run them under xvfb-run.
class OpenglTestWindow {
public:
    OpenglTestWindow(unsigned int width, unsigned int height) : m_display(XOpenDisplay(nullptr)) {
        if (m_display == nullptr) {
            throw std::runtime_error("the OpenGL tests need an X display (run under xvfb-run)");
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
    std::size_t CountChildren() const {
        Window ignored = 0, *children = nullptr;
        unsigned int count = 0;
        XQueryTree(m_display, m_window, &ignored, &ignored, &children, &count);
        XFree(children);
        return count;
    }

private:
    Display* m_display;
    Window m_window = 0;
};

// What the operation throws, an OpenGL error with its name and code.
inline std::wstring MessageOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const Quellon::OpenglException& e) {
        return e.GetErrorText() + L" " + std::to_wstring(e.GetErrorCode()) + L"," + e.GetMessage();
    } catch (const Quellon::Exception& e) {
        return e.GetMessage();
    }
    return L"<no exception>";
}

}  // namespace QuellonTest
