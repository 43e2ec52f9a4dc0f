// Packet text output: exact lines, and the writer checked against an
// independent formatter driven by the member notation of the packet tables.

#include <scanlib/qodatawrite.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace scanlib;

namespace {

using words = std::vector<unsigned int>;

std::string body(unsigned main, unsigned sub, const words& w, bool braceless = false, bool* ok = nullptr) {
    std::ostringstream os;
    if (braceless)
        set_zpk_braceless(os);
    const bool r = qodataspec_write(w.data(), w.data() + w.size(), main, sub, os);
    if (ok)
        *ok = r;
    return os.str();
}

std::string line(unsigned main, unsigned sub, const words& w, bool braceless = false) {
    std::ostringstream os;
    if (braceless)
        set_zpk_braceless(os);
    os << package_id(main, sub);
    qodataspec_write(w.data(), w.data() + w.size(), main, sub, os);
    return os.str();
}

unsigned f32(float f) { return std::bit_cast<unsigned>(f); }

words text16(const char* s) {
    words w(4, 0);
    for (unsigned i = 0; s[i] && i < 16; ++i)
        w[i / 4] |= static_cast<unsigned>(static_cast<unsigned char>(s[i])) << (8 * (i % 4));
    return w;
}

words header_body(std::initializer_list<unsigned> ids) {
    words w;
    for (const char* s : {"abc", "def", "ghi"}) {
        const words t = text16(s);
        w.insert(w.end(), t.begin(), t.end());
    }
    w.insert(w.end(), ids);
    return w;
}

} // namespace

TEST(PacketTextWrite, WorkedExamples) {
    const words atm{f32(1.0f), f32(2.5f), f32(1013.25f), f32(0.5f)};
    EXPECT_EQ(line(27, 0, atm),
              "atmosphere (27.0), 1.0000000000000000e+00, 2.5000000000000000e+00, 1.0132500000000000e+03, "
              "5.0000000000000000e-01");
    EXPECT_EQ(line(27, 0, atm, true),
              "27, 0, 1.0000000000000000e+00, 2.5000000000000000e+00, 1.0132500000000000e+03, "
              "5.0000000000000000e-01");

    const words hdr = header_body({0x0001000Au, 0x00080000u});
    EXPECT_EQ(line(1, 0, hdr), "header (1.0), \"abc\", \"def\", \"ghi\", [{10, 1}, {0, 8}]");
    EXPECT_EQ(line(1, 0, hdr, true), "1, 0, \"abc\", \"def\", \"ghi\", 10, 1, 0, 8");
    EXPECT_EQ(line(1, 0, header_body({})), "header (1.0), \"abc\", \"def\", \"ghi\", []");
    EXPECT_EQ(line(1, 0, header_body({}), true), "1, 0, \"abc\", \"def\", \"ghi\", ");

    EXPECT_EQ(line(14, 0, {}), "frame_start (14.0)");
    EXPECT_EQ(line(14, 0, {}, true), "14, 0");
    EXPECT_EQ(line(4711, 2, {1, 0xabcd, 0}), "unknown (4711.2), 0x1, 0xabcd, 0");
    EXPECT_EQ(line(4711, 2, {1, 0xabcd, 0}, true), "4711, 2, 0x1, 0xabcd, 0");

    // units: f32 at 0, u32 at 32 and 64, f32 at 96.
    EXPECT_EQ(body(2, 0, {f32(1.5f), 7, 8, f32(-0.25f)}),
              ", 1.5000000000000000e+00, 7, 8, -2.5000000000000000e-01");
}

