#pragma once

#include <string>

#include <boost/noncopyable.hpp>

#include "Quellon/Opengl/OpenglName.h"

namespace Quellon {

// One GLSL source file of a program: the path relative to the working directory, and the
// stage (0 vertex shader, 1 pixel shader).
struct ShaderFile {
    std::wstring fileName;
    int type = 0;
};

// A compiled shader, owned by its program. Made and destroyed on the render thread with the
// driver's context current.
class OpenglShader : private boost::noncopyable {
public:
    // Reads and compiles the file. Throws Exception "Shader file couldn't be loaded." when it
    // cannot be opened, "Compiling shader error: " with the compiler's log when it does not
    // compile, and OpenglException on an OpenGL error; the shader is deleted again.
    explicit OpenglShader(const ShaderFile& file);

    unsigned int GetShader() const { return m_shader.Get(); }
    int GetType() const { return m_type; }

private:
    OpenglName m_shader;
    int m_type;
};

}  // namespace Quellon
