#include "Quellon/Opengl/OpenglError.h"

#include <GL/glew.h>

#include "Quellon/Exception.h"

namespace Quellon {

void CheckGlError() {
    const GLenum error = glGetError();
    if (error == GL_NO_ERROR) {
        return;
    }
    throw OpenglException(error, GetGlErrorName(error), L"");
}

std::wstring GetGlErrorName(unsigned int error) {
    switch (error) {
        case GL_NO_ERROR:
            return L"GL_NO_ERROR";
        case GL_INVALID_ENUM:
            return L"GL_INVALID_ENUM";
        case GL_INVALID_VALUE:
            return L"GL_INVALID_VALUE";
        case GL_INVALID_OPERATION:
            return L"GL_INVALID_OPERATION";
        case GL_STACK_OVERFLOW:
            return L"GL_STACK_OVERFLOW";
        case GL_STACK_UNDERFLOW:
            return L"GL_STACK_UNDERFLOW";
        case GL_OUT_OF_MEMORY:
            return L"GL_OUT_OF_MEMORY";
        case GL_TABLE_TOO_LARGE:
            return L"GL_TABLE_TOO_LARGE";
        default:
            return L"";
    }
}

}  // namespace Quellon
