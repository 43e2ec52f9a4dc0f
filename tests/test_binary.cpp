#include <binary/binary.hpp>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

#include "binary_reference.hpp"

using namespace binary_test;

TEST(BinaryField, ReadLittleEndMatchesBitwiseReference) {
    Words w = random_words(kWords);
    for (unsigned q = 0; q < 96; ++q) {
        EXPECT_EQ((binary::read_little_end<unsigned long, 64>(w.data(), q)), ref_get(w, q, 64)) << q;
        EXPECT_EQ((binary::read_little_end<long, 64>(w.data(), q)), ref_sign_extend(ref_get(w, q, 64), 64)) << q;
        EXPECT_EQ((binary::read_little_end<unsigned long, 32>(w.data(), q)), ref_get(w, q, 32)) << q;
        EXPECT_EQ((binary::read_little_end<int, 32>(w.data(), q)), ref_sign_extend(ref_get(w, q, 32), 32)) << q;
        EXPECT_EQ((binary::read_little_end<unsigned int, 24>(w.data(), q)), ref_get(w, q, 24)) << q;
        EXPECT_EQ((binary::read_little_end<short, 16>(w.data(), q)), ref_sign_extend(ref_get(w, q, 16), 16)) << q;
        EXPECT_EQ((binary::read_little_end<unsigned short, 12>(w.data(), q)), ref_get(w, q, 12)) << q;
        EXPECT_EQ((binary::read_little_end<signed char, 8>(w.data(), q)), ref_sign_extend(ref_get(w, q, 8), 8)) << q;
        EXPECT_EQ((binary::read_little_end<unsigned char, 4>(w.data(), q)), ref_get(w, q, 4)) << q;
        EXPECT_EQ((binary::read_little_end<unsigned char, 1>(w.data(), q)), ref_get(w, q, 1)) << q;
    }
}

TEST(BinaryField, ReadLittleEndPositionOverflowReadsZero) {
    Words w{0xFFFFFFFFu};
    // The field's last bit lies beyond 2^32 - 1: nothing is read.
    EXPECT_EQ((binary::read_little_end<unsigned int, 8>(w.data(), 0xFFFFFFFCu)), 0u);
}

namespace {

// Floating-point cells move raw IEEE patterns through a value of type T.
struct float_cell {
    std::uint64_t (*get)(const unsigned int*, unsigned);
    void (*put)(unsigned int*, unsigned, std::uint64_t);
};

template <class T, unsigned P>
std::uint64_t fget(const unsigned int* w, unsigned base) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    const T v = binary::field<T, binary::base_type<float, 8 * sizeof(T)>, P, cptr>(w, base);
    return std::bit_cast<Bits>(v);
}
template <class T, unsigned P>
void fput(unsigned int* w, unsigned base, std::uint64_t bits) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    binary::field<T, binary::base_type<float, 8 * sizeof(T)>, P, wptr>(w, base) =
        std::bit_cast<T>(static_cast<Bits>(bits));
}

template <class T, unsigned... P>
std::vector<float_cell> float_cells(std::integer_sequence<unsigned, P...>) {
    return {float_cell{&fget<T, P>, &fput<T, P>}...};
}

int float_round_trips(const std::vector<float_cell>& cells, unsigned width,
                      const std::vector<std::uint64_t>& patterns) {
    int failures = 0;
    for (unsigned p = 0; p < cells.size(); ++p) {
        for (std::uint64_t bits : patterns) {
            for (unsigned base : {0u, 3u, 29u, 32u, 63u}) {
                Words w = random_words(kWords + 4), ref = w;
                cells[p].put(w.data(), base, bits);
                ref_put(ref, std::size_t(p) + base, width, bits);
                if (w != ref || cells[p].get(w.data(), base) != bits) {
                    ADD_FAILURE() << "W=" << width << " P=" << p << " base=" << base << " bits=" << std::hex << bits;
                    ++failures;
                }
            }
        }
    }
    return failures;
}

} // namespace

