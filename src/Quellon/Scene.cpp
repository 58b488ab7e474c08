#include "Quellon/Scene.h"

#include <cerrno>

#include "Quellon/Exception.h"

namespace Quellon {

Scene::Scene() : m_readLock(m_mutex, boost::defer_lock) {}

// unlock throws only for a lock not held, which the test rules out.
Scene::~Scene() {  // NOLINT(bugprone-exception-escape)
    if (m_readLock.owns_lock()) {
        m_readLock.unlock();
    }
}

void Scene::Assign(std::shared_ptr<Scene> source) {
    if (!source) {
        ThrowException(EINVAL, L"Invalid parameter: !source in Scene::Assign");
    }
    // Upgrade ownership first: it excludes another writer but lets the frame in progress go
    // on, and once held, the turn to exclusive happens as soon as that frame releases, ahead of
    // any later frame.
    boost::upgrade_lock<boost::shared_mutex> upgradeLock(m_mutex);
    // Both guards release on the way out, so a throwing CopyFrom leaves the scene unlocked.
    boost::upgrade_to_unique_lock<boost::shared_mutex> exclusiveLock(upgradeLock);
    CopyFrom(std::move(source));
}

void Scene::BeginRead() {
    m_readLock.lock();
}

void Scene::EndRead() {
    m_readLock.unlock();
}

void Scene::ReadLocked(const std::function<void()>& reader) {
    boost::shared_lock<boost::shared_mutex> lock(m_mutex);
    reader();
}

}  // namespace Quellon
