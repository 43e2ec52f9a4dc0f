#pragma once
// Shared by the bit-field tests: an independent bit-at-a-time reference
// reader and writer, and the per-(width, offset) cells of the field matrix.

#include <binary/binary.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

namespace binary_test {

using Words = std::vector<std::uint32_t>;
using cptr = const unsigned int*;
using wptr = unsigned int*;

// Independent reference: one bit at a time, straight from the bit-order rule.
inline std::uint64_t ref_get(const Words& w, std::size_t q, unsigned width) {
    std::uint64_t v = 0;
    for (unsigned k = 0; k < width; ++k)
        v |= std::uint64_t((w[(q + k) / 32] >> ((q + k) % 32)) & 1u) << k;
    return v;
}

inline void ref_put(Words& w, std::size_t q, unsigned width, std::uint64_t v) {
    for (unsigned k = 0; k < width; ++k) {
        const std::uint32_t bit = std::uint32_t(1) << ((q + k) % 32);
        if ((v >> k) & 1u)
            w[(q + k) / 32] |= bit;
        else
            w[(q + k) / 32] &= ~bit;
    }
}

inline std::int64_t ref_sign_extend(std::uint64_t raw, unsigned width) {
    if (width == 64)
        return static_cast<std::int64_t>(raw);
    return (raw >> (width - 1)) & 1u ? static_cast<std::int64_t>(raw | (~std::uint64_t(0) << width))
                                     : static_cast<std::int64_t>(raw);
}

inline std::mt19937_64& rng() {
    static std::mt19937_64 r(20261207);
    return r;
}

inline Words random_words(std::size_t n) {
    Words w(n);
    for (auto& x : w)
        x = static_cast<std::uint32_t>(rng()());
    return w;
}

// Smallest value types that hold W bits, as the catalogue uses them.
template <unsigned W>
using utype = std::conditional_t<
    (W <= 8), unsigned char,
    std::conditional_t<(W <= 16), unsigned short, std::conditional_t<(W <= 32), unsigned int, unsigned long>>>;
template <unsigned W>
using stype = std::conditional_t<(W <= 8), signed char,
                                 std::conditional_t<(W <= 16), short, std::conditional_t<(W <= 32), int, long>>>;

constexpr std::size_t kWords = 8; // covers offsets up to 95 plus 64 bits, with a spare word

// The field operations of one (W, P) cell in one out-of-line function, so
// that the 64 x 96 matrix stays cheap to compile; the checks run in a loop.
enum class op { get_u, get_s, put_u, put_s };
using cell = std::uint64_t (*)(op, unsigned int*, unsigned, std::uint64_t);

template <unsigned W, unsigned P, bool Based>
std::uint64_t cell_ops(op o, unsigned int* w, unsigned run_time_base, std::uint64_t v) {
    // A constant base lets the compiler drop the path not under test.
    const unsigned base = Based ? run_time_base : 0;
    using UF = binary::field<utype<W>, binary::base_type<unsigned int, W>, P, wptr>;
    using SF = binary::field<stype<W>, binary::base_type<int, W>, P, cptr>;
    using SWF = binary::field<stype<W>, binary::base_type<int, W>, P, wptr>;
    switch (o) {
    case op::get_u:
        return utype<W>(UF(w, base));
    case op::get_s:
        return static_cast<std::uint64_t>(std::int64_t(stype<W>(SF(w, base))));
    case op::put_u:
        UF(w, base) = static_cast<utype<W>>(v);
        return 0;
    case op::put_s:
        SWF(w, base) = static_cast<stype<W>>(static_cast<std::int64_t>(v));
        return 0;
    }
    return 0;
}

// Checks one cell at field position P from the base: reads (unsigned and
// signed) and writes against the reference over random backgrounds.
inline int check_cell(const cell& c, unsigned width, unsigned p, unsigned base) {
    int failures = 0;
    const std::size_t q = std::size_t(p) + base;
    for (int round = 0; round < 3; ++round) {
        Words w = random_words(kWords + 4), ref = w;
        auto get_s = [&] { return static_cast<std::int64_t>(c(op::get_s, w.data(), base, 0)); };
        if (c(op::get_u, w.data(), base, 0) != ref_get(w, q, width))
            ++failures;
        if (get_s() != ref_sign_extend(ref_get(w, q, width), width))
            ++failures;
        const std::uint64_t raw = rng()() & (width == 64 ? ~0ull : (1ull << width) - 1);
        c(op::put_u, w.data(), base, raw);
        ref_put(ref, q, width, raw);
        if (w != ref)
            ++failures;
        // a signed value stores its two's complement low bits
        c(op::put_s, w.data(), base, static_cast<std::uint64_t>(ref_sign_extend(raw, width)));
        if (w != ref || get_s() != ref_sign_extend(raw, width))
            ++failures;
    }
    return failures;
}

// Checks every offset 0..95 at base 0 (the constant-shift path) and three
// offsets over the bases 1..95 (the run-time path) for the widths
// first_width + Wm1.
template <unsigned... P>
std::vector<cell> cells_at_base_zero(std::integer_sequence<unsigned, P...>, auto width_tag) {
    constexpr unsigned W = decltype(width_tag)::value;
    return {&cell_ops<W, P, false>...};
}

template <unsigned first_width, unsigned... Wm1>
void check_widths(std::integer_sequence<unsigned, Wm1...>) {
    const std::vector<std::vector<cell>> fixed{
        cells_at_base_zero(std::make_integer_sequence<unsigned, 96>{},
                           std::integral_constant<unsigned, Wm1 + first_width>{})...};
    const std::vector<std::vector<cell>> based{{&cell_ops<Wm1 + first_width, 0, true>,
                                                &cell_ops<Wm1 + first_width, 7, true>,
                                                &cell_ops<Wm1 + first_width, 40, true>}...};
    const unsigned ps[] = {0, 7, 40};
    for (unsigned k = 0; k < fixed.size(); ++k) {
        const unsigned width = first_width + k;
        for (unsigned p = 0; p < 96; ++p)
            EXPECT_EQ(check_cell(fixed[k][p], width, p, 0), 0) << "W=" << width << " P=" << p;
        for (unsigned j = 0; j < 3; ++j)
            for (unsigned base = 1; base < 96; ++base)
                EXPECT_EQ(check_cell(based[k][j], width, ps[j], base), 0)
                    << "W=" << width << " P=" << ps[j] << " base=" << base;
    }
}

} // namespace binary_test
