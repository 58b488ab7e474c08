#pragma once

#include <cstdint>

namespace Quellon {

// Measures the time between calls to Tick on a monotonic clock. A Timer belongs to one thread
// after construction; it is not synchronised.
class Timer {
public:
    // Throws Exception when the monotonic clock is not available.
    Timer();

    // Seconds since the previous Tick (or since construction); restarts the measurement.
    float Tick();

private:
    float m_secondsPerTick;
    std::int64_t m_lastCounter;
};

}  // namespace Quellon
