// Helpers shared by the fuzz programs: a failed property prints what broke and aborts, so that
// libFuzzer saves the input as a crash artifact.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace nb::fuzz {

[[noreturn]] inline void Fail(const char* property, std::string_view detail = {}) {
    std::fprintf(stderr, "property broken: %s\n", property);
    if (!detail.empty()) {
        std::string shown;
        for (const char ch : detail) {
            const auto c = static_cast<unsigned char>(ch);
            if (c >= 0x20 && c < 0x7F && c != '\\') {
                shown += ch;
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                shown += hex;
            }
        }
        std::fprintf(stderr, "  detail: %s\n", shown.c_str());
    }
    std::abort();
}

inline void Require(bool condition, const char* property, std::string_view detail = {}) {
    if (!condition)
        Fail(property, detail);
}

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
inline bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t value = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            value = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            value = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            value = c & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            value = (value << 6) | (cc & 0x3F);
        }
        if (length == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF)))
            return false;
        if (length == 4 && (value < 0x10000 || value > 0x10FFFF))
            return false;
        i += length;
    }
    return true;
}

}  // namespace nb::fuzz
