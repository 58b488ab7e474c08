#pragma once

#include <cmath>

namespace Quellon {

// Single-precision results computed in double precision and rounded once, so every platform's
// float library gives the same answer as long as its double functions are correctly rounded.
inline float Sin(float radians) {
    return static_cast<float>(std::sin(static_cast<double>(radians)));
}
inline float Cos(float radians) {
    return static_cast<float>(std::cos(static_cast<double>(radians)));
}
inline float Tan(float radians) {
    return static_cast<float>(std::tan(static_cast<double>(radians)));
}
inline float Sqrt(float value) {
    return static_cast<float>(std::sqrt(static_cast<double>(value)));
}

}  // namespace Quellon
