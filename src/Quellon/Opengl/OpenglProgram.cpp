#include "Quellon/Opengl/OpenglProgram.h"

#include <cerrno>

#include <GL/glew.h>

#include "Quellon/Exception.h"
#include "Quellon/Opengl/OpenglError.h"

namespace Quellon {

OpenglProgram::OpenglProgram(const std::vector<ShaderFile>& files)
    : m_program([](unsigned int name) { glDeleteProgram(name); }) {
    for (const ShaderFile& file : files) {
        m_shaders.push_back(std::make_shared<OpenglShader>(file));
    }
    m_program.Adopt(glCreateProgram());
    CheckGlError();
    if (m_program.Get() == 0) {
        ThrowException(ENOMEM, L"");
    }
    for (const auto& shader : m_shaders) {
        glAttachShader(m_program.Get(), shader->GetShader());
        CheckGlError();
    }
    glLinkProgram(m_program.Get());
    CheckGlError();
}

int OpenglProgram::UseWithUniform(const std::string& name) {
    const GLint location = glGetUniformLocation(m_program.Get(), name.c_str());
    CheckGlError();
    if (location < 0) {
        ThrowException(EINVAL, L"");
    }
    glUseProgram(m_program.Get());
    CheckGlError();
    return location;
}

void OpenglProgram::SetUniform1f(const std::string& name, float value) {
    glUniform1f(UseWithUniform(name), value);
    CheckGlError();
}

void OpenglProgram::SetUniform3f(const std::string& name, const Vector3& value) {
    glUniform3f(UseWithUniform(name), value.x, value.y, value.z);
    CheckGlError();
}

void OpenglProgram::SetUniformMatrix4(const std::string& name, const float* values) {
    glUniformMatrix4fv(UseWithUniform(name), 1, GL_TRUE, values);
    CheckGlError();
}

void OpenglProgram::SetUniform1i(const std::string& name, int value) {
    glUniform1i(UseWithUniform(name), value);
    CheckGlError();
}

}  // namespace Quellon
