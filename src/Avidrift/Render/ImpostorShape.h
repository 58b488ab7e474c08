#pragma once

#include <cstdint>
#include <vector>

#include "Quellon/Vector3.h"

namespace Avidrift {

// The ellipsoid a boid too small for its mesh to show is drawn as: along each of the mesh's axes
// it shows the area the mesh's silhouette does, so a far flock keeps its size and coverage, and
// it turns with the boid as the mesh would.
struct ImpostorShape {
    Quellon::Vector3 centre;
    Quellon::Vector3 semiAxes;

    // positions in the basis the mesh is drawn in, with indices holding three valid position
    // numbers per triangle. A mesh with no area along some axis gets a sphere of its extent, and
    // an empty one a unit sphere.
    static ImpostorShape Fit(const std::vector<Quellon::Vector3>& positions,
                             const std::vector<std::int32_t>& indices);
};

}  // namespace Avidrift
