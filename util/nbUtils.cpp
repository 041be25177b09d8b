#include "util/nbUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <new>

#include "util/nbStream.h"

namespace nb {

// ---- Tick counts ----

std::uint32_t GetTickCount32() {
    timespec ts{};
    // CLOCK_MONOTONIC cannot fail with a valid pointer; it never jumps with the wall clock.
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

// ---- ASCII case folding ----

std::string UpperCaseAscii(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = UpperCaseAscii(c);
    }
    return result;
}

std::string LowerCaseAscii(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = LowerCaseAscii(c);
    }
    return result;
}

int CompareTextAscii(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(LowerCaseAscii(a[i]));
        const auto cb = static_cast<unsigned char>(LowerCaseAscii(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareTextAscii(a, b) == 0;
}

bool StartsTextAscii(std::string_view prefix, std::string_view text) {
    return text.size() >= prefix.size() && SameTextAscii(prefix, text.substr(0, prefix.size()));
}

namespace {
bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}
}  // namespace

std::string_view TrimLeft(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlankOrControl(text[i])) {
        ++i;
    }
    return text.substr(i);
}

std::string_view TrimRight(std::string_view text) {
    std::size_t n = text.size();
    while (n > 0 && IsBlankOrControl(text[n - 1])) {
        --n;
    }
    return text.substr(0, n);
}

std::string_view Trim(std::string_view text) {
    return TrimRight(TrimLeft(text));
}

// ---- Client text shown to others ----

namespace {

// Length of the valid UTF-8 sequence that starts text[i] (1 for ASCII), or 0 when the byte
// starts none (a stray continuation byte, an overlong or surrogate form, a cut sequence).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = i + 2; k < i + length; ++k) {
        if (byte(k) < 0x80 || byte(k) > 0xBF)
            return 0;
    }
    return length;
}

}  // namespace

std::string ShortenText(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes)
        return std::string(text);
    std::size_t cut = 0;
    while (cut < maxBytes) {
        const std::size_t length = std::max<std::size_t>(Utf8SequenceLength(text, cut), 1);
        if (cut + length > maxBytes)
            break;
        cut += length;
    }
    return std::string(text.substr(0, cut)) + "...";
}

std::string EscapeControls(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8SequenceLength(text, i);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r' || c == '\n' || c == '\t') {
            out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
        } else if (length == 1 && c >= 0x20 && c != 0x7F) {
            out += text[i];
        } else if (length > 1 && !(c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            out.append(text.substr(i, length));
        } else {
            // A control character, or a byte that starts no character: each byte shows as hex.
            for (std::size_t k = 0; k < std::max<std::size_t>(length, 1); ++k)
                escape(static_cast<unsigned char>(text[i + k]));
        }
        i += std::max<std::size_t>(length, 1);
    }
    return out;
}

// ---- Owned byte buffer ----

TnbBinaryData::~TnbBinaryData() {
    Clear();
}

void TnbBinaryData::FreeData(std::uint8_t*& data) noexcept {
    std::free(data);
    data = nullptr;
}

void TnbBinaryData::AllocData(std::uint8_t*& data, std::size_t size) {
    data = static_cast<std::uint8_t*>(std::malloc(size));
    if (data == nullptr) {
        throw std::bad_alloc();
    }
}

void TnbBinaryData::Clear() {
    if (data_ != nullptr) {
        FreeData(data_);
    }
    data_ = nullptr;
    dataSize_ = 0;
}

void TnbBinaryData::Allocate(std::size_t size) {
    Clear();
    if (size > 0) {
        std::uint8_t* data = nullptr;
        AllocData(data, size);
        data_ = data;
        dataSize_ = size;
    }
}

void TnbBinaryData::FromBytes(const TnbByteArray& bytes, std::size_t index, std::size_t count) {
    const std::size_t available = index < bytes.size() ? bytes.size() - index : 0;
    count = std::min(count, available);
    if (count == 0) {
        Clear();
        return;
    }
    Allocate(count);
    std::memcpy(data_, bytes.data() + index, count);
}

void TnbBinaryData::FromStream(TnbStream& stream) {
    FromStream(stream, stream.GetSize());
}

void TnbBinaryData::FromStream(TnbStream& stream, std::int64_t count) {
    count = std::min(count, stream.Remaining());
    if (count <= 0) {
        Clear();
        return;
    }
    Allocate(static_cast<std::size_t>(count));
    std::int64_t done = 0;
    while (done < count) {
        const std::int64_t got = stream.Read(data_ + done, count - done);
        if (got <= 0) {
            break;
        }
        done += got;
    }
    // A stream that delivered less than it announced leaves no stale tail behind.
    Reduce(static_cast<std::size_t>(done));
}

