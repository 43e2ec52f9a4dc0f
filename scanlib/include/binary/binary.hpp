#pragma once
// Bit fields over runs of 32-bit little-endian words.
//
// Bit p of a body is bit (p mod 32) of word (p div 32), least significant bit
// first. Fields have compile-time widths and offsets; a field built with base 0
// (every field of a packet view) reads and writes with constant shifts, the
// run-time path is only taken for array elements and sequence elements whose
// base is not 0.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <iterator>
#include <ostream>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace binary {

struct little {};

// Storage descriptor: U is unsigned int, int or float (IEEE bits), W the width.
template <class U, unsigned W, class E = little>
struct base_type {
    static_assert(W >= 1 && W <= 64, "field widths run from 1 to 64 bits");
    using sign_type = U;
    using endianess = E;
    static constexpr unsigned width = W;
};

namespace detail {

template <unsigned W>
inline constexpr std::uint64_t low_mask = W >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << W) - 1;

template <class Iter>
inline constexpr bool writable_words =
    !std::is_const_v<std::remove_reference_t<decltype(*std::declval<Iter>())>>;

template <class Iter>
inline std::uint64_t word(Iter w, std::size_t i) {
    return static_cast<std::uint32_t>(w[i]);
}

// Raw W bits at the compile-time bit position Q; touches only the words the
// field covers.
template <unsigned W, unsigned Q, class Iter>
inline std::uint64_t get_fixed(Iter w) {
    constexpr unsigned i = Q / 32, b = Q % 32;
    if constexpr (b + W <= 32)
        return (word(w, i) >> b) & low_mask<W>;
    else if constexpr (b + W <= 64)
        return ((word(w, i) | word(w, i + 1) << 32) >> b) & low_mask<W>;
    else
        return (((word(w, i) | word(w, i + 1) << 32) >> b) | word(w, i + 2) << (64 - b)) & low_mask<W>;
}

// Raw W bits at the run-time bit position q.
template <unsigned W, class Iter>
inline std::uint64_t get_bits(Iter w, unsigned q) {
    const std::size_t i = q / 32;
    const unsigned b = q % 32;
    std::uint64_t v = word(w, i) >> b;
    if (b + W > 32) {
        v |= word(w, i + 1) << (32 - b);
        if (b + W > 64)
            v |= word(w, i + 2) << (64 - b);
    }
    return v & low_mask<W>;
}

// Stores the low W bits of v at the compile-time bit position Q; no bit outside
// the field changes.
template <unsigned W, unsigned Q, class Iter>
inline void put_fixed(Iter w, std::uint64_t v) {
    constexpr unsigned i = Q / 32, b = Q % 32;
    if constexpr (b + W <= 32) {
        constexpr auto m = static_cast<std::uint32_t>(low_mask<W> << b);
        w[i] = (static_cast<std::uint32_t>(w[i]) & ~m) | (static_cast<std::uint32_t>(v << b) & m);
    } else {
        constexpr auto keep = static_cast<std::uint32_t>(low_mask<b>);
        w[i] = (static_cast<std::uint32_t>(w[i]) & keep) | static_cast<std::uint32_t>(v << b);
        constexpr unsigned rest = W - (32 - b);
        const std::uint64_t v1 = v >> (32 - b);
        if constexpr (rest <= 32) {
            constexpr auto m = static_cast<std::uint32_t>(low_mask<rest>);
            w[i + 1] = (static_cast<std::uint32_t>(w[i + 1]) & ~m) | (static_cast<std::uint32_t>(v1) & m);
        } else {
            constexpr auto m = static_cast<std::uint32_t>(low_mask<rest - 32>);
            w[i + 1] = static_cast<std::uint32_t>(v1);
            w[i + 2] = (static_cast<std::uint32_t>(w[i + 2]) & ~m) | (static_cast<std::uint32_t>(v1 >> 32) & m);
        }
    }
}

