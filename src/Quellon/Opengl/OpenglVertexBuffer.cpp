#include "Quellon/Opengl/OpenglVertexBuffer.h"

#include <GL/glew.h>

#include "Quellon/Opengl/OpenglError.h"

namespace Quellon {

OpenglVertexBuffer::OpenglVertexBuffer(unsigned int verticesCount, const Vertex* vertices)
    : m_buffer([](unsigned int name) { glDeleteBuffers(1, &name); }) {
    glGenBuffers(1, m_buffer.Receive());
    CheckGlError();
    glBindBuffer(GL_ARRAY_BUFFER, m_buffer.Get());
    CheckGlError();
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(verticesCount) * sizeof(Vertex), vertices,
                 GL_STATIC_DRAW);
    CheckGlError();
}

}  // namespace Quellon