void TnbBinaryData::Reduce(std::size_t size) {
    if (size < dataSize_) {
        dataSize_ = size;
    }
}

void TnbBinaryData::ToStream(TnbStream& stream) const {
    if (dataSize_ > 0) {
        stream.Write(data_, static_cast<std::int64_t>(dataSize_));
    }
}

std::string TnbBinaryData::ToWideString() const {
    std::u16string units(dataSize_ / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(data_[2 * i] | (data_[2 * i + 1] << 8));
    }
    if (!units.empty() && units.back() == u'\0') {
        units.pop_back();
    }
    return TnbTranslator::Utf16ToUtf8(units);
}

// ---- Line splitter ----

bool TnbStringsUtils::EndsWithLineBreak(std::string_view text) {
    const std::size_t n = text.size();
    if (n == 0) {
        return true;
    }
    if (n == 1) {
        return text[0] == '\n';
    }
    return text[n - 1] == '\n' || text[n - 2] == '\r';
}

std::size_t TnbStringsUtils::AddTextStr(std::string_view text, bool addToLast) {
    std::size_t pos = 0;
    const std::size_t n = text.size();
    while (pos < n) {
        std::size_t end = pos;
        while (end < n && text[end] != '\r' && text[end] != '\n' && text[end] != '\0') {
            ++end;
        }
        const std::string_view line = text.substr(pos, end - pos);
        if (addToLast && !strings_.empty()) {
            strings_.back().append(line);
            addToLast = false;
        } else {
            strings_.emplace_back(line);
        }
        pos = end;
        if (pos < n) {
            // One break: CR LF counts once, LF CR twice.
            if (text[pos] == '\r' && pos + 1 < n && text[pos + 1] == '\n') {
                pos += 2;
            } else {
                ++pos;
            }
        }
    }
    return EndsWithLineBreak(text) ? 0 : n;
}

void TnbStringsUtils::DoProgress(std::int64_t processed, std::int64_t total) {
    if (OnProgress) {
        OnProgress(*this, processed, total);
    }
}

namespace {

// Length of an unfinished UTF-8 sequence at the end of bytes (0 when the end is whole), so a
// character cut between two chunks is decoded once it is complete.
std::size_t IncompleteUtf8Tail(std::string_view bytes) {
    const std::size_t n = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(bytes[n - back]);
        if ((c & 0xC0) == 0x80) {
            continue;  // continuation byte: look further back for the lead
        }
        std::size_t need = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 4;
        }
        return need > back ? back : 0;
    }
    return 0;
}

}  // namespace

std::size_t TnbStringsUtils::LoadFromStream(TnbStream& stream, bool addToLast,
                                            std::int64_t maxBytes) {
    const std::int64_t remaining = std::max<std::int64_t>(stream.Remaining(), 0);
    std::int64_t chunk = remaining;
    if (batchSize_ > 0 && static_cast<std::int64_t>(batchSize_) < chunk) {
        chunk = batchSize_;
    }
    const bool utf8 = TnbTranslator::IsUtf8(charSet_);
    std::string buffer(static_cast<std::size_t>(chunk), '\0');
    std::string pending;  // the start of a UTF-8 character cut by the previous chunk
    std::size_t result = 0;
    std::int64_t processed = 0;
    std::int64_t read = chunk > 0 ? stream.Read(buffer.data(), chunk) : 0;
    while (read > 0) {
        DoProgress(processed, remaining);
        std::string bytes = pending;
        bytes.append(buffer.data(), static_cast<std::size_t>(read));
        pending.clear();
        // NUL bytes become blanks before decoding, so nothing after a NUL is lost.
        std::replace(bytes.begin(), bytes.end(), '\0', ' ');
        processed += read;
        bool last = processed >= remaining;
        if (maxBytes > 0) {
            if (processed >= maxBytes) {
                last = true;
            } else {
                chunk = std::min(chunk, maxBytes - processed);
            }
        }
        if (utf8 && !last) {
            const std::size_t tail = IncompleteUtf8Tail(bytes);
            pending.assign(bytes, bytes.size() - tail, tail);
            bytes.resize(bytes.size() - tail);
        }
        if (!bytes.empty()) {  // a chunk may be all held back, which must not end the line
            result = AddTextStr(TnbTranslator::GetString(bytes, charSet_), addToLast);
            addToLast = result > 0;
        }
        if (last) {
            break;
        }
        read = stream.Read(buffer.data(), chunk);
    }
    if (!pending.empty()) {
        // The stream ended early inside a character: decode what there is.
        result = AddTextStr(TnbTranslator::GetString(pending, charSet_), addToLast);
    }
    return result;
}

