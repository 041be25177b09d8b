#include "util/nbTranslator.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace nb {

namespace {

// ---- Code points ----

// What a malformed byte sequence decodes to (a blank when the offending byte was a blank).
constexpr char32_t kBadSequence = 0x80;
// What a character without a form in a single-byte code page encodes to.
constexpr std::uint8_t kDefaultChar = '?';

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Reads one character at pos and moves pos past it. Only well-formed UTF-8 is accepted:
// no overlong forms, no encoded surrogates, nothing above U+10FFFF. A bad lead byte is one
// bad sequence on its own. When a continuation byte is wrong, that byte is consumed with the
// sequence (U+0020 when it is a blank, else U+0080), except CR and LF: a line break must
// survive a cut character, or the line framing above would lose a command.
char32_t DecodeUtf8(std::string_view s, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(s[pos++]);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t need = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80;  // range of the first continuation byte
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0) {
            lo = 0xA0;  // shorter forms are overlong
        } else if (lead == 0xED) {
            hi = 0x9F;  // D800-DFFF are surrogates, not characters
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        cp = lead & 0x07;
        if (lead == 0xF0) {
            lo = 0x90;
        } else if (lead == 0xF4) {
            hi = 0x8F;  // nothing beyond U+10FFFF
        }
    } else {
        return kBadSequence;  // a stray continuation byte or a lead that never starts a character
    }
    for (std::size_t k = 0; k < need; ++k) {
        if (pos >= s.size()) {
            return kBadSequence;  // a missing byte counts as 0, which continues nothing
        }
        const auto d = static_cast<unsigned char>(s[pos]);
        if (d < lo || d > hi) {
            if (d == '\r' || d == '\n') {
                return kBadSequence;
            }
            ++pos;
            return d == ' ' ? U' ' : kBadSequence;
        }
        ++pos;
        cp = (cp << 6) | (d & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    return cp;
}

// ---- Single-byte code pages: bytes 0x80-0xFF to UTF-16 ----
// Bytes that a code page leaves undefined map to the C1 control of the same value, as the
// Windows conversion does, so every byte survives a round trip.

constexpr std::array<char16_t, 128> kCodePage1250 = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021, 0x0088, 0x2030, 0x0160, 0x2039,
    0x015A, 0x0164, 0x017D, 0x0179, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141,
    0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB,
    0x013D, 0x02DD, 0x013E, 0x017C, 0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3,
    0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB,
    0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

constexpr std::array<char16_t, 128> kCodePage1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0422, 0x0423,
    0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

constexpr std::array<char16_t, 128> kCodePage1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039,
    0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, 0x00A0, 0x00A1, 0x00A2, 0x00A3,
    0x00A4, 0x00A5, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB,
    0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3,
    0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7, 0x00E8, 0x00E9, 0x00EA, 0x00EB,
    0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

constexpr std::array<char16_t, 128> kCodePageKoi8R = {
    0x2500, 0x2502, 0x250C, 0x2510, 0x2514, 0x2518, 0x251C, 0x2524, 0x252C, 0x2534, 0x253C, 0x2580,
    0x2584, 0x2588, 0x258C, 0x2590, 0x2591, 0x2592, 0x2593, 0x2320, 0x25A0, 0x2219, 0x221A, 0x2248,
    0x2264, 0x2265, 0x00A0, 0x2321, 0x00B0, 0x00B2, 0x00B7, 0x00F7, 0x2550, 0x2551, 0x2552, 0x0451,
    0x2553, 0x2554, 0x2555, 0x2556, 0x2557, 0x2558, 0x2559, 0x255A, 0x255B, 0x255C, 0x255D, 0x255E,
    0x255F, 0x2560, 0x2561, 0x0401, 0x2562, 0x2563, 0x2564, 0x2565, 0x2566, 0x2567, 0x2568, 0x2569,
    0x256A, 0x256B, 0x256C, 0x00A9, 0x044E, 0x0430, 0x0431, 0x0446, 0x0434, 0x0435, 0x0444, 0x0433,
    0x0445, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F, 0x044F, 0x0440, 0x0441,
    0x0442, 0x0443, 0x0436, 0x0432, 0x044C, 0x044B, 0x0437, 0x0448, 0x044D, 0x0449, 0x0447, 0x044A,
    0x042E, 0x0410, 0x0411, 0x0426, 0x0414, 0x0415, 0x0424, 0x0413, 0x0425, 0x0418, 0x0419, 0x041A,
    0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x042F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0416, 0x0412,
    0x042C, 0x042B, 0x0417, 0x0428, 0x042D, 0x0429, 0x0427, 0x042A,
};

using TCodePage = std::array<char16_t, 128>;

std::uint8_t CodePageByte(const TCodePage& page, char32_t cp) {
    if (cp < 0x80) {
        return static_cast<std::uint8_t>(cp);
    }
    const auto it = std::find(page.begin(), page.end(), cp);
    return it == page.end() ? kDefaultChar : static_cast<std::uint8_t>(0x80 + (it - page.begin()));
}

// ---- The twelve character sets ----

using TTable = std::array<std::uint8_t, 256>;

constexpr int HexValue(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

constexpr int ReadHexByte(std::string_view rows, std::size_t& i) {
    const int value = HexValue(rows[i]) * 16 + HexValue(rows[i + 1]);
    i += 2;
    return value;
}

// Identity, changed by rows written as "A>C" (byte A maps to C) and "A-B>C" (bytes A to B, in
// order, map to C, C+1 and so on), separated by blanks, all in hexadecimal.
constexpr TTable MakeTable(std::string_view rows) {
    TTable table{};
    for (std::size_t b = 0; b < table.size(); ++b) {
        table[b] = static_cast<std::uint8_t>(b);
    }
    std::size_t i = 0;
    while (i < rows.size()) {
        if (rows[i] == ' ') {
            ++i;
            continue;
        }
        const int first = ReadHexByte(rows, i);
        int last = first;
        if (rows[i] == '-') {
            ++i;
            last = ReadHexByte(rows, i);
        }
        ++i;  // '>'
        const int to = ReadHexByte(rows, i);
        for (int b = first; b <= last; ++b) {
            table[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(to + (b - first));
        }
    }
    return table;
}

struct TCharSetRows {
    std::string_view Name;
    std::string_view DecodeRows;  // wire byte -> text byte
    std::string_view EncodeRows;  // text byte -> wire byte
    // The code page of the text side, through which the text bytes meet UTF-8. "KOI8-WIN"
    // matches no code page on either side, so it takes 1251 like the other Cyrillic sets.
    // "WIN-KOI8" turns Windows-1251 wire bytes into KOI8-R text bytes, so its text side is
    // KOI8-R: that way its letters come out as the letters that were sent.
    const TCodePage& TextCodePage;
};

// In lookup order.
constexpr std::array<TCharSetRows, 12> kCharSetRows = {{
    {"ISO-8859-1", "", "", kCodePage1252},
    {"ISO-8859-2", "A6>8C A9>8A AC>8F AE>8E B6>9C B7>A1 B9>9A BC>9F BE>9E",
     "8A>A9 8C>A6 8E>AE 8F>AC 9A>B9 9C>B6 9E>BE 9F>BC A1>B7", kCodePage1250},
    {"Windows-1250", "", "", kCodePage1250},
    {"ibm866", "80-AF>C0 E0-EF>F0 F0>A8 F1>A3", "A3>F1 A8>F0 B3>F0 C0-EF>80 F0-FF>E0",
     kCodePage1251},
    {"ISO-8859-5", "90-EF>A0", "A0-FF>90", kCodePage1251},
    {"koi8-r",
     "A3>B8 B3>A8 B8>A3 C0>FE C1-C2>E0 C3>F6 C4-C5>E4 C6>F4 C7>E3 C8>F5 C9-D0>E8 D1>FF D2-D5>F0 "
     "D6>E6 D7>E2 D8>FC D9>FB DA>E7 DB>F8 DC>FD DD>F9 DE>F7 DF>FA E0>DE E1-E2>C0 E3>D6 E4-E5>C4 "
     "E6>D4 E7>C3 E8>D5 E9-F0>C8 F1>DF F2-F5>D0 F6>C6 F7>C2 F8>DC F9>DB FA>C7 FB>D8 FC>DD FD>D9 "
     "FE>D7 FF>DA",
     "A3>B8 A8>B3 B8>A3 C0-C1>E1 C2>F7 C3>E7 C4-C5>E4 C6>F6 C7>FA C8-CF>E9 D0-D3>F2 D4>E6 D5>E8 "
     "D6>E3 D7>FE D8>FB D9>FD DA>FF DB>F9 DC>F8 DD>FC DE>E0 DF>F1 E0-E1>C1 E2>D7 E3>C7 E4-E5>C4 "
     "E6>D6 E7>DA E8-EF>C9 F0-F3>D2 F4>C6 F5>C8 F6>C3 F7>DE F8>DB F9>DD FA>DF FB>D9 FC>D8 FD>DC "
     "FE>C0 FF>D1",
     kCodePage1251},
    {"koi8-u",
     "A3>B8 A4>BA A6>B3 A7>BF AD>B4 B3>A8 B4>AA B6>B2 B7>AF BD>A5 C0>FE C1-C2>E0 C3>F6 C4-C5>E4 "
     "C6>F4 C7>E3 C8>F5 C9-D0>E8 D1>FF D2-D5>F0 D6>E6 D7>E2 D8>FC D9>FB DA>E7 DB>F8 DC>FD DD>F9 "
     "DE>F7 DF>FA E0>DE E1-E2>C0 E3>D6 E4-E5>C4 E6>D4 E7>C3 E8>D5 E9-F0>C8 F1>DF F2-F5>D0 F6>C6 "
     "F7>C2 F8>DC F9>DB FA>C7 FB>D8 FC>DD FD>D9 FE>D7 FF>DA",
     "A5>BD A8>B3 AA>B4 AF>B7 B2>B6 B3>A6 B4>AD B8>A3 BA>A4 BF>A7 C0-C1>E1 C2>F7 C3>E7 C4-C5>E4 "
     "C6>F6 C7>FA C8-CF>E9 D0-D3>F2 D4>E6 D5>E8 D6>E3 D7>FE D8>FB D9>FD DA>FF DB>F9 DC>F8 DD>FC "
     "DE>E0 DF>F1 E0-E1>C1 E2>D7 E3>C7 E4-E5>C4 E6>D6 E7>DA E8-EF>C9 F0-F3>D2 F4>C6 F5>C8 F6>C3 "
     "F7>DE F8>DB F9>DD FA>DF FB>D9 FC>D8 FD>DC FE>C0 FF>D1",
     kCodePage1251},
    {"KOI8-WIN",
     "9A>DA A1>E7 C0>D7 C1>DE C2>C0 C3>C6 C6>D2 C7>D6 C8>D3 C9>D5 CA-D0>C8 D2>CF D3>DF D4-D5>D0 "
     "D6>D4 D7>C1 D8>DD D9>D8 DA>C3 DB>DC DC>D9 DD>DB DE>C2 DF>C7 E0>F7 E1>FE E2>E0 E3>E6 E6>F2 "
     "E7>F6 E8>F3 E9>F5 EA-F0>E8 F1>FA F2>EF F3>FF F4-F5>F0 F6>F4 F7>E1 F8>FD F9>F8 FA>E3 FB>FC "
     "FC>F9 FD>FB FE>E2",
     "C0>C2 C1>D7 C2>DE C3>DA C6>C3 C7>DF C8-CE>CA CF>D2 D0-D1>D4 D2>C6 D3>C8 D4>D6 D5>C9 D6>C7 "
     "D7>C0 D8>D9 D9>DC DA>9A DB>DD DC>DB DD>D8 DE>C1 DF>D3 E0>E2 E1>F7 E2>FE E3>FA E6>E3 E7>A1 "
     "E8-EE>EA EF>F2 F0-F1>F4 F2>E6 F3>E8 F4>F6 F5>E9 F6>E7 F7>E0 F8>F9 F9>FC FA>F1 FB>FD FC>FB "
     "FD>F8 FE>E1 FF>F3",
     kCodePage1251},
    {"WIN-KOI8",
     "95>FF C0-C1>E1 C2>F7 C3>E7 C4-C5>E4 C6>F6 C7>FA C9-CF>EA D0-D3>F2 D4>E6 D5>E8 D6>E3 D7>FE "
     "D8>FB D9>FD DB>F9 DC>F8 DD>FC DE>E0 DF>F1 E0-E1>C1 E2>D7 E3>C7 E4-E5>C4 E6>D6 E7>FF E9-EF>CA "
     "F0-F3>D2 F4>C6 F5>C8 F6>C3 F7>DE F8>DB F9>DD FA>DF FB>D9 FC>D8 FD>DC FE>C0 FF>D1",
     "C0>FE C1-C2>E0 C3>F6 C4-C5>E4 C6>F4 C7>E3 C8>F5 CA-D0>E9 D1>FF D2-D5>F0 D6>E6 D7>E2 D8>FC "
     "D9>FB DB>F8 DC>FD DD>F9 DE>F7 DF>FA E0>DE E1-E2>C0 E3>D6 E4-E5>C4 E6>D4 E7>C3 E8>D5 EA-F0>C9 "
     "F1>DF F2-F5>D0 F6>C6 F7>C2 F8>DC F9>DB FA>C7 FB>D8 FC>DD FD>D9 FE>D7 FF>E7",
     kCodePageKoi8R},
    {"Windows-1251", "", "", kCodePage1251},
    {"x-mac-cyrillic", "80-9F>C0 DD>A8 DE>B8 DF>FF", "A8>DD B8>DE C0-DF>80 FF>DF", kCodePage1251},
    {"Latin1", "", "", kCodePage1252},
}};

struct TCharSet {
    std::string_view Name;
    TTable Decode;
    TTable Encode;
    const TCodePage* TextCodePage;
};

constexpr std::array<TCharSet, 12> MakeCharSets() {
    std::array<TCharSet, 12> sets{};
    for (std::size_t i = 0; i < sets.size(); ++i) {
        sets[i] = TCharSet{kCharSetRows[i].Name, MakeTable(kCharSetRows[i].DecodeRows),
                           MakeTable(kCharSetRows[i].EncodeRows), &kCharSetRows[i].TextCodePage};
    }
    return sets;
}

constexpr std::array<TCharSet, 12> kCharSets = MakeCharSets();

bool SameNameAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        x = (x >= 'A' && x <= 'Z') ? char(x - 'A' + 'a') : x;
        y = (y >= 'A' && y <= 'Z') ? char(y - 'A' + 'a') : y;
        if (x != y) {
            return false;
        }
    }
    return true;
}

const TCharSet* FindCharSet(std::string_view name) {
    for (const TCharSet& set : kCharSets) {
        if (SameNameAscii(set.Name, name)) {
            return &set;
        }
    }
    return nullptr;
}

std::string EncodeWith(const TCharSet& set, std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::uint8_t b = CodePageByte(*set.TextCodePage, DecodeUtf8(text, pos));
        out += static_cast<char>(set.Encode[b]);
    }
    return out;
}

std::string DecodeWith(const TCharSet& set, std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const std::uint8_t b = set.Decode[static_cast<std::uint8_t>(c)];
        AppendUtf8(out, b < 0x80 ? char32_t{b} : char32_t{(*set.TextCodePage)[b - 0x80]});
    }
    return out;
}

}  // namespace

