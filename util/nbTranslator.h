// Conversion between the system's text (UTF-8 in std::string) and the bytes that travel on the
// wire in a named character set: "utf-8" or one of twelve built-in single-byte sets.
// Thread notes: stateless; every function may run on any thread at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nb {

// A dynamic array of bytes.
using TnbByteArray = std::vector<std::uint8_t>;

class TnbTranslator {
public:
    TnbTranslator() = delete;

    // Any name other than "utf-8" and the built-in sets (compared ignoring ASCII case), the
    // empty name included, means no translation: bytes pass unchanged.
    static std::size_t GetByteCount(std::string_view text, std::string_view charSet);
    static TnbByteArray GetBytes(std::string_view text, std::string_view charSet);
    // Writes at most bufferSize encoded bytes (the rest is cut); returns the number written.
    static std::size_t GetBytes(std::string_view text, void* buffer, std::size_t bufferSize,
                                std::string_view charSet);
    // The encoded bytes as a byte string (what a stream or socket writes).
    static std::string Encode(std::string_view text, std::string_view charSet);

    // Decodes count bytes; decoding stops at the first NUL byte. Malformed UTF-8 never raises:
    // each bad sequence becomes U+0020 when its offending byte is a blank, else U+0080.
    static std::string GetString(const void* bytes, std::size_t count, std::string_view charSet);
    // The same for the bytes starting at index; empty when count is 0 or less.
    static std::string GetString(const void* bytes, std::size_t index, std::int64_t count,
                                 std::string_view charSet);
    static std::string GetString(std::string_view bytes, std::string_view charSet) {
        return GetString(bytes.data(), bytes.size(), charSet);
    }
    static std::string GetString(const TnbByteArray& bytes, std::string_view charSet) {
        return GetString(bytes.data(), bytes.size(), charSet);
    }

    // True when charSet names UTF-8 ("utf-8", any case).
    static bool IsUtf8(std::string_view charSet);
    // True when charSet names one of the built-in single-byte sets.
    static bool IsKnownTable(std::string_view charSet);

    // The bare table steps: every byte through the encode (text -> wire) or decode (wire ->
    // text) table of charSet, unchanged when charSet is not a built-in set. No code page and
    // no UTF-8 are involved; the bytes are those of the set's text-side code page.
    static std::string TranslateTo(std::string_view charSet, std::string_view bytes);
    static std::string TranslateFrom(std::string_view charSet, std::string_view bytes);

    // UTF-8 validation with the replacement rule above (NUL bytes are kept here).
    static std::string Utf8Sanitize(std::string_view bytes);
    // UTF-16 code units (surrogate pairs joined) to UTF-8; a lone surrogate becomes U+0080.
    static std::string Utf16ToUtf8(std::u16string_view units);
    // UTF-8 to UTF-16 code units; characters beyond U+FFFF become surrogate pairs.
    static std::u16string Utf8ToUtf16(std::string_view text);
};

}  // namespace nb
