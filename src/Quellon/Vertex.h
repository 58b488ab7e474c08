#pragma once

#include <cstddef>

#include "Quellon/Vector3.h"

namespace Quellon {

// One mesh vertex as it lies in a vertex buffer: the driver hands the array to OpenGL with a
// stride of 24 bytes and the normal at byte 12, so the layout is fixed.
struct Vertex {
    Vector3 m_position;
    Vector3 m_normal;
};

static_assert(sizeof(Vertex) == 24, "Vertex must stay six packed floats");
static_assert(offsetof(Vertex, m_normal) == 12, "the normal must follow the position directly");

}  // namespace Quellon
