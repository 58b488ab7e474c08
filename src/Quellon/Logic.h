#pragma once

#include <atomic>
#include <memory>

#include "Quellon/IThreadCallable.h"
#include "Quellon/UserEventQueue.h"

namespace Quellon {

class ILogicCallable;
class Scene;

// The logic subsystem: drains the user events into the application's logic, lets it update the
// working scene, and publishes the working scene into the scene shared with the renderer. The
// heavy work happens on the working scene without a lock; only the publish takes the shared
// scene's lock.
class Logic : public IThreadCallable {
public:
    // Called on the main thread; shares ownership of all three. scene is the working scene the
    // callable was made with. Throws Exception for an empty argument.
    Logic(std::shared_ptr<ILogicCallable> callable, std::shared_ptr<Scene> scene,
          std::shared_ptr<Scene> sharedScene);

    // Called on the logic thread: the working scene starts as a copy of the shared scene, the
    // callable initialises it, and the shared scene receives the result before the renderer's
    // PostInit reads it.
    void Init() override;
    // Called on the logic thread: this iteration's events, the callable's update, the publish.
    // Publishes nothing when a stop was requested before the callable's update returned: the
    // callable may have abandoned its step half done.
    void Update(float elapsedSeconds) override;
    ~Logic() override;
    // Called on the thread that stops the logic thread; forwarded to the callable.
    void RequestStop() override;

    // Called on any thread. The queue lives as long as this object; the window and the tab
    // pages post to it through this pointer.
    UserEventQueue* GetEventQueue() { return &m_events; }

private:
    std::shared_ptr<ILogicCallable> m_callable;
    std::shared_ptr<Scene> m_scene;
    std::shared_ptr<Scene> m_sharedScene;
    UserEventQueue m_events;
    // Set by RequestStop, read by the logic thread after each update.
    std::atomic<bool> m_stopRequested;
};

}  // namespace Quellon
