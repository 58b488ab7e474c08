#include "Quellon/Opengl/OpenglShader.h"

#include <cerrno>

#include <GL/glew.h>

#include <fstream>
#include <vector>

#include "Quellon/Exception.h"
#include "Quellon/Opengl/OpenglError.h"
#include "Quellon/Text.h"

namespace Quellon {

namespace {

// Every line is preceded by a line feed, so the source starts with one and has none after its
// last line; a carriage return before a line end goes too, as a text-mode read drops it.
std::string ReadSource(const std::wstring& fileName) {
    std::ifstream stream(WideToUtf8(fileName));
    if (stream.fail()) {
        throw Exception(L"Shader file couldn't be loaded.");
    }
    std::string source;
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        source += '\n';
        source += line;
    }
    return source;
}

}  // namespace

OpenglShader::OpenglShader(const ShaderFile& file)
    : m_shader([](unsigned int name) { glDeleteShader(name); }), m_type(file.type) {
    const std::string source = ReadSource(file.fileName);

    m_shader.Adopt(glCreateShader(m_type == 1 ? GL_FRAGMENT_SHADER : GL_VERTEX_SHADER));
    CheckGlError();
    if (m_shader.Get() == 0) {
        ThrowException(ENOMEM, L"");
    }

    const GLchar* text = source.c_str();
    const auto length = static_cast<GLint>(source.size());
    glShaderSource(m_shader.Get(), 1, &text, &length);
    CheckGlError();
    glCompileShader(m_shader.Get());
    CheckGlError();
    GLint compiled = GL_FALSE;
    glGetShaderiv(m_shader.Get(), GL_COMPILE_STATUS, &compiled);
    CheckGlError();
    if (compiled != GL_FALSE) {
        return;
    }

    GLint logLength = 0;
    glGetShaderiv(m_shader.Get(), GL_INFO_LOG_LENGTH, &logLength);
    CheckGlError();
    std::string log;
    if (logLength > 0) {
        std::vector<GLchar> buffer(static_cast<std::size_t>(logLength));
        GLsizei written = 0;
        glGetShaderInfoLog(m_shader.Get(), logLength, &written, buffer.data());
        CheckGlError();
        log.assign(buffer.data(), static_cast<std::size_t>(written));
    }
    ThrowException(EINVAL, L"Compiling shader error: " + Utf8ToWide(log));
}

}  // namespace Quellon
