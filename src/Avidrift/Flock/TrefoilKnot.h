#pragma once

#include "Quellon/Vector3.h"

namespace Avidrift {

// 10 * ((2 + cos 1.5t) cos t, (2 + cos 1.5t) sin t, sin 1.5t): a closed curve of period 4 pi
// around the origin, between 10 and 30 from the Z axis.
Quellon::Vector3 TrefoilKnotPoint(float t);

}  // namespace Avidrift
