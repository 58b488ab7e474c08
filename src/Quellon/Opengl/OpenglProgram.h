#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/noncopyable.hpp>

#include "Quellon/Opengl/OpenglName.h"
#include "Quellon/Opengl/OpenglShader.h"
#include "Quellon/Vector3.h"

namespace Quellon {

// A program linked from shader files. Owned by the driver's table, used through weak
// pointers; every operation runs on the render thread with the driver's context current.
class OpenglProgram : private boost::noncopyable {
public:
    // Builds one shader per file in list order, attaches them and links. The link status is
    // not read: a program that fails to link fails at its first use with OpenglException.
    // Throws as OpenglShader does; everything built so far is deleted again.
    explicit OpenglProgram(const std::vector<ShaderFile>& files);

    // Each setter puts the program in use and leaves it so. A name that the linked program
    // does not have as an active uniform (undeclared, or unused and dropped by the compiler)
    // throws Exception with an empty message.
    void SetUniform1f(const std::string& name, float value);
    void SetUniform3f(const std::string& name, const Vector3& value);
    // values: 16 floats row by row, transposed on upload.
    void SetUniformMatrix4(const std::string& name, const float* values);
    void SetUniform1i(const std::string& name, int value);

    unsigned int GetProgram() const { return m_program.Get(); }

private:
    int UseWithUniform(const std::string& name);

    std::vector<std::shared_ptr<OpenglShader>> m_shaders;
    // Declared after the shaders: the program is deleted before them.
    OpenglName m_program;
};

}  // namespace Quellon
