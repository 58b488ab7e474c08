#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Avidrift/Render/DepthPyramid.h"
#include "Avidrift/Render/FrameDetail.h"
#include "Quellon/IRenderCallable.h"
#include "Quellon/ISubsystemsAllocator.h"
#include "Quellon/Matrix4.h"
#include "Quellon/Vector3.h"

namespace Quellon {
class OpenglDriver;
class OpenglProgram;
class OpenglTexture;
}  // namespace Quellon

namespace Avidrift {

class CaptureSession;
class TestScene;
class WorldRender;

// The flock program's renderer (the "Test" in the name comes from the design): the scene's mesh
// drawn once per visible boid, with each boid's position and velocity in a float texture that is
// refilled every frame. Boids outside the view are left out, and each boid is drawn with the
// coarsest of the mesh's levels whose error stays under a pixel at its distance (a few pixels
// when frames are too slow, see FrameDetail): one instanced draw per level, the boids of a level
// lying next to each other in the texture. When frames are too slow, a boid that spans fewer
// than kImpostorPixels pixels (twice that when they are slower still) is drawn as an impostor
// instead: a hexagon about its outline, shaded as the ellipsoid of the mesh's size turned as the
// boid is (ImpostorShape), in one more instanced draw.
//
// A frame without multisampling also leaves out the boids that nearer ones hide, which in a
// dense flock are most of them: it draws the boids that showed in the last frame, reads the depth
// back, and draws of the others only those whose box a farthest-depth pyramid does not find
// wholly behind what is drawn. The test errs only towards drawing, so the picture is the one
// every boid would give; what the first draw's boids show decides who is drawn first next time.
class TestRender : public Quellon::IRenderCallable {
public:
    // The size across, in the frame buffer's pixels, of a boid's bounding sphere under which it
    // may be drawn as an impostor. At 16 the teapot's spout, which reaches farthest past the
    // ellipsoid (1.67 against 1.12 of the mesh's units), lies under 3 pixels outside it: the
    // error the coarsest level already shows.
    static constexpr float kImpostorPixels = 16.0f;
    static constexpr const wchar_t* kBoidDataShaderFile = L"glsl/boidData.glsl";
    static constexpr const wchar_t* kImpostorVertexShaderFile = L"glsl/impostorVertexShader.glsl";
    static constexpr const wchar_t* kImpostorPixelShaderFile = L"glsl/impostorPixelShader.glsl";

    // Called on the main thread. window is the native X window of the render area; displayName
    // names the X display the host uses (empty: $DISPLAY); maxSamples caps multisampling (the
    // program asks for 4); capture, shared with the capture page, receives the frames that a
    // picture or a video waits for (none without it). Makes nothing yet: the context belongs to
    // the render thread.
    TestRender(std::shared_ptr<TestScene> scene, Quellon::NativeWindowId window, int width,
               int height, std::string displayName = std::string(), int maxSamples = 4,
               std::shared_ptr<CaptureSession> capture = nullptr);
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

    // Texture rows that hold boids: texelsPerBoid texels per boid (two, or three with a value
    // to colour by), dataWidth texels per row.
    static std::uint32_t RowsFor(std::uint32_t boids, std::uint32_t dataWidth,
                                 std::uint32_t texelsPerBoid = 2);

    // Called on the render thread after Init: copies the boids in view into the flock texture,
    // grouped by level, and returns how many it copied (the flock is first clamped to what the
    // texture holds). Before PostInit has built the levels, every boid counts as full detail.
    std::uint32_t UploadFlock();

    // What the last frame drew.
    struct FrameStatistics {
        std::uint32_t instances = 0;
        std::uint64_t triangles = 0;
        // Boids drawn with each level, level 0 being the full mesh, and as impostors.
        std::vector<std::uint32_t> instancesPerLevel;
        std::uint32_t impostors = 0;
        // The detail it was drawn with: the error and the size below which boids were impostors.
        float pixelError = 0.0f;
        float impostorPixels = 0.0f;
        bool multisampled = false;
        // Boids in view that nearer ones hid, left out.
        std::uint32_t hidden = 0;
    };
    // Called on the render thread, or by the thread that drives it once the frame has returned.
    const FrameStatistics& GetLastFrame() const { return m_lastFrame; }
    // Triangles of each level, from PostInit on.
    std::vector<std::uint32_t> GetLevelTriangles() const;
    // Called on the render thread after Init. How many pixels of geometric error a boid may show
    // before a finer level is used, from now on whatever the frames take;
    // 0 draws every boid with the full mesh; multisampled false keeps multisampling off;
    // impostorPixels, the size across under which boids are impostors (0: none is). Without it
    // the renderer chooses by its frame times.
    void SetMaxPixelError(float pixels, bool multisampled = true, float impostorPixels = 0.0f) {
        m_detail.Pin(pixels, multisampled, impostorPixels);
    }
    // Whether impostors can be drawn: from PostInit on.
    bool CanDrawImpostors() const { return !m_impostorProgram.expired(); }
    // Called on the render thread. Whether frames drawn without multisampling leave out the boids
    // that the nearer ones hide (on at first): the picture is the same either way.
    void SetOcclusionCulling(bool on) { m_occlusionCulling = on; }
    // CPU-side flock texture data currently held, in bytes.
    std::uint64_t GetFlockBufferSize() const { return m_flockBufferSize; }

private:
    struct LevelBuffer {
        int indexBufferId = -1;
        // The level's indices for kBoidsPerInstance copies of the mesh, in m_batchVertexBufferId.
        int batchIndexBufferId = -1;
        std::uint32_t triangles = 0;
        // Geometric error in world units at the scene's model scale.
        float error = 0.0f;
    };

