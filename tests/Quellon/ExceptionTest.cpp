#include "Quellon/Exception.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace Quellon {
namespace {

TEST(Exception, CapturesErrnoAtConstruction) {
    errno = ENOENT;
    const Exception error(L"opening");
    EXPECT_EQ(L"opening", error.GetMessage());
    EXPECT_EQ(static_cast<std::uint32_t>(ENOENT), error.GetErrorCode());
    EXPECT_EQ(L"No such file or directory", error.GetErrorText());
    EXPECT_EQ(ENOENT, errno) << "building the exception must not disturb errno";
    errno = 0;
    EXPECT_EQ(L"Success", Exception(L"").GetErrorText());
}

// A failure the program finds itself must not be captioned with an earlier call's errno.
TEST(Exception, ThrowExceptionCarriesItsOwnCodeNotAStaleOne) {
    errno = ENOENT;
    try {
        ThrowException(EILSEQ, L"malformed");
    } catch (const Exception& error) {
        EXPECT_EQ(static_cast<std::uint32_t>(EILSEQ), error.GetErrorCode());
        EXPECT_EQ(L"malformed", error.GetMessage());
    }
}

TEST(Exception, OpenglExceptionReplacesSystemError) {
    errno = EINVAL;
    const Exception& error = OpenglException(0x0502, L"GL_INVALID_OPERATION", L"");
    EXPECT_EQ(0x0502u, error.GetErrorCode());
    EXPECT_EQ(L"GL_INVALID_OPERATION", error.GetErrorText());
    EXPECT_TRUE(error.GetMessage().empty());
}

}  // namespace
}  // namespace Quellon
