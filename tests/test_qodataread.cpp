// Packet text input: the primitives, the by-id reader, packet lines, and
// hostile text that may only ever leave stream state behind.

#include <scanlib/qodataread.hpp>
#include <scanlib/qodatawrite.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace scanlib;

namespace {

using words = std::vector<unsigned int>;

struct read_result {
    bool ok;
    words w;
    std::ios_base::iostate state;
};

read_result read_body_text(unsigned main, unsigned sub, const std::string& text, bool braceless = false) {
    std::istringstream is(text);
    if (braceless)
        set_zpk_braceless(is);
    read_result r;
    r.ok = qodataspec_read(r.w, main, sub, is);
    r.state = is.rdstate();
    return r;
}

zpk_packet read_line(const std::string& text, bool braceless, std::ios_base::iostate* state = nullptr) {
    std::istringstream is(text);
    if (braceless)
        set_zpk_braceless(is);
    package_id id;
    zpk_packet p;
    is >> id >> p;
    if (state)
        *state = is.rdstate();
    return p;
}

words packet_words(const zpk_packet& p) { return words(p.begin, p.end); }

constexpr auto failed = std::ios_base::failbit;

} // namespace

TEST(PacketTextRead, ExpectCharacter) {
    std::istringstream a("  ,x");
    a >> ',';
    EXPECT_TRUE(a.good());
    EXPECT_EQ(a.peek(), 'x');

    std::istringstream b(";,");
    b >> ',';
    EXPECT_TRUE(b.fail());
    b.clear();
    EXPECT_EQ(b.get(), ','); // the ';' was consumed

    std::istringstream c("   ");
    c >> ',';
    EXPECT_TRUE(c.fail());
    EXPECT_TRUE(c.eof());

    // A char variable still gets the standard extraction.
    std::istringstream d(" q");
    char ch = 0;
    d >> ch;
    EXPECT_EQ(ch, 'q');
}

TEST(PacketTextRead, NumberArrays) {
    unsigned buf[3] = {};
    const binary::array<float, 3, binary::base_type<float, 32, binary::little>, 0, unsigned*> fa(buf);
    {
        std::istringstream is("[1.5, 2, -3e2]");
        read_array(is, 3, fa);
        EXPECT_FALSE(is.fail());
        EXPECT_EQ(std::bit_cast<float>(buf[0]), 1.5f);
        EXPECT_EQ(std::bit_cast<float>(buf[2]), -300.0f);
    }
    {
        std::istringstream is("[ 1 , 2 , 3 ]\n");
        read_array(is, 3, fa);
        EXPECT_TRUE(is.good());
    }
    {
        std::istringstream is("1.5, 2, -3e2\n");
        set_zpk_braceless(is);
        read_array(is, 3, fa);
        EXPECT_TRUE(is.good());
    }
    for (const char* bad : {"[1, 2]", "[1, 2, 3, 4]", "[nan, 1, 2]", "[inf, 1, 2]"}) {
        std::istringstream is(bad);
        read_array(is, 3, fa);
        EXPECT_TRUE(is.fail()) << bad;
    }
    {
        std::istringstream is("[1, 2, 3]");
        is.setstate(failed);
        buf[0] = 77;
        read_array(is, 3, fa);
        EXPECT_EQ(buf[0], 77u);
    }

    unsigned b8 = 0;
    const binary::array<unsigned char, 3, binary::base_type<unsigned int, 8, binary::little>, 0, unsigned*> ua(&b8);
    std::istringstream is("[256, 300, 65]\n");
    read_array(is, 3, ua);
    EXPECT_TRUE(is.good());
    EXPECT_EQ(b8, (65u << 16) | (44u << 8) | 0u);

    unsigned b16 = 0;
    const binary::array<unsigned short, 2, binary::base_type<unsigned int, 16, binary::little>, 0, unsigned*> sa(&b16);
    std::istringstream big("[65536, 1]");
    read_array(big, 2, sa);
    EXPECT_TRUE(big.fail());
}

