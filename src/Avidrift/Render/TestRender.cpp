#include "Avidrift/Render/TestRender.h"

#include <GL/glew.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <numbers>

#include "Avidrift/Capture/CaptureSession.h"
#include "Avidrift/Capture/CapturedFrame.h"
#include "Avidrift/DataFile.h"
#include "Avidrift/Flock/TrefoilKnot.h"
#include "Avidrift/Render/ImpostorShape.h"
#include "Avidrift/Render/InspectOverlay.h"
#include "Avidrift/Render/MeshLevels.h"
#include "Avidrift/Render/StatisticsOverlay.h"
#include "Avidrift/Render/WorldRender.h"
#include "Avidrift/TestScene.h"
#include "Quellon/Exception.h"
#include "Quellon/Opengl/OpenglDriver.h"
#include "Quellon/Opengl/OpenglError.h"
#include "Quellon/Opengl/OpenglProgram.h"
#include "Quellon/Opengl/OpenglTexture.h"
#include "Quellon/Text.h"

namespace Avidrift {

namespace {
// Float texture of three channels (GL_RGB32F), clamped, without filtering between texels.
constexpr int kFlockTextureType = 2;
constexpr int kFlockTextureWrap = 4;
constexpr int kFlockTextureUnit = 0;
constexpr int kVertexShader = 0;
constexpr int kPixelShader = 1;
// Level mark of a boid that is not drawn: outside the view, or not finite.
constexpr std::uint8_t kNotDrawn = 0xFF;
// Boids each instance of a flock draw steers. Mesa's llvmpipe runs its whole vertex pipeline
// once per instance, for a boid's few dozen vertices each; sixteen boids an instance measured a
// few per cent more frames at 100,000 boids (8.1 against 8.4 a second), within the machine's noise.
constexpr int kBoidsPerInstance = 16;
// An impostor's polygon: with six corners, its corners and edges stay within a tenth of the boid's
// radius of its outline, four triangles against the coarsest mesh's dozens.
constexpr int kImpostorCorners = 6;
// Impostors each instance of their draw steers, for the same reason: 1,024 vertices.
constexpr int kImpostorsPerInstance = 128;
// From this many boids frames leave out the hidden ones: at 10,000 reading the depth back cost
// more than the boids left out saved (about a sixth of the frames a second).
constexpr std::uint32_t kCullFrom = 20000;
// A frame that takes longer than this makes the next ones coarser: 30 frames a second keep
// the flock's motion smooth.
constexpr double kFrameBudgetSeconds = 1.0 / 30.0;

// The view volume as six planes (a, b, c, d) with a point p inside where a p.x + b p.y + c p.z
// + d >= 0, plus what the level choice needs: the eye-space depth of a point and how many
// pixels one world unit covers at depth 1.
class ViewVolume {
public:
    ViewVolume(const Quellon::Camera& camera, int width, int height) {
        const Quellon::Matrix4 clip = camera.m_projectionMatrix * camera.m_viewMatrix;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            for (std::size_t k = 0; k < 4; ++k) {
                m_planes[2 * axis][k] = clip[12 + k] + clip[4 * axis + k];
                m_planes[2 * axis + 1][k] = clip[12 + k] - clip[4 * axis + k];
            }
        }
        // Not normalised: a degenerate camera (eye on its target) has zero planes, and the
        // sphere test below then keeps every boid instead of dividing by zero.
        for (int plane = 0; plane < 6; ++plane) {
            const float* p = m_planes[plane];
            m_planeLengths[plane] = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
        }
        for (int k = 0; k < 4; ++k) {
            m_depth[k] = -camera.m_viewMatrix[8 + k];
        }
        const Quellon::Matrix4& projection = camera.m_projectionMatrix;
        m_pixelsPerUnit = std::max(std::abs(projection[0]) * 0.5f * static_cast<float>(width),
                                   std::abs(projection[5]) * 0.5f * static_cast<float>(height));
    }

