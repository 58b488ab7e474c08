// Feeds each input to both converters: as UTF-8 bytes, and as a run of UTF-32 wchar_t values.
// A round trip alone cannot see a converter that rejects good text, nor one whose two halves
// make the same mistake, so every verdict is also compared with a validator written from the
// Unicode tables instead of from the converter's code.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Quellon/Exception.h"
#include "Quellon/Text.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "TextFuzzer: %s\n", what);
    std::abort();
}

// The Unicode standard's table of well-formed byte sequences: the second byte's range depends on
// the lead, which is how overlong forms, surrogates and values above U+10FFFF are excluded
// without decoding anything.
bool IsWellFormedUtf8(const std::string& text) {
    struct Row {
        unsigned char leadLow, leadHigh, secondLow, secondHigh;
        std::size_t length;
    };
    static constexpr Row kRows[] = {
        {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
        {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
        {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
    };
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (std::size_t i = 0; i < text.size();) {
        if (byte(i) < 0x80) {
            ++i;
            continue;
        }
        const Row* match = nullptr;
        for (const Row& row : kRows) {
            if (byte(i) >= row.leadLow && byte(i) <= row.leadHigh) {
                match = &row;
            }
        }
        if (match == nullptr || text.size() - i < match->length || byte(i + 1) < match->secondLow ||
            byte(i + 1) > match->secondHigh) {
            return false;
        }
        for (std::size_t k = 2; k < match->length; ++k) {
            if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
                return false;
            }
        }
        i += match->length;
    }
    return true;
}

bool IsScalarValue(wchar_t c) {
    const auto value = static_cast<std::uint32_t>(c);
    return value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
}

void CheckUtf8(const std::string& utf8) {
    std::wstring wide;
    try {
        wide = Quellon::Utf8ToWide(utf8);
    } catch (const Quellon::Exception&) {
        if (IsWellFormedUtf8(utf8)) {
            Fail("Utf8ToWide rejected well-formed UTF-8");
        }
        return;
    }
    if (!IsWellFormedUtf8(utf8)) {
        Fail("Utf8ToWide accepted malformed UTF-8");
    }
    if (wide.find(L'\0') != std::wstring::npos) {
        Fail("Utf8ToWide kept a zero character");
    }
    std::string back;
    try {
        back = Quellon::WideToUtf8(wide);
    } catch (const Quellon::Exception&) {
        Fail("WideToUtf8 rejected what Utf8ToWide produced");
    }
    if (back != utf8.substr(0, utf8.find('\0'))) {
        Fail("UTF-8 does not survive the round trip");
    }
}

void CheckWide(const std::wstring& wide) {
    bool valid = true;
    for (const wchar_t c : wide) {
        valid = valid && IsScalarValue(c);
    }
    std::string utf8;
    try {
        utf8 = Quellon::WideToUtf8(wide);
    } catch (const Quellon::Exception&) {
        if (valid) {
            Fail("WideToUtf8 rejected a string of scalar values");
        }
        return;
    }
    if (!valid) {
        Fail("WideToUtf8 accepted a surrogate or a value above U+10FFFF");
    }
    if (utf8.find('\0') != std::string::npos || !IsWellFormedUtf8(utf8)) {
        Fail("WideToUtf8 produced a zero byte or malformed UTF-8");
    }
    std::wstring back;
    try {
        back = Quellon::Utf8ToWide(utf8);
    } catch (const Quellon::Exception&) {
        Fail("Utf8ToWide rejected what WideToUtf8 produced");
    }
    if (back != wide.substr(0, wide.find(L'\0'))) {
        Fail("UTF-32 does not survive the round trip");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckUtf8(std::string(reinterpret_cast<const char*>(data), size));

    // Copied rather than cast: the input buffer need not be aligned for wchar_t.
    std::wstring wide(size / sizeof(wchar_t), L'\0');
    if (!wide.empty()) {
        std::memcpy(wide.data(), data, wide.size() * sizeof(wchar_t));
    }
    CheckWide(wide);
    return 0;
}
