#include "Avidrift/Render/ImpostorShape.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace Avidrift {

namespace {

// Cells a side of the grid a silhouette is measured on: within a per cent of the area of a
// round silhouette, at a startup cost of a few milliseconds for a mesh of thousands of triangles.
constexpr int kCells = 128;

float Component(const Quellon::Vector3& v, int axis) {
    return axis == 0 ? v.x : axis == 1 ? v.y : v.z;
}

// The area of the mesh's silhouette seen along axis: the cells of a grid over the box's other
// two sides whose centres some triangle covers.
float SilhouetteArea(const std::vector<Quellon::Vector3>& positions,
                     const std::vector<std::int32_t>& indices, const Quellon::Vector3& low,
                     const Quellon::Vector3& high, int axis) {
    const int u = (axis + 1) % 3;
    const int v = (axis + 2) % 3;
    const float u0 = Component(low, u);
    const float v0 = Component(low, v);
    const float cellU = (Component(high, u) - u0) / kCells;
    const float cellV = (Component(high, v) - v0) / kCells;
    if (!(cellU > 0.0f) || !(cellV > 0.0f)) {
        return 0.0f;
    }
    std::vector<std::uint8_t> covered(static_cast<std::size_t>(kCells) * kCells, 0);
    for (std::size_t t = 0; t + 2 < indices.size(); t += 3) {
        std::array<float, 3> pu{};
        std::array<float, 3> pv{};
        for (int k = 0; k < 3; ++k) {
            const Quellon::Vector3& p = positions[static_cast<std::size_t>(indices[t + k])];
            pu[k] = (Component(p, u) - u0) / cellU;
            pv[k] = (Component(p, v) - v0) / cellV;
        }
        const float twiceArea =
            (pu[1] - pu[0]) * (pv[2] - pv[0]) - (pu[2] - pu[0]) * (pv[1] - pv[0]);
        if (twiceArea == 0.0f) {
            continue;
        }
        const auto cell = [](float c) { return std::clamp(static_cast<int>(c), 0, kCells - 1); };
        const int i0 = cell(std::min({pu[0], pu[1], pu[2]}));
        const int i1 = cell(std::max({pu[0], pu[1], pu[2]}));
        const int j0 = cell(std::min({pv[0], pv[1], pv[2]}));
        const int j1 = cell(std::max({pv[0], pv[1], pv[2]}));
        for (int j = j0; j <= j1; ++j) {
            for (int i = i0; i <= i1; ++i) {
                const float cu = static_cast<float>(i) + 0.5f;
                const float cv = static_cast<float>(j) + 0.5f;
                bool inside = true;
                for (int k = 0; k < 3 && inside; ++k) {
                    const int n = (k + 1) % 3;
                    const float edge =
                        (pu[n] - pu[k]) * (cv - pv[k]) - (pv[n] - pv[k]) * (cu - pu[k]);
                    // Either winding: the centre lies on the side of every edge the triangle does.
                    inside = twiceArea > 0.0f ? edge >= 0.0f : edge <= 0.0f;
                }
                if (inside) {
                    covered[static_cast<std::size_t>(j) * kCells + i] = 1;
                }
            }
        }
    }
    const auto cells = std::count(covered.begin(), covered.end(), 1);
    return static_cast<float>(cells) * cellU * cellV;
}

}  // namespace

ImpostorShape ImpostorShape::Fit(const std::vector<Quellon::Vector3>& positions,
                                 const std::vector<std::int32_t>& indices) {
    if (positions.empty()) {
        return {{}, {1.0f, 1.0f, 1.0f}};
    }
    Quellon::Vector3 low = positions.front();
    Quellon::Vector3 high = positions.front();
    for (const Quellon::Vector3& p : positions) {
        low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
        high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
    }
    ImpostorShape shape;
    shape.centre = (low + high) * 0.5f;
    // Seen along x an ellipsoid of semi-axes (a, b, c) covers pi b c, along y pi a c, along z
    // pi a b; three areas give the three semi-axes.
    std::array<double, 3> area{};
    for (int axis = 0; axis < 3; ++axis) {
        area[axis] = SilhouetteArea(positions, indices, low, high, axis) / std::numbers::pi;
    }
    if (area[0] > 0.0 && area[1] > 0.0 && area[2] > 0.0) {
        shape.semiAxes = {static_cast<float>(std::sqrt(area[1] * area[2] / area[0])),
                          static_cast<float>(std::sqrt(area[0] * area[2] / area[1])),
                          static_cast<float>(std::sqrt(area[0] * area[1] / area[2]))};
    } else {
        const float radius = std::max(0.5f * Quellon::Length(high - low), 1e-6f);
        shape.semiAxes = {radius, radius, radius};
    }
    return shape;
}

}  // namespace Avidrift
