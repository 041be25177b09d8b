#include "util/nbStream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace nb {

TnbMemoryStream::TnbMemoryStream(std::string_view initial) {
    WriteString(initial);
    position_ = 0;
}

std::int64_t TnbMemoryStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0 || position_ >= size_)
        return 0;
    const std::size_t n = std::min(static_cast<std::size_t>(count), size_ - position_);
    std::memcpy(buffer, data_.get() + position_, n);
    position_ += n;
    return static_cast<std::int64_t>(n);
}

std::int64_t TnbMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0)
        return 0;
    const std::size_t n = static_cast<std::size_t>(count);
    const std::size_t end = position_ + n;
    Reserve(end);
    std::memcpy(data_.get() + position_, buffer, n);
    position_ = end;
    size_ = std::max(size_, end);
    return count;
}

std::int64_t TnbMemoryStream::Seek(std::int64_t offset, TnbSeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == TnbSeekOrigin::soCurrent)
        base = static_cast<std::int64_t>(position_);
    if (origin == TnbSeekOrigin::soEnd)
        base = static_cast<std::int64_t>(size_);
    const std::int64_t target = base + offset;
    if (target < 0)
        throw std::out_of_range("Stream position out of range");
    // Seeking past the end is allowed; a later write fills the gap with zeros.
    position_ = static_cast<std::size_t>(target);
    if (position_ > size_) {
        Reserve(position_);
        std::memset(data_.get() + size_, 0, position_ - size_);
    }
    return target;
}

void TnbMemoryStream::SetSize(std::int64_t size) {
    if (size < 0)
        throw std::out_of_range("Stream size out of range");
    const std::size_t n = static_cast<std::size_t>(size);
    Reserve(n);
    if (n > size_)
        std::memset(data_.get() + size_, 0, n - size_);
    size_ = n;
    position_ = std::min(position_, size_);
}

void TnbMemoryStream::Clear() {
    size_ = 0;
    position_ = 0;
}

char* TnbMemoryStream::WriteSpace(std::size_t count) {
    Reserve(position_ + count);
    return data_.get() + position_;
}

void TnbMemoryStream::Wrote(std::size_t count) {
    position_ += count;
    size_ = std::max(size_, position_);
}

void TnbMemoryStream::Consume(std::size_t count) {
    count = std::min(count, size_);
    std::memmove(data_.get(), data_.get() + count, size_ - count);
    size_ -= count;
    position_ = position_ > count ? position_ - count : 0;
}

void TnbMemoryStream::Reserve(std::size_t capacity) {
    if (capacity <= capacity_)
        return;
    // Geometric growth keeps appends amortised O(1). The new room is not cleared: every byte
    // is written before it counts (a seek past the end clears its gap itself).
    const std::size_t grown = std::max({capacity, capacity_ * 2, std::size_t{256}});
    auto data = std::make_unique_for_overwrite<char[]>(grown);
    const std::size_t used = std::max(size_, position_);
    if (used > 0)
        std::memcpy(data.get(), data_.get(), used);
    data_ = std::move(data);
    capacity_ = grown;
}

}  // namespace nb