    bool HoldsSphere(const Quellon::Vector3& centre, float radius) const {
        for (int plane = 0; plane < 6; ++plane) {
            const float* p = m_planes[plane];
            if (p[0] * centre.x + p[1] * centre.y + p[2] * centre.z + p[3] <
                -radius * m_planeLengths[plane]) {
                return false;
            }
        }
        return true;
    }
    float Depth(const Quellon::Vector3& point) const {
        return m_depth[0] * point.x + m_depth[1] * point.y + m_depth[2] * point.z + m_depth[3];
    }
    float GetPixelsPerUnit() const { return m_pixelsPerUnit; }

private:
    float m_planes[6][4] = {};
    float m_planeLengths[6] = {};
    float m_depth[4] = {};
    float m_pixelsPerUnit = 0.0f;
};

bool IsFinite(const Quellon::Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

}  // namespace

TestRender::TestRender(std::shared_ptr<TestScene> scene, Quellon::NativeWindowId window, int width,
                       int height, std::string displayName, int maxSamples,
                       std::shared_ptr<CaptureSession> capture)
    : m_scene(std::move(scene)),
      m_window(window),
      m_width(width),
      m_height(height),
      m_displayName(std::move(displayName)),
      m_maxSamples(maxSamples),
      m_capture(std::move(capture)),
      m_detail(kFrameBudgetSeconds, false) {
    if (!m_scene) {
        Quellon::ThrowException(EINVAL, L"Invalid parameter: !scene in TestRender::TestRender");
    }
}

TestRender::~TestRender() = default;

std::uint32_t TestRender::RowsFor(std::uint32_t boids, std::uint32_t dataWidth,
                                  std::uint32_t texelsPerBoid) {
    if (dataWidth == 0) {
        return 0;
    }
    const std::uint64_t texels = texelsPerBoid * static_cast<std::uint64_t>(boids);
    return static_cast<std::uint32_t>((texels + dataWidth - 1) / dataWidth);
}

void TestRender::Init() {
    m_driver = std::make_shared<Quellon::OpenglDriver>(m_width, m_height, m_window, m_displayName,
                                                       m_maxSamples);
    const auto width = static_cast<std::uint32_t>(m_driver->GetFloatTextureSize());
    m_dataWidth = width;
    // The logic copies this bound with the scene in its own Init, which starts only after this
    // Init has returned, so no lock is needed.
    m_scene->m_flock.maxFlockSize = GetCapacity();
    m_detail = FrameDetail(kFrameBudgetSeconds, m_driver->GetSamples() > 0, kImpostorPixels);
    m_multisampling = true;
    // No data: the texels that are ever read are written by an upload first, and a CPU copy of
    // the whole texture would cost as much memory as the texture itself.
    m_flockTexture =
        m_driver->CreateTexture(kFlockTextureType, static_cast<int>(width), static_cast<int>(width),
                                false, kFlockTextureWrap, nullptr);
    m_driver->SetTexture(kFlockTextureUnit, m_flockTexture);
}

void TestRender::PostInit() {
    const Quellon::ObjMesh& mesh = m_scene->m_mesh;
    const std::vector<Quellon::Vector3>& positions = mesh.GetPositions();
    const std::vector<Quellon::Vector3>& normals = mesh.GetNormals();
    if (normals.size() != positions.size()) {
        Quellon::ThrowException(
            EINVAL,
            L"Invalid parameter: normals.size() != positions.size() in TestRender::PostInit");
    }
    std::shared_ptr<Quellon::Vertex[]> vertices(new Quellon::Vertex[positions.size()]());
    for (std::size_t i = 0; i < positions.size(); ++i) {
        vertices[i].m_normal = normals[i];
        vertices[i].m_position = positions[i];
    }
    m_vertexBufferId =
        m_driver->CreateVertexBuffer(static_cast<unsigned>(positions.size()), vertices);
    const std::size_t meshVertices = positions.size();
    std::shared_ptr<Quellon::Vertex[]> copies(
        new Quellon::Vertex[meshVertices * kBoidsPerInstance]());
    for (int copy = 0; copy < kBoidsPerInstance; ++copy) {
        std::copy(vertices.get(), vertices.get() + meshVertices,
                  copies.get() + copy * meshVertices);
    }
    m_batchVertexBufferId = m_driver->CreateVertexBuffer(
        static_cast<unsigned>(meshVertices * kBoidsPerInstance), copies);
    // Bounding sphere, impostor and error scale at the model transform, which stays as it is
    // from here.
    const Quellon::Matrix4& local = m_scene->m_localMatrix;
    std::vector<Quellon::Vector3> placed;
    placed.reserve(positions.size());
    m_boidRadius = 0.0f;
    for (const Quellon::Vector3& position : positions) {
        placed.push_back(Quellon::TransformPoint(local, position));
        m_boidRadius = std::max(m_boidRadius, Quellon::Length(placed.back()));
    }
    const ImpostorShape shape = ImpostorShape::Fit(placed, mesh.GetIndices());
    m_impostorCentre = shape.centre;
    m_impostorAxes = shape.semiAxes;
    float scale = 0.0f;
    for (int column = 0; column < 3; ++column) {
        scale = std::max(scale, Quellon::Length(Quellon::Vector3(local[column], local[4 + column],
                                                                 local[8 + column])));
    }
    m_levels.clear();
    const MeshLevels meshLevels(positions, mesh.GetIndices());
    for (const MeshLevels::Level& level : meshLevels.GetLevels()) {
        std::shared_ptr<int[]> indices(new int[level.indices.size()]);
        std::copy(level.indices.begin(), level.indices.end(), indices.get());
        LevelBuffer buffer;
        buffer.indexBufferId =
            m_driver->CreateVertexBuffer(static_cast<unsigned>(level.indices.size()), indices);
        const std::size_t count = level.indices.size();
        std::shared_ptr<int[]> batch(new int[count * kBoidsPerInstance]);
        for (int copy = 0; copy < kBoidsPerInstance; ++copy) {
            for (std::size_t i = 0; i < count; ++i) {
                batch[copy * count + i] = level.indices[i] + copy * static_cast<int>(meshVertices);
            }
        }
        buffer.batchIndexBufferId =
            m_driver->CreateVertexBuffer(static_cast<unsigned>(count * kBoidsPerInstance), batch);
        buffer.triangles = static_cast<std::uint32_t>(level.indices.size() / 3);
        buffer.error = level.error * scale;
        m_levels.push_back(buffer);
    }

    UploadFlock();
    const std::wstring boidData = FindDataFile(kBoidDataShaderFile);
    m_program = m_driver->CreateProgram({{m_scene->m_vertexShaderFile, kVertexShader},
                                         {boidData, kVertexShader},
                                         {m_scene->m_pixelShaderFile, kPixelShader}});
    m_impostorProgram =
        m_driver->CreateProgram({{FindDataFile(kImpostorVertexShaderFile), kVertexShader},
                                 {boidData, kVertexShader},
                                 {FindDataFile(kImpostorPixelShaderFile), kPixelShader}});
    CreateImpostorBuffers();
    m_world = std::make_unique<WorldRender>(
        *m_driver, m_vertexBufferId, m_levels.front().indexBufferId, m_scene->m_localMatrix,
        FindDataFile(WorldRender::kVertexShaderFile), FindDataFile(WorldRender::kPixelShaderFile));
    m_driver->SetProgram(m_program);
    SetUniforms();
}

void TestRender::Update(float elapsedSeconds) {
    const auto start = std::chrono::steady_clock::now();
    // Of a multisampled pixel the depth read back is one sample's, which another sample's boid
    // may show past: only frames without samples leave hidden boids out.
    // The upload first: the uniforms tell the shader how this frame's texels are laid out.
    const std::uint32_t considered = PrepareUpload();
    // A smaller flock hides too few boids to pay for the wait on the depth.
    const bool cull = m_occlusionCulling && considered >= kCullFrom &&
                      !(m_detail.IsMultisampled() && m_driver->GetSamples() > 0);
    std::uint32_t boids = PlacePass(considered, cull ? Pass::Front : Pass::All, 0);
    SetUniforms();
    SetMultisampling(m_detail.IsMultisampled());
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    Quellon::CheckGlError();
    StatisticsOverlay::Draw(*m_driver, m_driver->GetPixelWidth(), m_scene->m_stepTime,
                            elapsedSeconds);
    if (boids > 0) {
        DrawLevels();
    }
    if (cull) {
        const std::uint32_t hidden = LeaveOutHidden(considered);
        const std::uint32_t rest = PlacePass(considered, Pass::Rest, boids);
        m_lastFrame.hidden = hidden;
        if (rest > 0) {
            DrawLevels();
        }
        boids += rest;
    }
    m_world->Draw(m_scene->m_flock, m_scene->m_camera);
    InspectOverlay::Draw(
        *m_driver, *m_scene, m_highestValue,
        static_cast<float>(m_driver->GetPixelWidth()) / static_cast<float>(std::max(m_width, 1)));
    m_driver->SetProgram(m_program);
    CaptureFrame();
    m_driver->Present();
    // A paused flock seen from where it was keeps its detail whatever its frames take: a change
    // would make the still picture flicker (and a saved picture differ from the screen).
    const Quellon::Matrix4& view = m_scene->m_camera.m_viewMatrix;
    const bool still = m_scene->m_paused && m_scene->m_flock.boidCount == m_lastBoidCount &&
                       std::equal(std::begin(view.m), std::end(view.m), std::begin(m_lastView.m));
    m_lastBoidCount = m_scene->m_flock.boidCount;
    m_lastView = view;
    if (!still) {
        m_detail.AfterFrame(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), boids);
    }
}

