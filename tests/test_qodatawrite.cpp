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
        for (unsigned extra = 0; extra < (l.has_seq ? 5u : 1u); ++extra) {
            words w(fixed + extra);
            for (auto& x : w)
                x = rng();
            // Some texts end early, some fill their array.
            if (extra % 2)
                for (auto& x : w)
                    x &= 0x7F7F7F7Fu;
            for (const bool braceless : {false, true})
                EXPECT_EQ(body(id.main, id.sub, w, braceless), ref_body(l, w, braceless));
        }
    }
}