TEST(PacketTextWrite, ValueNotation) {
    // S10DOF_data: i12 at 208 and i20 at 220 all ones are -1.
    words s10(8, 0);
    s10[6] = 0xFFFF0000u;
    s10[7] = 0xFFFFFFFFu;
    EXPECT_EQ(body(114, 0, s10), ", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1");

    // alert: u8 65 is a number, u64 all ones, the text stops at its zero byte.
    words alert(22, 0);
    alert[0] = 65;
    alert[1] = 0xFF000000u;
    alert[2] = 0xFFFFFFFFu;
    alert[3] = 0x00FFFFFFu | ('x' << 24);
    EXPECT_EQ(body(29, 0, alert),
              ", 65, 0, 0, 0, 18446744073709551615, \"x\", 0, 0.0000000000000000e+00");

    // ublox_lea5t_rxm element: i8 0x80 is -128; 0.1f keeps its float value.
    words rxm(3 + 6, 0);
    rxm[3 + 4] = f32(0.1f);
    rxm[3 + 5] = 0x80u << 8;
    EXPECT_EQ(body(59999, 0, rxm),
              ", 0, 0, 0, 0, [{0.0000000000000000e+00, 0.0000000000000000e+00, 1.0000000149011612e-01, 0, -128, 0, "
              "0}]");

    // laser_shot_utctime_origin_direction: two arrays of three, i24 all ones is -1.
    words lsod(6, 0);
    lsod[2] = 0x00FFFF05u; // u8 5 at 64, first i16 at 72 = 0xFFFF
    lsod[3] = 0xFF000000u; // i24 at 120 low bits
    lsod[4] = 0x0000FFFFu;
    EXPECT_EQ(body(112, 0, lsod), ", 0, 5, [ -1, 0, 0 ], [ -1, 0, 0 ]");
    EXPECT_EQ(body(112, 0, lsod, true), ", 0, 5, -1, 0, 0, -1, 0, 0");

    // laser_shot_2angles_hr: bits 64..71 are not written.
    EXPECT_EQ(body(67, 0, {1, 0, 0x000000FFu | (3u << 8), 4}), ", 1, 3, 4");
}

TEST(PacketTextWrite, StreamFormatIsRestored) {
    std::ostringstream os;
    os << std::hex << std::uppercase << std::fixed;
    os.precision(3);
    const words units{f32(1.5f), 255, 16, f32(0.0f)};
    EXPECT_TRUE(qodataspec_write(units.data(), units.data() + 4, 2, 0, os));
    EXPECT_EQ(os.str(), ", 1.5000000000000000E+00, 255, 16, 0.0000000000000000E+00");
    EXPECT_EQ(os.flags() & std::ios_base::basefield, std::ios_base::hex);
    EXPECT_EQ(os.flags() & std::ios_base::floatfield, std::ios_base::fixed);
    EXPECT_EQ(os.precision(), 3);

    std::ostringstream hex;
    hex << std::uppercase;
    const words raw{0xabcd, 0};
    EXPECT_TRUE(qodataspec_write(raw.data(), raw.data() + 2, 4711, 2, hex));
    EXPECT_EQ(hex.str(), ", 0XABCD, 0");
    EXPECT_FALSE(hex.flags() & std::ios_base::showbase);
    EXPECT_EQ(hex.flags() & std::ios_base::basefield, std::ios_base::dec);
}

TEST(PacketTextWrite, ByIdEdgeCases) {
    bool ok = false;
    EXPECT_EQ(body(4711, 2, {}, false, &ok), "");
    EXPECT_TRUE(ok);
    EXPECT_EQ(body(15, 0, {1, 2}, false, &ok), "");
    EXPECT_TRUE(ok);
    // A sub above the newest layout takes the newest layout.
    words u4(20, 0);
    u4[7] = f32(2.0f);
    EXPECT_EQ(body(2, 9, u4), body(2, 4, u4));
    EXPECT_NE(body(2, 9, u4).find("2.0000000000000000e+00"), std::string::npos);

    words short_header(10, 0);
    EXPECT_THROW(body(1, 0, short_header), std::range_error);
    EXPECT_THROW(body(132, 1, words(6, 0)), std::range_error); // sbl_dg_channel_expsum_1 starts at bit 196

    // Words in a writable buffer are written alike.
    words mutable_units{f32(1.5f), 7, 8, f32(-0.25f)};
    std::ostringstream mw;
    EXPECT_TRUE(qodataspec_write(mutable_units.data(), mutable_units.data() + 4, 2, 0, mw));
    EXPECT_EQ(mw.str(), body(2, 0, mutable_units));

    std::ostringstream eof;
    eof.setstate(std::ios_base::eofbit);
    const words units{0, 0, 0, 0};
    EXPECT_FALSE(qodataspec_write(units.data(), units.data() + 4, 2, 0, eof));
    EXPECT_EQ(eof.str(), "");
}

TEST(PacketTextWrite, ShortFixedBodyIsRefusedNotOverread) {
    // units needs four words; three are refused without a word read beyond.
    bool ok = true;
    const words three{1, 2, 3};
    EXPECT_EQ(body(2, 0, three, false, &ok), "");
    EXPECT_FALSE(ok);
}

