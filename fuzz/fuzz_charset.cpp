// Character sets. Properties:
// - "utf-8" decoding of any bytes gives valid UTF-8, keeps valid input as it is (up to the first
//   NUL), and re-encoding what it gave changes nothing;
// - the table sets never change bytes 0 to 127, in either direction, and decode byte by byte
//   (the same bytes in one piece or one at a time give the same text), always to valid UTF-8;
// - UTF-16 conversion round-trips valid text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "fuzz/nbFuzzSupport.h"
#include "util/nbTranslator.h"

namespace {

using nb::TnbTranslator;
using nb::fuzz::IsValidUtf8;
using nb::fuzz::Require;

constexpr const char* kTables[] = {"ISO-8859-1", "ISO-8859-2",   "Windows-1250",   "ibm866",
                                   "ISO-8859-5", "koi8-r",       "koi8-u",         "KOI8-WIN",
                                   "WIN-KOI8",   "Windows-1251", "x-mac-cyrillic", "Latin1"};

std::string UpToNul(const std::string& bytes) {
    return bytes.substr(0, bytes.find('\0'));
}

void CheckUtf8(const std::string& bytes) {
    const std::string text = TnbTranslator::GetString(bytes, "utf-8");
    Require(IsValidUtf8(text), "utf-8 decoding yields valid UTF-8", bytes);
    Require(text.find('\0') == std::string::npos, "decoding stops at NUL", bytes);
    const std::string head = UpToNul(bytes);
    if (IsValidUtf8(head))
        Require(text == head, "valid UTF-8 decodes unchanged", bytes);
    Require(TnbTranslator::Encode(text, "UTF-8") == text, "valid text encodes unchanged", text);
    Require(TnbTranslator::GetByteCount(text, "utf-8") == text.size(),
            "the byte count matches the encoding", text);
    Require(TnbTranslator::GetString(text, "utf-8") == text, "decoding is idempotent", text);

    const std::string clean = TnbTranslator::Utf8Sanitize(bytes);
    Require(IsValidUtf8(clean), "sanitizing yields valid UTF-8", bytes);
    Require(TnbTranslator::Utf8Sanitize(clean) == clean, "sanitizing is idempotent", bytes);
    if (IsValidUtf8(bytes))
        Require(clean == bytes, "valid UTF-8 passes the sanitizer", bytes);
    Require(TnbTranslator::Utf16ToUtf8(TnbTranslator::Utf8ToUtf16(clean)) == clean,
            "UTF-16 round-trips valid text", clean);

    // Any UTF-16 units (lone surrogates included) give valid UTF-8.
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    Require(IsValidUtf8(TnbTranslator::Utf16ToUtf8(units)), "UTF-16 gives valid UTF-8", bytes);
}

void CheckTable(const char* charSet, const std::string& bytes) {
    const std::string to = TnbTranslator::TranslateTo(charSet, bytes);
    const std::string from = TnbTranslator::TranslateFrom(charSet, bytes);
    Require(to.size() == bytes.size() && from.size() == bytes.size(),
            "table steps map byte to byte", charSet);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            Require(to[i] == bytes[i] && from[i] == bytes[i], "tables keep bytes 0-127", charSet);
        }
    }

    const std::string text = TnbTranslator::GetString(bytes, charSet);
    Require(IsValidUtf8(text), "a table set decodes to valid UTF-8", charSet);
    std::string piecewise;
    for (const char byte : UpToNul(bytes)) {
        const std::string one = TnbTranslator::GetString(std::string(1, byte), charSet);
        if (static_cast<unsigned char>(byte) < 0x80) {
            Require(one == std::string(1, byte), "ASCII decodes to itself", charSet);
        }
        piecewise += one;
    }
    Require(text == piecewise, "table sets decode byte by byte", charSet);

    // Encoding: ASCII text is the same on the wire; any text takes one byte per character.
    std::string ascii;
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) < 0x80)
            ascii += c;
    }
    Require(TnbTranslator::Encode(ascii, charSet) == ascii, "ASCII encodes to itself", charSet);
    const std::string wire = TnbTranslator::Encode(text, charSet);
    Require(wire.size() == TnbTranslator::Utf8ToUtf16(text).size(), "one wire byte per character",
            charSet);
    Require(TnbTranslator::GetByteCount(text, charSet) == wire.size(),
            "the byte count matches the encoding", charSet);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const auto choice = provider.ConsumeIntegral<std::uint8_t>();
    const std::string bytes = provider.ConsumeRemainingBytesAsString();
    CheckUtf8(bytes);
    CheckTable(kTables[choice % std::size(kTables)], bytes);
    // Unknown names pass bytes unchanged (up to a NUL when decoding).
    Require(TnbTranslator::Encode(bytes, "no-such-set") == bytes, "unknown sets pass bytes");
    Require(TnbTranslator::GetString(bytes, "") == UpToNul(bytes), "the empty set passes bytes");
    return 0;
}
