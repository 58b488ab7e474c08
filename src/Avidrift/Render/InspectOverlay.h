#pragma once

#include <string>
#include <vector>

#include "Avidrift/TestScene.h"
#include "Quellon/Opengl/OpenglDriver.h"

namespace Avidrift {

// What the view draws over the flock: the selected boid's ring, its neighbours, every term of its
// steering, its target and its velocity, and the legend of the colouring.
class InspectOverlay {
public:
    // The neighbour lines, the force arrows (each term's vector drawn from the boid, one unit of
    // length per unit of velocity it adds), the line and cross at the target and the velocity
    // arrow, in world space; viewAxis is the camera's direction, which the arrow heads face.
    static std::vector<Quellon::OverlayVertex> Annotations(const BoidInspection& inspection,
                                                           const FlockData& flock,
                                                           const Quellon::Vector3& viewAxis);

    // The legend's words: what the colour shows and the values at the ends of its bar.
    struct Legend {
        std::string title;
        std::string low;
        std::string high;
    };
    // highest: the largest value among the drawn boids, for the colourings scaled to it.
    static Legend LegendFor(ColourBy colourBy, float highest);

    // The colour of value in [0, 1] on the bar, as the boids' shader mixes it.
    static Quellon::OpenglColor Ramp(float value);
    static Quellon::OpenglColor Hue(float turns);

    // Called on the render thread inside a frame, after the flock: the annotations of the
    // scene's inspection, and the legend at the top left when the colouring is not speed. scale
    // is the frame buffer's pixels per pixel of the render area.
    static void Draw(Quellon::OpenglDriver& driver, const TestScene& scene, float highest,
                     float scale);
};

}  // namespace Avidrift
