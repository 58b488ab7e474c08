#include "Quellon/Text.h"

#include <gtest/gtest.h>

#include "Quellon/Exception.h"

namespace Quellon {
namespace {

TEST(Text, RoundTripsEveryEncodedLengthAndStopsAtZero) {
    const std::wstring wide = L"a\u00e9\u20ac\U0001F600\U0010FFFF";
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(utf8, WideToUtf8(wide));
    EXPECT_EQ(wide, Utf8ToWide(utf8));
    EXPECT_EQ(L"", Utf8ToWide(""));
    EXPECT_EQ("ab", WideToUtf8(std::wstring(L"ab\0cd", 5)));
    EXPECT_EQ(L"ab", Utf8ToWide(std::string("ab\0cd", 5)));
}

TEST(Text, RejectsMalformedWideStrings) {
    for (const wchar_t bad : {wchar_t(0xD800), wchar_t(0xDFFF), wchar_t(0x110000)}) {
        EXPECT_THROW(WideToUtf8(std::wstring(L"x") + bad), Exception) << std::hex << int(bad);
    }
}

// A lone or truncated continuation, overlong forms, an encoded surrogate, beyond U+10FFFF.
TEST(Text, RejectsMalformedUtf8) {
    for (const char* text : {"\x80", "\xC3", "\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                             "\xF4\x90\x80\x80", "\xFF", "a\xC3("}) {
        try {
            Utf8ToWide(text);
            ADD_FAILURE() << "accepted malformed input";
        } catch (const Exception& error) {
            EXPECT_TRUE(error.GetMessage().empty());
        }
    }
}

}  // namespace
}  // namespace Quellon