void TestRender::CaptureFrame() {
    // Read back only when a picture or a video frame waits: a read costs a few milliseconds
    // of a frame that is otherwise shown at once.
    if (!m_capture || !m_capture->IsFrameDue()) {
        return;
    }
    CapturedFrame frame;
    try {
        const auto [width, height] = m_driver->ReadPixels(frame.rgba);
        frame.width = width;
        frame.height = height;
    } catch (const Quellon::Exception& error) {
        // A capture that cannot be made is the capture's failure, not the program's.
        std::string text;
        try {
            text = Quellon::WideToUtf8(error.GetMessage());
        } catch (const Quellon::Exception&) {
        }
        m_capture->ReportError("Cannot read the frame back: " + text);
        return;
    }
    m_capture->Submit(std::move(frame));
}

void TestRender::SetMultisampling(bool on) {
    m_lastFrame.multisampled = on && m_driver->GetSamples() > 0;
    if (on == m_multisampling || m_driver->GetSamples() == 0) {
        return;
    }
    if (on) {
        glEnable(GL_MULTISAMPLE);
    } else {
        glDisable(GL_MULTISAMPLE);
    }
    Quellon::CheckGlError();
    m_multisampling = on;
}

void TestRender::DrawLevels() {
    const std::shared_ptr<Quellon::OpenglProgram> program = m_program.lock();
    if (!program) {
        Quellon::ThrowException(EINVAL, L"Invalid parameter: no program in TestRender::DrawLevels");
    }
    // Finest first: the nearest boids fill the depth buffer early and hide the pixels of the
    // many far ones behind them.
    for (std::size_t level = 0; level < m_levels.size(); ++level) {
        if (m_levelCount[level] == 0) {
            continue;
        }
        const std::uint32_t count = m_levelCount[level];
        program->SetUniform1i("firstBoid", static_cast<int>(m_levelFirst[level]));
        program->SetUniform1i("levelEnd", static_cast<int>(m_levelFirst[level] + count));
        m_driver->DrawIndexedPrimitive(
            m_batchVertexBufferId, m_levels[level].batchIndexBufferId,
            static_cast<int>((count + kBoidsPerInstance - 1) / kBoidsPerInstance));
    }
    // The impostors last: they are the farthest, and mostly behind what is drawn.
    const std::uint32_t impostors = m_levelCount.back();
    const std::shared_ptr<Quellon::OpenglProgram> impostorProgram = m_impostorProgram.lock();
    if (impostors == 0 || !impostorProgram) {
        return;
    }
    impostorProgram->SetUniform1i("firstBoid", static_cast<int>(m_levelFirst.back()));
    impostorProgram->SetUniform1i("levelEnd", static_cast<int>(m_levelFirst.back() + impostors));
    m_driver->SetProgram(impostorProgram);
    m_driver->DrawIndexedPrimitive(
        m_impostorVertexBufferId, m_impostorIndexBufferId,
        static_cast<int>((impostors + kImpostorsPerInstance - 1) / kImpostorsPerInstance));
    m_driver->SetProgram(program);
}

