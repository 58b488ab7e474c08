#pragma once

#include <boost/noncopyable.hpp>

#include "Quellon/Opengl/OpenglName.h"

namespace Quellon {

// A static buffer of triangle indices; the draw reads them as 32-bit unsigned integers, so the
// only index type built is int. Owned by the driver's table; made and destroyed on the render
// thread with the driver's context current.
template <typename Index>
class OpenglIndexBuffer : private boost::noncopyable {
public:
    // Copies the indices into a new buffer, which stays bound to GL_ELEMENT_ARRAY_BUFFER.
    // Throws OpenglException on an OpenGL error, with the buffer deleted again.
    OpenglIndexBuffer(unsigned int indicesCount, const Index* indices);

    unsigned int GetBuffer() const { return m_buffer.Get(); }
    // The number of indices, which is the draw count.
    unsigned int GetCount() const { return m_count; }

private:
    OpenglName m_buffer;
    unsigned int m_count;
};

extern template class OpenglIndexBuffer<int>;

}  // namespace Quellon