TEST(BinaryField, FloatsAndDoublesRoundTripBitForBit) {
    std::vector<std::uint64_t> f32{0x00000000, 0x80000000, 0x3F800000, 0x00000001, 0x807FFFFF, 0x7F800000,
                                   0xFF800000, 0x7FC00000, 0x7F800001, 0xFFBADBAD, 0x7FC12345, 0x00400000};
    std::vector<std::uint64_t> f64{0x0000000000000000, 0x8000000000000000, 0x3FF0000000000000,
                                   0x0000000000000001, 0x800FFFFFFFFFFFFF, 0x7FF0000000000000,
                                   0x7FF8000000000000, 0x7FF0000000000001, 0xFFF7DEADBEEF0001,
                                   0x7FF8123456789ABC, 0x0008000000000000};
    for (int i = 0; i < 20; ++i) {
        f32.push_back(rng()() & 0xFFFFFFFFu);
        f64.push_back(rng()());
    }
    EXPECT_EQ(float_round_trips(float_cells<float>(std::make_integer_sequence<unsigned, 96>{}), 32, f32), 0);
    EXPECT_EQ(float_round_trips(float_cells<double>(std::make_integer_sequence<unsigned, 96>{}), 64, f64), 0);
}

TEST(BinaryField, DocumentedReadCases) {
    {
        Words w{0x80000000u, 0x0000000Fu};
        EXPECT_EQ((unsigned char)(binary::field<unsigned char, binary::base_type<unsigned int, 8>, 28, cptr>(w.data())), 248);
        EXPECT_EQ((signed char)(binary::field<signed char, binary::base_type<int, 8>, 28, cptr>(w.data())), -8);
    }
    {
        // 8 bits at 30: bits 30, 31 of word 0 then bits 0..5 of word 1.
        Words w{0x80000000u, 0x0000002Au};
        EXPECT_EQ((unsigned char)(binary::field<unsigned char, binary::base_type<unsigned int, 8>, 30, cptr>(w.data())),
                  (0x2A << 2 | 2) & 0xFF);
    }
    {
        Words w{0x7FFu, 0x800u, 0xFFFFFu};
        using F12a = binary::field<short, binary::base_type<int, 12>, 0, cptr>;
        using F12b = binary::field<short, binary::base_type<int, 12>, 32, cptr>;
        using F20 = binary::field<int, binary::base_type<int, 20>, 64, cptr>;
        EXPECT_EQ(short(F12a(w.data())), 2047);
        EXPECT_EQ(short(F12b(w.data())), -2048);
        EXPECT_EQ(int(F20(w.data())), -1);
    }
    {
        Words w{0xFF800000u};
        EXPECT_EQ((unsigned short)(binary::field<unsigned short, binary::base_type<unsigned int, 9>, 23, cptr>(w.data())), 0x1FF);
    }
    {
        Words w(11, 0);
        w[8] = 0xABCDE000u;
        w[9] = 0x12345678u;
        w[10] = 0xFFFFF9F8u;
        const unsigned long expect = 0x9F812345678ABCDEul;
        EXPECT_EQ((unsigned long)(binary::field<unsigned long, binary::base_type<unsigned int, 64>, 268, cptr>(w.data())), expect);
    }
    {
        Words w(2, 0);
        binary::field<float, binary::base_type<float, 32>, 8, wptr>(w.data()) = 1.0f;
        EXPECT_EQ(ref_get(w, 8, 32), std::bit_cast<std::uint32_t>(1.0f));
        std::ostringstream os;
        os << binary::field<float, binary::base_type<float, 32>, 8, cptr>(w.data());
        EXPECT_EQ(os.str(), "1");
    }
}