void TestRender::CreateImpostorBuffers() {
    constexpr int vertices = kImpostorCorners * kImpostorsPerInstance;
    std::shared_ptr<Quellon::Vertex[]> corners(new Quellon::Vertex[vertices]());
    for (int i = 0; i < vertices; ++i) {
        const double angle = 2.0 * std::numbers::pi * (i % kImpostorCorners) / kImpostorCorners;
        corners[i].m_position = Quellon::Vector3(static_cast<float>(std::cos(angle)),
                                                 static_cast<float>(std::sin(angle)), 0.0f);
    }
    m_impostorVertexBufferId = m_driver->CreateVertexBuffer(vertices, corners);
    // A fan about each polygon's first corner.
    constexpr int triangles = kImpostorCorners - 2;
    std::shared_ptr<int[]> indices(new int[3 * triangles * kImpostorsPerInstance]);
    for (int polygon = 0; polygon < kImpostorsPerInstance; ++polygon) {
        const int first = polygon * kImpostorCorners;
        for (int k = 0; k < triangles; ++k) {
            int* triangle = &indices[3 * (polygon * triangles + k)];
            triangle[0] = first;
            triangle[1] = first + k + 1;
            triangle[2] = first + k + 2;
        }
    }
    m_impostorIndexBufferId =
        m_driver->CreateVertexBuffer(3 * triangles * kImpostorsPerInstance, indices);
}

