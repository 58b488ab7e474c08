#pragma once

#include <string>

namespace Quellon {

// Reads one pending OpenGL error and throws OpenglException (empty message, the error code and
// its name) when there is one. Called on the thread whose context is current.
void CheckGlError();

// "GL_INVALID_ENUM" and the other names of the classic error codes; an empty string for codes
// this table does not know (GL_INVALID_FRAMEBUFFER_OPERATION among them).
std::wstring GetGlErrorName(unsigned int error);

}  // namespace Quellon
