#pragma once
// Bit addresses over runs of 32-bit words, for reading variable-width bit
// records one field after the other.
//
// A position is 32 * word index + bit offset; bit 0 of a word is its least
// significant bit. Records are read with `load` (which does not move) and
// then `add` past the field.

#include <cstdint>
#include <iterator>
#include <type_traits>

namespace bpl {

// The only bit order: bit 0 is a word's least significant bit.
struct little_endian {};

template <class Iter, class Order = little_endian, class Diff = long>
class bit_address {
    static_assert(std::is_same_v<Order, little_endian>, "only the little-endian bit order exists");
    static_assert(std::is_signed_v<Diff>, "bit distances have a sign");

public:
    using iterator = Iter;
    using difference_type = Diff;

    bit_address() = default;
    explicit bit_address(Iter word, unsigned offset = 0) noexcept
        : word_(word), offset_(static_cast<std::uint8_t>(offset & 31u)) {}

    Iter word() const noexcept { return word_; }
    unsigned offset() const noexcept { return offset_; }

    // Moves the position by n bits, either way.
    void add(Diff n) noexcept {
        const Diff s = static_cast<Diff>(offset_) + n;
        if (s > 31) {
            word_ += static_cast<std::ptrdiff_t>(s >> 5);
            offset_ = static_cast<std::uint8_t>(s & 31);
        } else if (s < 0) {
            // ~s is not negative, so no negative value is shifted.
            word_ -= static_cast<std::ptrdiff_t>((~s >> 5) + 1);
            offset_ = static_cast<std::uint8_t>(static_cast<std::make_unsigned_t<Diff>>(s) & 31u);
        } else {
            offset_ = static_cast<std::uint8_t>(s);
        }
    }

    friend bool operator==(const bit_address&, const bit_address&) = default;

private:
    Iter word_{};
    std::uint8_t offset_ = 0;
};

// Bits from the address up to the word `end` (negative when past it).
template <class Iter, class O, class D>
D bits_before(const bit_address<Iter, O, D>& a, Iter end) noexcept {
    return static_cast<D>(std::distance(a.word(), end)) * 32 - static_cast<D>(a.offset());
}

// The n bits (1 <= n <= bits of T) that start at the address, LSB first, in
// the low n bits of the result; the bits above them are 0 whatever the sign
// of T (a signed field is sign-extended by its reader). Reads only the words
// that hold those bits.
template <class T, class Iter, class O, class D>
T load(const bit_address<Iter, O, D>& a, signed char n) noexcept {
    static_assert(std::is_integral_v<T> && sizeof(T) <= 8, "bit fields load into integers");
    const unsigned width = static_cast<unsigned char>(n);
    const unsigned off = a.offset();
    const Iter w = a.word();
    std::uint64_t v = static_cast<std::uint64_t>(static_cast<std::uint32_t>(w[0])) >> off;
    unsigned have = 32 - off;
    if (width > have) {
        v |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(w[1])) << have;
        have += 32;
        if (width > have) // only when off > 0, so the shift is below 64
            v |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(w[2])) << have;
    }
    if (width < 64)
        v &= (std::uint64_t(1) << width) - 1;
    return static_cast<T>(v);
}

// Compile-time width: the same bits as load(a, N).
template <class T, unsigned N, class Iter, class O, class D>
T load(const bit_address<Iter, O, D>& a) noexcept {
    static_assert(N >= 1 && N <= 8 * sizeof(T), "the result type must hold the field");
    return load<T>(a, static_cast<signed char>(N));
}

} // namespace bpl
