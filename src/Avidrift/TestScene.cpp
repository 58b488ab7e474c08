#include "Avidrift/TestScene.h"

#include <cerrno>

#include "Avidrift/DataFile.h"
#include "Quellon/Exception.h"

namespace Avidrift {

TestScene::TestScene()
    : m_mesh(FindDataFile(kMeshFile)),
      m_vertexShaderFile(FindDataFile(kVertexShaderFile)),
      m_pixelShaderFile(FindDataFile(kPixelShaderFile)) {
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
    m_paused = other->m_paused;
    m_colourBy = other->m_colourBy;
    m_inspection = other->m_inspection;
    m_flockSizeAnswer.store(other->m_flockSizeAnswer.load());
    // The pages read the scene shared with the renderer, never the logic's working one: the
    // world the logic published there must travel with the rest.
    WorldView world = other->GetWorld();
    InspectView inspection = other->GetInspection();
    const std::lock_guard<std::mutex> lock(m_worldMutex);
    m_world = std::move(world);
    m_inspectView = std::move(inspection);
}

void TestScene::AnswerFlockSizeSetting(std::uint32_t runningBoidCount) {
    const FlockSizeAnswer last = GetFlockSizeAnswer();
    m_flockSizeAnswer.store((static_cast<std::uint64_t>(last.handled + 1) << 32) |
                            runningBoidCount);
}

TestScene::FlockSizeAnswer TestScene::GetFlockSizeAnswer() const {
    const std::uint64_t word = m_flockSizeAnswer.load();
    return {static_cast<std::uint32_t>(word >> 32), static_cast<std::uint32_t>(word)};
}

}  // namespace Avidrift

namespace Avidrift {

void TestScene::PublishWorld(World world, bool hunting) {
    const std::lock_guard<std::mutex> lock(m_worldMutex);
    m_world.world = std::move(world);
    m_world.hunting = hunting;
    ++m_world.version;
}

TestScene::WorldView TestScene::GetWorld() const {
    const std::lock_guard<std::mutex> lock(m_worldMutex);
    return m_world;
}

void TestScene::PublishInspection(std::optional<BoidInspection> inspection, bool following) {
    const std::lock_guard<std::mutex> lock(m_worldMutex);
    m_inspectView.inspection = std::move(inspection);
    m_inspectView.following = following;
    ++m_inspectView.version;
}

TestScene::InspectView TestScene::GetInspection() const {
    const std::lock_guard<std::mutex> lock(m_worldMutex);
    return m_inspectView;
}

}  // namespace Avidrift
