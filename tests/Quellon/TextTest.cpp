#include "Quellon/Text.h"

#include <gtest/gtest.h>

namespace Quellon {
namespace {

// What either converter rejects is the fuzzer's to find, against a validator of its own.
TEST(Text, RoundTripsEveryEncodedLengthAndStopsAtZero) {
    const std::wstring wide = L"a\u00e9\u20ac\U0001F600\U0010FFFF";
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(utf8, WideToUtf8(wide));
    EXPECT_EQ(wide, Utf8ToWide(utf8));
    EXPECT_EQ(L"", Utf8ToWide(""));
    EXPECT_EQ("ab", WideToUtf8(std::wstring(L"ab\0cd", 5)));
    EXPECT_EQ(L"ab", Utf8ToWide(std::string("ab\0cd", 5)));
}

}  // namespace
}  // namespace Quellon