TEST(PacketTextWrite, BitGranularSequences) {
    // m_sequence_mta: one word is the u16 and sixteen one-bit elements.
    const std::string m = body(83, 0, {0xA0010003u});
    EXPECT_EQ(m, ", 3, [{1}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {0}, {1}, {0}, {1}]");
    EXPECT_THROW(body(83, 0, {}), std::range_error);

    // trigger_debug_stattrig_table: (32 w - 4) div 36 elements.
    EXPECT_EQ(body(96, 0, {5}), ", 5, []");
    EXPECT_EQ(body(96, 0, {0x10u, 0}), ", 0, [{1, 0}]");
    EXPECT_EQ(body(96, 0, {0, 0, 0}), ", 0, [{0, 0}, {0, 0}]");
    EXPECT_THROW(body(96, 0, {}), std::range_error);

    // sbl_dg_channel_expsum: 12 words hold no element, 13 one.
    EXPECT_EQ(body(124, 0, words(12, 0)).find('{'), std::string::npos);
    const std::string one = body(124, 0, words(13, 0));
    EXPECT_EQ(std::count(one.begin(), one.end(), '{'), 1);
    EXPECT_THROW(body(124, 0, words(4, 0)), std::range_error);
}

TEST(PacketTextWrite, ParameterBytesAreRaw) {
    // zpk_parameters: u32 length, then one raw byte per element.
    const words w{4, 'a' | ('"' << 8) | (',' << 16) | (0u << 24)};
    EXPECT_EQ(body(119, 0, w), std::string(", 4, [{a}, {\"}, {,}, {") + '\0' + "}]");
    EXPECT_EQ(body(119, 0, w, true), std::string(", 4, a, \", ,, ") + '\0');
}

TEST(PacketTextWrite, TextsAreQuotedRaw) {
    // sbl_dg_channel: its 32-byte text starts at bit 4.
    words w(13, 0);
    const std::string s = "q\"x,";
    for (std::size_t i = 0; i < s.size(); ++i) {
        const std::uint64_t v = static_cast<unsigned char>(s[i]);
        const std::size_t bit = 4 + 8 * i;
        w[bit / 32] |= static_cast<unsigned>(v << (bit % 32));
        if (bit % 32 > 24)
            w[bit / 32 + 1] |= static_cast<unsigned>(v >> (32 - bit % 32));
    }
    const std::string b = body(87, 0, w, true);
    EXPECT_EQ(b.substr(0, 12), ", 0, \"q\"x,\",");
}

namespace {

// Sets `width` bits at body bit `pos` (little-endian across words).
void put_bits(words& w, std::uint64_t pos, unsigned width, std::uint64_t v) {
    for (unsigned k = 0; k < width; ++k) {
        const std::uint64_t p = pos + k;
        const unsigned bit = 1u << (p % 32);
        w[p / 32] = ((v >> k) & 1u) ? (w[p / 32] | bit) : (w[p / 32] & ~bit);
    }
}

std::string body_of(const char* name, const words& w, bool braceless = false) {
    const package_id id = package_id::id_from_name.at(name);
    return body(id.main, id.sub, w, braceless);
}

} // namespace

