#pragma once

#include <cstdint>
#include <vector>

namespace Avidrift {

// One presented frame of the render area as the render thread read it back: RGBA, 8 bits a
// channel, rows bottom-up (OpenGL's order), in physical pixels.
struct CapturedFrame {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

}  // namespace Avidrift