TEST(PacketTextRead, CharacterArrays) {
    unsigned buf[3];
    const binary::array<char, 9, binary::base_type<unsigned int, 8, binary::little>, 0, unsigned*> t(buf);
    const auto text = [&] {
        std::string s;
        for (int i = 0; i < 9; ++i)
            s += static_cast<char>(buf[i / 4] >> (8 * (i % 4)));
        return s;
    };
    const auto read = [&](const char* in) {
        std::fill(std::begin(buf), std::end(buf), 0xFFFFFFFFu);
        std::istringstream is(in);
        read_array(is, 9, t);
        return is.rdstate();
    };
    EXPECT_EQ(read(" \"abc\"\n"), std::ios_base::goodbit);
    EXPECT_EQ(text(), std::string("abc\0\0\0\0\0\0", 9));
    EXPECT_EQ(read("\"\"\n"), std::ios_base::goodbit);
    EXPECT_EQ(text(), std::string(9, '\0'));
    EXPECT_EQ(read("\"  ab\"\n"), std::ios_base::goodbit);
    EXPECT_EQ(text(), std::string("  ab\0\0\0\0\0", 9));
    EXPECT_EQ(read("\"123456789\"\n"), std::ios_base::goodbit);
    EXPECT_EQ(text(), "123456789");
    EXPECT_TRUE(read("\"1234567890\"\n") & failed);
    EXPECT_EQ(read("\"123456789   \"\n"), std::ios_base::goodbit);
    EXPECT_TRUE(read("\"abc") & failed);
    EXPECT_TRUE(read("abc\"") & failed);
    // Bits beyond the array stay as they were.
    read("\"abc\"");
    EXPECT_EQ(buf[2] & 0xFFFFFF00u, 0xFFFFFF00u);
}

TEST(PacketTextRead, ByIdBodies) {
    // IMU_data: four words.
    auto r = read_body_text(61, 0, ", 1, 2, -3, 4, 5, 6, 7\n");
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(r.w.size(), 4u);
    EXPECT_EQ(r.w[0], 1u);
    EXPECT_EQ(r.w[1], (0xFFFDu << 16) | 2u);

    // Field-less: nothing is read, the vector ends empty.
    std::istringstream fs("rest");
    words w{1, 2};
    EXPECT_TRUE(qodataspec_read(w, 14, 0, fs));
    EXPECT_TRUE(w.empty());
    EXPECT_EQ(fs.peek(), 'r');

    // An id without a layout: hexadecimal words.
    r = read_body_text(4711, 2, ", 0x1, 0xabcd\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.w, (words{1, 0xabcd}));
    EXPECT_FALSE(read_body_text(4711, 2, ", 0x1, 0xabcd").ok);
    EXPECT_FALSE(read_body_text(4711, 2, "\n").ok);
    EXPECT_TRUE(read_body_text(0, 0, ", AB, 0XcD\n").ok);

    // A sub above the newest layout reads the newest layout.
    r = read_body_text(2, 7, ", 1, 2, 3, 4, 5, 6, 7, 8, \"\", \"\"\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.w.size(), 20u);

    // Sequences starting at bit 0 with no element leave no word.
    r = read_body_text(105, 0, ", []\n");
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.w.empty());

    // Values keep their low bits; a 16-bit read refuses more than 16 bits.
    r = read_body_text(61, 0, ", 4294967297, 0, 0, 0, 0, 0, 0\n");
    EXPECT_FALSE(r.ok);
    r = read_body_text(112, 0, ", 0, 300, [1, 2, 3], [5000000000, 0, 0]\n");
    EXPECT_FALSE(r.ok);
    r = read_body_text(112, 0, ", 0, 300, [1, 2, 3], [-1, 0, 0]\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.w[2] & 0xFFu, 44u);
    EXPECT_EQ(r.w[3] >> 24, 0xFFu);
    EXPECT_EQ(r.w[4] & 0xFFFFu, 0xFFFFu);
}

TEST(PacketTextRead, SequenceGrammar) {
    // header: three texts, then {sub, main} entries.
    auto r = read_body_text(1, 0, ", \"a\", \"b\", \"c\", [{10, 1},   {0, 8}]\n");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.w.size(), 14u);
    EXPECT_EQ(r.w[12], 0x0001000Au);
    EXPECT_EQ(r.w[13], 0x00080000u);

    r = read_body_text(1, 0, ", \"a\", \"b\", \"c\", 10, 1, 0, 8\n", true);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.w.size(), 14u);

    r = read_body_text(1, 0, ", \"a\", \"b\", \"c\", [  ]\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.w.size(), 12u);
    r = read_body_text(1, 0, ", \"a\", \"b\", \"c\"\n", true);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.w.size(), 12u);

    // A blank before a brace-less element's comma ends the sequence there.
    std::istringstream is(", \"a\", \"b\", \"c\", 10, 1 , 0, 8\n");
    set_zpk_braceless(is);
    words w;
    EXPECT_TRUE(qodataspec_read(w, 1, 0, is));
    EXPECT_EQ(w.size(), 13u);

    // A brace-less line that ends after its last value has no line end.
    EXPECT_FALSE(read_body_text(1, 0, ", \"a\", \"b\", \"c\", 10, 1", true).ok);
    // The writer's trailing comma for an empty sequence is not readable.
    EXPECT_FALSE(read_body_text(1, 0, ", \"a\", \"b\", \"c\", \n", true).ok);

    for (const char* bad : {", \"a\", \"b\", \"c\", [{10, 1} , {0, 8}]\n", ", \"a\", \"b\", \"c\", [{10}]\n",
                            ", \"a\", \"b\", \"c\", [{10, 70000}]\n", ", \"a\", \"b\", \"c\", [{10, 1}\n",
                            ", \"a\", \"b\", \"c\", [{10, 1}}]\n", ", \"a\", \"b\", \"c\", [10, 1]\n"})
        EXPECT_FALSE(read_body_text(1, 0, bad).ok) << bad;
    EXPECT_FALSE(read_body_text(1, 0, ", \"a\", \"b\", \"c\", {10, 1}\n", true).ok);

    // zpk_parameters: characters, ',' and '}' included, blanks skipped.
    r = read_body_text(119, 0, ", 3, [{,}, {}}, { x}]\n");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.w, (words{3, ',' | ('}' << 8) | ('x' << 16)}));
    EXPECT_FALSE(read_body_text(119, 0, ", 3, [{ }]\n").ok);
}

