// A set of the values of a small enumeration, stored in one byte (bit n for value n): the set
// types of the components (permissions, TLS protocols).
#pragma once

#include <cstdint>
#include <initializer_list>

namespace nb {

template <class TEnum>
class TnbSet {
public:
    constexpr TnbSet() = default;
    constexpr TnbSet(std::initializer_list<TEnum> values) {
        for (auto v : values)
            Include(v);
    }
    static constexpr TnbSet FromBits(std::uint8_t bits) {
        TnbSet s;
        s.bits_ = bits;
        return s;
    }

    constexpr bool Contains(TEnum v) const { return (bits_ & Bit(v)) != 0; }
    constexpr void Include(TEnum v) { bits_ |= Bit(v); }
    constexpr void Exclude(TEnum v) { bits_ &= static_cast<std::uint8_t>(~Bit(v)); }
    constexpr bool IsEmpty() const { return bits_ == 0; }
    constexpr std::uint8_t Bits() const { return bits_; }

    friend constexpr bool operator==(TnbSet, TnbSet) = default;

private:
    static constexpr std::uint8_t Bit(TEnum v) {
        static_assert(sizeof(TEnum) == 1,
                      "a set holds the values 0 to 7 of a one-byte enumeration");
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(v));
    }
    std::uint8_t bits_ = 0;
};

}  // namespace nb