TEST(PacketTextWrite, SequenceLengthsFollowTheBody) {
    // header: 44 bytes lack the id list's start; 48 bytes hold an empty list.
    EXPECT_THROW(body_of("header", words(11, 0)), std::range_error);
    EXPECT_EQ(body_of("header", words(12, 0)), ", \"\", \"\", \"\", []");

    // blob_uint8 with a four-byte body: its two fields and no element.
    EXPECT_EQ(body_of("blob_uint8", {0xC0000005u}), ", 5, 3, []");

    // 80-bit elements: three words hold one, the 16 bits left over are not
    // written; two words hold none.
    words f64p(3, 0xFFFFFFFFu);
    put_bits(f64p, 0, 16, 7);
    put_bits(f64p, 16, 64, std::bit_cast<std::uint64_t>(1.5));
    EXPECT_EQ(body_of("hk_float64_param", f64p), ", [{7, 1.5000000000000000e+00}]");
    EXPECT_EQ(body_of("hk_uint64_param", words(2, 1)), ", []");
    // 48-bit elements: five words hold three.
    words fp(5, 0);
    for (unsigned k = 0; k < 3; ++k) {
        put_bits(fp, 48 * k, 16, k + 1);
        put_bits(fp, 48 * k + 16, 32, std::bit_cast<std::uint32_t>(0.5f * static_cast<float>(k)));
    }
    fp[4] |= 0xFFFF0000u;
    EXPECT_EQ(body_of("hk_float_param", fp), ", [{1, 0.0000000000000000e+00}, {2, 5.0000000000000000e-01}, "
                                             "{3, 1.0000000000000000e+00}]");
    EXPECT_EQ(body_of("hk_float_param", fp, true), ", 1, 0.0000000000000000e+00, 2, 5.0000000000000000e-01, 3, "
                                                   "1.0000000000000000e+00");

    // Sequences from bit 0: an empty body, or one shorter than an element,
    // is an empty list; brace-less only the separator is left.
    for (const char* name : {"channel_combination_table", "header_ext", "packed_sdf", "packed_shot_echos_hr",
                             "packed_shot_echos_sbl_hr", "rel_refl_table", "packed_frame_echo"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(body_of(name, {}), ", []");
        EXPECT_EQ(body_of(name, {}, true), ", ");
    }
    EXPECT_EQ(body_of("scan_segments_fov", words(2, 0x3F800000u)), ", []");
    EXPECT_EQ(body_of("rel_refl_table", words(1, 0x3F800000u)), ", []");
    EXPECT_EQ(body_of("channel_combination_table", {0x80030201u}), ", [{1, 2, 1, 16385}]");
}

TEST(PacketTextWrite, FloatSpecialsAndBytes) {
    const words atm{std::bit_cast<unsigned>(std::numeric_limits<float>::infinity()),
                    std::bit_cast<unsigned>(-std::numeric_limits<float>::infinity()), 0x7FC00000u, 0xFFC00000u};
    EXPECT_EQ(body_of("atmosphere", atm), ", inf, -inf, nan, -nan");

    // versions: 96 numbers in two bracketed arrays; 65 is not "A".
    words v(24, 0);
    v[0] = 65;
    const std::string t = body_of("versions", v);
    EXPECT_EQ(t.rfind(", [ 65, 0, ", 0), 0u) << t;
    EXPECT_EQ(std::count(t.begin(), t.end(), ','), 96);
    EXPECT_EQ(std::count(t.begin(), t.end(), '['), 2);

    // sbl_dg_channel: the text at bit 4 ends at the first gathered zero byte,
    // although no stored byte of the body is zero.
    words ch(13, 0x55555555u);
    ch[0] = 0x5550041Fu; // u4 15, then 'A', then a gathered zero
    const std::string c = body_of("sbl_dg_channel", ch);
    EXPECT_EQ(c.rfind(", 15, \"A\", ", 0), 0u) << c;
}

TEST(PacketTextWrite, FieldlessTypesAndEveryOtherTypeHasABody) {
    const std::set<std::string> fieldless = {
        "frame_start", "frame_start_dn", "frame_start_up", "frame_stop", "generic_end",
        "line_start", "line_start_dn", "line_start_up", "line_start_segment_1", "line_start_segment_2",
        "line_start_segment_3", "line_stop", "meas_start", "meas_stop", "void_data"};
    // Long enough for every fixed part and every sequence start.
    const words w(1024, 0x01010101u);
    int seen = 0;
    for (unsigned t = 1; t < package_type_count; ++t) {
        const auto& entry = package_id::name_from_type[t];
        SCOPED_TRACE(entry.first);
        bool ok = false;
        const std::string b = body(entry.second.main, entry.second.sub, w, false, &ok);
        EXPECT_TRUE(ok);
        if (fieldless.count(entry.first)) {
            ++seen;
            EXPECT_EQ(b, "");
        } else {
            EXPECT_EQ(b.rfind(", ", 0), 0u);
        }
    }
    EXPECT_EQ(seen, 15);
}

// ---------------------------------------------------------------------------
// An independent formatter: reads the member notation of a packet table row
// and formats raw words bit by bit.

namespace {

struct ref_field {
    char letter; // u, i, f, c (text), h (one raw character)
    unsigned width, bit, count;
};

struct ref_layout {
    std::vector<std::vector<ref_field>> members; // an array is one member of `count` fields
    std::vector<ref_field> element;
    unsigned seq_bit = 0, seq_width = 0;
    bool has_seq = false;
};

ref_field parse_scalar(const std::string& s) {
    ref_field f{};
    std::size_t i = 0;
    if (s.compare(0, 3, "ch8") == 0) {
        f.letter = 'h';
        f.width = 8;
        i = 3;
    } else {
        f.letter = s[0];
        std::size_t n = 0;
        f.width = static_cast<unsigned>(std::stoul(s.substr(1), &n));
        i = 1 + n;
    }
    f.bit = static_cast<unsigned>(std::stoul(s.substr(i + 1)));
    f.count = 1;
    if (f.letter == 'c') {
        f.count = f.width;
        f.width = 8;
    }
    return f;
}

ref_layout parse_row(const std::string& row) {
    ref_layout l;
    std::size_t i = 0;
    while (i < row.size()) {
        if (row[i] == ',' || row[i] == ' ') {
            ++i;
        } else if (row[i] == '[') {
            const std::size_t e = row.find(']', i);
            const std::string in = row.substr(i + 1, e - i - 1);
            const std::size_t x = in.find(" x");
            ref_field f = parse_scalar(in.substr(0, x));
            const unsigned n = static_cast<unsigned>(std::stoul(in.substr(x + 2)));
            std::vector<ref_field> arr;
            for (unsigned k = 0; k < n; ++k)
                arr.push_back({f.letter, f.width, f.bit + k * f.width, 1});
            l.members.push_back(arr);
            i = e + 1;
        } else if (row[i] == '{') {
            const std::size_t e = row.find('}', i);
            std::stringstream in(row.substr(i + 1, e - i - 1));
            std::string part;
            while (std::getline(in, part, ','))
                l.element.push_back(parse_scalar(part.substr(part.find_first_not_of(' '))));
            const std::string tail = row.substr(e + 2); // after "}*"
            l.seq_width = static_cast<unsigned>(std::stoul(tail));
            l.seq_bit = static_cast<unsigned>(std::stoul(tail.substr(tail.find(':') + 1)));
            l.has_seq = true;
            i = row.size();
        } else {
            std::size_t e = row.find(',', i);
            if (e == std::string::npos)
                e = row.size();
            l.members.push_back({parse_scalar(row.substr(i, e - i))});
            i = e;
        }
    }
    return l;
}

std::uint64_t bits_at(const words& w, std::uint64_t pos, unsigned width) {
    std::uint64_t v = 0;
    for (unsigned k = 0; k < width; ++k) {
        const std::uint64_t p = pos + k;
        v |= static_cast<std::uint64_t>((w[p / 32] >> (p % 32)) & 1u) << k;
    }
    return v;
}

std::string ref_value(const ref_field& f, const words& w, std::uint64_t base) {
    const std::uint64_t raw = bits_at(w, base + f.bit, f.width);
    char buf[64];
    switch (f.letter) {
    case 'u':
        return std::to_string(raw);
    case 'i': {
        const std::uint64_t sign = std::uint64_t(1) << (f.width - 1);
        const auto v = f.width == 64 ? static_cast<std::int64_t>(raw)
                                     : static_cast<std::int64_t>(raw ^ sign) - static_cast<std::int64_t>(sign);
        return std::to_string(v);
    }
    case 'f':
        std::snprintf(buf, sizeof buf, "%.16e",
                      f.width == 32 ? static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(raw)))
                                    : std::bit_cast<double>(raw));
        return buf;
    case 'h':
        return std::string(1, static_cast<char>(raw));
    }
    return "?";
}

