#include "Avidrift/Render/InspectOverlay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Avidrift/Annotations.h"
#include "Avidrift/Flock/FlockData.h"

namespace Avidrift {

using Quellon::OpenglColor;
using Quellon::OverlayVertex;
using Quellon::Vector3;

namespace {

constexpr float kPi = 3.14159265f;
// The ring's radius and the legend's bar, in pixels of the render area.
constexpr float kRingRadius = 14.0f;
constexpr int kRingSegments = 32;
constexpr float kLegendLeft = 16.0f;
constexpr float kLegendTop = 34.0f;
constexpr float kBarWidth = 180.0f;
constexpr float kBarHeight = 12.0f;
// The speed the boids' shader shows as fully orange.
constexpr float kFullSpeed = 8.0f;
// A third of the arrow's length, at most this long: the head.
constexpr float kHeadLength = 0.6f;
const OpenglColor kLegendText{1.0f, 1.0f, 1.0f};

OpenglColor Of(const AnnotationColour& c) {
    return {c.red, c.green, c.blue};
}
const OpenglColor kSeparationColour = Of(Annotations::kSeparation);
const OpenglColor kGroupColour = Of(Annotations::kGroup);
const OpenglColor kCohesionColour = Of(Annotations::kCohesion);
const OpenglColor kAlignmentColour = Of(Annotations::kAlignment);
const OpenglColor kPathColour = Of(Annotations::kPath);
const OpenglColor kFleeColour = Of(Annotations::kFlee);
const OpenglColor kAvoidColour = Of(Annotations::kAvoid);
const OpenglColor kVelocityColour = Of(Annotations::kVelocity);
const OpenglColor kRingColour = Of(Annotations::kRing);

void Line(std::vector<OverlayVertex>& out, const Vector3& a, const Vector3& b,
          const OpenglColor& colour) {
    out.push_back({a, colour});
    out.push_back({b, colour});
}

void Arrow(std::vector<OverlayVertex>& out, const Vector3& from, const Vector3& along,
           const Vector3& viewAxis, const OpenglColor& colour) {
    const float length = Quellon::Length(along);
    if (!(length > 0.0f) || !std::isfinite(length)) {
        return;
    }
    const Vector3 tip = from + along;
    const Vector3 back = along * (-std::min(kHeadLength, length / 3) / length);
    // Across the arrow in the picture's plane, so the head shows from any side.
    Vector3 across = Quellon::Cross(along, viewAxis).Normalized() * (Quellon::Length(back) / 2);
    Line(out, from, tip, colour);
    Line(out, tip, tip + back + across, colour);
    Line(out, tip, tip + back - across, colour);
}

bool IsFinite(const Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

std::string Number(float value, bool whole) {
    char text[32];
    std::snprintf(text, sizeof text, whole ? "%.0f" : "%.1f", static_cast<double>(value));
    return text;
}

}  // namespace

std::vector<OverlayVertex> InspectOverlay::Annotations(const BoidInspection& inspection,
                                                       const FlockData& flock,
                                                       const Vector3& viewAxis) {
    std::vector<OverlayVertex> out;
    const Vector3 p = inspection.position;
    if (!IsFinite(p)) {
        return out;
    }
    for (const std::uint32_t j : inspection.separationNeighbours) {
        Line(out, p, flock.positions[j], kSeparationColour);
    }
    for (const std::uint32_t j : inspection.groupNeighbours) {
        Line(out, p, flock.positions[j], kGroupColour);
    }
    const BoidTerms& terms = inspection.terms;
    const std::pair<Vector3, OpenglColor> arrows[] = {{terms.separation, kSeparationColour},
                                                      {terms.cohesion, kCohesionColour},
                                                      {terms.alignment, kAlignmentColour},
                                                      {terms.path, kPathColour},
                                                      {terms.flee, kFleeColour},
                                                      {terms.avoid, kAvoidColour},
                                                      {inspection.velocity, kVelocityColour}};
    for (const auto& [vector, colour] : arrows) {
        Arrow(out, p, vector, viewAxis, colour);
    }
    if (IsFinite(terms.target)) {
        Line(out, p, terms.target, kPathColour);
        for (const Vector3& axis : {Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, 1)}) {
            Line(out, terms.target - axis * 0.5f, terms.target + axis * 0.5f, kPathColour);
        }
    }
    return out;
}

InspectOverlay::Legend InspectOverlay::LegendFor(ColourBy colourBy, float highest) {
    switch (colourBy) {
        case ColourBy::Speed:
            return {"Colour: speed", "0", Number(kFullSpeed, true)};
        case ColourBy::GroupNeighbours:
            return {"Colour: group neighbours", "0", Number(highest, true)};
        case ColourBy::SeparationNeighbours:
            return {"Colour: separation neighbours", "0", Number(highest, true)};
        case ColourBy::Heading:
            return {"Colour: heading about the y axis", "0 deg", "360 deg"};
        case ColourBy::TargetDistance:
            return {"Colour: distance to the target", "0", Number(highest, false)};
    }
    return {};
}

OpenglColor InspectOverlay::Ramp(float value) {
    const float t = std::clamp(value, 0.0f, 1.0f);
    return {0.15f + (1.0f - 0.15f) * t, 0.35f + (0.55f - 0.35f) * t, 0.95f + (0.1f - 0.95f) * t};
}

OpenglColor InspectOverlay::Hue(float turns) {
    // The shader's hue: each channel a triangle wave a third of a turn apart.
    const auto channel = [&](float offset) {
        const float x = std::fmod(turns + offset, 1.0f) * 6.0f;
        return std::clamp(std::abs(x - 3.0f) - 1.0f, 0.0f, 1.0f);
    };
    return {channel(0.0f), channel(2.0f / 3.0f), channel(1.0f / 3.0f)};
}

void InspectOverlay::Draw(Quellon::OpenglDriver& driver, const TestScene& scene, float highest,
                          float scale) {
    const Quellon::Camera& camera = scene.m_camera;
    const float width = static_cast<float>(driver.GetPixelWidth());
    const float height = static_cast<float>(driver.GetPixelHeight());
    // Frame-buffer pixels, the origin at the lower left.
    Quellon::Matrix4 pixels;
    pixels[0] = 2.0f / width;
    pixels[3] = -1.0f;
    pixels[5] = 2.0f / height;
    pixels[7] = -1.0f;
    if (scene.m_inspection) {
        const BoidInspection& inspection = *scene.m_inspection;
        const Quellon::Matrix4 clip = camera.m_projectionMatrix * camera.m_viewMatrix;
        const Vector3 axis(-camera.m_viewMatrix[8], -camera.m_viewMatrix[9],
                           -camera.m_viewMatrix[10]);
        driver.DrawOverlay(Annotations(inspection, scene.m_flock, axis), false, clip, scale);
        // The ring: where the boid lands on the picture, whatever its distance.
        const Vector3 p = inspection.position;
        const float w = clip[12] * p.x + clip[13] * p.y + clip[14] * p.z + clip[15];
        if (IsFinite(p) && w > Quellon::Camera::kNear) {
            const float x = (clip[0] * p.x + clip[1] * p.y + clip[2] * p.z + clip[3]) / w;
            const float y = (clip[4] * p.x + clip[5] * p.y + clip[6] * p.z + clip[7]) / w;
            const Vector3 centre((x + 1.0f) * width / 2, (y + 1.0f) * height / 2, 0.0f);
            std::vector<OverlayVertex> ring;
            for (int k = 0; k < kRingSegments; ++k) {
                for (const int corner : {k, k + 1}) {
                    const float angle = 2 * kPi * static_cast<float>(corner) / kRingSegments;
                    ring.push_back({centre + Vector3(std::cos(angle), std::sin(angle), 0) *
                                                 (kRingRadius * scale),
                                    kRingColour});
                }
            }
            driver.DrawOverlay(ring, false, pixels, 2.0f * scale);
        }
    }
    if (scene.m_colourBy == ColourBy::Speed) {
        return;
    }
    const Legend legend = LegendFor(scene.m_colourBy, highest);
    const float left = kLegendLeft * scale;
    const float top = height - kLegendTop * scale;
    const float bottom = top - kBarHeight * scale;
    std::vector<OverlayVertex> bar;
    constexpr int kStops = 12;
    for (int k = 0; k < kStops; ++k) {
        const float a = static_cast<float>(k) / kStops;
        const float b = static_cast<float>(k + 1) / kStops;
        const bool hue = scene.m_colourBy == ColourBy::Heading;
        const OpenglColor ca = hue ? Hue(a) : Ramp(a);
        const OpenglColor cb = hue ? Hue(b) : Ramp(b);
        const float xa = left + a * kBarWidth * scale;
        const float xb = left + b * kBarWidth * scale;
        bar.insert(bar.end(), {{{xa, bottom, 0}, ca},
                               {{xb, bottom, 0}, cb},
                               {{xb, top, 0}, cb},
                               {{xa, bottom, 0}, ca},
                               {{xb, top, 0}, cb},
                               {{xa, top, 0}, ca}});
    }
    driver.DrawOverlay(bar, true, pixels);
    const int textY = static_cast<int>(top + 6 * scale);
    driver.DrawString(kLegendText, legend.title, static_cast<int>(left), textY);
    const int rangeY = static_cast<int>(bottom - 18 * scale);
    driver.DrawString(kLegendText, legend.low, static_cast<int>(left), rangeY);
    driver.DrawString(
        kLegendText, legend.high,
        static_cast<int>(left + kBarWidth * scale) - 9 * static_cast<int>(legend.high.size()),
        rangeY);
}

}  // namespace Avidrift
