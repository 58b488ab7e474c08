#include "Quellon/Opengl/OpenglTexture.h"

#include <GL/glew.h>

#include "Quellon/Opengl/OpenglError.h"

namespace Quellon {

namespace {

struct TextureFormat {
    GLenum format;
    GLint internalFormat;
};

TextureFormat GetTextureFormat(int type) {
    switch (type) {
        case 0:
            return {GL_RED, GL_RED};
        case 1:
            return {GL_RGB, GL_RGB};
        case 2:
            return {GL_RGB, GL_RGB32F_ARB};
        case 3:
            return {GL_RGBA, GL_RGBA};
        case 4:
            return {GL_RGBA, GL_RGBA32F_ARB};
        default:
            // The legacy component count: three components, precision left to the driver.
            return {GL_RGB, 3};
    }
}

GLint GetWrapMode(int wrap) {
    switch (wrap) {
        case 1:
            return GL_MIRRORED_REPEAT;
        case 2:
        case 3:
            return GL_CLAMP_TO_EDGE;
        case 4:
            return GL_CLAMP;
        default:
            return GL_REPEAT;
    }
}

}  // namespace

OpenglTexture::OpenglTexture(int type, int width, int height, bool linear, int wrap,
                             const float* data)
    : m_target(GL_TEXTURE_2D),
      m_format(GetTextureFormat(type).format),
      m_internalFormat(GetTextureFormat(type).internalFormat),
      m_width(width),
      m_height(height),
      m_texture([](unsigned int name) { glDeleteTextures(1, &name); }) {
    const GLint filter = linear ? GL_LINEAR : GL_NEAREST;
    const GLint wrapMode = GetWrapMode(wrap);

    glGenTextures(1, m_texture.Receive());
    CheckGlError();
    glBindTexture(m_target, m_texture.Get());
    CheckGlError();
    glTexParameterf(m_target, GL_TEXTURE_WRAP_S, static_cast<GLfloat>(wrapMode));
    CheckGlError();
    glTexParameterf(m_target, GL_TEXTURE_WRAP_T, static_cast<GLfloat>(wrapMode));
    CheckGlError();
    glTexParameteri(m_target, GL_TEXTURE_WRAP_R, wrapMode);
    CheckGlError();
    glTexParameterf(m_target, GL_TEXTURE_MAG_FILTER, static_cast<GLfloat>(filter));
    CheckGlError();
    // Without an explicit minifying filter the texture would expect mipmaps, and every fetch
    // from it would return zero.
    glTexParameterf(m_target, GL_TEXTURE_MIN_FILTER, static_cast<GLfloat>(filter));
    CheckGlError();
    glTexImage2D(m_target, 0, m_internalFormat, m_width, m_height, 0, m_format, GL_FLOAT, data);
    CheckGlError();
}

void OpenglTexture::SetData(int width, int height, std::shared_ptr<float[]> data) {
    glBindTexture(m_target, m_texture.Get());
    glTexSubImage2D(m_target, 0, 0, 0, width, height, m_format, GL_FLOAT, data.get());
    CheckGlError();
}

void OpenglTexture::SetRows(int firstRow, int width, int rows, const float* texels) {
    glBindTexture(m_target, m_texture.Get());
    glTexSubImage2D(m_target, 0, 0, firstRow, width, rows, m_format, GL_FLOAT, texels);
    CheckGlError();
}

}  // namespace Quellon
