#include "Quellon/Logic.h"

#include <cerrno>

#include "Quellon/Exception.h"
#include "Quellon/ILogicCallable.h"
#include "Quellon/Scene.h"
#include "Quellon/UserEvent.h"

namespace Quellon {

Logic::Logic(std::shared_ptr<ILogicCallable> callable, std::shared_ptr<Scene> scene,
             std::shared_ptr<Scene> sharedScene)
    : m_callable(std::move(callable)),
      m_scene(std::move(scene)),
      m_sharedScene(std::move(sharedScene)),
      m_stopRequested(false) {
    if (!m_callable) {
        ThrowException(EINVAL, L"Invalid parameter: !callable in Logic::Logic");
    }
    if (!m_scene) {
        ThrowException(EINVAL, L"Invalid parameter: !scene in Logic::Logic");
    }
    if (!m_sharedScene) {
        ThrowException(EINVAL, L"Invalid parameter: !sharedScene in Logic::Logic");
    }
}

Logic::~Logic() = default;

void Logic::Init() {
    m_scene->Assign(m_sharedScene);
    m_callable->Init();
    m_sharedScene->Assign(m_scene);
}

void Logic::Update(float elapsedSeconds) {
    {
        // Events posted from here on wait for the next iteration; the batch, and with it every
        // event, is released before the update.
        const std::deque<std::shared_ptr<IUserEvent>> batch = m_events.TakeAll();
        for (const std::shared_ptr<IUserEvent>& event : batch) {
            switch (event->GetType()) {
                case IUserEvent::kMouseEventType:
                    m_callable->OnMouseEvent(elapsedSeconds, event);
                    break;
                case IUserEvent::kCustomEventType:
                    m_callable->OnCustomEvent(elapsedSeconds, event);
                    break;
                default:
                    break;
            }
        }
    }
    m_callable->Update(elapsedSeconds);
    if (m_stopRequested.load(std::memory_order_acquire)) {
        return;
    }
    m_sharedScene->Assign(m_scene);
}

void Logic::RequestStop() {
    // Set before the callable hears of it, so an update that ends because of the request
    // always finds the flag.
    m_stopRequested.store(true, std::memory_order_release);
    m_callable->RequestStop();
}

}  // namespace Quellon