std::vector<std::uint32_t> TestRender::GetLevelTriangles() const {
    std::vector<std::uint32_t> triangles;
    for (const LevelBuffer& level : m_levels) {
        triangles.push_back(level.triangles);
    }
    return triangles;
}

void TestRender::Shutdown() {
    m_program.reset();
    m_flockTexture.reset();
    m_driver.reset();
    m_flockBuffer.reset();
    m_flockBufferRows = 0;
    m_flockBufferSize = 0;
}

void TestRender::SetUniforms() {
    const std::shared_ptr<Quellon::OpenglProgram> program = m_program.lock();
    if (!program) {
        Quellon::ThrowException(EINVAL,
                                L"Invalid parameter: no program in TestRender::SetUniforms");
    }
    const Quellon::Camera& camera = m_scene->m_camera;
    SetFlockUniforms(*program);
    program->SetUniformMatrix4("localMatrix", m_scene->m_localMatrix.m);
    const Quellon::Vector3 light = camera.m_position.Normalized();
    program->SetUniform3f("lightDir", light);
    program->SetUniform1i("boidsPerInstance", kBoidsPerInstance);
    program->SetUniform1i("meshVertices", static_cast<int>(m_scene->m_mesh.GetPositions().size()));

    const std::shared_ptr<Quellon::OpenglProgram> impostors = m_impostorProgram.lock();
    if (!impostors) {
        return;
    }
    SetFlockUniforms(*impostors);
    impostors->SetUniform1i("boidsPerInstance", kImpostorsPerInstance);
    impostors->SetUniform1i("corners", kImpostorCorners);
    impostors->SetUniform3f("shapeCentre", m_impostorCentre);
    impostors->SetUniform3f("shapeAxes", m_impostorAxes);
    impostors->SetUniform3f("inverseAxes2",
                            Quellon::Vector3(1.0f / (m_impostorAxes.x * m_impostorAxes.x),
                                             1.0f / (m_impostorAxes.y * m_impostorAxes.y),
                                             1.0f / (m_impostorAxes.z * m_impostorAxes.z)));
    const Quellon::Matrix4& view = camera.m_viewMatrix;
    const auto row = [&](int k) {
        return view[4 * k] * light.x + view[4 * k + 1] * light.y + view[4 * k + 2] * light.z;
    };
    impostors->SetUniform3f("eyeLightDir", Quellon::Vector3(row(0), row(1), row(2)));
}

void TestRender::SetFlockUniforms(Quellon::OpenglProgram& program) {
    const Quellon::Camera& camera = m_scene->m_camera;
    program.SetUniformMatrix4("viewMatrix", camera.m_viewMatrix.m);
    program.SetUniformMatrix4("projectionMatrix", camera.m_projectionMatrix.m);
    program.SetUniform1i("flockData", kFlockTextureUnit);
    program.SetUniform1f("dataWidth", static_cast<float>(m_dataWidth));
    program.SetUniform1f(
        "boidsCount", static_cast<float>(std::min(m_scene->m_flock.boidCount, GetFrameCapacity())));
    const ColourBy colourBy = m_scene->m_colourBy;
    program.SetUniform1i("texelsPerBoid", static_cast<int>(m_texelsPerBoid));
    program.SetUniform1i("colourBy", colourBy == ColourBy::Speed     ? 0
                                     : colourBy == ColourBy::Heading ? 2
                                                                     : 1);
    program.SetUniform1f("valueScale", m_highestValue > 0.0f ? 1.0f / m_highestValue : 0.0f);
}

