#pragma once

#include <boost/noncopyable.hpp>

#include "Quellon/Opengl/OpenglName.h"
#include "Quellon/Vertex.h"

namespace Quellon {

// A static vertex buffer of Vertex records, 24 bytes each. Owned by the driver's table; made
// and destroyed on the render thread with the driver's context current.
class OpenglVertexBuffer : private boost::noncopyable {
public:
    // Copies the vertices into a new buffer, which stays bound to GL_ARRAY_BUFFER. Throws
    // OpenglException on an OpenGL error, with the buffer deleted again.
    OpenglVertexBuffer(unsigned int verticesCount, const Vertex* vertices);

    unsigned int GetBuffer() const { return m_buffer.Get(); }

private:
    OpenglName m_buffer;
};

}  // namespace Quellon
