#include "Avidrift/Render/WorldRender.h"

#include <cmath>
#include <vector>

#include "Avidrift/Flock/FlockData.h"
#include "Quellon/Camera.h"
#include "Quellon/Opengl/OpenglDriver.h"
#include "Quellon/Opengl/OpenglProgram.h"
#include "Quellon/Vertex.h"

namespace Avidrift {

namespace {

// Enough facets for a sphere filling much of the view to look round; 64 of them are still
// fewer triangles than a few hundred boids.
constexpr int kSlices = 48;
constexpr int kStacks = 24;
constexpr float kPredatorScale = 3.0f;
const Quellon::Vector3 kObstacleColour(0.55f, 0.68f, 0.6f);
const Quellon::Vector3 kPredatorColour(0.95f, 0.12f, 0.1f);
constexpr int kVertexShader = 0;
constexpr int kPixelShader = 1;

// Scales by scale about the origin, then moves the origin to at.
Quellon::Matrix4 Placed(const Quellon::Vector3& at, float scale) {
    Quellon::Matrix4 m;
    m[0] = m[5] = m[10] = scale;
    m[3] = at.x;
    m[7] = at.y;
    m[11] = at.z;
    return m;
}

bool IsFinite(const Quellon::Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

}  // namespace

WorldRender::WorldRender(Quellon::OpenglDriver& driver, int teapotVertices, int teapotIndices,
                         const Quellon::Matrix4& local, const std::wstring& vertexShaderFile,
                         const std::wstring& pixelShaderFile)
    : m_driver(driver),
      m_teapotVertices(teapotVertices),
      m_teapotIndices(teapotIndices),
      m_local(local) {
    // The unit sphere: its normals are its positions.
    std::shared_ptr<Quellon::Vertex[]> vertices(new Quellon::Vertex[(kStacks + 1) * (kSlices + 1)]);
    const double pi = 3.14159265358979323846;
    for (int stack = 0; stack <= kStacks; ++stack) {
        const double polar = pi * stack / kStacks;
        for (int slice = 0; slice <= kSlices; ++slice) {
            const double azimuth = 2 * pi * slice / kSlices;
            const Quellon::Vector3 p(static_cast<float>(std::sin(polar) * std::cos(azimuth)),
                                     static_cast<float>(std::cos(polar)),
                                     static_cast<float>(std::sin(polar) * std::sin(azimuth)));
            vertices[stack * (kSlices + 1) + slice] = {p, p};
        }
    }
    std::vector<int> indices;
    for (int stack = 0; stack < kStacks; ++stack) {
        for (int slice = 0; slice < kSlices; ++slice) {
            const int a = stack * (kSlices + 1) + slice;
            const int b = a + kSlices + 1;
            // Counter-clockwise seen from outside: the back faces are culled.
            indices.insert(indices.end(), {a, a + 1, b, a + 1, b + 1, b});
        }
    }
    std::shared_ptr<int[]> indexArray(new int[indices.size()]);
    std::copy(indices.begin(), indices.end(), indexArray.get());
    m_sphereVertices = m_driver.CreateVertexBuffer((kStacks + 1) * (kSlices + 1), vertices);
    m_sphereIndices =
        m_driver.CreateVertexBuffer(static_cast<unsigned>(indices.size()), indexArray);
    m_program = m_driver.CreateProgram(
        {{vertexShaderFile, kVertexShader}, {pixelShaderFile, kPixelShader}});
}

void WorldRender::Draw(const FlockData& flock, const Quellon::Camera& camera) {
    if (flock.obstacles.empty() && flock.predators.empty()) {
        return;
    }
    const std::shared_ptr<Quellon::OpenglProgram> program = m_program.lock();
    m_driver.SetProgram(m_program);
    program->SetUniformMatrix4("viewMatrix", camera.m_viewMatrix.m);
    program->SetUniformMatrix4("projectionMatrix", camera.m_projectionMatrix.m);
    program->SetUniform3f("lightDir", camera.m_position.Normalized());
    program->SetUniform3f("colour", kObstacleColour);
    for (const Obstacle& obstacle : flock.obstacles) {
        if (IsFinite(obstacle.centre) && std::isfinite(obstacle.radius)) {
            program->SetUniformMatrix4("modelMatrix", Placed(obstacle.centre, obstacle.radius).m);
            m_driver.DrawIndexedPrimitive(m_sphereVertices, m_sphereIndices, 1);
        }
    }
    program->SetUniform3f("colour", kPredatorColour);
    for (const Predator& predator : flock.predators) {
        if (IsFinite(predator.position)) {
            const Quellon::Matrix4 model = Placed(predator.position, kPredatorScale) * m_local;
            program->SetUniformMatrix4("modelMatrix", model.m);
            m_driver.DrawIndexedPrimitive(m_teapotVertices, m_teapotIndices, 1);
        }
    }
}

}  // namespace Avidrift