TEST(PacketTextRead, ElementCapacity) {
    const auto wfm = [](unsigned n) {
        std::string s = ", 1, 2, 3, 4, 5, 6";
        s.reserve(s.size() + 4 * n);
        for (unsigned k = 0; k < n; ++k)
            s += ", 9";
        return read_body_text(50004, 0, s + "\n", true);
    };
    // wfm_dg_shp: u16 elements from bit 96.
    EXPECT_EQ(wfm(0).w.size(), 3u);
    EXPECT_EQ(wfm(8192).w.size(), 4099u);
    auto r = wfm(8194);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.w.size(), 4100u);
    EXPECT_FALSE(wfm(8195).ok);

    std::string hdr = ", \"\", \"\", \"\"";
    for (int k = 0; k < 255; ++k)
        hdr += ", 1, 2";
    EXPECT_TRUE(read_body_text(1, 0, hdr + "\n", true).ok);
    hdr += ", 1, 2";
    EXPECT_FALSE(read_body_text(1, 0, hdr + "\n", true).ok);

    // Through a view over caller words: its element count is the room.
    unsigned buf[3 + 2] = {};
    auto view = scanlib::wfm_dg_shp<unsigned*>(buf, buf + 5);
    ASSERT_EQ(view.count, 4);
    std::istringstream ok(", 1, 2, 3, 4, 5, 6, [{1}, {2}, {3}]\n");
    ok >> view;
    EXPECT_TRUE(ok.good());
    EXPECT_EQ(view.count, 3);
    EXPECT_EQ(buf[4], 3u);
    std::istringstream over(", 1, 2, 3, 4, 5, 6, [{1}, {2}, {3}, {4}, {5}]\n");
    view.count = 4;
    over >> view;
    EXPECT_TRUE(over.fail());
    // A count above the view's words does not widen its room.
    unsigned guarded[3 + 2 + 1] = {};
    guarded[5] = 0xC0FFEEu;
    auto small = scanlib::wfm_dg_shp<unsigned*>(guarded, guarded + 5);
    small.count = 1000;
    std::istringstream five(", 1, 2, 3, 4, 5, 6, [{1}, {2}, {3}, {4}, {5}, {6}]\n");
    five >> small;
    EXPECT_TRUE(five.fail());
    EXPECT_EQ(guarded[5], 0xC0FFEEu);
    std::istringstream dead(", 1, 2, 3, 4, 5, 6, [{1}]\n");
    dead.setstate(failed);
    view.count = 4;
    dead >> view;
    EXPECT_EQ(view.count, 4);
}

