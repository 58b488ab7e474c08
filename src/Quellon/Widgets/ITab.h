#pragma once

#include <memory>

// The framework's CPU part stays free of Qt: a page is handed over as a pointer only.
class QWidget;

namespace Quellon {

class Scene;

// A page of the main window's tab widget. Unlike the other interfaces it is not made
// non-copyable; the concrete pages are QObjects, which are not copyable anyway.
class ITab {
public:
    // Called on the main thread. Returns the page; once the window has added it to its tab
    // widget, the tab widget owns and destroys it.
    virtual QWidget* GetWidget() = 0;
    // Called once on the main thread with the logic's working scene, from which the page takes
    // its initial values; the page may keep the scene.
    virtual void SetScene(std::shared_ptr<Scene> scene) = 0;
    virtual ~ITab() = default;
};

}  // namespace Quellon
