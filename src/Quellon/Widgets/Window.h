#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QWidget>

namespace Quellon {

class ITab;
class IWindowListener;
class UserEventQueue;

// What the window's "Contact" box shows: the maker's name, e-mail and web addresses.
struct ContactInfo {
    std::wstring author = L"The Avidrift authors";
    std::wstring email = L"avidrift@example.org";
    std::wstring web = L"https://avidrift.example.org";
};

// The application's fixed-size main window: the 800 x 600 render frame on the left, the tab
// pages and the contact box on the right. Mouse drags and wheel turns over it become
// MouseEvents on the logic's queue; closing it tells the listener, which stops the subsystem
// threads before the window goes.
class Window : public QWidget {
public:
    // Pixel size of the render frame; the renderer is created with the same size.
    static constexpr int kRenderWidth = 800;
    static constexpr int kRenderHeight = 600;

    // Called on the Qt thread. Shares ownership of the tabs, whose pages the window's tab
    // widget takes over and deletes; borrows listener and eventQueue, which must outlive the
    // window. Builds the form, shows the window and flushes Qt's X connection, so that another
    // connection can use GetRenderWindowId() as soon as this returns. Throws Exception for an
    // empty listener, queue or tab.
    Window(const std::wstring& title, std::vector<std::shared_ptr<ITab>> tabs,
           IWindowListener* listener, UserEventQueue* eventQueue,
           const ContactInfo& contact = ContactInfo());
    ~Window() override;

    // Called on any thread. The X window id of the render frame, for the renderer to draw into;
    // valid for the window's lifetime. A fake id on a platform other than xcb.
    unsigned long GetRenderWindowId() const { return m_renderWindowId; }

protected:
    // Called on the Qt thread, each posts one MouseEvent with the updated record.
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    // Called on the Qt thread: a left double-click in the render area posts a MouseEvent with
    // the button kDoubleClick, the way back to the start view.
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    // Called on the Qt thread; blocks until the listener has stopped the subsystem threads.
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildForm(const std::wstring& title, const ContactInfo& contact);
    void PostMouseRecord();

    std::vector<std::shared_ptr<ITab>> m_tabs;
    // Borrowed from the application run, which outlives the window.
    IWindowListener* m_listener;
    // Borrowed: the logic's queue, which outlives the window.
    UserEventQueue* m_eventQueue;
    unsigned long m_renderWindowId = 0;
    // The render frame; the window's widget tree owns it.
    QWidget* m_render = nullptr;

    // The last mouse state, posted whole with every event. The previous position starts at
    // the origin, so the first move reports its position as the movement.
    int m_x = 0;
    int m_y = 0;
    int m_previousX = 0;
    int m_previousY = 0;
    int m_dx = 0;
    int m_dy = 0;
    int m_wheelDelta = 0;
    bool m_pressed = false;
    int m_button;
};

}  // namespace Quellon