TEST(PacketTextRead, TypesWithFewFields) {
    for (const char* name : {"laser_shot", "datagram_separator", "scan_trail_fov"}) {
        const package_id id = package_id::id_from_name.at(name);
        const auto r = read_body_text(id.main, id.sub, ", 7\n");
        EXPECT_TRUE(r.ok) << name;
        EXPECT_EQ(r.w, words{7}) << name;
    }
    const package_id rfp = package_id::id_from_name.at("range_finder_program");
    auto r = read_body_text(rfp.main, rfp.sub, ", 300\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.w, words{44});

    const package_id rfp1 = package_id::id_from_name.at("range_finder_program_1");
    r = read_body_text(rfp1.main, rfp1.sub, ", 5, \"ab\"\n");
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(r.w.size(), 17u);
    EXPECT_EQ(r.w[0], 5u | ('a' << 8) | ('b' << 16));

    const package_id inc = package_id::id_from_name.at("inclination_device");
    r = read_body_text(inc.main, inc.sub, ", [1, 2, 3], [4, 5, 6]\n");
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(r.w.size(), 6u);
    EXPECT_EQ(std::bit_cast<float>(r.w[5]), 6.0f);
    EXPECT_TRUE(read_body_text(inc.main, inc.sub, ", 1, 2, 3, 4, 5, 6\n", true).ok);
    EXPECT_FALSE(read_body_text(inc.main, inc.sub, ", [1, 2, 3], 4, 5, 6\n").ok);

    const package_id inc4 = package_id::id_from_name.at("inclination_device_4axes");
    r = read_body_text(inc4.main, inc4.sub, ", [1, 2, 3], [4, 5, 6], [7, 8, 9], [10, 11, 12]\n");
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(r.w.size(), 12u);
    EXPECT_EQ(std::bit_cast<float>(r.w[11]), 12.0f);
}

TEST(PacketTextRead, CallerWordsKeepBitsNoFieldCovers) {
    // slt_dg: bits 10 to 13 are no field's.
    const package_id slt = package_id::id_from_name.at("slt_dg");
    std::istringstream a(", 1, 0, 1, 2, 3, 4, 5, 6, 7, 8\n");
    words w(7, 0xFFFFFFFFu);
    ASSERT_TRUE(qodataspec_read(w, slt.main, slt.sub, a));
    ASSERT_EQ(w.size(), 4u);
    // 1 | bit 9 | kept bits 10..13 | 2 at bit 14 | 3 at bit 16 | kept bits 28..31
    EXPECT_EQ(w[0], 0xF003BE01u);
    EXPECT_EQ(w[3], 0xFFFF0008u);

    // hk_float_param: one 48-bit element; the upper half of its second word
    // is outside it and keeps what the caller's vector held there.
    const package_id hfp = package_id::id_from_name.at("hk_float_param");
    std::istringstream b(", [{2, 1.5}]\n");
    w.assign(4, 0xFFFFFFFFu);
    ASSERT_TRUE(qodataspec_read(w, hfp.main, hfp.sub, b));
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], 2u | (std::bit_cast<unsigned>(1.5f) << 16));
    EXPECT_EQ(w[1], 0xFFFF0000u | (std::bit_cast<unsigned>(1.5f) >> 16));
}

TEST(PacketTextRead, CountHoldsEveryElementBegun) {
    unsigned buf[3 + 5] = {};
    auto view = scanlib::wfm_dg_shp<unsigned*>(buf, buf + 8);
    std::istringstream is(", 1, 2, 3, 4, 5, 6, [{1}, {x}]\n");
    is >> view;
    EXPECT_TRUE(is.fail());
    EXPECT_EQ(view.count, 2);
    std::istringstream bl(", 1, 2, 3, 4, 5, 6, 7, 8, {9}\n");
    set_zpk_braceless(bl);
    view.count = 10;
    bl >> view;
    EXPECT_TRUE(bl.fail());
    EXPECT_EQ(view.count, 3);
}

