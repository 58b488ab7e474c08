#pragma once

#include <memory>

#include "Quellon/IThreadCallable.h"

namespace Quellon {

class IRenderCallable;
class Scene;

// The render subsystem: forwards start-up to the application's renderer and draws every frame
// with the shared scene locked for reading, so a frame never sees a publish in progress.
class Render : public IThreadCallable {
public:
    // Called on the main thread; shares ownership of both. Throws Exception for an empty
    // argument.
    Render(std::shared_ptr<IRenderCallable> callable, std::shared_ptr<Scene> sharedScene);

    // Called on the render thread, first.
    void Init() override;
    // Called on the render thread after the logic's Init; the shared scene holds its first
    // state and is read without the lock, since the logic waits at the ready barrier meanwhile.
    void PostInit() override;
    // Called on the render thread: one frame, presentation included, under the read lock. The
    // lock is released also when the frame throws, so the logic's next publish cannot wait
    // forever on a renderer that has failed.
    void Update(float elapsedSeconds) override;
    ~Render() override;
    // Called last on the render thread, whatever ended it.
    void Shutdown() override;

private:
    std::shared_ptr<IRenderCallable> m_callable;
    std::shared_ptr<Scene> m_sharedScene;
};

}  // namespace Quellon
