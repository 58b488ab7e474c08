#pragma once

#include <boost/noncopyable.hpp>

namespace Quellon {

// What a Thread runs: Init once, PostInit once after every subsystem thread has finished Init,
// then Update in a loop until the thread is asked to stop. All of them are called on the
// subsystem's own thread; one object is driven by one thread only.
class IThreadCallable : private boost::noncopyable {
public:
    // Called first, on the subsystem thread, while the constructing thread waits for it.
    virtual void Init() {}
    // Called on the subsystem thread once the other subsystem thread has finished its Init.
    virtual void PostInit() {}
    // Called on the subsystem thread in an unpaced loop; elapsedSeconds is the time since the
    // previous call started (since the Thread was constructed, for the first call).
    virtual void Update(float elapsedSeconds) = 0;
    virtual ~IThreadCallable() = default;
    // Called on the thread that stops the subsystem, possibly while Update runs on the
    // subsystem thread; the request is never withdrawn. An Update that can run long overrides
    // this to abandon its work, so that stopping does not wait for all of it.
    virtual void RequestStop() {}

    // Called last on the subsystem thread, whatever ended it (a stop, a failure of this or the
    // other thread, even a failed Init): releases what must not outlive the thread, such as an
    // OpenGL context bound to it or a window handle that the owner destroys next.
    virtual void Shutdown() {}
};

}  // namespace Quellon
