#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include <scanlib/bpl.hpp>

namespace {

using address = bpl::bit_address<unsigned int const*, bpl::little_endian, long>;

// Bit-at-a-time reference: bit p is bit p%32 of word p/32.
std::uint64_t naive_bits(const std::vector<unsigned int>& w, std::size_t pos, unsigned n) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i)
        v |= std::uint64_t((w[(pos + i) / 32] >> ((pos + i) % 32)) & 1u) << i;
    return v;
}

long position(const address& a, const unsigned int* base) {
    return (a.word() - base) * 32L + a.offset();
}

} // namespace

TEST(Bpl, AddMovesAcrossWordsBothWays) {
    const unsigned int words[4] = {};
    address a(words + 1, 0);
    a.add(-1);
    EXPECT_EQ(a.word(), words);
    EXPECT_EQ(a.offset(), 31u);
    a.add(33); // offset 31 + 33: bit 0 two words on
    EXPECT_EQ(a.word(), words + 2);
    EXPECT_EQ(a.offset(), 0u);
    a.add(-64);
    EXPECT_EQ(a.word(), words);
    EXPECT_EQ(a.offset(), 0u);

    std::mt19937 rng(7);
    const unsigned int big[64] = {};
    address b(big + 32, 0);
    long pos = 32 * 32;
    for (int i = 0; i < 10000; ++i) {
        long n = static_cast<long>(rng() % 257) - 128;
        if (pos + n < 0 || pos + n >= 64 * 32)
            n = -n;
        b.add(n);
        pos += n;
        ASSERT_EQ(position(b, big), pos) << "after add(" << n << ")";
        ASSERT_LT(b.offset(), 32u);
    }
}

TEST(Bpl, LoadCrossesWordBoundaries) {
    const unsigned int words[3] = {0xA0000000u, 0x0000000Bu, 0};
    address a(words, 28);
    EXPECT_EQ((bpl::load<unsigned>(a, 8)), 0xBAu); // bits 28-31, then bits 0-3 of the next word
    EXPECT_EQ(a.word(), words);                     // load does not move
    EXPECT_EQ(a.offset(), 28u);
    // Only the n bits, also into a signed type: the reader of a signed field
    // extends its sign itself.
    EXPECT_EQ((bpl::load<int>(a, 8)), 0xBA);
    EXPECT_EQ((bpl::load<long>(a, 5)), 0x1A);
    EXPECT_EQ((bpl::load<signed char, 8>(a)), -70); // all 8 bits of the type: 0xBA

    const unsigned int ones[3] = {~0u, ~0u, ~0u};
    address b(ones, 31);
    EXPECT_EQ((bpl::load<std::uint64_t>(b, 64)), ~std::uint64_t(0)); // three words
    EXPECT_EQ((bpl::load<std::int64_t>(b, 49)), (std::int64_t(1) << 49) - 1);
    EXPECT_EQ((bpl::load<std::int64_t>(b, 64)), -1);
    EXPECT_EQ((bpl::load<unsigned>(b, 1)), 1u);
}

TEST(Bpl, LoadMatchesBitAtATimeReference) {
    std::mt19937_64 rng(11);
    std::vector<unsigned int> w(16);
    for (auto& x : w)
        x = static_cast<unsigned int>(rng());
    for (int i = 0; i < 20000; ++i) {
        const unsigned n = 1 + static_cast<unsigned>(rng() % 64);
        const std::size_t pos = rng() % (w.size() * 32 - n + 1);
        // The words beyond the field are left out of the view so a read past
        // them would show under the sanitizer.
        const std::size_t last = (pos + n - 1) / 32;
        std::vector<unsigned int> exact(w.begin(), w.begin() + static_cast<long>(last) + 1);
        address a(exact.data() + pos / 32, static_cast<unsigned>(pos % 32));
        const std::uint64_t want = naive_bits(w, pos, n);
        ASSERT_EQ((bpl::load<std::uint64_t>(a, static_cast<signed char>(n))), want) << pos << "/" << n;
        ASSERT_EQ((bpl::load<std::int64_t>(a, static_cast<signed char>(n))), static_cast<std::int64_t>(want))
            << pos << "/" << n;
    }
}

TEST(Bpl, BitsBeforeEnd) {
    const unsigned int words[3] = {};
    address a(words, 0);
    EXPECT_EQ(bpl::bits_before(a, words + 3), 96);
    a.add(95);
    EXPECT_EQ(bpl::bits_before(a, words + 3), 1);
    a.add(2);
    EXPECT_EQ(bpl::bits_before(a, words + 3), -1);
}