std::string ref_body(const ref_layout& l, const words& w, bool braceless) {
    std::string out;
    for (const auto& m : l.members) {
        out += ", ";
        if (m[0].letter == 'c') {
            out += '"';
            for (unsigned k = 0; k < m[0].count; ++k) {
                const char c = static_cast<char>(bits_at(w, m[0].bit + 8 * k, 8));
                if (!c)
                    break;
                out += c;
            }
            out += '"';
        } else if (m.size() > 1) {
            out += braceless ? "" : "[ ";
            for (std::size_t k = 0; k < m.size(); ++k)
                out += (k ? ", " : "") + ref_value(m[k], w, 0);
            out += braceless ? "" : " ]";
        } else {
            out += ref_value(m[0], w, 0);
        }
    }
    if (l.has_seq) {
        out += ", ";
        out += braceless ? "" : "[";
        const std::uint64_t n = (32ull * w.size() - l.seq_bit) / l.seq_width;
        for (std::uint64_t k = 0; k < n; ++k) {
            out += k ? ", " : "";
            out += braceless ? "" : "{";
            for (std::size_t j = 0; j < l.element.size(); ++j)
                out += (j ? ", " : "") + ref_value(l.element[j], w, l.seq_bit + k * l.seq_width);
            out += braceless ? "" : "}";
        }
        out += braceless ? "" : "]";
    }
    return out;
}

