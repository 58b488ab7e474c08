#include "Quellon/Opengl/OpenglDriver.h"

#include <cerrno>

// GLEW must come before any other OpenGL header.
#include <GL/glew.h>

#include <GL/freeglut.h>
#include <GL/glu.h>

#include <cstddef>
#include <cstdint>

#include "Quellon/Exception.h"
#include "Quellon/Opengl/OpenglError.h"
#include "Quellon/Opengl/OpenglIndexBuffer.h"
#include "Quellon/Opengl/OpenglProgram.h"
#include "Quellon/Opengl/OpenglTexture.h"
#include "Quellon/Opengl/OpenglVertexBuffer.h"

namespace Quellon {

namespace {

// Model-view z of bitmap text under the overlay's orthographic projection (-1 far, 1 near).
constexpr GLfloat kTextDepth = 0.999f;

const void* BufferOffset(std::size_t offset) {
    // GL 2.1 takes offsets into the bound buffer as pointers; there is no other way to pass them.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return reinterpret_cast<const void*>(static_cast<std::uintptr_t>(offset));
}

}  // namespace

OpenglDriver::OpenglDriver(unsigned int width, unsigned int height, unsigned long window,
                           const std::string& displayName, int maxSamples)
    : m_window(window),
      m_width(width),
      m_height(height),
      m_context(window, displayName, maxSamples) {}

OpenglDriver::~OpenglDriver() {
    // Another context may have been made current on this thread since; the tables must delete
    // their names in ours. When that fails (the context is current on another thread, which
    // the owner must not allow), the deletions go wherever the thread's current context is.
    if (!m_context.IsCurrent()) {
        try {
            m_context.MakeCurrent();
        } catch (const Exception&) {
        }
    }
    if (m_resolveFramebuffer != 0) {
        glDeleteFramebuffers(1, &m_resolveFramebuffer);
        glDeleteRenderbuffers(1, &m_resolveRenderbuffer);
    }
}

int OpenglDriver::CreateVertexBuffer(unsigned int verticesCount,
                                     const std::shared_ptr<Vertex[]>& vertices) {
    if (verticesCount == 0) {
        ThrowException(
            EINVAL, L"Invalid parameter: verticesCount == 0 in OpenglDriver::CreateVertexBuffer");
    }
    if (!vertices) {
        ThrowException(EINVAL, L"Invalid parameter: !vertices in OpenglDriver::CreateVertexBuffer");
    }
    m_vertexBuffers.push_back(std::make_shared<OpenglVertexBuffer>(verticesCount, vertices.get()));
    return static_cast<int>(m_vertexBuffers.size() - 1);
}

int OpenglDriver::CreateVertexBuffer(unsigned int indicesCount,
                                     const std::shared_ptr<int[]>& indices) {
    if (indicesCount == 0) {
        ThrowException(EINVAL,
                       L"Invalid parameter: indicesCount == 0 in OpenglDriver::CreateVertexBuffer");
    }
    if (!indices) {
        ThrowException(EINVAL, L"Invalid parameter: !indices in OpenglDriver::CreateVertexBuffer");
    }
    m_indexBuffers.push_back(std::make_shared<OpenglIndexBuffer<int>>(indicesCount, indices.get()));
    return static_cast<int>(m_indexBuffers.size() - 1);
}

std::weak_ptr<OpenglProgram> OpenglDriver::CreateProgram(const std::vector<ShaderFile>& shaders) {
    if (shaders.empty()) {
        ThrowException(EINVAL, L"Invalid parameter: !shaders.size() OpenglDriver::CreateProgram");
    }
    auto program = std::make_shared<OpenglProgram>(shaders);
    CheckGlError();
    m_programs.push_back(program);
    return program;
}

std::weak_ptr<OpenglTexture> OpenglDriver::CreateTexture(int type, int width, int height,
                                                         bool linear, int wrap,
                                                         const std::shared_ptr<float[]>& data) {
    auto texture = std::make_shared<OpenglTexture>(type, width, height, linear, wrap, data.get());
    m_textures.push_back(texture);
    return texture;
}

void OpenglDriver::SetProgram(std::weak_ptr<OpenglProgram> program) {
    m_currentProgram = std::move(program);
}

void OpenglDriver::SetTexture(int unit, std::weak_ptr<OpenglTexture> texture) {
    m_textureUnits[std::move(texture)] = unit;
}

void OpenglDriver::DrawIndexedPrimitive(int vertexBufferId, int indexBufferId, int instancesCount) {
    // Taken as unsigned, a negative id is too large as well.
    if (static_cast<unsigned int>(vertexBufferId) >= m_vertexBuffers.size()) {
        ThrowException(
            EINVAL,
            L"Invalid Parameter: vertexBufferId < 0 || vertexBufferId > m_vertexBuffers.size() in "
            L"OpenglDriver::DrawIndexedPrimitive");
    }
    if (static_cast<unsigned int>(indexBufferId) >= m_indexBuffers.size()) {
        ThrowException(
            EINVAL,
            L"Invalid Parameter: indexBufferId < 0 || indexBufferId > m_indexBuffers.size() in "
            L"OpenglDriver::DrawIndexedPrimitive");
    }
    const std::shared_ptr<OpenglProgram> program = m_currentProgram.lock();
    if (!program) {
        ThrowException(EINVAL,
                       L"Invalid state: no current program in OpenglDriver::DrawIndexedPrimitive");
    }
    glUseProgram(program->GetProgram());
    CheckGlError();

    for (const auto& [weakTexture, unit] : m_textureUnits) {
        const std::shared_ptr<OpenglTexture> texture = weakTexture.lock();
        if (!texture) {
            ThrowException(EINVAL,
                           L"Invalid state: a texture given to SetTexture no longer exists in "
                           L"OpenglDriver::DrawIndexedPrimitive");
        }
        glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(unit));
        CheckGlError();
        glBindTexture(texture->GetTarget(), texture->GetTexture());
        CheckGlError();
    }