TEST(BinaryField, AssignmentKeepsLowBitsAndCopiesValuesNotProxies) {
    Words w(2, 0xFFFFFFFFu);
    binary::field<unsigned short, binary::base_type<unsigned int, 12>, 26, wptr> f(w.data());
    f = 0x1234;
    EXPECT_EQ(ref_get(w, 26, 12), 0x234u);
    EXPECT_EQ(w[0] & 0x03FFFFFFu, 0x03FFFFFFu);
    EXPECT_EQ(w[1] >> 6, 0x03FFFFFFu);

    Words v(1, 0);
    binary::field<short, binary::base_type<int, 16>, 8, wptr>(v.data()) = short(-2);
    EXPECT_EQ(v[0], 0x00FFFE00u);

    Words a{0x00000005u, 0};
    using G = binary::field<unsigned char, binary::base_type<unsigned int, 4>, 0, wptr>;
    using H = binary::field<unsigned char, binary::base_type<unsigned int, 4>, 0, wptr>;
    G g(a.data());
    H h(a.data() + 1);
    h = g; // value copy: word 1 gets 5, g still points at word 0
    EXPECT_EQ(a[1], 5u);
    EXPECT_EQ(g.words(), a.data());
}

TEST(BinaryArray, ElementsAreConsecutiveFields) {
    Words w = random_words(16);
    using A8 = binary::array<unsigned char, 64, binary::base_type<unsigned int, 8>, 280, cptr>;
    A8 a(w.data());
    static_assert(A8::size() == 64);
    // element 5 at bit 320: one word on, base 8
    EXPECT_EQ(a[5].words(), w.data() + 1);
    EXPECT_EQ(a[5].base(), 8u);
    EXPECT_EQ(std::uint64_t(a[5]), ref_get(w, 320, 8));

    using A12 = binary::array<short, 20, binary::base_type<int, 12>, 13, wptr>;
    Words ref = w;
    A12 b(w.data());
    for (std::size_t i = 0; i < A12::size(); ++i) {
        EXPECT_EQ(std::int64_t(short(b[i])), ref_sign_extend(ref_get(w, 13 + 12 * i, 12), 12)) << i;
        b[i] = short(-int(i));
        ref_put(ref, 13 + 12 * i, 12, std::uint64_t(-std::int64_t(i)));
    }
    EXPECT_EQ(w, ref);

    // An array inside a sequence element starts at the element's base.
    A12 c(w.data() + 1, 17);
    EXPECT_EQ(std::uint64_t(std::uint16_t(c[3])) & 0xFFF, ref_get(w, 32 + 17 + 13 + 36, 12));
}

namespace {
// A 36-bit element: a 32-bit word and a 4-bit tag.
template <class Iter>
struct elem36 {
    binary::field<unsigned int, binary::base_type<unsigned int, 32>, 0, Iter> value;
    binary::field<unsigned char, binary::base_type<unsigned int, 4>, 32, Iter> tag;
    elem36(Iter w, unsigned base) : value(w, base), tag(w, base) {}
};
} // namespace

TEST(BinarySequence, CountsAndMissingDataBoundary) {
    Words w = random_words(64);
    const cptr b = w.data();
    std::int64_t n = -1;
    // 32-bit ids from bit 384: 48 bytes -> 0, 52 -> 1, 44 -> throws
    using Ids = binary::sequence<binary::field<unsigned int, binary::base_type<unsigned int, 32>, 0, cptr>, 32, 384, cptr>;
    EXPECT_EQ(Ids(b, b + 12, n).size(), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(Ids(b, b + 13, n).size(), 1);
    EXPECT_EQ(n, 1);
    n = 77;
    try {
        Ids(b, b + 11, n);
        ADD_FAILURE() << "no throw";
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "Missing data for sequence.");
    }
    EXPECT_EQ(n, 77);

    using S96 = binary::sequence<elem36<cptr>, 96, 32, cptr>;
    EXPECT_EQ(S96(b, b + 8, n).size(), 2);
    using S1 = binary::sequence<binary::field<unsigned char, binary::base_type<unsigned int, 1>, 0, cptr>, 1, 16, cptr>;
    EXPECT_EQ(S1(b, b + 3, n).size(), 80);
    using S36 = binary::sequence<elem36<cptr>, 36, 4, cptr>;
    EXPECT_EQ(S36(b, b + 2, n).size(), 1);
    EXPECT_THROW(S36(b, b, n), std::range_error);

    // Every body length against (32*len - P) / W, never negative.
    for (std::size_t len = 0; len < 64; ++len) {
        const std::int64_t bits = 32 * std::int64_t(len);
        if (bits < 4) {
            EXPECT_THROW(S36(b, b + len, n), std::range_error);
        } else {
            EXPECT_EQ(S36(b, b + len, n).size(), (bits - 4) / 36) << len;
            EXPECT_EQ(n, (bits - 4) / 36);
        }
    }
}

