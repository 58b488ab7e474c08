#pragma once

#include <string>

namespace Quellon {

// UTF-32 wide strings to UTF-8 and back. Both throw Exception (empty message) on malformed
// input: a surrogate or a value above U+10FFFF in the wide string; an invalid, overlong or
// truncated sequence, an encoded surrogate or a value above U+10FFFF in the UTF-8 string.
// An empty input gives an empty output. The result ends before the first zero character, as
// the C APIs the strings are handed to would read it.
std::string WideToUtf8(const std::wstring& wide);
std::wstring Utf8ToWide(const std::string& utf8);

}  // namespace Quellon