std::uint32_t TestRender::GetCapacity() const {
    // Two texels per boid.
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(m_dataWidth) * m_dataWidth / 2);
}

std::uint32_t TestRender::GetFrameCapacity() const {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(m_dataWidth) * m_dataWidth /
                                      m_texelsPerBoid);
}

float TestRender::ColourValue(std::uint32_t i) const {
    const FlockData& flock = m_scene->m_flock;
    switch (m_scene->m_colourBy) {
        case ColourBy::GroupNeighbours:
            return flock.neighbourCounts ? static_cast<float>(flock.neighbourCounts[i].group) : 0;
        case ColourBy::SeparationNeighbours:
            return flock.neighbourCounts ? static_cast<float>(flock.neighbourCounts[i].separation)
                                         : 0;
        case ColourBy::TargetDistance: {
            // The point the boid's last step steered it to: its path parameter is that step's.
            const float distance =
                Quellon::Length(TrefoilKnotPoint(flock.pathParameters[i]) - flock.positions[i]);
            return std::isfinite(distance) ? distance : 0.0f;
        }
        default:
            return 0.0f;
    }
}

std::uint32_t TestRender::UploadFlock() {
    return PlacePass(PrepareUpload(), Pass::All, 0);
}

std::uint32_t TestRender::PrepareUpload() {
    const ColourBy colourBy = m_scene->m_colourBy;
    m_texelsPerBoid = colourBy == ColourBy::Speed || colourBy == ColourBy::Heading ? 2 : 3;
    // A flock beyond the texture's capacity would write past it; the settings page never offers
    // one, but a hostile value must not reach memory it does not own.
    const std::uint32_t boids = std::min(m_scene->m_flock.boidCount, GetFrameCapacity());
    // Sized by the whole flock rather than by the boids in view, so turning the camera does not
    // reallocate.
    ReserveFlockRows(RowsFor(boids, m_dataWidth, m_texelsPerBoid));
    ChooseLevels(boids);
    return boids;
}

void TestRender::ChooseLevels(std::uint32_t boids) {
    const FlockData& flock = m_scene->m_flock;
    // The pixels a boid's error covers are the frame buffer's, which at a device pixel ratio
    // above 1 are more than the render area's.
    const ViewVolume view(m_scene->m_camera, m_driver ? m_driver->GetPixelWidth() : m_width,
                          m_driver ? m_driver->GetPixelHeight() : m_height);
    // A boid may use level l once its nearest point lies beyond reach[l]: there l's error
    // covers fewer pixels than the detail allows.
    // Before PostInit there are no levels yet; the boids then count as the mesh's.
    const std::size_t levels = std::max<std::size_t>(m_levels.size(), 1);
    const float pixelError = m_detail.GetPixelError();
    std::array<float, MeshLevels::kMaxLevels> reach = {};
    for (std::size_t level = 1; level < levels; ++level) {
        reach[level] = pixelError > 0.0f
                           ? m_levels[level].error * view.GetPixelsPerUnit() / pixelError
                           : INFINITY;
    }
    // A boid may be an impostor once its bounding sphere spans fewer than impostorPixels pixels.
    const float impostorPixels = CanDrawImpostors() ? m_detail.GetImpostorPixels() : 0.0f;
    const float impostorFrom = impostorPixels > 0.0f
                                   ? 2.0f * m_boidRadius * view.GetPixelsPerUnit() / impostorPixels
                                   : INFINITY;
    const auto impostor = static_cast<std::uint8_t>(levels);
    m_boidLevels.resize(boids);
    m_levelCount.assign(levels + 1, 0);
    m_levelFirst.assign(levels + 1, 0);
    m_highestValue = 0.0f;
    for (std::uint32_t i = 0; i < boids; ++i) {
        const Quellon::Vector3& p = flock.positions[i];
        // A boid that left the finite numbers has no place to be drawn at; the shader's
        // arithmetic would make it NaN anyway.
        if (!IsFinite(p) || !IsFinite(flock.velocities[i]) || !view.HoldsSphere(p, m_boidRadius)) {
            m_boidLevels[i] = kNotDrawn;
            continue;
        }
        const float depth = view.Depth(p);
        std::size_t level = levels - 1;
        while (level > 0 && !(depth - m_boidRadius > reach[level])) {
            --level;
        }
        m_boidLevels[i] = depth > impostorFrom ? impostor : static_cast<std::uint8_t>(level);
        if (m_texelsPerBoid == 3) {
            // Over every boid in view, so the legend's range does not depend on which are hidden.
            m_highestValue = std::max(m_highestValue, ColourValue(i));
        }
    }
    m_lastFrame.pixelError = pixelError;
    m_lastFrame.impostorPixels = impostorPixels;
}

