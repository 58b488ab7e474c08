#include "Quellon/Text.h"

#include <cerrno>

#include <cstdint>

#include "Quellon/Exception.h"

namespace Quellon {

namespace {

bool IsScalarValue(std::uint32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Decodes one sequence starting at in[i]; advances i. Returns false on malformed input.
bool DecodeUtf8(const std::string& in, std::size_t& i, std::uint32_t& c) {
    const auto lead = static_cast<unsigned char>(in[i]);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
        c = lead;
        ++i;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
        c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
        c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
        c = lead & 0x07;
    } else {
        return false;
    }
    if (in.size() - i < length) {
        return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(in[i + k]);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms would let one character hide behind several spellings.
    if (c < minimum || !IsScalarValue(c)) {
        return false;
    }
    i += length;
    return true;
}

}  // namespace

std::string WideToUtf8(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    for (const wchar_t w : wide) {
        // A negative wchar_t becomes a number above U+10FFFF, which the check below refuses.
        const auto c = static_cast<std::uint32_t>(w);  // NOLINT(bugprone-signed-char-misuse)
        if (!IsScalarValue(c)) {
            ThrowException(EILSEQ, L"");
        }
        AppendUtf8(out, c);
    }
    return out.substr(0, out.find('\0'));
}

std::wstring Utf8ToWide(const std::string& utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        std::uint32_t c = 0;
        if (!DecodeUtf8(utf8, i, c)) {
            ThrowException(EILSEQ, L"");
        }
        out.push_back(static_cast<wchar_t>(c));
    }
    return out.substr(0, out.find(L'\0'));
}

}  // namespace Quellon
