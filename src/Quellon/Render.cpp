#include "Quellon/Render.h"

#include <cerrno>

#include "Quellon/Exception.h"
#include "Quellon/IRenderCallable.h"
#include "Quellon/Scene.h"

namespace Quellon {

namespace {

// Ends the frame's read on every way out of it.
class ReadGuard {
public:
    explicit ReadGuard(Scene& scene) : m_scene(scene) { m_scene.BeginRead(); }
    ~ReadGuard() { m_scene.EndRead(); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    Scene& m_scene;
};

}  // namespace

Render::Render(std::shared_ptr<IRenderCallable> callable, std::shared_ptr<Scene> sharedScene)
    : m_callable(std::move(callable)), m_sharedScene(std::move(sharedScene)) {
    if (!m_callable) {
        ThrowException(EINVAL, L"Invalid parameter: !callable in Render::Render");
    }
    if (!m_sharedScene) {
        ThrowException(EINVAL, L"Invalid parameter: !sharedScene in Render::Render");
    }
}

Render::~Render() = default;

void Render::Init() {
    m_callable->Init();
}

void Render::PostInit() {
    m_callable->PostInit();
}

void Render::Shutdown() {
    m_callable->Shutdown();
}

void Render::Update(float elapsedSeconds) {
    ReadGuard frame(*m_sharedScene);
    m_callable->Update(elapsedSeconds);
}

}  // namespace Quellon
