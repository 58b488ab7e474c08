#include "Avidrift/Render/StatisticsOverlay.h"

#include <sstream>

#include "Quellon/Opengl/OpenglDriver.h"

namespace Avidrift {

namespace {
const Quellon::OpenglColor kTextColour{1.0f, 0.0f, 0.0f};
constexpr const char* kFlockLabel = "Flock simulation elapsed time: ";
constexpr const char* kRenderLabel = "Render elapsed time: ";
}  // namespace

std::string StatisticsOverlay::FormatLine(const char* label, float seconds) {
    std::ostringstream stream;
    stream << label << seconds * 1000.0f << "ms";
    return stream.str();
}

void StatisticsOverlay::Draw(Quellon::OpenglDriver& driver, int width, float flockSeconds,
                             float renderSeconds) {
    driver.DrawString(kTextColour, FormatLine(kFlockLabel, flockSeconds), width - 390, 40);
    driver.DrawString(kTextColour, FormatLine(kRenderLabel, renderSeconds), width - 300, 20);
}

}  // namespace Avidrift
