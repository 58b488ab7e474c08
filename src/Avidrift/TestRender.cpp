#include "Avidrift/TestRender.h"

#include <GL/glew.h>

#include <algorithm>
#include <cerrno>

#include "Avidrift/StatisticsOverlay.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Exception.h"
#include "Quellon/OpenglDriver.h"
#include "Quellon/OpenglError.h"
#include "Quellon/OpenglProgram.h"
#include "Quellon/OpenglTexture.h"

namespace Avidrift {

namespace {
// Float texture of three channels (GL_RGB32F), clamped, without filtering between texels.
constexpr int kFlockTextureType = 2;
constexpr int kFlockTextureWrap = 4;
constexpr int kFlockTextureUnit = 0;
constexpr int kVertexShader = 0;
constexpr int kPixelShader = 1;
}  // namespace

TestRender::TestRender(std::shared_ptr<TestScene> scene, Quellon::NativeWindowId window, int width,
                       int height, std::string displayName, int maxSamples)
    : m_scene(std::move(scene)),
      m_window(window),
      m_width(width),
      m_height(height),
      m_displayName(std::move(displayName)),
      m_maxSamples(maxSamples) {
    if (!m_scene) {
        errno = EINVAL;
        throw Quellon::Exception(L"Invalid parameter: !scene in TestRender::TestRender");
    }
}

TestRender::~TestRender() = default;

std::uint32_t TestRender::RowsFor(std::uint32_t boids, std::uint32_t dataWidth) {
    if (dataWidth == 0) {
        return 0;
    }
    const std::uint64_t texels = 2 * static_cast<std::uint64_t>(boids);
    return static_cast<std::uint32_t>((texels + dataWidth - 1) / dataWidth);
}

void TestRender::Init() {
    m_driver = std::make_shared<Quellon::OpenglDriver>(m_width, m_height, m_window, m_displayName,
                                                       m_maxSamples);
    const auto width = static_cast<std::uint32_t>(m_driver->GetFloatTextureSize());
    // Two texels per boid. The logic copies this bound with the scene in its own Init, which
    // starts only after this Init has returned, so no lock is needed.
    m_scene->m_flock.maxFlockSize =
        static_cast<std::uint32_t>(static_cast<double>(width * width) * 0.5);
    m_dataWidth = width;
    const std::uint64_t floats = 3 * static_cast<std::uint64_t>(width) * width;
    m_flockBufferSize = floats * sizeof(float);
    m_flockBuffer = std::shared_ptr<float[]>(new float[floats]());
    m_flockTexture =
        m_driver->CreateTexture(kFlockTextureType, static_cast<int>(width), static_cast<int>(width),
                                false, kFlockTextureWrap, m_flockBuffer);
    m_driver->SetTexture(kFlockTextureUnit, m_flockTexture);
}

void TestRender::PostInit() {
    const Quellon::ObjMesh& mesh = m_scene->m_mesh;
    const std::vector<Quellon::Vector3>& positions = mesh.GetPositions();
    const std::vector<Quellon::Vector3>& normals = mesh.GetNormals();
    if (normals.size() != positions.size()) {
        errno = EINVAL;
        throw Quellon::Exception(
            L"Invalid parameter: normals.size() != positions.size() in TestRender::PostInit");
    }
    std::shared_ptr<Quellon::Vertex[]> vertices(new Quellon::Vertex[positions.size()]());
    for (std::size_t i = 0; i < positions.size(); ++i) {
        vertices[i].m_normal = normals[i];
        vertices[i].m_position = positions[i];
    }
    m_vertexBufferId =
        m_driver->CreateVertexBuffer(static_cast<unsigned>(positions.size()), vertices);
    const std::vector<std::int32_t>& meshIndices = mesh.GetIndices();
    std::shared_ptr<int[]> indices(new int[meshIndices.size()]);
    std::copy(meshIndices.begin(), meshIndices.end(), indices.get());
    m_indexBufferId =
        m_driver->CreateVertexBuffer(static_cast<unsigned>(meshIndices.size()), indices);

    UploadFlock();
    m_program = m_driver->CreateProgram(
        {{m_scene->m_vertexShaderFile, kVertexShader}, {m_scene->m_pixelShaderFile, kPixelShader}});
    m_driver->SetProgram(m_program);
    SetUniforms();
}

void TestRender::Update(float elapsedSeconds) {
    SetUniforms();
    const std::uint32_t boids = UploadFlock();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    Quellon::CheckGlError();
    StatisticsOverlay::Draw(*m_driver, m_width, m_scene->m_stepTime, elapsedSeconds);
    if (boids > 0) {
        m_driver->DrawIndexedPrimitive(m_vertexBufferId, m_indexBufferId, static_cast<int>(boids));
    }
    m_driver->Present();
}

void TestRender::Shutdown() {
    m_program.reset();
    m_flockTexture.reset();
    m_driver.reset();
    m_flockBuffer.reset();
}

void TestRender::SetUniforms() {
    const std::shared_ptr<Quellon::OpenglProgram> program = m_program.lock();
    if (!program) {
        errno = EINVAL;
        throw Quellon::Exception(L"Invalid parameter: no program in TestRender::SetUniforms");
    }
    const Quellon::Camera& camera = m_scene->m_camera;
    program->SetUniformMatrix4("localMatrix", m_scene->m_localMatrix.m);
    program->SetUniformMatrix4("viewMatrix", camera.m_viewMatrix.m);
    program->SetUniformMatrix4("projectionMatrix", camera.m_projectionMatrix.m);
    program->SetUniform1i("flockData", kFlockTextureUnit);
    program->SetUniform3f("lightDir", camera.m_position.Normalized());
    program->SetUniform1f("dataWidth", static_cast<float>(m_dataWidth));
    const std::uint64_t capacity = static_cast<std::uint64_t>(m_dataWidth) * m_dataWidth / 2;
    program->SetUniform1f("boidsCount", static_cast<float>(std::min<std::uint64_t>(
                                            m_scene->m_flock.boidCount, capacity)));
}

std::uint32_t TestRender::UploadFlock() {
    const FlockData& flock = m_scene->m_flock;
    // A flock beyond the texture's capacity would write past the buffer; the settings page
    // never offers one, but a hostile value must not reach memory it does not own.
    const std::uint64_t capacity = static_cast<std::uint64_t>(m_dataWidth) * m_dataWidth / 2;
    const auto boids =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(flock.boidCount, capacity));
    float* buffer = m_flockBuffer.get();
    for (std::uint32_t i = 0; i < boids; ++i) {
        const Quellon::Vector3& p = flock.positions[i];
        const Quellon::Vector3& v = flock.velocities[i];
        float* texels = buffer + 6 * static_cast<std::size_t>(i);
        texels[0] = p.x;
        texels[1] = p.y;
        texels[2] = p.z;
        texels[3] = v.x;
        texels[4] = v.y;
        texels[5] = v.z;
    }
    const std::uint32_t rows = RowsFor(boids, m_dataWidth);
    if (rows > 0) {
        if (const std::shared_ptr<Quellon::OpenglTexture> texture = m_flockTexture.lock()) {
            texture->SetData(static_cast<int>(m_dataWidth), static_cast<int>(rows), m_flockBuffer);
        }
    }
    return boids;
}

}  // namespace Avidrift