TEST(PacketTextRead, PacketLines) {
    std::ios_base::iostate st;
    zpk_packet p = read_line("10, 0, 7\n", true, &st);
    EXPECT_EQ(st, std::ios_base::goodbit);
    EXPECT_EQ(p.main, 10u);
    EXPECT_EQ(packet_words(p), (words{7}));
    EXPECT_EQ(p.begin, p.storage.data());

    p = read_line("14, 0\n", true, &st);
    EXPECT_EQ(st, std::ios_base::goodbit);
    EXPECT_EQ(p.main, 14u);
    EXPECT_EQ(p.begin, nullptr);
    EXPECT_TRUE(p.storage.empty());

    for (const bool braceless : {false, true}) {
        p = read_line(braceless ? "4711, 2, 0x1, 0xabcd\n" : "unknown (4711.2), 0x1, 0xabcd\n", braceless, &st);
        EXPECT_EQ(st, std::ios_base::goodbit);
        EXPECT_EQ(p.main, 4711u);
        EXPECT_EQ(p.sub, 2u);
        EXPECT_EQ(packet_words(p), (words{1, 0xabcd}));
    }

    // "unknown" with a known id: raw words, the numbers kept.
    p = read_line("unknown (10.0), 0x5\n", false, &st);
    EXPECT_EQ(st, std::ios_base::goodbit);
    EXPECT_EQ(p.main, 10u);
    EXPECT_EQ(packet_words(p), (words{5}));

    p = read_line("laser_shot (10.0), 7", false, &st);
    EXPECT_EQ(st, failed | std::ios_base::eofbit);
    EXPECT_EQ(p.main, 0u);
    EXPECT_EQ(p.begin, nullptr);
    read_line("10, 0\n", true, &st);
    EXPECT_EQ(st, failed | std::ios_base::eofbit);

    // A failed read keeps the packet's allocation but no words.
    std::istringstream is("10, 0, x\n");
    set_zpk_braceless(is);
    zpk_packet q;
    q.storage.assign(100, 1);
    q.begin = q.storage.data();
    q.main = 3;
    package_id id;
    is >> id >> q;
    EXPECT_TRUE(is.fail());
    EXPECT_TRUE(q.storage.empty());
    EXPECT_GE(q.storage.capacity(), 100u);
    EXPECT_EQ(q.begin, nullptr);
    EXPECT_EQ(q.main, 0u);

    // No id read: the body is hexadecimal words under (0, 0).
    std::istringstream raw(", 0x2\n");
    zpk_packet r;
    raw >> r;
    EXPECT_TRUE(raw.good());
    EXPECT_EQ(packet_words(r), (words{2}));
    EXPECT_EQ(r.main, 0u);
}

TEST(PacketTextRead, StorageFollowsTheText) {
    // A short parameter text does not take the room of the longest one.
    zpk_packet p = read_line("119, 0, 3, a, b, c\n", true);
    EXPECT_EQ(packet_words(p), (words{3, 'a' | ('b' << 8) | ('c' << 16)}));
    EXPECT_LT(p.storage.capacity(), 1024u);
}

// ---------------------------------------------------------------------------
// Round trips: random bodies of every packet type, written and read back.