    const OpenglVertexBuffer& vertexBuffer = *m_vertexBuffers[vertexBufferId];
    const OpenglIndexBuffer<int>& indexBuffer = *m_indexBuffers[indexBufferId];
    glBindBuffer(GL_ARRAY_BUFFER, vertexBuffer.GetBuffer());
    CheckGlError();
    glEnableClientState(GL_VERTEX_ARRAY);
    CheckGlError();
    glVertexPointer(3, GL_FLOAT, sizeof(Vertex), BufferOffset(offsetof(Vertex, m_position)));
    CheckGlError();
    glEnableClientState(GL_NORMAL_ARRAY);
    CheckGlError();
    glNormalPointer(GL_FLOAT, sizeof(Vertex), BufferOffset(offsetof(Vertex, m_normal)));
    CheckGlError();
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer.GetBuffer());
    CheckGlError();

    const auto count = static_cast<GLsizei>(indexBuffer.GetCount());
    if (instancesCount == 1) {
        glDrawElements(GL_TRIANGLES, count, GL_UNSIGNED_INT, BufferOffset(0));
    } else if (glDrawElementsInstanced != nullptr) {
        glDrawElementsInstanced(GL_TRIANGLES, count, GL_UNSIGNED_INT, BufferOffset(0),
                                instancesCount);
    } else {
        // An OpenGL 2.1 context has instancing only through the extension the context requires.
        glDrawElementsInstancedARB(GL_TRIANGLES, count, GL_UNSIGNED_INT, BufferOffset(0),
                                   instancesCount);
    }
    CheckGlError();
}

