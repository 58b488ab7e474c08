#include "Quellon/Exception.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace Quellon {
namespace {

// Building the exception keeps errno; a failure the program finds itself carries its own code,
// not an earlier call's; an OpenGL error replaces the system's.
TEST(Exception, CarriesTheRightErrorCodeAndText) {
    errno = ENOENT;
    const Exception error(L"opening");
    EXPECT_EQ(L"opening", error.GetMessage());
    EXPECT_EQ(static_cast<std::uint32_t>(ENOENT), error.GetErrorCode());
    EXPECT_EQ(L"No such file or directory", error.GetErrorText());
    EXPECT_EQ(ENOENT, errno);
    try {
        ThrowException(EILSEQ, L"malformed");
    } catch (const Exception& thrown) {
        EXPECT_EQ(static_cast<std::uint32_t>(EILSEQ), thrown.GetErrorCode());
    }
    const Exception& gl = OpenglException(0x0502, L"GL_INVALID_OPERATION", L"");
    EXPECT_EQ(0x0502u, gl.GetErrorCode());
    EXPECT_EQ(L"GL_INVALID_OPERATION", gl.GetErrorText());
}

}  // namespace
}  // namespace Quellon
