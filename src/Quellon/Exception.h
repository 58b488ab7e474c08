#pragma once

#include <cstdint>
#include <string>

namespace Quellon {

// The system's last error at one moment: its code and the system's description of it.
struct SystemError {
    std::uint32_t code = 0;
    std::wstring text;
};

// Reads errno of the calling thread and its description. Call it before any other system call
// can overwrite errno.
SystemError GetLastSystemError();

// The framework's one failure type. It deliberately does not derive from std::exception: the
// entry point catches it by this type and shows its error text, and a handler for
// std::exception must not swallow it on the way.
class Exception {
public:
    // Captures errno at construction, so build the exception on the thread of the failing call
    // and before anything else runs.
    explicit Exception(const std::wstring& message);

    const std::wstring& GetMessage() const { return m_message; }
    std::uint32_t GetErrorCode() const { return m_errorCode; }
    const std::wstring& GetErrorText() const { return m_errorText; }

protected:
    std::wstring m_message;
    std::uint32_t m_errorCode;
    std::wstring m_errorText;
};

// Every failure the program detects itself (a bad parameter, malformed text or file, a resource
// that cannot be made) goes through this: errno is set to the code that describes the failure
// right before the exception captures it. Without it the caption would name whatever earlier,
// unrelated call last left errno set ("No such file or directory" for a malformed mesh). A
// failed system call throws Exception directly, so that its own errno is captured.
[[noreturn]] void ThrowException(int errorCode, const std::wstring& message);

// An OpenGL error: the code from glGetError and its name ("GL_INVALID_OPERATION") replace the
// system error, so the error box names the OpenGL failure.
class OpenglException : public Exception {
public:
    OpenglException(std::uint32_t glError, const std::wstring& glErrorName,
                    const std::wstring& message);
};

}  // namespace Quellon
