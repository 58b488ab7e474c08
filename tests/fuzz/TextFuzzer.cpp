// Feeds each input to both converters: as UTF-8 bytes, and as a run of UTF-32 wchar_t values.
// A round trip alone cannot see a converter that rejects good text, nor one whose two halves
// make the same mistake, so every verdict is also compared with a validator written from the
// Unicode tables instead of from the converter's code.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Quellon/Exception.h"
#include "Quellon/Text.h"

namespace {

// The Unicode standard's table of well-formed byte sequences: the lead gives the length, and the
// second byte's range, narrower after some leads, excludes overlong forms, surrogates and values
// above U+10FFFF without decoding anything.
bool IsValid(const std::string& text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (std::size_t i = 0, length = 0; i < text.size(); i += length) {
        const unsigned char lead = byte(i);
        length = lead < 0x80                   ? 1
                 : lead >= 0xC2 && lead < 0xF5 ? 2 + (lead >= 0xE0) + (lead >= 0xF0)
                                               : 0;
        if (length == 0 || text.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const int low = k > 1 ? 0x80 : lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
            const int high = k > 1 ? 0xBF : lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
            if (byte(i + k) < low || byte(i + k) > high) {
                return false;
            }
        }
    }
    return true;
}

// Scalar values only: no surrogate, nothing beyond U+10FFFF.
bool IsValid(const std::wstring& text) {
    for (const wchar_t c : text) {
        const auto value = static_cast<std::uint32_t>(c);
        if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void Fail(const char* converter, const char* what) {
    std::fprintf(stderr, "TextFuzzer: %s %s\n", converter, what);
    std::abort();
}

// The converter must accept exactly the valid texts, and give valid text without a zero that the
// other one turns back into the input up to its first zero.
template <class In, class Out>
void Check(const char* name, const In& in, Out (*convert)(const In&), In (*back)(const Out&)) {
    Out out;
    try {
        out = convert(in);
    } catch (const Quellon::Exception&) {
        if (IsValid(in)) {
            Fail(name, "rejected valid text");
        }
        return;
    }
    if (!IsValid(in)) {
        Fail(name, "accepted invalid text");
    }
    if (out.find(typename Out::value_type()) != Out::npos || !IsValid(out)) {
        Fail(name, "produced a zero or invalid text");
    }
    In again;
    try {
        again = back(out);
    } catch (const Quellon::Exception&) {
        Fail(name, "produced text that the other converter rejects");
    }
    if (again != in.substr(0, in.find(typename In::value_type()))) {
        Fail(name, "round trip changed the text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Check("Utf8ToWide", std::string(reinterpret_cast<const char*>(data), size), Quellon::Utf8ToWide,
          Quellon::WideToUtf8);
    // Copied rather than cast: the input buffer need not be aligned for wchar_t.
    std::wstring wide(size / sizeof(wchar_t), L'\0');
    if (!wide.empty()) {
        std::memcpy(wide.data(), data, wide.size() * sizeof(wchar_t));
    }
    Check("WideToUtf8", wide, Quellon::WideToUtf8, Quellon::Utf8ToWide);
    return 0;
}