bool TnbTranslator::IsUtf8(std::string_view charSet) {
    return SameNameAscii(charSet, "utf-8");
}

bool TnbTranslator::IsKnownTable(std::string_view charSet) {
    return FindCharSet(charSet) != nullptr;
}

std::string TnbTranslator::Utf8Sanitize(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // Only well-formed input decodes to itself, so writing every character back out
        // copies good text unchanged and puts the replacements in place of bad sequences.
        AppendUtf8(out, DecodeUtf8(bytes, pos));
    }
    return out;
}

std::string TnbTranslator::Utf16ToUtf8(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, kBadSequence);  // a half without its partner is no character
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::u16string TnbTranslator::Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t cp = DecodeUtf8(text, pos);
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string TnbTranslator::TranslateTo(std::string_view charSet, std::string_view bytes) {
    const TCharSet* set = FindCharSet(charSet);
    if (set == nullptr) {
        return std::string(bytes);
    }
    std::string out(bytes);
    for (char& c : out) {
        c = static_cast<char>(set->Encode[static_cast<std::uint8_t>(c)]);
    }
    return out;
}

std::string TnbTranslator::TranslateFrom(std::string_view charSet, std::string_view bytes) {
    const TCharSet* set = FindCharSet(charSet);
    if (set == nullptr) {
        return std::string(bytes);
    }
    std::string out(bytes);
    for (char& c : out) {
        c = static_cast<char>(set->Decode[static_cast<std::uint8_t>(c)]);
    }
    return out;
}

