#pragma once

#include <cstdint>
#include <vector>

#include "Quellon/Vector3.h"

namespace Avidrift {

// Coarser index lists over the same vertices as a mesh, for boids too far away for their
// triangles to show. Level 0 is the mesh as it stands; every further level has fewer triangles
// and a larger geometric error. A mesh too small to simplify keeps the one level.
class MeshLevels {
public:
    static constexpr std::size_t kMaxLevels = 16;

    struct Level {
        std::vector<std::int32_t> indices;
        // How far, in the mesh's own units, this level's surface may stray from the full mesh.
        float error = 0.0f;
    };

    // Called once, on the render thread, while the renderer builds its buffers. indices hold
    // three valid position numbers per triangle.
    MeshLevels(const std::vector<Quellon::Vector3>& positions,
               const std::vector<std::int32_t>& indices);

    const std::vector<Level>& GetLevels() const { return m_levels; }

private:
    std::vector<Level> m_levels;
};

}  // namespace Avidrift