TEST(BinarySequence, ElementsSitAtTheirBitsAndAccessIsRecorded) {
    Words w = random_words(40), ref = w;
    std::int64_t n = 0;
    binary::sequence<elem36<wptr>, 36, 4, wptr> s(w.data(), w.data() + w.size(), n);
    EXPECT_FALSE(s.accessed());
    EXPECT_EQ(s.highest(), 0u);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::size_t q = 4 + 36 * std::size_t(i);
        EXPECT_EQ(std::uint64_t(unsigned(s[i].value)), ref_get(w, q, 32));
        EXPECT_EQ(std::uint64_t(s[i].tag), ref_get(w, q + 32, 4));
        s[i].value = unsigned(i * 0x01010101u);
        s[i].tag = static_cast<unsigned char>(i);
        ref_put(ref, q, 32, i * 0x01010101u);
        ref_put(ref, q + 32, 4, std::uint64_t(i));
    }
    EXPECT_EQ(w, ref);
    EXPECT_TRUE(s.accessed());
    EXPECT_EQ(s.highest(), std::uint64_t(n - 1));
    (void)s[3];
    EXPECT_EQ(s.highest(), std::uint64_t(n - 1)); // only grows
    s.preset(2);
    EXPECT_EQ(s.highest(), 2u);
}

TEST(BinaryStream, PrintsNumbersWithTheStreamsFormatting) {
    Words w{0x0000FF41u, 0x00000FFFu};
    auto text = [](auto f) {
        std::ostringstream os;
        os << f;
        return os.str();
    };
    EXPECT_EQ(text(binary::field<unsigned char, binary::base_type<unsigned int, 8>, 0, cptr>(w.data())), "65");
    EXPECT_EQ(text(binary::field<signed char, binary::base_type<int, 8>, 8, cptr>(w.data())), "-1");
    EXPECT_EQ(text(binary::field<unsigned char, binary::base_type<unsigned int, 1>, 0, cptr>(w.data())), "1");
    EXPECT_EQ(text(binary::field<short, binary::base_type<int, 12>, 32, cptr>(w.data())), "-1");
    EXPECT_EQ(text(binary::field<unsigned short, binary::base_type<unsigned int, 12>, 32, cptr>(w.data())), "4095");
    EXPECT_EQ(text(binary::field<char, binary::base_type<unsigned int, 8>, 0, cptr>(w.data())), "A");
    std::wostringstream wos;
    wos << std::hex << binary::field<unsigned int, binary::base_type<unsigned int, 32>, 0, cptr>(w.data());
    EXPECT_EQ(wos.str(), L"ff41");
}

TEST(BinaryStream, ParsesNumbersIntoByteFieldsKeepingLowBits) {
    Words w{0xFFFFFFFFu};
    using U8 = binary::field<unsigned char, binary::base_type<unsigned int, 8>, 4, wptr>;
    using U2 = binary::field<unsigned char, binary::base_type<unsigned int, 2>, 20, wptr>;
    using S8 = binary::field<signed char, binary::base_type<int, 8>, 24, wptr>;
    std::istringstream is("300 7 -3 x");
    is >> U8(w.data()) >> U2(w.data()) >> S8(w.data());
    EXPECT_TRUE(is);
    EXPECT_EQ(ref_get(w, 4, 8), 44u);
    EXPECT_EQ(ref_get(w, 20, 2), 3u);
    EXPECT_EQ(int(static_cast<signed char>(S8(w.data()))), -3);
    EXPECT_EQ(w[0] & 0xF, 0xFu); // neighbours untouched
    is >> U8(w.data());
    EXPECT_TRUE(is.fail());
    EXPECT_EQ(ref_get(w, 4, 8), 0u);

    std::istringstream big("99999999999");
    big >> U8(w.data());
    EXPECT_TRUE(big.fail());
    EXPECT_EQ(ref_get(w, 4, 8), 0u);
}