namespace {

// The absolute bit of a field bound to a buffer.
template <class F>
std::uint64_t abs_bit(const F& f, const unsigned* buf) {
    return static_cast<std::uint64_t>(f.words() - buf) * 32 + f.base() + F::position;
}

// Calls g(field) for every scalar field of a view over `buf`: fixed fields,
// array elements, and the fields of the first n sequence elements.
template <class View, class G>
void each_field(const View& v, std::int64_t n, G&& g) {
    View::for_each_member(v, [&](const char*, const auto& m) {
        using M = std::remove_cvref_t<decltype(m)>;
        constexpr auto k = text_detail::kind_of<M>;
        if constexpr (k == text_detail::member_kind::field) {
            g(m, -1);
        } else if constexpr (k == text_detail::member_kind::array) {
            for (std::size_t i = 0; i < M::size(); ++i)
                g(m[i], std::is_same_v<typename M::value_type, char> ? static_cast<int>(i) : -1);
        } else {
            for (std::int64_t e = 0; e < n; ++e) {
                const auto el = m[static_cast<std::size_t>(e)];
                el.for_each_member(el, [&](const char*, const auto& f) { g(f, -1); });
            }
        }
    });
}

template <class F>
void set_raw(const F& f, unsigned* buf, std::uint64_t raw) {
    const std::uint64_t b = abs_bit(f, buf);
    for (unsigned k = 0; k < F::width; ++k) {
        const std::uint64_t p = b + k;
        buf[p / 32] = (buf[p / 32] & ~(1u << (p % 32))) | static_cast<unsigned>(((raw >> k) & 1u) << (p % 32));
    }
}

// A random body of the type whose fields hold values the text can carry:
// finite floating point, texts without quotes that end at their first zero,
// parameter characters that are not blanks. Bits no field covers are zero.
template <template <class> class V>
words random_body(std::mt19937_64& rng, unsigned n_words) {
    words w(n_words, 0);
    using CV = V<const unsigned*>;
    const CV probe(w.data(), w.data() + w.size());
    std::int64_t n = 0;
    if constexpr (CV::has_sequence)
        n = probe.count;
    bool text_ended = false;
    each_field(probe, n, [&](const auto& f, int text_index) {
        using T = typename std::remove_cvref_t<decltype(f)>::value_type;
        constexpr unsigned width = std::remove_cvref_t<decltype(f)>::width;
        std::uint64_t raw = rng();
        if (width < 64)
            raw &= (std::uint64_t(1) << width) - 1;
        if constexpr (std::is_floating_point_v<T>) {
            const bool finite = width == 32 ? std::isfinite(std::bit_cast<float>(static_cast<std::uint32_t>(raw)))
                                            : std::isfinite(std::bit_cast<double>(raw));
            if (!finite)
                raw &= width == 32 ? 0xBFFFFFFFull : 0xBFFFFFFFFFFFFFFFull;
        }
        if (text_index >= 0) {
            if (text_index == 0)
                text_ended = false;
            if (!text_ended && rng() % 12 == 0)
                text_ended = true;
            raw = text_ended ? 0 : 1 + rng() % 255;
            if (raw == '"')
                raw = '\'';
        } else if constexpr (std::is_same_v<T, char>) {
            if (std::isspace(static_cast<unsigned char>(raw)))
                raw = '_';
        }
        set_raw(f, w.data(), raw);
    });
    return w;
}

template <template <class> class V>
void round_trip(std::mt19937_64& rng) {
    using CV = V<const unsigned*>;
    SCOPED_TRACE(CV::packet_name);
    const auto& size = CV::size_info;
    for (int trial = 0; trial < 6; ++trial) {
        unsigned n_words = size.fixed_words;
        std::int64_t elements = 0;
        if constexpr (CV::has_sequence) {
            // One or a few elements, exactly filling the words written.
            const std::uint64_t W = size.element_bits, P = size.sequence_bit;
            const std::uint64_t want = 1 + rng() % (size.max_count < 4 ? size.max_count : 4);
            n_words = static_cast<unsigned>((P + want * W + 31) / 32);
            elements = static_cast<std::int64_t>((32ull * n_words - P) / W);
            if (trial == 0) {
                n_words = static_cast<unsigned>((P + 31) / 32);
                elements = static_cast<std::int64_t>((32ull * n_words - P) / W);
            }
        }
        const words body = random_body<V>(rng, n_words);
        // The words read back end with the last field's word.
        words expect = body;
        if constexpr (CV::has_sequence) {
            const std::uint64_t W = size.element_bits, P = size.sequence_bit;
            expect.resize(elements > 0 ? (P + static_cast<std::uint64_t>(elements) * W - 1) / 32 + 1 : (P + 31) / 32);
        }
        for (const bool braceless : {false, true}) {
            if (braceless && CV::has_sequence && elements == 0)
                continue; // the brace-less text of an empty sequence ends in a comma
            std::stringstream s;
            if (braceless)
                set_zpk_braceless(s);
            s << package_id(CV::main_id, CV::sub_id);
            ASSERT_TRUE(qodataspec_write(body.data(), body.data() + body.size(), CV::main_id, CV::sub_id, s));
            s << '\n';
            const std::string text = s.str();
            package_id id;
            zpk_packet p;
            s >> id >> p;
            ASSERT_EQ(s.rdstate(), std::ios_base::goodbit) << text;
            EXPECT_EQ(p.main, CV::main_id);
            EXPECT_EQ(p.sub, CV::sub_id);
            ASSERT_EQ(packet_words(p), expect) << text;
        }
    }
}

} // namespace

TEST(PacketTextRead, RoundTripEveryType) {
    std::mt19937_64 rng(7);
#define SCANLIB_PACKET(type_no, name, main_id, sub_id) round_trip<scanlib::name>(rng);
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET
}

// ---------------------------------------------------------------------------
// Hostile text

