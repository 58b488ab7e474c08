#pragma once

#include <string>

namespace Quellon {
class OpenglDriver;
}

namespace Avidrift {

// The two timing lines in the lower right corner of every frame.
class StatisticsOverlay {
public:
    // "<label><milliseconds>ms", the milliseconds in the default stream format (up to six
    // significant digits): 0.002 s gives "2ms", 1234.5678 s "1.23457e+06ms".
    static std::string FormatLine(const char* label, float seconds);

    // Called on the render thread inside a frame. width is the render area's width; the lines
    // keep their distance from its right edge.
    static void Draw(Quellon::OpenglDriver& driver, int width, float flockSeconds,
                     float renderSeconds);
};

}  // namespace Avidrift
