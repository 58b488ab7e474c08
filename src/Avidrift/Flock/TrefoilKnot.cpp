#include "Avidrift/Flock/TrefoilKnot.h"

namespace Avidrift {

Quellon::Vector3 TrefoilKnotPoint(float t) {
    const auto u = static_cast<float>(static_cast<double>(t) * 3 * 0.5);
    const double a = static_cast<double>(Quellon::Cos(u)) + 2.0;
    return {static_cast<float>(static_cast<double>(Quellon::Cos(t)) * a * 10),
            static_cast<float>(static_cast<double>(Quellon::Sin(t)) * a * 10),
            static_cast<float>(static_cast<double>(Quellon::Sin(u)) * 10)};
}

}  // namespace Avidrift
