#pragma once

#include <vector>

namespace Avidrift {

// A frame's depth buffer with, level by level, the farthest depth of each 2 x 2 block of the level
// below: whether anything drawn into a rectangle of pixels would be hidden is then answered from
// a few values, whatever the rectangle's size.
class DepthPyramid {
public:
    // depth: width x height window depths (0 near, 1 far), rows bottom-up, as OpenGL reads them.
    void Build(std::vector<float> depth, int width, int height);

    // Whether every pixel of [x0, x1] x [y0, y1] (inclusive, clipped to the frame) holds a depth
    // nearer than depth, so that a surface at depth or beyond would show nowhere in it. A
    // rectangle wholly off the frame is hidden; an empty pyramid hides nothing.
    bool Hides(int x0, int y0, int x1, int y1, float depth) const;

    int GetWidth() const { return m_width; }
    int GetHeight() const { return m_height; }

private:
    struct Level {
        int width = 0;
        int height = 0;
        std::vector<float> farthest;
    };
    std::vector<Level> m_levels;
    int m_width = 0;
    int m_height = 0;
};

}  // namespace Avidrift