namespace {

std::vector<std::string> sample_lines(bool braceless) {
    std::vector<std::string> out;
    const std::vector<std::pair<package_id, words>> packets = {
        {{1, 0}, words{0x636261, 0, 0, 0, 0x66, 0, 0, 0, 0, 0, 0, 0, 0x0001000A, 0x00080000}},
        {{2, 4}, words(20, 0x40400000)},
        {{119, 0}, words{5, 0x64636261, 0x3d}},
        {{83, 0}, words{0xA0010003u}},
        {{112, 0}, words{1, 2, 3, 4, 5, 6}},
        {{4711, 2}, words{1, 0xabcd, 0}},
        {{14, 0}, words{}},
        {{96, 0}, words{0x12345678, 0x9abcdef0, 0x0fedcba9}},
    };
    for (const auto& [id, w] : packets) {
        std::ostringstream os;
        if (braceless)
            set_zpk_braceless(os);
        os << id;
        qodataspec_write(w.data(), w.data() + w.size(), id.main, id.sub, os);
        out.push_back(os.str());
    }
    return out;
}

} // namespace

TEST(PacketTextRead, EveryTruncatedLineFails) {
    for (const bool braceless : {false, true}) {
        for (const std::string& full : sample_lines(braceless)) {
            // A line ending in a closing bracket, quote or parenthesis is
            // complete without its line end; anything shorter is not.
            for (std::size_t n = 0; n < full.size(); ++n) {
                std::ios_base::iostate st;
                const zpk_packet p = read_line(full.substr(0, n), braceless, &st);
                EXPECT_TRUE(st & failed) << full.substr(0, n);
                EXPECT_EQ(p.begin, nullptr);
                EXPECT_EQ(p.main, 0u);
            }
            std::ios_base::iostate st;
            read_line(full + "\n", braceless, &st);
            EXPECT_EQ(st, std::ios_base::goodbit) << full;
        }
    }
}

TEST(PacketTextRead, MutatedLinesLeaveOnlyStreamState) {
    std::mt19937 rng(99);
    const char noise[] = ",;[]{}\"() 0123456789-+.exX\n\t";
    for (const bool braceless : {false, true}) {
        for (const std::string& full : sample_lines(braceless)) {
            for (int k = 0; k < 300; ++k) {
                std::string t = full + "\n";
                const int edits = 1 + static_cast<int>(rng() % 3);
                for (int e = 0; e < edits; ++e) {
                    const std::size_t at = rng() % t.size();
                    switch (rng() % 3) {
                    case 0:
                        t[at] = noise[rng() % (sizeof noise - 1)];
                        break;
                    case 1:
                        t.erase(at, 1);
                        break;
                    default:
                        t.insert(at, 1, noise[rng() % (sizeof noise - 1)]);
                    }
                    if (t.empty())
                        t = "\n";
                }
                std::ios_base::iostate st;
                const zpk_packet p = read_line(t, braceless, &st);
                if (st != std::ios_base::goodbit) {
                    EXPECT_TRUE(st & failed);
                    EXPECT_EQ(p.begin, nullptr);
                    EXPECT_TRUE(p.storage.empty());
                } else {
                    EXPECT_EQ(p.begin == nullptr, p.storage.empty());
                }
            }
        }
    }
}

TEST(PacketTextRead, HugeNumbersAndCounts) {
    EXPECT_FALSE(read_body_text(10, 0, ", 99999999999999999999999\n").ok);
    EXPECT_FALSE(read_body_text(27, 0, ", 1e999, 0, 0, 0\n").ok);
    // A word list as long as the text: no count in the text sizes anything.
    std::string many;
    for (int k = 0; k < 10000; ++k)
        many += ", 0xffffffff";
    const auto r = read_body_text(4711, 0, many + "\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.w.size(), 10000u);
    // Counts inside a body are only values: a sequence is as long as its text.
    const zpk_packet p = read_line("119, 0, 4294967295, a\n", true);
    EXPECT_EQ(packet_words(p), (words{0xFFFFFFFFu, 'a'}));
}

TEST(PacketTextRead, FuzzSeeds) {
    const std::filesystem::path dir =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "fuzz-seeds/fuzz_text_read";
    std::filesystem::create_directories(dir);
    for (const bool braceless : {false, true}) {
        std::string all(1, braceless ? '\1' : '\0');
        for (const std::string& l : sample_lines(braceless))
            all += l + "\n";
        std::ofstream(dir / (braceless ? "braceless" : "braced"), std::ios::binary) << all;
        // The seeds read back whole.
        std::istringstream is(all.substr(1));
        if (braceless)
            set_zpk_braceless(is);
        int n = 0;
        package_id id;
        zpk_packet p;
        while (is >> id >> p)
            ++n;
        EXPECT_EQ(n, static_cast<int>(sample_lines(braceless).size()));
    }
}
