#include "Quellon/Opengl/OpenglIndexBuffer.h"

#include <GL/glew.h>

#include "Quellon/Opengl/OpenglError.h"

namespace Quellon {

template <typename Index>
OpenglIndexBuffer<Index>::OpenglIndexBuffer(unsigned int indicesCount, const Index* indices)
    : m_buffer([](unsigned int name) { glDeleteBuffers(1, &name); }), m_count(indicesCount) {
    glGenBuffers(1, m_buffer.Receive());
    CheckGlError();
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, m_buffer.Get());
    CheckGlError();
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(indicesCount) * sizeof(Index),
                 indices, GL_STATIC_DRAW);
    CheckGlError();
}

template class OpenglIndexBuffer<int>;

}  // namespace Quellon
