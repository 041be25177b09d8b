// Small services that several layers share: tick counts, ASCII case folding, an owned byte
// buffer, the line splitter that turns received bytes into text lines, and word, path and hex
// helpers.
// Thread notes: everything here is free of shared state. A TnbStringsUtils or TnbBinaryData
// object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/nbTranslator.h"

namespace nb {

class TnbStream;

// ---- Tick counts ----

// Milliseconds from CLOCK_MONOTONIC, cut to 32 bits: wraps after about 49.7 days, so compare
// tick counts only through the differences below, never with < or >.
std::uint32_t GetTickCount32();

// The signed distance from `from` to `to`, correct across the 32-bit wrap as long as the two
// lie less than about 24.8 days apart. Negative when `to` is earlier.
inline std::int32_t TickDelta(std::uint32_t from, std::uint32_t to) {
    return static_cast<std::int32_t>(to - from);
}

// Milliseconds that passed from `since` to `now`, clamped at 0: a `since` stamped by another
// thread after `now` was read counts as no time at all, not as 49 days.
inline std::uint32_t TicksElapsed(std::uint32_t since, std::uint32_t now) {
    const std::int32_t d = TickDelta(since, now);
    return d > 0 ? static_cast<std::uint32_t>(d) : 0;
}

// ---- ASCII case folding (A-Z and a-z only; other bytes, UTF-8 included, stay as they are) ----

constexpr char UpperCaseAscii(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}
constexpr char LowerCaseAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
std::string UpperCaseAscii(std::string_view text);
std::string LowerCaseAscii(std::string_view text);
bool SameTextAscii(std::string_view a, std::string_view b);
// <0, 0, >0 like strcmp, ignoring ASCII case.
int CompareTextAscii(std::string_view a, std::string_view b);
bool StartsTextAscii(std::string_view prefix, std::string_view text);

// Blanks and control characters (bytes up to 0x20) removed from the ends.
std::string_view Trim(std::string_view text);
std::string_view TrimLeft(std::string_view text);
std::string_view TrimRight(std::string_view text);

// ---- Client text shown to others ----

// text cut to at most maxBytes bytes followed by "..." when it is longer; the cut never splits
// a UTF-8 character. Used where a reply echoes what a client sent.
std::string ShortenText(std::string_view text, std::size_t maxBytes);
// text with every byte a terminal or a log reader could take for control escaped: CR, LF and
// TAB as \r, \n and \t; the other C0 controls (ESC among them), DEL, the C1 controls U+0080 to
// U+009F and bytes that are no part of valid UTF-8 as \xHH. A backslash becomes \\, so an
// escape cannot be forged.
std::string EscapeControls(std::string_view text);

// ---- Owned byte buffer ----

// A heap buffer with its size. AllocData and FreeData are the hooks that a derived buffer
// overrides to take its memory elsewhere; such a class calls Clear() in its own destructor,
// because the base destructor can only reach the base FreeData.
class TnbBinaryData {
public:
    TnbBinaryData() = default;
    explicit TnbBinaryData(std::size_t size) { Allocate(size); }
    virtual ~TnbBinaryData();
    TnbBinaryData(const TnbBinaryData&) = delete;
    TnbBinaryData& operator=(const TnbBinaryData&) = delete;

    std::uint8_t* Data() { return data_; }
    const std::uint8_t* Data() const { return data_; }
    std::size_t DataSize() const { return dataSize_; }

    // Clear, then a buffer of size bytes (none for 0). Failures raise std::bad_alloc.
    void Allocate(std::size_t size);
    void Clear();
    void FromBytes(const TnbByteArray& bytes) { FromBytes(bytes, 0, bytes.size()); }
    // count is cut to what the array holds from index; nothing left gives an empty buffer.
    void FromBytes(const TnbByteArray& bytes, std::size_t index, std::size_t count);
    // Reads the stream from its position to its end.
    void FromStream(TnbStream& stream);
    // count is cut to what remains in the stream after its position.
    void FromStream(TnbStream& stream, std::int64_t count);
    // Forgets the tail: DataSize := size when size is smaller (the buffer stays).
    void Reduce(std::size_t size);
    void ToStream(TnbStream& stream) const;
    TnbByteArray ToBytes() const { return TnbByteArray(data_, data_ + dataSize_); }
    // The buffer read as UTF-16LE text of DataSize / 2 units without one trailing zero unit,
    // returned as UTF-8.
    std::string ToWideString() const;

protected:
    virtual void FreeData(std::uint8_t*& data) noexcept;
    virtual void AllocData(std::uint8_t*& data, std::size_t size);

private:
    std::uint8_t* data_ = nullptr;  // owned through AllocData/FreeData
    std::size_t dataSize_ = 0;
};

// ---- Line splitter ----

// Splits received bytes into text lines. A line ends at CR, at LF, at CR LF (one break) or
// at NUL; LF CR is two breaks. Chunks are joined: feed each chunk with
// addToLast = (result of the previous chunk > 0) and a line cut between chunks comes out whole.
class TnbStringsUtils {
public:
    using TProgressEvent =
        std::function<void(TnbStringsUtils& Sender, std::int64_t AProcessed, std::int64_t ATotal)>;

