#pragma once

#include <boost/noncopyable.hpp>

namespace Quellon {

// The application's renderer, driven by Render on the render thread.
class IRenderCallable : private boost::noncopyable {
public:
    // Called first on the render thread; the renderer makes its context current here, so
    // everything that needs the context happens on this thread from now on.
    virtual void Init() = 0;
    // Called on the render thread once the logic has finished its Init: the shared scene
    // already holds the logic's first state and does not change until this returns.
    virtual void PostInit() = 0;
    // Called on the render thread once per frame, with the shared scene locked for reading.
    virtual void Update(float elapsedSeconds) = 0;
    virtual ~IRenderCallable() = default;
    // Called last on the render thread, however the thread ends: the renderer releases its
    // OpenGL objects and context here, while the window it draws into still exists.
    virtual void Shutdown() {}
};

}  // namespace Quellon
