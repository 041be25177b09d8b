// Byte streams: the one abstraction through which files, listings and received bytes move.
// A stream has a size and a position; reads and writes start at the position and move it.
// Thread notes: a stream is used by one thread at a time; it takes no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace nb {

enum class TnbSeekOrigin { soBeginning, soCurrent, soEnd };

class TnbStream {
public:
    virtual ~TnbStream() = default;
    TnbStream() = default;
    TnbStream(const TnbStream&) = delete;
    TnbStream& operator=(const TnbStream&) = delete;

    // Reads up to count bytes at the position; returns the number read (0 at the end).
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    // Writes count bytes at the position; returns the number written. Failures raise.
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    // Moves the position and returns the new one. Failures raise.
    virtual std::int64_t Seek(std::int64_t offset, TnbSeekOrigin origin) = 0;
    virtual std::int64_t GetSize() = 0;
    virtual void SetSize(std::int64_t size) = 0;

    std::int64_t GetPosition() { return Seek(0, TnbSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t position) { Seek(position, TnbSeekOrigin::soBeginning); }
    // Bytes from the position to the end.
    std::int64_t Remaining() { return GetSize() - GetPosition(); }
    void WriteString(std::string_view text) {
        Write(text.data(), static_cast<std::int64_t>(text.size()));
    }
};

// A growable in-memory stream. Its bytes stay contiguous so a parser can look at them directly.
class TnbMemoryStream : public TnbStream {
public:
    TnbMemoryStream() = default;
    explicit TnbMemoryStream(std::string_view initial);

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TnbSeekOrigin origin) override;
    std::int64_t GetSize() override { return static_cast<std::int64_t>(size_); }
    void SetSize(std::int64_t size) override;

    const char* Memory() const { return data_.get(); }
    char* Memory() { return data_.get(); }
    std::string_view View() const { return {data_.get(), size_}; }
    std::string ToString() const { return std::string(View()); }
    void Clear();
    // Room for count bytes at the position, to be filled in place (a receive) and then taken
    // with Wrote: a write without a copy through another buffer.
    char* WriteSpace(std::size_t count);
    void Wrote(std::size_t count);
    // Drops the first count bytes, keeping the rest at the start (the position moves with them).
    void Consume(std::size_t count);

private:
    void Reserve(std::size_t capacity);

    std::unique_ptr<char[]> data_;  // capacity_ bytes; the first size_ are content
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::size_t position_ = 0;
};

// The stream when it is a TnbMemoryStream itself, whose bytes may be taken or filled in place; a
// class derived from it may do more in Read and Write, and gets them called.
inline TnbMemoryStream* PlainMemoryStream(TnbStream* stream) {
    return stream && typeid(*stream) == typeid(TnbMemoryStream)
               ? static_cast<TnbMemoryStream*>(stream)
               : nullptr;
}

}  // namespace nb
