#include "Quellon/Timer.h"

#include <time.h>

#include "Quellon/Exception.h"

namespace Quellon {

namespace {

constexpr std::int64_t kTicksPerSecond = 1000000000;

bool ReadCounter(std::int64_t& counter) {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return false;
    }
    counter = static_cast<std::int64_t>(now.tv_sec) * kTicksPerSecond + now.tv_nsec;
    return true;
}

}  // namespace

Timer::Timer() : m_secondsPerTick(0.0f), m_lastCounter(0) {
    timespec resolution{};
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) {
        throw Exception(
            L"QueryPerformanceFrequency Error. High Performance Counter is not available");
    }
    m_secondsPerTick = static_cast<float>(1.0L / static_cast<long double>(kTicksPerSecond));
    if (!ReadCounter(m_lastCounter)) {
        throw Exception(L"QueryPerformanceCounter Error");
    }
}

float Timer::Tick() {
    std::int64_t counter = m_lastCounter;
    ReadCounter(counter);
    const std::int64_t difference = counter - m_lastCounter;
    m_lastCounter = counter;
    return static_cast<float>(static_cast<double>(difference) *
                              static_cast<double>(m_secondsPerTick));
}

}  // namespace Quellon
