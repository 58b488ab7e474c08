#pragma once

namespace Avidrift {

// The colours of the selected boid's annotations: the view draws in them and the inspect page
// names its rows in them, so a reader can tell which line is which.
struct AnnotationColour {
    float red = 0.0f;
    float green = 0.0f;
    float blue = 0.0f;
};

namespace Annotations {
constexpr AnnotationColour kSeparation{1.0f, 0.25f, 0.25f};
constexpr AnnotationColour kGroup{0.3f, 1.0f, 0.35f};
constexpr AnnotationColour kCohesion{0.1f, 0.75f, 0.2f};
constexpr AnnotationColour kAlignment{0.2f, 0.9f, 1.0f};
constexpr AnnotationColour kPath{1.0f, 0.3f, 1.0f};
constexpr AnnotationColour kFlee{1.0f, 0.85f, 0.1f};
constexpr AnnotationColour kAvoid{0.6f, 0.6f, 0.6f};
constexpr AnnotationColour kVelocity{1.0f, 1.0f, 1.0f};
constexpr AnnotationColour kRing{1.0f, 1.0f, 0.0f};
}  // namespace Annotations

}  // namespace Avidrift
