#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Avidrift/Flock/BoidInspection.h"
#include "Avidrift/Flock/FlockData.h"
#include "Avidrift/Flock/WorldFile.h"
#include "Quellon/Matrix4.h"
#include "Quellon/ObjMesh.h"
#include "Quellon/Scene.h"

namespace Avidrift {

// What the boids' colour shows. The values are the colour-by setting's, as the inspect page
// posts them.
enum class ColourBy : int {
    Speed = 0,  // slow blue to fast orange, the design's colouring
    GroupNeighbours = 1,
    SeparationNeighbours = 2,
    Heading = 3,  // the direction of flight as a hue
    TargetDistance = 4,
};
constexpr int kColourByCount = 5;

// The flock program's scene (the "Test" in the name comes from the design).
// What the logic produces and the renderer draws: the flock, the boid mesh and its model
// transform, the shader files, the task count and the last step time. Two exist at run time,
// the logic's working scene and the one shared with the renderer.
class TestScene : public Quellon::Scene {
public:
    static constexpr const wchar_t* kMeshFile = L"data/teapot.obj";
    static constexpr const wchar_t* kVertexShaderFile = L"glsl/vertexShader.glsl";
    static constexpr const wchar_t* kPixelShaderFile = L"glsl/pixelShader.glsl";

    // Reads the mesh file; throws what the mesh loader throws ("No such a file"). The three
    // files are looked for in the working directory, then where the program is installed.
    TestScene();

    // Copies mesh, flock, task count, camera, step time, pause, colouring, inspection and what was
    // published for the pages from another TestScene; the local matrix and shader names are the
    // same constants in every scene and stay. Throws Exception for a source of another type.
    void CopyFrom(std::shared_ptr<Quellon::Scene> source) override;

    // What the logic made of the flock-size settings it was sent, for the settings page.
    struct FlockSizeAnswer {
        std::uint32_t handled = 0;    // settings handled so far, refused ones included
        std::uint32_t boidCount = 0;  // the size that runs since the last of them
    };
    // Called on the logic thread after a flock-size setting was applied or refused.
    void AnswerFlockSizeSetting(std::uint32_t runningBoidCount);
    // Called on any thread, without the scene's lock: a frame in progress holds that for as
    // long as the frame takes, and the page must not wait for it.
    FlockSizeAnswer GetFlockSizeAnswer() const;

    // The world as the logic last left it, for the world page: parameters, obstacles,
    // predators, the flock's size and the camera, and whether the user hunts. The version grows
    // with every publish, so the page redraws only what changed.
    struct WorldView {
        std::uint64_t version = 0;
        World world;
        bool hunting = false;
    };
    // Called on the logic thread.
    void PublishWorld(World world, bool hunting);
    // Called on any thread, without the scene's lock (a frame in progress holds that).
    WorldView GetWorld() const;

    // The selected boid as the logic last inspected it, for the inspect page; the version grows
    // with every publish.
    struct InspectView {
        std::uint64_t version = 0;
        std::optional<BoidInspection> inspection;
        bool following = false;
    };
    // Called on the logic thread.
    void PublishInspection(std::optional<BoidInspection> inspection, bool following);
    // Called on any thread, without the scene's lock.
    InspectView GetInspection() const;

    FlockData m_flock;
    Quellon::ObjMesh m_mesh;
    Quellon::Matrix4 m_localMatrix;
    std::wstring m_vertexShaderFile;
    std::wstring m_pixelShaderFile;
    std::uint32_t m_taskCount = 1;
    float m_stepTime = 0.0f;
    // Whether the logic holds the flock still (the user paused it).
    bool m_paused = false;
    ColourBy m_colourBy = ColourBy::Speed;
    // The selected boid, inspected on the state in m_flock; none without a selection.
    std::optional<BoidInspection> m_inspection;

private:
    // FlockSizeAnswer in one word (handled in the high half), so that a reader never sees the
    // count of one answer with the size of another.
    std::atomic<std::uint64_t> m_flockSizeAnswer{0};
    mutable std::mutex m_worldMutex;
    WorldView m_world;          // guarded by m_worldMutex
    InspectView m_inspectView;  // guarded by m_worldMutex
};

}  // namespace Avidrift