std::string TnbTranslator::Encode(std::string_view text, std::string_view charSet) {
    if (IsUtf8(charSet)) {
        return Utf8Sanitize(text);
    }
    if (const TCharSet* set = FindCharSet(charSet)) {
        return EncodeWith(*set, text);
    }
    return std::string(text);
}

std::size_t TnbTranslator::GetByteCount(std::string_view text, std::string_view charSet) {
    return Encode(text, charSet).size();
}

TnbByteArray TnbTranslator::GetBytes(std::string_view text, std::string_view charSet) {
    const std::string bytes = Encode(text, charSet);
    return TnbByteArray(bytes.begin(), bytes.end());
}

std::size_t TnbTranslator::GetBytes(std::string_view text, void* buffer, std::size_t bufferSize,
                                    std::string_view charSet) {
    const std::string bytes = Encode(text, charSet);
    const std::size_t n = std::min(bytes.size(), bufferSize);
    if (n > 0) {
        std::memcpy(buffer, bytes.data(), n);
    }
    return n;
}

std::string TnbTranslator::GetString(const void* bytes, std::size_t count,
                                     std::string_view charSet) {
    if (count == 0) {
        return {};
    }
    std::string_view view(static_cast<const char*>(bytes), count);
    view = view.substr(0, view.find('\0'));  // the text ends at the first NUL
    if (IsUtf8(charSet)) {
        return Utf8Sanitize(view);
    }
    if (const TCharSet* set = FindCharSet(charSet)) {
        return DecodeWith(*set, view);
    }
    return std::string(view);
}

std::string TnbTranslator::GetString(const void* bytes, std::size_t index, std::int64_t count,
                                     std::string_view charSet) {
    if (count <= 0) {
        return {};
    }
    return GetString(static_cast<const char*>(bytes) + index, static_cast<std::size_t>(count),
                     charSet);
}

}  // namespace nb