// ---- Word helpers ----

std::size_t WordCount(std::string_view text, std::string_view delimiters) {
    std::size_t count = 0;
    bool inWord = false;
    for (char c : text) {
        if (CharInSet(c, delimiters)) {
            inWord = false;
        } else if (!inWord) {
            inWord = true;
            ++count;
        }
    }
    return count;
}

std::size_t WordPosition(std::size_t n, std::string_view text, std::string_view delimiters) {
    if (n == 0) {
        return 0;
    }
    std::size_t count = 0;
    bool inWord = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (CharInSet(text[i], delimiters)) {
            inWord = false;
        } else if (!inWord) {
            inWord = true;
            if (++count == n) {
                return i + 1;
            }
        }
    }
    return 0;
}

std::string ExtractWord(std::size_t n, std::string_view text, std::string_view delimiters) {
    const std::size_t pos = WordPosition(n, text, delimiters);
    if (pos == 0) {
        return {};
    }
    std::size_t end = pos - 1;
    while (end < text.size() && !CharInSet(text[end], delimiters)) {
        ++end;
    }
    return std::string(text.substr(pos - 1, end - (pos - 1)));
}

std::size_t RTextPos(std::string_view substr, std::string_view text, std::int64_t startFrom) {
    if (substr.empty() || text.empty() || substr.size() > text.size()) {
        return 0;
    }
    // Last possible 0-based start.
    std::size_t start = text.size() - substr.size();
    if (startFrom >= 0) {
        if (startFrom == 0) {
            return 0;
        }
        start = std::min(start, static_cast<std::size_t>(startFrom - 1));
    }
    for (std::size_t i = start + 1; i-- > 0;) {
        if (SameTextAscii(substr, text.substr(i, substr.size()))) {
            return i + 1;
        }
    }
    return 0;
}

int IndexOfText(std::string_view text, const std::vector<std::string>& array) {
    for (std::size_t i = 0; i < array.size(); ++i) {
        if (SameTextAscii(text, array[i])) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// ---- Path helpers ----

std::string AddTrailingSlash(std::string_view path) {
    std::string result(path);
    if (!result.empty() && result.back() != '/') {
        result += '/';
    }
    return result;
}

std::string RemoveTrailingChar(std::string_view text, char ch) {
    if (!text.empty() && text.back() == ch) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

namespace {

// One trailing "/" removed, but the root stays "/".
std::string StripOneSlash(std::string_view path) {
    if (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return std::string(path);
}

}  // namespace

std::string ExpandFileName(std::string_view path) {
    namespace fs = std::filesystem;
    fs::path p{std::string(path.empty() ? std::string_view(".") : path)};
    if (p.is_relative()) {
        std::error_code ec;
        const fs::path cwd = fs::current_path(ec);
        // Without a working directory (removed under us) the root is the only safe anchor.
        p = (ec ? fs::path("/") : cwd) / p;
    }
    std::string result = p.lexically_normal().string();
    // lexically_normal keeps a trailing "/" of "a/b/" or "a/.." as an empty last element.
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

std::string MakeFullPath(std::string_view path, std::string_view name) {
    const std::string p = path.empty() ? std::string("./") : std::string(path);
    if (name.empty()) {
        return StripOneSlash(p);
    }
    return StripOneSlash(ExpandFileName(AddTrailingSlash(ExpandFileName(p)) + std::string(name)));
}

// ---- Byte and hex helpers ----

std::string BytesToHex(const void* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto* b = static_cast<const std::uint8_t*>(bytes);
    std::string result(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        result[2 * i] = kDigits[b[i] >> 4];
        result[2 * i + 1] = kDigits[b[i] & 0x0F];
    }
    return result;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

TnbByteArray HexToBytes(std::string_view text) {
    std::string digits;
    if (text.size() % 2 != 0) {
        digits = "0";
    }
    digits.append(text);
    TnbByteArray result(digits.size() / 2);
    for (std::size_t i = 0; i < result.size(); ++i) {
        const int hi = HexDigit(digits[2 * i]);
        const int lo = HexDigit(digits[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            throw EnbConvertError("'" + digits.substr(2 * i, 2) + "' is not a valid integer value");
        }
        result[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return result;
}

TnbByteArray ReverseBytes(const TnbByteArray& bytes) {
    return TnbByteArray(bytes.rbegin(), bytes.rend());
}

}  // namespace nb
