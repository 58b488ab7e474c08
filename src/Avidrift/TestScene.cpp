#include "Avidrift/TestScene.h"

#include <cerrno>

#include "Quellon/Exception.h"

namespace Avidrift {

TestScene::TestScene()
    : m_mesh(kMeshFile),
      m_vertexShaderFile(kVertexShaderFile),
      m_pixelShaderFile(kPixelShaderFile) {
    // The mesh's units are those of the original teapot: shrink it to boid size and give it a
    // quarter turn about Y; the vertex shader then orients it along each boid's velocity.
    Quellon::Matrix4 scale;
    scale[0] = scale[5] = scale[10] = 0.1f;
    m_localMatrix = Quellon::Matrix4::RotationY(-90) * scale;
}

void TestScene::CopyFrom(std::shared_ptr<Quellon::Scene> source) {
    const auto* other = dynamic_cast<const TestScene*>(source.get());
    if (other == nullptr) {
        Quellon::ThrowException(
            EINVAL, L"Invalid parameter: source is not a TestScene in TestScene::CopyFrom");
    }
    if (other == this) {
        return;
    }
    m_mesh = other->m_mesh;
    m_flock = other->m_flock;
    m_taskCount = other->m_taskCount;
    m_camera = other->m_camera;
    m_stepTime = other->m_stepTime;
}

}  // namespace Avidrift