// Rows of the packet tables, as printed there.
const char* const table_rows[][2] = {
    {"calib_table", "u16:0, f64:16, f64:80, f64:144, f64:208, {i16:0, i16:16}*32:272"},
    {"cc_slice", "f32:0, f32:32, f32:64, f32:96, f32:128, u16:160, u16:176, {u12:0, i15:12, u5:27}*32:192"},
    {"cs_trans", "u32:0, c64:32, [f64:544 x16]"},
    {"fp_wghts", "f32:0, u4:32, u8:36, u12:44, u8:56, {u12:0, u12:12, u12:24, u12:36, u16:48}*64:64"},
    {"header", "c16:0, c16:128, c16:256, {u16:0, u16:16}*32:384"},
    {"hk_float64_param", "{u16:0, f64:16}*80:0"},
    {"hk_gps_hr", "u32:0, i64:32, i64:96, i64:160, u32:224, i64:256, i64:320, i32:384, i32:416, u32:448, u32:480, "
                  "u8:512, u8:520, u8:528, i8:536, u32:544, u8:576, u8:584, u16:592, u16:608, u16:624, u16:640, "
                  "u16:656, i64:672, i64:736, i64:800, u32:864, u32:896, u32:928, u32:960, u32:992"},
    {"hk_param_header_1", "u8:0, u16:8, [u8:24 x32], [u8:280 x32], [u8:536 x64], u8:1048, [u8:1056 x24], [u8:1248 "
                          "x24], [u8:1440 x24], [u8:1632 x24], u8:1824, [u8:1832 x24], u16:2024"},
    {"laser_shot_2angles_hr", "u64:0, u24:72, u32:96"},
    {"laser_shot_utctime_origin_direction", "u64:0, u8:64, [i16:72 x3], [i24:120 x3]"},
    {"m_sequence_mta", "u16:0, {u1:0}*1:16"},
    {"pwm_sync", "u32:0, u32:32, u1:64, u31:65"},
    {"range_finder_debug_calc_1",
     "c9:0, c9:72, u16:144, c9:160, c9:232, u16:304, u32:320, f32:352, f32:384, f32:416, c9:448, c9:520, u16:592, "
     "c9:608, c9:680, u16:752, u32:768, f32:800, u16:832, u16:848, f32:864, f32:896, u16:928, f32:944, f32:976"},
    {"zpk_parameters", "u32:0, {ch8:0}*8:32"},
    {"sbl_dg_channel", "u4:0, c32:4, u8:260, f64:268, f32:332, f32:364"},
    {"sbl_dg_channel_expsum_1", "u4:0, f64:4, f64:68, f64:132, {f64:0, f64:64, f64:128, f64:192}*256:196"},
    {"sbl_dg_filter", "c16:0, u1:128, u1:129, u32:130, f32:162, f32:194, f32:226, f32:258, u16:290, u16:306, "
                      "c256:322, u16:2370"},
    {"scan_segments_fov", "{f32:0, f32:32, f32:64}*96:0"},
    {"slt_dg_3", "u8:0, u1:8, u1:9, u2:14, u12:16, u16:32, u16:48, u16:64, u16:80, u16:96, u16:112, u16:128, "
                 "u16:144, u16:160, u16:176, u16:192, u16:208, u16:224, u16:240, u16:256, u16:272, u16:288, u16:304"},
    {"trigger_debug_stattrig_table", "u4:0, {u20:0, u16:20}*36:4"},
    {"ttip_config_channel", "u8:0, c32:8, c32:264, u8:520, u8:528, u1:536, u15:537, u16:552, u16:568, u16:584, "
                            "u1:600, u15:601, u16:616, u16:632"},
    {"ublox_lea5t_rxm", "u32:0, i32:32, i16:64, u8:80, {f64:0, f64:64, f32:128, u8:160, i8:168, i8:176, "
                        "u8:184}*192:96"},
    {"versions", "[u8:0 x32], [u8:256 x64]"},
    {"IMU_data", "u32:0, i16:32, i16:48, i16:64, i16:80, i16:96, i16:112"},
    {"S10DOF_data", "u32:0, u32:32, i16:64, i16:80, i16:96, i16:112, i16:128, i16:144, i16:160, i16:176, "
     "i16:192, i12:208, i20:220"},
    {"S10DOF_calib_1", "[f32:0 x3], [f32:96 x3], [f32:192 x3], [f32:288 x3], [f32:384 x3], [f32:480 x3], "
     "[f32:576 x3], [f32:672 x3], [f32:768 x3], [f32:864 x3], [f32:960 x3], [f32:1056 x3], [f32:1152 x3], "
     "[f32:1248 x3], [f32:1344 x3], [f32:1440 x3], [f32:1536 x3]"},
    {"alert", "u8:0, u16:8, u16:24, u16:40, u64:56, c64:120, u32:632, f32:664"},
    {"arange_table", "f32:0, {i16:0}*16:32"},
    {"blob_uint8", "u30:0, u2:30, {u8:0}*8:32"},
    {"channel_combination_table", "{u8:0, u8:8, u1:16, u15:17}*32:0"},
    {"header_ext", "{u16:0, u16:16}*32:0"},
    {"hk_uint64_param", "{u16:0, u64:16}*80:0"},
    {"hk_float_param", "{u16:0, f32:16}*48:0"},
    {"hk_gps_ts_status_dop_ucs", "u32:0, i32:32, i32:64, i32:96, u32:128, i32:160, i32:192, i32:224, i32:256, "
     "u32:288, u32:320, u8:352, u8:360, u8:368, i8:376, u32:384, u8:416, u8:424, u16:432, u16:448, u16:464, "
     "u16:480, u16:496, i64:512, i64:576, i64:640, u32:704, u32:736, u32:768, u32:800, u32:832"},
    {"counter_sync_2angles_hr", "u64:0, u32:64, u32:96, u32:128, u32:160"},
    {"firmware_3", "c64:0, c64:512, c16:1024, c64:1152, c64:1664, c16:2176, c16:2304, c16:2432, c16:2560, "
     "c16:2688, c16:2816, c16:2944, c16:3072, c16:3200, c16:3328, c16:3456"},
    {"header_device", "u16:0, u16:16, c16:32, c64:160"},
    {"external_gnss_cfg_ext", "u8:0, u8:8, u8:16, u8:24, u16:32, u8:48, u8:56, f32:64, f32:96, c65:128, "
     "[f32:648 x3], f32:744, f32:776, f32:808, u8:840, f64:848, f64:912, f64:976, f64:1040"},
    {"hk_cam", "i8:0, u8:8, u16:16, u16:32, u16:48, i8:64, c128:72"},
    {"sbl_dg_channel_expsum", "u4:0, f64:4, f64:68, {f64:0, f64:64, f64:128, f64:192}*256:132"},
    {"laser_shot_6angles_hr", "u64:0, u24:72, u32:96, u32:128, u32:160, u32:192, u32:224"},
    {"sbl_dg_channel_header_1", "u64:0, u16:64, u16:80, u26:96, {u4:0, u18:4, u10:22}*32:128"},
    {"sbl_dg_data", "u16:0, u2:16, u1:18, {u16:0}*16:32"},
    {"slt_dg", "u8:0, u1:8, u1:9, u2:14, u12:16, u16:32, u16:48, u16:64, u16:80, u16:96"},
    {"wfm_dg_shp", "u8:0, u8:8, u16:32, u16:48, u16:64, u16:80, {u16:0}*16:96"},
    {"wfm_dg_hp", "u8:0, u16:32, u16:48, u16:64, u16:80, {u16:0}*16:96"},
    {"ublox_lea5t_rxm_sfrb", "u32:0, u8:32, u8:40, [u32:48 x40]"},
    {"packed_sdf", "{u32:0}*32:0"},
    {"packed_frame_echo", "{i23:0, i14:23, i14:37, u4:51, i9:55}*64:0"},
    {"rel_refl_table", "{f32:0, f32:32}*64:0"},
    {"unsolicited_message_2", "u32:0, u16:32, u8:48, u8:56, u8:64, u8:72, u8:80, i8:88, u8:96, u32:104, "
     "u32:136, c128:168, u32:1192, c64:1224, u32:1736, c32:1768"},
    {"units_4", "f32:0, u32:32, u32:64, f32:96, f32:128, f32:160, u32:192, f32:224, c32:256, c16:512"},
    {"device_geometry", "[f32:0 x3], [f32:96 x3], [f32:192 x3], [f32:288 x3], i32:384, u8:416, {f32:0, f32:32, "
     "f32:64, f32:96}*128:424"},
    {"device_geometry_4", "[f32:0 x3], [f32:96 x3], [f32:192 x3], [f32:288 x3], i32:384, [f32:416 x3], "
     "[f32:512 x3], f32:608, f32:640, f32:672, f32:704, u8:736, {f32:0, f32:32, f32:64, f32:96}*128:744"},
    {"device_geometry_6", "[f32:0 x3], [f32:96 x3], f32:192, f32:224, {f32:0, f32:32}*64:256"},
    {"biaxial_geometry", "[f32:0 x3], {f32:0, f32:32}*64:96"},
    {"hk_time", "u32:0, u16:32, u8:48, u8:56, u8:64, u8:72, u8:80, i8:88"},
    {"dyntrig", "f32:0, f32:32, {f32:0, f32:32, f32:64, f32:96, f32:128, f32:160}*192:64"},
    {"laser_echo_qual", "i32:0, u16:32, u8:48, u8:56"},
    {"echo_1", "i32:0, u16:32, i16:48, u16:64, i16:80"},
    {"hk_group_header", "u8:0, [u8:8 x32], [u8:264 x64]"},
    {"inclination_device_4axes", "[f32:0 x3], [f32:96 x3], [f32:192 x3], [f32:288 x3]"},
    {"range_finder_program_1", "u8:0, c64:8"},
    {"pulse_position_modulation", "u16:0, u16:16, {f32:0}*32:32"},
    {"hk_string_param", "u16:0, {u8:0}*8:16"},
    {"laser_shot_rad", "u32:0, u16:32"},
    {"mta_settings_3", "u8:0, f32:8, f32:40, f32:72, f32:104, f32:136, u8:168"},
    {"packed_key_laser_shot_2angles_hr", "u64:0, u8:64, u24:72, u32:96"},
    {"tgt_dg", "u8:0, u1:8, u1:9, u2:14, u12:16, u16:32, u16:48, u16:64, u16:80, u16:96, u16:112"},
    {"wfm_dg_lp", "u8:0, u16:32, u16:48, u16:64, u16:80, {u16:0}*16:96"},
    {"sbl_dg_channel_2", "u4:0, c32:4, u8:260, f64:268, f32:332, f32:364, u8:396, f32:404"},
    {"sbl_dg_data_compressed", "u16:0, u2:16, u1:18, {u16:0}*16:32"},
    {"unsolicited_message", "u32:0, u16:32, u8:48, u8:56, u8:64, u8:72, u8:80, i8:88, u8:96, u32:104, u32:136, "
     "c128:168, u32:1192, c64:1224"},
    {"range_finder_debug_calc", "c9:0, c9:72, u16:144, c9:160, c9:232, u16:304, u32:320, f32:352, f32:384, f32:416"},
    {"hk_rng_9", "u16:0, u16:16, i16:32, u16:48, i16:64, i16:80, i16:96, u16:112, u16:128, i16:144, i16:160, "
     "u16:176, u16:192, i16:208, i16:224, i16:240, i16:256, u16:272, u16:288, u32:304, i16:336, i16:352, "
     "u16:368, u16:384, u32:400, u16:432, u16:448, i16:464, u16:480, i16:496, i16:512, u16:528, i16:544, "
     "u16:560, u16:576, u16:592, u16:608, u16:624, u16:640"},
};

