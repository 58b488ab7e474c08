#pragma once

#include <memory>
#include <vector>

#include <boost/noncopyable.hpp>

namespace Quellon {

class ILogicCallable;
class IRenderCallable;
class ITab;
class Scene;
class UserEventQueue;

// The X11 window id of the render area; the renderer creates its drawable inside that window.
using NativeWindowId = unsigned long;

// The application's factory. Called on the main thread by the application run, in the order
// CreateScene, CreateScene, CreateLogic, CreateTabs, CreateRender; every result is owned by
// the shared pointer it is returned in.
class ISubsystemsAllocator : private boost::noncopyable {
public:
    // The renderer of scene, drawing into window at width x height pixels.
    virtual std::shared_ptr<IRenderCallable> CreateRender(std::shared_ptr<Scene> scene,
                                                          NativeWindowId window, int width,
                                                          int height) = 0;
    // The logic working on scene.
    virtual std::shared_ptr<ILogicCallable> CreateLogic(std::shared_ptr<Scene> scene) = 0;
    virtual std::shared_ptr<Scene> CreateScene() = 0;
    // The tab pages in tab order. They post to events, which outlives them and is not owned.
    virtual std::vector<std::shared_ptr<ITab>> CreateTabs(UserEventQueue* events) = 0;
    virtual ~ISubsystemsAllocator() = default;
};

}  // namespace Quellon
