#include "Quellon/Text.h"

#include <gtest/gtest.h>

#include "Quellon/Exception.h"

namespace Quellon {
namespace {

// A lone or truncated continuation, overlong forms, an encoded surrogate, beyond U+10FFFF; and
// wide surrogates and values beyond U+10FFFF. The fuzzer checks every verdict and round trip.
TEST(Text, RejectsMalformedUtf8AndWideStrings) {
    for (const char* text : {"\x80", "\xC3", "\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                             "\xF4\x90\x80\x80", "\xFF", "a\xC3("}) {
        EXPECT_THROW(Utf8ToWide(text), Exception) << text;
    }
    for (const wchar_t bad : {wchar_t(0xD800), wchar_t(0xDFFF), wchar_t(0x110000)}) {
        EXPECT_THROW(WideToUtf8(std::wstring(L"x") + bad), Exception) << std::hex << int(bad);
    }
}

}  // namespace
}  // namespace Quellon