unsigned end_bit(const ref_layout& l) {
    unsigned e = 0;
    for (const auto& m : l.members)
        for (const auto& f : m)
            e = std::max(e, f.bit + f.width * f.count);
    return e;
}

} // namespace

TEST(PacketTextWrite, AgreesWithTableRows) {
    std::mt19937 rng(20261207);
    for (const auto& row : table_rows) {
        SCOPED_TRACE(row[0]);
        const ref_layout l = parse_row(row[1]);
        const package_id id = package_id::id_from_name.at(row[0]);
        const unsigned fixed = l.has_seq ? (l.seq_bit + 31) / 32 : (end_bit(l) + 31) / 32;
        // Sequences: no element, a partial one, one, two and a bit; fixed
        // layouts: exactly their words, then words the line must not show.
        // The last body is all ones: every sign bit set, every text full.
        const unsigned el = (l.seq_width + 31) / 32;
        const std::vector<unsigned> extras = l.has_seq ? std::vector<unsigned>{0, 1, 2, el + 1, 2 * el + 1, el}
                                                       : std::vector<unsigned>{0, 3, 1, 0};
        for (std::size_t k = 0; k < extras.size(); ++k) {
            const unsigned extra = extras[k];
            words w(fixed + extra);
            for (auto& x : w)
                x = k + 1 == extras.size() ? 0xFFFFFFFFu : rng();
            // Some texts end early, some fill their array.
            if (k % 2 && k + 1 != extras.size())
                for (auto& x : w)
                    x &= 0x7F7F7F7Fu;
            for (const bool braceless : {false, true})
                EXPECT_EQ(body(id.main, id.sub, w, braceless), ref_body(l, w, braceless));
        }
    }
}