// Stores the low W bits of v at the run-time bit position q.
template <unsigned W, class Iter>
inline void put_bits(Iter w, unsigned q, std::uint64_t v) {
    const std::size_t i = q / 32;
    const unsigned b = q % 32;
    if (b + W <= 32) {
        const auto m = static_cast<std::uint32_t>(low_mask<W> << b);
        w[i] = (static_cast<std::uint32_t>(w[i]) & ~m) | (static_cast<std::uint32_t>(v << b) & m);
        return;
    }
    const auto keep = static_cast<std::uint32_t>((std::uint64_t(1) << b) - 1);
    w[i] = (static_cast<std::uint32_t>(w[i]) & keep) | static_cast<std::uint32_t>(v << b);
    unsigned rest = W - (32 - b);
    std::uint64_t v1 = v >> (32 - b);
    std::size_t k = i + 1;
    if (rest > 32) {
        w[k++] = static_cast<std::uint32_t>(v1);
        v1 >>= 32;
        rest -= 32;
    }
    const auto m = static_cast<std::uint32_t>((std::uint64_t(1) << rest) - 1);
    w[k] = (static_cast<std::uint32_t>(w[k]) & ~m) | (static_cast<std::uint32_t>(v1) & m);
}

// W raw bits as an integer T: sign-extended for signed T, else zero-extended.
template <class T, unsigned W>
inline T extend(std::uint64_t raw) {
    if constexpr (std::is_signed_v<T> && W < 64) {
        constexpr std::uint64_t sign = std::uint64_t(1) << (W - 1);
        return static_cast<T>(static_cast<std::int64_t>((raw ^ sign) - sign));
    } else {
        return static_cast<T>(raw);
    }
}

} // namespace detail

// The W-bit value at bit bitpos counted from words[0]; signed T is
// sign-extended. A position whose last bit does not fit in 32 bits reads 0.
template <class T, unsigned W, class Iter>
T read_little_end(Iter words, unsigned bitpos) {
    static_assert(std::is_integral_v<T>, "read_little_end reads integers");
    static_assert(W >= 1 && W <= 64 && W <= 8 * sizeof(T), "the value type must hold the field");
    if (bitpos + (W - 1) < bitpos)
        return T(0);
    return detail::extend<T, W>(detail::get_bits<W>(words, bitpos));
}

template <class T, class Base, unsigned P, class Iter, class S = typename Base::sign_type,
          class E = typename Base::endianess,
          class C = typename std::iterator_traits<Iter>::iterator_category>
class field {
    static_assert(std::is_same_v<E, little>, "only the little-endian bit order exists");
    static constexpr bool floating = std::is_floating_point_v<S>;
    static_assert(!floating || Base::width == 32 || Base::width == 64,
                  "floating-point fields are binary32 or binary64");
    static_assert(floating || Base::width <= 8 * sizeof(T), "the value type must hold the field");
    static constexpr bool writable = detail::writable_words<Iter>;

public:
    using value_type = T;
    using iterator = Iter;
    static constexpr unsigned width = Base::width, position = P;

    field(Iter it, unsigned base = 0) : it_(it), base_(base) {}
    field(const field&) = default;

    operator T() const {
        const std::uint64_t raw = base_ == 0 ? detail::get_fixed<width, P>(it_)
                                             : detail::get_bits<width>(it_, base_ + P);
        if constexpr (floating) {
            if constexpr (width == 32)
                return static_cast<T>(std::bit_cast<float>(static_cast<std::uint32_t>(raw)));
            else
                return static_cast<T>(std::bit_cast<double>(raw));
        } else {
            return detail::extend<T, width>(raw);
        }
    }

    // Stores the low W bits of the value's raw pattern (two's complement for
    // integers, IEEE bits for floating point).
    const field& operator=(const T& v) const
        requires writable
    {
        std::uint64_t raw;
        if constexpr (floating) {
            if constexpr (width == 32)
                raw = std::bit_cast<std::uint32_t>(static_cast<float>(v));
            else
                raw = std::bit_cast<std::uint64_t>(static_cast<double>(v));
        } else {
            raw = static_cast<std::uint64_t>(v);
        }
        if (base_ == 0)
            detail::put_fixed<width, P>(it_, raw);
        else
            detail::put_bits<width>(it_, base_ + P, raw);
        return *this;
    }

    // A field is a proxy: assigning one field to another copies the value.
    const field& operator=(const field& other) const
        requires writable
    {
        return *this = static_cast<T>(other);
    }