    // strings is not owned and must outlive this object.
    TnbStringsUtils(std::vector<std::string>& strings, std::string charSet)
        : strings_(strings), charSet_(std::move(charSet)) {}
    virtual ~TnbStringsUtils() = default;
    TnbStringsUtils(const TnbStringsUtils&) = delete;
    TnbStringsUtils& operator=(const TnbStringsUtils&) = delete;

    std::vector<std::string>& Strings() { return strings_; }
    // Bytes read per chunk; 0 = everything at once.
    std::uint32_t BatchSize() const { return batchSize_; }
    void SetBatchSize(std::uint32_t value) { batchSize_ = value; }
    const std::string& CharSet() const { return charSet_; }
    void SetCharSet(std::string value) { charSet_ = std::move(value); }

    // Raised before each chunk is decoded.
    TProgressEvent OnProgress;

    // Adds the lines of text to Strings. Returns 0 when text ends with a complete line break
    // (see EndsWithLineBreak), else the length of text (its last line is unfinished).
    std::size_t AddTextStr(std::string_view text, bool addToLast);
    // Reads the rest of the stream in chunks of BatchSize and adds their lines; stops once
    // maxBytes (> 0) were processed. Returns the last AddTextStr result (0 when nothing read).
    std::size_t LoadFromStream(TnbStream& stream, bool addToLast = false,
                               std::int64_t maxBytes = 0);

    // The rule AddTextStr answers with: text is a single LF, or has at least two characters
    // and its last is LF or its next-to-last is CR. Empty text also counts as ended.
    static bool EndsWithLineBreak(std::string_view text);

protected:
    virtual void DoProgress(std::int64_t processed, std::int64_t total);

private:
    std::vector<std::string>& strings_;
    std::uint32_t batchSize_ = 0;
    std::string charSet_;
};

// ---- Word helpers ----
// A delimiter set is the bytes of a string; words are maximal runs of non-delimiters; positions
// and word numbers count from 1.

inline bool CharInSet(char ch, std::string_view set) {
    return set.find(ch) != set.npos;
}
std::size_t WordCount(std::string_view text, std::string_view delimiters);
// Start position (1-based) of word n; 0 when there are fewer words.
std::size_t WordPosition(std::size_t n, std::string_view text, std::string_view delimiters);
// Word n; empty when there are fewer words.
std::string ExtractWord(std::size_t n, std::string_view text, std::string_view delimiters);
// 1-based position of the last occurrence of substr (ignoring ASCII case) that starts at or
// before startFrom (-1 = anywhere); 0 when there is none or either text is empty.
std::size_t RTextPos(std::string_view substr, std::string_view text, std::int64_t startFrom = -1);
// Index of the first entry equal to text ignoring ASCII case; -1 when none.
int IndexOfText(std::string_view text, const std::vector<std::string>& array);

// ---- Path helpers ("/" paths) ----

// path with a "/" appended when it does not end with one; empty stays empty.
std::string AddTrailingSlash(std::string_view path);
// text with one trailing ch removed when present.
std::string RemoveTrailingChar(std::string_view text, char ch);
// The absolute, lexically normal form of path ("." and ".." resolved against the working
// directory without following links); no trailing "/" except for "/" itself.
std::string ExpandFileName(std::string_view path);
// Without name: path (or "." when empty) with one trailing "/" removed ("/" stays "/").
// With name: the expanded form of name below the expanded path, one trailing "/" removed.
std::string MakeFullPath(std::string_view path, std::string_view name = {});

// ---- Byte and hex helpers ----

// Raised by HexToBytes for text that is not hexadecimal.
class EnbConvertError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Two upper-case hexadecimal digits per byte, no separator.
std::string BytesToHex(const void* bytes, std::size_t count);
inline std::string BytesToHex(const TnbByteArray& bytes) {
    return BytesToHex(bytes.data(), bytes.size());
}
// Pairs of hexadecimal digits from the left; an odd-length text gets a leading "0".
// A pair that is not hexadecimal raises EnbConvertError.
TnbByteArray HexToBytes(std::string_view text);
TnbByteArray ReverseBytes(const TnbByteArray& bytes);

}  // namespace nb
