#include "Avidrift/Render/MeshLevels.h"

#include <meshoptimizer.h>

#include <algorithm>

namespace Avidrift {

namespace {

// Each level aims at half the triangles of the one before it: with quarters, a level's error
// grows so much faster than its savings that a flock at the usual distance stays a level finer.
constexpr std::size_t kReduction = 2;
// Below this many triangles a level gains nothing worth a draw call of its own.
constexpr std::size_t kMinTriangles = 16;
// A level that keeps more than this share of the previous one's triangles is not worth having.
constexpr double kMinGain = 0.7;
// The simplifier's errors are relative to the mesh's extent; 1 lets it go as far as it must.
constexpr float kAnyError = 1.0f;

}  // namespace

MeshLevels::MeshLevels(const std::vector<Quellon::Vector3>& positions,
                       const std::vector<std::int32_t>& indices) {
    m_levels.push_back({indices, 0.0f});
    if (positions.empty() || indices.size() < 3 * kMinTriangles * kReduction) {
        return;
    }
    const auto* vertices = reinterpret_cast<const float*>(positions.data());
    const std::size_t stride = sizeof(Quellon::Vector3);
    const float scale = meshopt_simplifyScale(vertices, positions.size(), stride);
    const std::vector<unsigned int> source(indices.begin(), indices.end());
    std::vector<unsigned int> simplified(source.size());
    std::size_t target = source.size();
    while (m_levels.size() < kMaxLevels) {
        target = target / kReduction / 3 * 3;
        if (target < 3 * kMinTriangles) {
            break;
        }
        // Every level starts from the full mesh, so errors do not pile up level on level.
        float error = 0.0f;
        std::size_t count =
            meshopt_simplify(simplified.data(), source.data(), source.size(), vertices,
                             positions.size(), stride, target, kAnyError, 0, &error);
        const std::size_t previous = m_levels.back().indices.size();
        if (count > kMinGain * static_cast<double>(previous)) {
            // Seams and open borders stop the topology-preserving simplifier early; the sloppy
            // one merges across them, at a larger error that the level choice accounts for.
            count =
                meshopt_simplifySloppy(simplified.data(), source.data(), source.size(), vertices,
                                       positions.size(), stride, target, kAnyError, &error);
        }
        if (count == 0 || count > kMinGain * static_cast<double>(previous)) {
            break;
        }
        // A coarser level must never claim to be closer to the mesh than a finer one, or the
        // choice by distance would skip back and forth between them.
        const float absolute = std::max(error * scale, m_levels.back().error);
        m_levels.push_back(
            {std::vector<std::int32_t>(simplified.begin(), simplified.begin() + count), absolute});
    }
}

}  // namespace Avidrift