    Iter words() const { return it_; }
    unsigned base() const { return base_; }

private:
    Iter it_;
    unsigned base_;
};

// N equal fields; element i lies at bit P + i*W from the array's words.
template <class T, std::size_t N, class Base, unsigned P, class Iter>
class array {
public:
    using value_type = T;
    using reference = field<T, Base, P, Iter>;
    static constexpr unsigned width = Base::width, position = P;

    array(Iter it, unsigned base = 0) : it_(it), base_(base) {}

    reference operator[](std::size_t i) const {
        const std::size_t bit = base_ + i * Base::width;
        return reference(it_ + static_cast<std::ptrdiff_t>(bit / 32), static_cast<unsigned>(bit % 32));
    }
    static constexpr std::size_t size() { return N; }
    Iter words() const { return it_; }
    unsigned base() const { return base_; }

private:
    Iter it_;
    unsigned base_;
};

// The trailing run of W-bit elements from bit P up to the body's end. Element
// types are built from (words, base) and place their fields relative to it.
template <class Element, unsigned W, unsigned P, class Iter>
class sequence {
    static_assert(W >= 1, "sequence elements have a width");

public:
    using value_type = Element;
    static constexpr unsigned width = W, position = P;

    sequence(Iter begin, Iter end, std::int64_t& count) : begin_(begin) {
        const std::int64_t bits = static_cast<std::int64_t>(std::distance(begin, end)) * 32;
        if (bits < static_cast<std::int64_t>(P))
            throw std::range_error("Missing data for sequence.");
        count_ = (bits - static_cast<std::int64_t>(P)) / static_cast<std::int64_t>(W);
        count = count_;
    }

    // Unchecked against the count; records the access for the strict size check.
    Element operator[](std::size_t i) const {
        accessed_ = true;
        if (i > highest_)
            highest_ = i;
        const std::size_t bit = P + i * std::size_t(W);
        return Element(begin_ + static_cast<std::ptrdiff_t>(bit / 32), static_cast<unsigned>(bit % 32));
    }

    std::int64_t size() const { return count_; }
    std::uint64_t highest() const { return highest_; }
    bool accessed() const { return accessed_; }
    // Records an access up to element `highest` without reading it.
    void preset(std::uint64_t highest) const {
        accessed_ = true;
        highest_ = highest;
    }
    // The words element 0 is counted from (the body start in a view).
    Iter words() const { return begin_; }

private:
    Iter begin_;
    std::int64_t count_;
    mutable std::uint64_t highest_ = 0;
    mutable bool accessed_ = false;
};

namespace detail {
template <class T>
auto printable(T v) {
    if constexpr (std::is_same_v<T, char>)
        return v;
    else if constexpr (std::is_floating_point_v<T>)
        return static_cast<double>(v);
    else if constexpr (std::is_same_v<T, signed char>)
        return static_cast<int>(v);
    else if constexpr (std::is_same_v<T, short> || std::is_same_v<T, int> || std::is_same_v<T, long>)
        return v;
    else if constexpr (std::is_signed_v<T>)
        return static_cast<long>(v);
    else
        return static_cast<unsigned long>(v);
}
} // namespace detail

// Prints the value as a number with the stream's own formatting; `char`
// fields (text) print as the character.
template <class Ch, class Tr, class T, class Base, unsigned P, class Iter, class S, class E, class C>
std::basic_ostream<Ch, Tr>& operator<<(std::basic_ostream<Ch, Tr>& os, field<T, Base, P, Iter, S, E, C> f) {
    return os << detail::printable(static_cast<T>(f));
}

// Parses a number into a one-byte field, keeping its low W bits. Failure shows
// only in the stream state (the field then holds 0).
template <class Ch, class Tr, class T, class Base, unsigned P, class Iter, class S, class E, class C>
    requires(std::is_same_v<T, unsigned char> || std::is_same_v<T, signed char>)
std::basic_istream<Ch, Tr>& operator>>(std::basic_istream<Ch, Tr>& is, field<T, Base, P, Iter, S, E, C> f) {
    std::conditional_t<std::is_same_v<T, unsigned char>, unsigned int, int> v = 0;
    if (!(is >> v))
        v = 0;
    f = static_cast<T>(v);
    return is;
}

} // namespace binary