int OpenglDriver::GetFloatTextureSize() {
    // No error check: a proxy that is too large reports a width of 0 instead of an error.
    for (GLsizei size = 8192; size >= 2; size /= 2) {
        glTexImage2D(GL_PROXY_TEXTURE_2D, 0, GL_RGB32F_ARB, size, size, 0, GL_RGB, GL_FLOAT,
                     nullptr);
        GLint width = 0;
        glGetTexLevelParameteriv(GL_PROXY_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        if (width != 0) {
            return size / 2;
        }
    }
    ThrowException(ENOTSUP,
                   L"Invalid state: no float texture of 2 x 2 texels or more is accepted in "
                   L"OpenglDriver::GetFloatTextureSize");
}

void OpenglDriver::DrawString(const OpenglColor& colour, const std::string& text, int x, int y) {
    glUseProgram(0);
    glDisable(GL_TEXTURE_3D);
    glActiveTexture(GL_TEXTURE0);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    // In frame-buffer pixels, so that text keeps its place from the lower right corner at any
    // device pixel ratio: the bitmap font is never scaled.
    gluOrtho2D(0.0, static_cast<GLdouble>(GetPixelWidth()), 0.0,
               static_cast<GLdouble>(GetPixelHeight()));
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    // The raster position takes the current colour, so the colour comes first.
    glColor3f(colour.red, colour.green, colour.blue);
    // The text's pixels take the depth of the raster position, and the frame draws the text
    // before the scene: at the default depth (half way) anything within a fifth of a unit of the
    // eye would hide it. Just inside the near plane nothing the scene draws can; exactly on it,
    // rounding could put the position outside the view and drop the line.
    glRasterPos3f(static_cast<GLfloat>(x), static_cast<GLfloat>(y), kTextDepth);
    for (const char character : text) {
        glutBitmapCharacter(GLUT_BITMAP_9_BY_15, static_cast<unsigned char>(character));
    }
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glEnable(GL_TEXTURE_3D);
}

void OpenglDriver::DrawOverlay(const std::vector<OverlayVertex>& vertices, bool triangles,
                               const Matrix4& transform, float lineWidth) {
    if (vertices.empty()) {
        return;
    }
    glUseProgram(0);
    glDisable(GL_TEXTURE_3D);
    const GLboolean depthTest = glIsEnabled(GL_DEPTH_TEST);
    glDisable(GL_DEPTH_TEST);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadTransposeMatrixf(transform.m);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glLineWidth(lineWidth);
    glBegin(triangles ? GL_TRIANGLES : GL_LINES);
    for (const OverlayVertex& vertex : vertices) {
        glColor3f(vertex.colour.red, vertex.colour.green, vertex.colour.blue);
        glVertex3f(vertex.position.x, vertex.position.y, vertex.position.z);
    }
    glEnd();
    glLineWidth(1.0f);
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    if (depthTest == GL_TRUE) {
        glEnable(GL_DEPTH_TEST);
    }
    glEnable(GL_TEXTURE_3D);
    CheckGlError();
}

std::pair<int, int> OpenglDriver::ReadDepth(std::vector<float>& depth) {
    const int width = GetPixelWidth();
    const int height = GetPixelHeight();
    depth.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, width, height, GL_DEPTH_COMPONENT, GL_FLOAT, depth.data());
    CheckGlError();
    return {width, height};
}

std::pair<int, int> OpenglDriver::ReadPixels(std::vector<unsigned char>& pixels) {
    // The window may have changed size since the first read (a move to a screen of another
    // scale), and the resolve buffer made then would clip the frame.
    const auto [width, height] = m_context.QueryCurrentSize();
    pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    if (GetSamples() > 0 && GLEW_ARB_framebuffer_object) {
        // Mesa reads one sample of a multisampled back buffer, while the swap shows the average
        // of all: resolving into a buffer of our own first gives the pixels presented.
        if (m_resolveRenderbuffer == 0) {
            glGenRenderbuffers(1, &m_resolveRenderbuffer);
        }
        if (width != m_resolveWidth || height != m_resolveHeight) {
            glBindRenderbuffer(GL_RENDERBUFFER, m_resolveRenderbuffer);
            glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
            glBindRenderbuffer(GL_RENDERBUFFER, 0);
            m_resolveWidth = width;
            m_resolveHeight = height;
        }
        if (m_resolveFramebuffer == 0) {
            glGenFramebuffers(1, &m_resolveFramebuffer);
            glBindFramebuffer(GL_FRAMEBUFFER, m_resolveFramebuffer);
            glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER,
                                      m_resolveRenderbuffer);
            glBindFramebuffer(GL_FRAMEBUFFER, 0);
        }
        glBindFramebuffer(GL_DRAW_FRAMEBUFFER, m_resolveFramebuffer);
        glBlitFramebuffer(0, 0, width, height, 0, 0, width, height, GL_COLOR_BUFFER_BIT,
                          GL_NEAREST);
        glBindFramebuffer(GL_READ_FRAMEBUFFER, m_resolveFramebuffer);
        glReadBuffer(GL_COLOR_ATTACHMENT0);
    }
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glReadBuffer(GL_BACK);
    CheckGlError();
    return {width, height};
}

void OpenglDriver::Present() {
    m_context.Present();
}

int OpenglDriver::GetSamples() const {
    return m_context.GetSamples();
}

}  // namespace Quellon
