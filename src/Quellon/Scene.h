#pragma once

#include <functional>
#include <memory>

#include <boost/noncopyable.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/shared_mutex.hpp>

#include "Quellon/Camera.h"

namespace Quellon {

// Base of the application's scenes: the camera and the reader/writer lock through which the
// logic thread publishes a scene while the render thread draws it. There is one writer
// (Assign) and one reader (BeginRead/EndRead) per scene. The writer copies under upgrade
// ownership turned exclusive, so a frame in progress finishes before the copy starts, and a
// frame that starts during the copy waits for all of it: the renderer never sees half a copy.
class Scene : private boost::noncopyable {
public:
    // Called on the main thread by the factory. Throws boost::thread_resource_error when the
    // system refuses the lock's resources.
    Scene();
    // Called on whichever thread releases the last owner, once no thread uses the scene any
    // more; releases the read lock first if a reader still holds it.
    virtual ~Scene();  // NOLINT(bugprone-exception-escape): see the definition
    // Makes this scene's content equal to source's, which is the same concrete type. Called
    // only by Assign, with this scene exclusively locked; source is read without a lock.
    virtual void CopyFrom(std::shared_ptr<Scene> source) = 0;

    // Called on the logic thread: copies source into this scene under exclusive ownership,
    // waiting for a frame in progress to end. The caller keeps source; it is not locked and
    // must not change meanwhile. If CopyFrom throws, the lock is released and the exception
    // leaves. Throws Exception for an empty source.
    void Assign(std::shared_ptr<Scene> source);

    // Called on the render thread before a frame: takes shared ownership, waiting while a copy
    // is in progress. Throws boost::lock_error, changing nothing, if the read lock is held
    // already.
    void BeginRead();
    // Called on the render thread after the frame. Throws boost::lock_error, changing nothing,
    // if the read lock is not held.
    void EndRead();

    // Called on any thread but the render thread: runs reader while holding shared ownership of
    // the scene, so a publish cannot change the scene under it. Lets another thread (the
    // settings page at start-up) read a scene that the logic is already publishing into.
    void ReadLocked(const std::function<void()>& reader);

    Camera m_camera;

private:
    boost::shared_mutex m_mutex;
    // The scene's one read lock, bound to m_mutex and used by the render thread only.
    boost::shared_lock<boost::shared_mutex> m_readLock;
};

}  // namespace Quellon