std::uint32_t TestRender::PlacePass(std::uint32_t boids, Pass pass, std::uint32_t first) {
    const FlockData& flock = m_scene->m_flock;
    if (pass == Pass::All || m_boidPasses.size() != boids) {
        m_boidPasses.resize(boids);
    }
    if (pass == Pass::Front) {
        // A new flock has shown nothing yet: everything is judged against an empty depth buffer.
        if (m_showed.size() != boids) {
            m_showed.assign(boids, 0);
        }
        for (std::uint32_t i = 0; i < boids; ++i) {
            m_boidPasses[i] = m_boidLevels[i] == kNotDrawn ? Pass::None
                              : m_showed[i] != 0           ? Pass::Front
                                                           : Pass::Rest;
        }
    } else if (pass == Pass::All) {
        for (std::uint32_t i = 0; i < boids; ++i) {
            m_boidPasses[i] = m_boidLevels[i] == kNotDrawn ? Pass::None : Pass::All;
        }
    }
    // Each level's boids next to each other, in flock order within a level.
    const std::size_t levels = m_levelCount.size();
    m_levelCount.assign(levels, 0);
    for (std::uint32_t i = 0; i < boids; ++i) {
        if (m_boidPasses[i] == pass) {
            ++m_levelCount[m_boidLevels[i]];
        }
    }
    std::uint32_t drawn = 0;
    std::vector<std::uint32_t>& next = m_levelFirst;
    for (std::size_t level = 0; level < levels; ++level) {
        next[level] = first + drawn;
        drawn += m_levelCount[level];
    }
    float* buffer = m_flockBuffer.get();
    const std::size_t stride = 3 * static_cast<std::size_t>(m_texelsPerBoid);
    for (std::uint32_t i = 0; i < boids; ++i) {
        if (m_boidPasses[i] != pass) {
            continue;
        }
        const Quellon::Vector3& p = flock.positions[i];
        const Quellon::Vector3& v = flock.velocities[i];
        float* texels = buffer + stride * next[m_boidLevels[i]]++;
        texels[0] = p.x;
        texels[1] = p.y;
        texels[2] = p.z;
        texels[3] = v.x;
        texels[4] = v.y;
        texels[5] = v.z;
        if (m_texelsPerBoid == 3) {
            texels[6] = ColourValue(i);
        }
    }
    // next[] now holds each level's end; turn it back into its start. The last level is the
    // impostors'.
    if (first == 0) {
        m_lastFrame.instances = 0;
        m_lastFrame.triangles = 0;
        m_lastFrame.hidden = 0;
        m_lastFrame.impostors = 0;
        m_lastFrame.instancesPerLevel.assign(levels - 1, 0);
    }
    m_lastFrame.instances += drawn;
    for (std::size_t level = 0; level < levels; ++level) {
        next[level] -= m_levelCount[level];
        const std::uint64_t count = m_levelCount[level];
        if (level < m_levels.size()) {
            m_lastFrame.instancesPerLevel[level] += m_levelCount[level];
            m_lastFrame.triangles += count * m_levels[level].triangles;
        } else {
            m_lastFrame.impostors += m_levelCount[level];
            m_lastFrame.triangles += count * (kImpostorCorners - 2);
        }
    }
    // Whole rows from the one holding the pass's first texel: a row shared with the pass before
    // is sent again with what that pass put there.
    const std::uint64_t firstTexel = static_cast<std::uint64_t>(first) * m_texelsPerBoid;
    const std::uint32_t firstRow = m_dataWidth > 0 ? firstTexel / m_dataWidth : 0;
    const std::uint32_t endRow = RowsFor(first + drawn, m_dataWidth, m_texelsPerBoid);
    if (drawn > 0 && endRow > firstRow) {
        if (const std::shared_ptr<Quellon::OpenglTexture> texture = m_flockTexture.lock()) {
            texture->SetRows(static_cast<int>(firstRow), static_cast<int>(m_dataWidth),
                             static_cast<int>(endRow - firstRow),
                             buffer + 3 * static_cast<std::size_t>(firstRow) * m_dataWidth);
        }
    }
    return drawn;
}

