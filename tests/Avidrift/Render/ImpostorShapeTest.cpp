#include "Avidrift/Render/ImpostorShape.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace Avidrift {
namespace {

using Quellon::Vector3;

// A sphere of 48 rings and segments scaled by axes and moved to centre: the fit finds them back
// within the grid's and the polygon's loss of area.
TEST(ImpostorShape, FindsAnEllipsoidsAxesInTheirOrderAndItsCentre) {
    constexpr int kRings = 48;
    const Vector3 axes(1.0f, 2.0f, 3.0f);
    const Vector3 centre(5.0f, -1.0f, 0.5f);
    std::vector<Vector3> positions;
    for (int ring = 0; ring <= kRings; ++ring) {
        for (int segment = 0; segment < kRings; ++segment) {
            const double theta = std::numbers::pi * ring / kRings;
            const double phi = 2 * std::numbers::pi * segment / kRings;
            positions.push_back(
                centre + Vector3(axes.x * static_cast<float>(std::sin(theta) * std::cos(phi)),
                                 axes.y * static_cast<float>(std::cos(theta)),
                                 axes.z * static_cast<float>(std::sin(theta) * std::sin(phi))));
        }
    }
    std::vector<std::int32_t> indices;
    for (int ring = 0; ring < kRings; ++ring) {
        for (int segment = 0; segment < kRings; ++segment) {
            const int a = ring * kRings + segment;
            const int b = ring * kRings + (segment + 1) % kRings;
            indices.insert(indices.end(), {a, b, b + kRings, a, b + kRings, a + kRings});
        }
    }
    const ImpostorShape shape = ImpostorShape::Fit(positions, indices);
    EXPECT_NEAR(shape.centre.x, centre.x, 1e-4f);
    EXPECT_NEAR(shape.centre.y, centre.y, 1e-4f);
    EXPECT_NEAR(shape.centre.z, centre.z, 1e-4f);
    EXPECT_NEAR(shape.semiAxes.x, axes.x, 0.03f * axes.x);
    EXPECT_NEAR(shape.semiAxes.y, axes.y, 0.03f * axes.y);
    EXPECT_NEAR(shape.semiAxes.z, axes.z, 0.03f * axes.z);
}

TEST(ImpostorShape, FlatOrEmptyMeshesGetASphere) {
    // A square in the xy plane has no area seen along x or y.
    const std::vector<Vector3> square = {{0, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0}};
    const ImpostorShape flat = ImpostorShape::Fit(square, {0, 1, 2, 0, 2, 3});
    EXPECT_FLOAT_EQ(1.0f, flat.centre.x);
    EXPECT_FLOAT_EQ(std::sqrt(2.0f), flat.semiAxes.x);
    EXPECT_FLOAT_EQ(flat.semiAxes.x, flat.semiAxes.z);
    // Triangles of no area cover nothing either way round.
    const ImpostorShape line = ImpostorShape::Fit({{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}, {0, 1, 2});
    EXPECT_FLOAT_EQ(std::sqrt(3.0f), line.semiAxes.y);
    const ImpostorShape empty = ImpostorShape::Fit({}, {});
    EXPECT_FLOAT_EQ(1.0f, empty.semiAxes.x);
}

}  // namespace
}  // namespace Avidrift
