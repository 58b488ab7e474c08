#include "Quellon/Exception.h"

#include <cerrno>
#include <cstring>

namespace Quellon {

namespace {

// The system's texts are ASCII in every locale we run in; widening byte by byte keeps this
// path free of the UTF-8 decoder, which itself throws Exception and must not recurse here.
std::wstring WidenSystemText(const char* text) {
    std::wstring wide;
    for (const char* c = text; *c != '\0'; ++c) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    }
    return wide;
}

}  // namespace

SystemError GetLastSystemError() {
    const int code = errno;
    char buffer[256] = {};
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    SystemError error;
    error.code = static_cast<std::uint32_t>(code);
    error.text = WidenSystemText(text != nullptr ? text : buffer);
    errno = code;
    return error;
}

Exception::Exception(const std::wstring& message) : m_message(message), m_errorCode(0) {
    SystemError error = GetLastSystemError();
    m_errorCode = error.code;
    m_errorText = std::move(error.text);
}

void ThrowException(int errorCode, const std::wstring& message) {
    errno = errorCode;
    throw Exception(message);
}

OpenglException::OpenglException(std::uint32_t glError, const std::wstring& glErrorName,
                                 const std::wstring& message)
    : Exception(message) {
    m_errorCode = glError;
    m_errorText = glErrorName;
}

}  // namespace Quellon