std::uint32_t TestRender::LeaveOutHidden(std::uint32_t boids) {
    std::vector<float> depth;
    const auto [width, height] = m_driver->ReadDepth(depth);
    m_depth.Build(std::move(depth), width, height);
    const Quellon::Camera& camera = m_scene->m_camera;
    const Quellon::Matrix4& view = camera.m_viewMatrix;
    const Quellon::Matrix4& projection = camera.m_projectionMatrix;
    const float r = m_boidRadius;
    std::uint32_t hidden = 0;
    for (std::uint32_t i = 0; i < boids; ++i) {
        if (m_boidPasses[i] == Pass::None) {
            m_showed[i] = 0;
            continue;
        }
        const Quellon::Vector3& p = m_scene->m_flock.positions[i];
        const auto row = [&](int k) {
            return view[4 * k] * p.x + view[4 * k + 1] * p.y + view[4 * k + 2] * p.z +
                   view[4 * k + 3];
        };
        const float x = row(0);
        const float y = row(1);
        const float d = -row(2);
        const float nearest = d - r;
        bool isHidden = false;
        if (nearest > Quellon::Camera::kNear) {
            // The bounding sphere's box seen from the eye: each edge of its picture is that of a
            // corner of the box, so the rectangle holds every pixel the boid can cover.
            const auto across = [&](float c, float scale, int pixels, bool high) {
                const float edge = high ? c + r : c - r;
                const float ratio = edge / ((edge > 0) == high ? nearest : d + r);
                return (scale * ratio + 1.0f) * 0.5f * static_cast<float>(pixels);
            };
            const float x0 = across(x, projection[0], width, false);
            const float x1 = across(x, projection[0], width, true);
            const float y0 = across(y, projection[5], height, false);
            const float y1 = across(y, projection[5], height, true);
            const float windowDepth =
                0.5f * (projection[10] * -nearest + projection[11]) / nearest + 0.5f;
            // A pixel more each way, and a little depth: rounding never hides a boid that shows.
            isHidden = m_depth.Hides(static_cast<int>(std::floor(x0)) - 1,
                                     static_cast<int>(std::floor(y0)) - 1,
                                     static_cast<int>(std::ceil(x1)) + 1,
                                     static_cast<int>(std::ceil(y1)) + 1, windowDepth - 1e-6f);
        }
        m_showed[i] = isHidden ? 0 : 1;
        if (isHidden && m_boidPasses[i] == Pass::Rest) {
            m_boidPasses[i] = Pass::None;
            ++hidden;
        }
    }
    return hidden;
}

void TestRender::ReserveFlockRows(std::uint32_t rows) {
    rows = std::max(rows, 1u);
    // Grows by doubling, so a flock typed in digit by digit does not reallocate at every step;
    // gives memory back once the flock needs less than a quarter of it.
    if (rows <= m_flockBufferRows && rows * 4 >= m_flockBufferRows) {
        return;
    }
    const std::uint32_t newRows = rows > m_flockBufferRows
                                      ? std::max(rows, std::min(m_dataWidth, 2 * m_flockBufferRows))
                                      : rows;
    const std::uint64_t floats = 3 * static_cast<std::uint64_t>(m_dataWidth) * newRows;
    m_flockBuffer = std::shared_ptr<float[]>(new float[floats]());
    m_flockBufferRows = newRows;
    m_flockBufferSize = floats * sizeof(float);
}

}  // namespace Avidrift