    // The largest flock the texture holds, at two texels a boid, and at the texels of this frame.
    std::uint32_t GetCapacity() const;
    std::uint32_t GetFrameCapacity() const;
    // What boid i is coloured by when the colouring is a value of the step's (0 otherwise).
    float ColourValue(std::uint32_t i) const;
    void SetUniforms();
    void CreateImpostorBuffers();
    // The uniforms both flock programs read of the flock texture, the view and the colouring.
    void SetFlockUniforms(Quellon::OpenglProgram& program);
    // Which boids a draw of the flock takes: every boid in view, or, when the hidden ones are
    // left out, first those that showed in the last frame, then those of the rest that these
    // do not hide.
    enum class Pass : std::uint8_t { None, All, Front, Rest };
    // The flock clamped to the texture, the texture's rows reserved and each boid's level
    // chosen; returns the boids considered.
    std::uint32_t PrepareUpload();
    // Which boids are drawn, with which level.
    void ChooseLevels(std::uint32_t boids);
    // The pass's boids, each level's next to each other, into the CPU copy of the texture from
    // slot first on, and their rows into the texture. Returns how many.
    std::uint32_t PlacePass(std::uint32_t boids, Pass pass, std::uint32_t first);
    // With the front drawn: reads the depth, marks the rest's hidden boids as not drawn and
    // remembers which boids show for the next frame. Returns how many it left out.
    std::uint32_t LeaveOutHidden(std::uint32_t boids);
    void ReserveFlockRows(std::uint32_t rows);
    void DrawLevels();
    void SetMultisampling(bool on);
    void CaptureFrame();

    std::shared_ptr<TestScene> m_scene;
    Quellon::NativeWindowId m_window;
    int m_width;
    int m_height;
    std::string m_displayName;
    int m_maxSamples;
    std::shared_ptr<CaptureSession> m_capture;
    std::shared_ptr<Quellon::OpenglDriver> m_driver;
    int m_vertexBufferId = -1;
    // kBoidsPerInstance copies of the mesh, one after the other, so that one instance of a flock
    // draw steers that many boids (the shader tells them apart by the vertex's number).
    int m_batchVertexBufferId = -1;
    // Finest first; the first is the mesh as loaded.
    std::vector<LevelBuffer> m_levels;
    // Radius about the boid's position that holds its whole mesh, in world units.
    float m_boidRadius = 0.0f;
    FrameDetail m_detail;
    // What the last frame showed, to tell a still scene.
    std::uint32_t m_lastBoidCount = 0;
    Quellon::Matrix4 m_lastView;
    bool m_multisampling = true;
    // Per boid of the last upload: its level, or a mark for a boid that is not drawn.
    std::vector<std::uint8_t> m_boidLevels;
    // Per level of the last upload, and last for the impostors: its first boid in the texture
    // and its number of boids.
    std::vector<std::uint32_t> m_levelFirst;
    std::vector<std::uint32_t> m_levelCount;
    FrameStatistics m_lastFrame;
    std::weak_ptr<Quellon::OpenglProgram> m_program;
    std::weak_ptr<Quellon::OpenglProgram> m_impostorProgram;
    // The polygons of an impostor draw's instance, one after the other, and their triangles.
    int m_impostorVertexBufferId = -1;
    int m_impostorIndexBufferId = -1;
    // The impostors' ellipsoid, in world units, in the basis the mesh is drawn in.
    Quellon::Vector3 m_impostorCentre;
    Quellon::Vector3 m_impostorAxes;
    // Predators and obstacles, drawn after the flock; from PostInit on.
    std::unique_ptr<WorldRender> m_world;
    std::weak_ptr<Quellon::OpenglTexture> m_flockTexture;
    std::uint32_t m_dataWidth = 0;
    // The texture's lowest m_flockBufferRows rows, three floats a texel: only as many rows as
    // the flock needs, since the whole texture's worth is hundreds of megabytes.
    std::shared_ptr<float[]> m_flockBuffer;
    std::uint32_t m_flockBufferRows = 0;
    std::uint64_t m_flockBufferSize = 0;
    // Three with a value to colour by, else two; and the largest such value of the last upload.
    std::uint32_t m_texelsPerBoid = 2;
    float m_highestValue = 0.0f;
    bool m_occlusionCulling = true;
    // Per boid of the last upload: the pass that draws it; and per boid, whether it showed in
    // the last frame that left hidden boids out.
    std::vector<Pass> m_boidPasses;
    std::vector<std::uint8_t> m_showed;
    DepthPyramid m_depth;
};

}  // namespace Avidrift
