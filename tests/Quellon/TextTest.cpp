#include "Quellon/Text.h"

#include <gtest/gtest.h>

#include "Quellon/Exception.h"

namespace Quellon {
namespace {

TEST(Text, RoundTripsEveryEncodedLength) {
    const std::wstring wide = L"a\u00e9\u20ac\U0001F600";
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(utf8, WideToUtf8(wide));
    EXPECT_EQ(wide, Utf8ToWide(utf8));
    EXPECT_EQ(std::wstring(1, wchar_t(0x10FFFF)), Utf8ToWide(WideToUtf8(std::wstring(1, wchar_t(0x10FFFF)))));
}

TEST(Text, EmptyStringsConvertToEmptyStrings) {
    EXPECT_EQ("", WideToUtf8(L""));
    EXPECT_EQ(L"", Utf8ToWide(""));
}

TEST(Text, StopsAtEmbeddedZero) {
    EXPECT_EQ("ab", WideToUtf8(std::wstring(L"ab\0cd", 5)));
    EXPECT_EQ(L"ab", Utf8ToWide(std::string("ab\0cd", 5)));
}

TEST(Text, RejectsMalformedWideStrings) {
    for (const wchar_t bad : {wchar_t(0xD800), wchar_t(0xDFFF), wchar_t(0x110000)}) {
        EXPECT_THROW(WideToUtf8(std::wstring(L"x") + bad), Exception) << std::hex << int(bad);
    }
}

TEST(Text, RejectsMalformedUtf8) {
    const char* const bad[] = {
        "\x80",              // continuation without lead
        "\xC3",              // truncated
        "\xE2\x82",          // truncated
        "\xC0\xAF",          // overlong slash
        "\xE0\x80\xAF",      // overlong
        "\xED\xA0\x80",      // encoded surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xFF",              // never valid
        "a\xC3(",            // bad continuation
    };
    for (const char* text : bad) {
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
