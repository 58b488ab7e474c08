#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Quellon/IRenderCallable.h"
#include "Quellon/ISubsystemsAllocator.h"

namespace Quellon {
class OpenglDriver;
class OpenglProgram;
class OpenglTexture;
}  // namespace Quellon

namespace Avidrift {

class TestScene;

// The flock program's renderer (the "Test" in the name comes from the design): one instanced draw
// of the scene's mesh per frame, one instance per boid, with each boid's position and velocity in a
// float texture that is refilled every frame.
class TestRender : public Quellon::IRenderCallable {
public:
    // Called on the main thread. window is the native X window of the render area; displayName
    // names the X display the host uses (empty: $DISPLAY); maxSamples caps multisampling (the
    // program asks for 4). Makes nothing yet: the context belongs to the render thread.
    TestRender(std::shared_ptr<TestScene> scene, Quellon::NativeWindowId window, int width,
               int height, std::string displayName = std::string(), int maxSamples = 4);
    ~TestRender() override;

    // Called on the render thread: makes the context, the driver and the flock texture, and
    // writes into the shared scene the largest flock that texture holds.
    void Init() override;
    // Called on the render thread: mesh buffers, program and first uniforms.
    void PostInit() override;
    // Called on the render thread with the scene read-locked: draws and presents one frame.
    void Update(float elapsedSeconds) override;
    // Called last on the render thread: releases every OpenGL object and the context.
    void Shutdown() override;

    // The flock texture's side in texels; 0 before Init.
    std::uint32_t GetDataWidth() const { return m_dataWidth; }
    // The driver, for tests that read back the frame; null outside Init..Shutdown.
    Quellon::OpenglDriver* GetDriver() const { return m_driver.get(); }

    // Texture rows that hold boids: two texels per boid, dataWidth texels per row.
    static std::uint32_t RowsFor(std::uint32_t boids, std::uint32_t dataWidth);

    // Called on the render thread after Init: copies the scene's boids into the flock texture
    // and returns how many it copied, the flock clamped to what the texture holds.
    std::uint32_t UploadFlock();

private:
    void SetUniforms();

    std::shared_ptr<TestScene> m_scene;
    Quellon::NativeWindowId m_window;
    int m_width;
    int m_height;
    std::string m_displayName;
    int m_maxSamples;
    std::shared_ptr<Quellon::OpenglDriver> m_driver;
    int m_vertexBufferId = -1;
    int m_indexBufferId = -1;
    std::weak_ptr<Quellon::OpenglProgram> m_program;
    std::weak_ptr<Quellon::OpenglTexture> m_flockTexture;
    std::uint32_t m_dataWidth = 0;
    // W x W texels of three floats, allocated once in Init.
    std::shared_ptr<float[]> m_flockBuffer;
    std::uint64_t m_flockBufferSize = 0;
};

}  // namespace Avidrift
