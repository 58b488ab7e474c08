#include "Avidrift/Render/DepthPyramid.h"

#include <algorithm>
#include <utility>

namespace Avidrift {

void DepthPyramid::Build(std::vector<float> depth, int width, int height) {
    m_width = width;
    m_height = height;
    // The levels' storage is kept from frame to frame; only the first takes the new buffer.
    m_levels.resize(1);
    m_levels[0] = {width, height, std::move(depth)};
    while (m_levels.back().width > 1 || m_levels.back().height > 1) {
        const Level& below = m_levels.back();
        Level level{(below.width + 1) / 2, (below.height + 1) / 2, {}};
        level.farthest.resize(static_cast<std::size_t>(level.width) * level.height);
        for (int y = 0; y < level.height; ++y) {
            // An odd edge's last block has one row or column: it repeats it.
            const int y0 = 2 * y;
            const int y1 = std::min(y0 + 1, below.height - 1);
            for (int x = 0; x < level.width; ++x) {
                const int x0 = 2 * x;
                const int x1 = std::min(x0 + 1, below.width - 1);
                const float* low = &below.farthest[static_cast<std::size_t>(y0) * below.width];
                const float* high = &below.farthest[static_cast<std::size_t>(y1) * below.width];
                level.farthest[static_cast<std::size_t>(y) * level.width + x] =
                    std::max(std::max(low[x0], low[x1]), std::max(high[x0], high[x1]));
            }
        }
        m_levels.push_back(std::move(level));
    }
}

bool DepthPyramid::Hides(int x0, int y0, int x1, int y1, float depth) const {
    if (m_levels.empty() || m_width == 0 || m_height == 0) {
        return false;
    }
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, m_width - 1);
    y1 = std::min(y1, m_height - 1);
    if (x0 > x1 || y0 > y1) {
        return true;
    }
    // The level where the rectangle spans at most eight texels each way (nine where it straddles
    // a block's edge): a coarser one would look far past the rectangle's edges, where a far pixel
    // keeps most boids of a dense flock from being found hidden; a finer one costs more reads.
    std::size_t level = 0;
    while (level + 1 < m_levels.size() && ((x1 - x0) >> level) > 7) {
        ++level;
    }
    while (level + 1 < m_levels.size() && ((y1 - y0) >> level) > 7) {
        ++level;
    }
    const Level& l = m_levels[level];
    const auto shift = static_cast<int>(level);
    for (int y = y0 >> shift; y <= y1 >> shift; ++y) {
        for (int x = x0 >> shift; x <= x1 >> shift; ++x) {
            if (!(l.farthest[static_cast<std::size_t>(y) * l.width + x] < depth)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace Avidrift
