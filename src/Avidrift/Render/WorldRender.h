#pragma once

#include <memory>
#include <string>

#include "Quellon/Matrix4.h"

namespace Quellon {
struct Camera;
class OpenglDriver;
class OpenglProgram;
}  // namespace Quellon

namespace Avidrift {

struct FlockData;

// Draws the flock's world into the renderer's frame: each obstacle as a smooth lit sphere, each
// predator as a red boid three times a boid's size. They are few (64 of each at most), so each
// is one draw of its own, with a program of its own beside the flock's.
class WorldRender {
public:
    // Called on the render thread with the driver's context current: the sphere's buffers and
    // the program. teapotVertices and teapotIndices are the renderer's buffers of the boid mesh,
    // local its model transform. Throws as the driver does (a shader missing or not compiling).
    WorldRender(Quellon::OpenglDriver& driver, int teapotVertices, int teapotIndices,
                const Quellon::Matrix4& local, const std::wstring& vertexShaderFile,
                const std::wstring& pixelShaderFile);

    // Called on the render thread with the scene read-locked; leaves its own program in use.
    void Draw(const FlockData& flock, const Quellon::Camera& camera);

    // The world's shader files, looked for as the flock's are.
    static constexpr const wchar_t* kVertexShaderFile = L"glsl/worldVertexShader.glsl";
    static constexpr const wchar_t* kPixelShaderFile = L"glsl/worldPixelShader.glsl";

private:
    // Borrowed: the renderer's driver outlives this.
    Quellon::OpenglDriver& m_driver;
    int m_teapotVertices;
    int m_teapotIndices;
    Quellon::Matrix4 m_local;
    int m_sphereVertices = -1;
    int m_sphereIndices = -1;
    std::weak_ptr<Quellon::OpenglProgram> m_program;
};

}  // namespace Avidrift
