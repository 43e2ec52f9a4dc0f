// Header override: scan files with an override text beside them, read through
// the file connection and zpk_istream, against streams framed independently
// of the pass; then the pieces (field items, matching, replacement, header
// cast) on their own, and hostile override texts.

#include <scanlib/connection.hpp>
#include <scanlib/hreplace.hpp>
#include <scanlib/memconn.hpp>
#include <scanlib/zpkstream.hpp>

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "conn_testutil.hpp"
#include "zpk_support.hpp"

namespace {

namespace fs = std::filesystem;
using scanlib::package_id;
using scanlib::zpk_packet;
using zpktest::words;
using conntest::error_of;

struct pk {
    package_id id;
    words body;
};

bool operator==(const pk& a, const pk& b) { return a.id == b.id && a.body == b.body; }

std::ostream& operator<<(std::ostream& os, const pk& p) {
    os << p.id.main << '.' << p.id.sub << " {";
    for (unsigned w : p.body)
        os << ' ' << std::hex << w << std::dec;
    return os << " }";
}

unsigned f32(float f) { return std::bit_cast<unsigned>(f); }

words text16(const std::string& s) {
    words w(4, 0);
    std::memcpy(w.data(), s.data(), std::min<std::size_t>(s.size(), 16));
    return w;
}

pk header(const std::string& type, const std::string& build, const std::string& serial,
          const std::vector<package_id>& ids) {
    words b = text16(type);
    for (const std::string* s : {&build, &serial}) {
        const words t = text16(*s);
        b.insert(b.end(), t.begin(), t.end());
    }
    for (const package_id& i : ids)
        b.push_back(i.main << 16 | i.sub);
    return {{1, 0}, b};
}

const std::vector<package_id> listed{{27, 0}, {2, 0}, {26, 0}, {10, 0}, {21, 1}};

pk atmosphere(float t, float p, float h, float s) { return {{27, 0}, {f32(t), f32(p), f32(h), f32(s)}}; }
pk units(float r, unsigned l, unsigned f, float s) { return {{2, 0}, {f32(r), l, f, f32(s)}}; }
pk inclination(unsigned a, unsigned b, unsigned c, unsigned d) { return {{26, 0}, {a, b, c | d << 16}}; }
pk laser_shot(unsigned time) { return {{10, 0}, {time}}; }
pk context_end(unsigned main, unsigned sub) { return {{21, 1}, {main << 16 | sub}}; }

// Framed words, ids keyed by their position in the last header's list.
words frame(const std::vector<pk>& ps) {
    zpktest::packets out;
    std::vector<package_id> keys;
    for (const pk& p : ps) {
        words w;
        const auto at = std::find(keys.begin(), keys.end(), p.id);
        if (p.id == package_id(1, 0) || at == keys.end())
            w = {0xFFFFFFFFu, p.id.main << 16 | p.id.sub};
        else
            w = {0xFFFFFF00u + static_cast<unsigned>(at - keys.begin() + 1)};
        w.insert(w.end(), p.body.begin(), p.body.end());
        out.push_back(w);
        if (p.id == package_id(1, 0)) {
            keys.clear();
            for (std::size_t j = 12; j < p.body.size(); ++j)
                keys.emplace_back(p.body[j] >> 16, p.body[j] & 0xFFFF);
        }
    }
    return zpktest::ref_frame(out);
}

std::string bytes_of(const std::vector<pk>& ps, bool preamble = true) {
    const auto b = zpktest::to_bytes(frame(ps), preamble);
    return std::string(b.begin(), b.end());
}

// Byte streams compared without printing megabytes on a mismatch.
::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
    if (got == want)
        return ::testing::AssertionSuccess();
    const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                         << ", first difference at byte " << (diff.first - got.begin());
}

// Packets after the header section: many, escapes included, so that the
// stream reaches well past what the pass reads ahead.
std::vector<pk> tail(unsigned seed, std::size_t n = 400) {
    std::mt19937 r(seed);
    std::vector<pk> ps;
    for (std::size_t i = 0; i < n; ++i) {
        pk p{i % 3 ? package_id(10, 0) : package_id(27, 0), {}};
        p.body.resize(p.id.main == 10 ? 1 : 4);
        for (auto& w : p.body)
            w = zpktest::nasty_word(r);
        ps.push_back(p);
    }
    return ps;
}

std::vector<pk> cat(std::vector<pk> a, const std::vector<pk>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every packet left in `in`, decoded with the one table it keeps for the
// whole stream.
std::vector<pk> all_packets(scanlib::zpk_istream& in) {
    std::vector<pk> out;
    zpktest::for_each_packet(in, [&](package_id id, zpk_packet const& p) {
        out.push_back({id, words(p.begin, p.end)});
    });
    return out;
}

// Every packet of a stream that starts with its preamble.
std::vector<pk> decoded(const std::string& bytes) {
    scanlib::zpk_istream in;
    in.rdcon(std::make_shared<conntest::mem_rconnection>(bytes.substr(16)));
    return all_packets(in);
}

class scan_dir {
public:
    scan_dir() {
        static int n = 0;
        dir_ = fs::temp_directory_path() /
               ("scanlib_hreplace_" + std::to_string(::getpid()) + "_" + std::to_string(n++));
        fs::create_directories(dir_);
    }
    ~scan_dir() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    scan_dir(const scan_dir&) = delete;
    scan_dir& operator=(const scan_dir&) = delete;

    // Writes scan.zpk and, unless empty, the override text beside it.
    void put(const std::string& stream, const std::string& override_text,
             const std::string& override_name = "scan.pxp") {
        write(scan(), stream);
        if (!override_text.empty())
            write(dir_ / override_name, override_text);
    }
    std::string scan() const { return (dir_ / "scan.zpk").string(); }

    // Every byte the file connection delivers.
    std::string read(const std::string& stream, const std::string& override_text,
                     const std::string& override_name = "scan.pxp", std::size_t chunk = 4096) {
        put(stream, override_text, override_name);
        std::shared_ptr<scanlib::basic_rconnection> c(scanlib::basic_rconnection::create_impl(scan(), "", ""));
        c->open();
        return conntest::drain(*c, chunk);
    }

    // Every packet a zpk_istream opened on the file delivers.
    std::vector<pk> packets() const {
        scanlib::zpk_istream in(scan());
        return all_packets(in);
    }

private:
    static void write(const fs::path& p, const std::string& s) {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f << s;
    }
    fs::path dir_;
};

const pk the_header = header("TYPE-X", "build 7", "S 1234", listed);

std::vector<pk> section() {
    return {the_header, atmosphere(1.5f, 2.0f, 0.25f, 1.0f), units(0.5f, 7, 8, 2.0f), inclination(1, 2, 3, 4),
            atmosphere(3.0f, 4.0f, 0.5f, 1.0f)};
}

const char* verification = R"("file_verification": [
    {"ID": [1, 0], "contentID": [[0, "TYPE-X"], [2, "S1234"]]},
    {"ID": [2, -1], "contentID": [[1, "7"]]}
  ])";

// Runs the pass the way the read path does, over a stream that starts at the
// header's id, and returns its output.
std::string run(const std::string& stream, const std::string& text, std::size_t chunk = 64) {
    std::vector<char> out;
    auto in = std::make_shared<conntest::mem_rconnection>(stream, chunk);
    ::hreplace(in, std::make_shared<scanlib::mem_wconnection>(out), text);
    return std::string(out.begin(), out.end());
}

// Everything a connection with override text delivers, read in `step` bytes.
std::string read_through(const std::string& stream, const std::string& text, std::size_t chunk, std::size_t step) {
    auto c = std::make_shared<conntest::mem_rconnection>(stream, chunk, text);
    return conntest::drain(*c, step);
}

// Leaves a seed for fuzz_hreplace: the pass over `stream`, which follows the
// header's id words, with `text` (none: the target compares packets before
// and after).
void seed_bytes(const std::string& name, const std::string& text, const std::string& stream) {
    std::vector<char> b{7, 1, static_cast<char>(text.size() & 0xFF), static_cast<char>(text.size() >> 8)};
    b.insert(b.end(), text.begin(), text.end());
    b.insert(b.end(), stream.begin(), stream.end());
    zpktest::write_seed("fuzz_hreplace", name, b);
}

void seed(const std::string& name, const std::string& text, const std::vector<pk>& ps) {
    seed_bytes(name, text, bytes_of(ps, false).substr(8));
}

TEST(HeaderOverride, WithoutEntriesTheStreamPassesUnchanged) {
    seed("empty", "{}", cat(cat(section(), {laser_shot(5)}), tail(1, 20)));
    seed("identity", "", cat(cat(section(), {context_end(1, 1), laser_shot(5)}), tail(1, 20)));
    const std::string in = bytes_of(cat(cat(section(), {laser_shot(5)}), tail(1)));
    for (const char* text : {"{}", R"({"other": 1})", R"({"file_verification": [], "packets": []})"}) {
        for (std::size_t chunk : {13u, 4096u}) {
            scan_dir d;
            EXPECT_TRUE(same_bytes(d.read(in, text, "scan.pxp", chunk), in)) << text << ' ' << chunk;
        }
    }
    // The second name is tried when the first is missing, and only then; a
    // packet shorter than its fixed layout passes as it came.
    scan_dir d;
    const std::string odd = bytes_of({the_header, {{27, 0}, {1}}, laser_shot(1)});
    EXPECT_TRUE(same_bytes(d.read(odd, "{}", "scan.override.pxp"), odd));
    scan_dir both;
    both.put(in, R"({"packets": [{"existing_packet_identification": {"ID": [27, -1], "contentID": []}}]})",
             "scan.override.pxp");
    EXPECT_TRUE(same_bytes(both.read(in, "{}"), in));
}

TEST(HeaderOverride, RandomSectionsPassUnchangedHoweverTheReadsAreCut) {
    // Known types that do not end the section, an id of no type, and a
    // context end of another context; bodies of any length and content.
    const std::vector<package_id> pool{{27, 0}, {2, 0}, {26, 0}, {4000, 3}, {61, 0}, {2, 4}, {14, 0}};
    std::mt19937 r(2024);
    for (int round = 0; round < 60; ++round) {
        std::vector<package_id> ids = pool;
        std::shuffle(ids.begin(), ids.end(), r);
        ids.resize(r() % 6);
        std::vector<pk> ps{header("T", "b", "s", ids)};
        for (std::size_t k = r() % 12; k > 0; --k) {
            if (r() % 8 == 0) {
                ps.push_back(context_end(r() % 3 + 2, r() % 2));
                continue;
            }
            pk p{pool[r() % pool.size()], words(r() % 9)};
            for (auto& w : p.body)
                w = zpktest::nasty_word(r);
            ps.push_back(p);
        }
        const bool ends = r() % 4 != 0; // else the input ends inside the section
        if (ends)
            ps = cat(cat(ps, {laser_shot(r())}), tail(r(), r() % 300));
        const std::string in = bytes_of(ps, false);
        const std::size_t chunk = r() % 50 + 1, step = r() % 70 + 1;
        ASSERT_TRUE(same_bytes(read_through(in, "{}", chunk, step), in)) << "round " << round;
    }
}

TEST(HeaderOverride, VerifiedReplacedDeletedAndAppended) {
    const std::string text = std::string("{") + verification + R"(,
      "packets": [
        {"existing_packet_identification": {"ID": [27, 0], "contentID": [[3, "1.0000000000000000e+00"]]},
         "new_packet": {"ID": [27, 0], "content": [9.5, "-2", 1e1, "+.5"]}},
        {"existing_packet_identification": {"ID": [26, -1], "contentID": []}},
        {"existing_packet_identification": {"ID": [999, 0], "contentID": []},
         "new_packet": {"ID": [2, 0], "content": [0.25, 11, "12", "125e-3"]}},
        {"existing_packet_identification": {"ID": [998, 0], "contentID": []}},
        {"existing_packet_identification": {"ID": [997, 0], "contentID": []},
         "new_packet": {"ID": [26, 0], "content": [1, 2, 3, 65535]}}
      ]})";
    const std::vector<pk> rest = tail(2);
    seed("verify_replace", text, cat(cat(section(), {laser_shot(5)}), tail(2, 10)));
    const std::string in = bytes_of(cat(cat(section(), {laser_shot(5)}), rest));
    // Nothing is replaced before the units packet completes the
    // verifications; then the inclination is deleted, the next atmosphere
    // whose scale reads 1.0 replaced, and the new packets go before the shot.
    const std::vector<pk> want_section{the_header,
                                       atmosphere(1.5f, 2.0f, 0.25f, 1.0f),
                                       units(0.5f, 7, 8, 2.0f),
                                       atmosphere(9.5f, -2.0f, 10.0f, 0.5f),
                                       units(0.25f, 11, 12, 0.125f),
                                       inclination(1, 2, 3, 65535),
                                       laser_shot(5)};
    scan_dir d;
    EXPECT_TRUE(same_bytes(d.read(in, text), bytes_of(cat(want_section, rest))));
    EXPECT_EQ(d.packets(), cat(want_section, rest));

    // A verification that fails leaves everything as it was.
    std::string failing = text;
    failing.replace(failing.find("S1234"), 5, "S1235");
    scan_dir d2;
    EXPECT_TRUE(same_bytes(d2.read(in, failing), in));
    EXPECT_EQ(d2.packets(), cat(cat(section(), {laser_shot(5)}), rest));

    // Two entries are satisfied by two packets matching the first: the
    // atmosphere after them is already replaced.
    const std::string twice = R"({"file_verification": [{"ID": [27, 0], "contentID": []},
                                                           {"ID": [5, 5], "contentID": []}],
        "packets": [{"existing_packet_identification": {"ID": [27, 0], "contentID": []},
                     "new_packet": {"ID": [27, 0], "content": [0, 0, 0, 0]}}]})";
    const std::string in3 = bytes_of({the_header, atmosphere(1, 1, 1, 1), atmosphere(2, 2, 2, 2),
                                      atmosphere(3, 3, 3, 3), laser_shot(1)});
    EXPECT_TRUE(same_bytes(run(in3.substr(16), twice),
                           bytes_of({the_header, atmosphere(1, 1, 1, 1), atmosphere(2, 2, 2, 2),
                                     atmosphere(0, 0, 0, 0), laser_shot(1)},
                                    false)));
}

TEST(HeaderOverride, ContextEndClosesTheSection) {
    const std::string text = R"({"packets": [
        {"existing_packet_identification": {"ID": [999, 0], "contentID": []},
         "new_packet": {"ID": [26, 0], "content": [5, 6, 7, 8]}}]})";
    // Another context's end is written again and the pass goes on; after the
    // header's own context end the rest passes raw, up to the next header,
    // which runs the override again.
    const std::vector<pk> more = tail(3);
    seed("context_end", text, cat({the_header, context_end(5, 0), units(1, 2, 3, 4), context_end(1, 0),
                                   the_header, atmosphere(1, 1, 1, 1)},
                                  tail(3, 10)));
    const std::string in = bytes_of(cat({the_header, context_end(5, 0), units(1, 2, 3, 4), context_end(1, 0),
                                         context_end(1, 0), the_header, atmosphere(1, 1, 1, 1)},
                                        more));
    std::vector<pk> want{the_header, context_end(5, 0), units(1, 2, 3, 4), inclination(5, 6, 7, 8),
                         context_end(1, 0), context_end(1, 0), the_header, atmosphere(1, 1, 1, 1), more[0],
                         inclination(5, 6, 7, 8)};
    want.insert(want.end(), more.begin() + 1, more.end());
    scan_dir d;
    EXPECT_TRUE(same_bytes(d.read(in, text), bytes_of(want)));

    // A context end with more than one word keeps its first, one without a
    // word passes as it came; input that ends inside the section is written
    // whole with nothing appended.
    pk long_end = context_end(1, 1);
    long_end.body.push_back(77);
    const pk empty_end{{21, 1}, {}};
    scan_dir d2;
    EXPECT_TRUE(same_bytes(d2.read(bytes_of({the_header, long_end, empty_end, units(1, 2, 3, 4)}), text),
                           bytes_of({the_header, context_end(1, 1), empty_end, units(1, 2, 3, 4)})));
}

TEST(HeaderOverride, HeaderReplacement) {
    auto text = [](const std::string& type, const std::string& serial) {
        return R"({"packets": [{"existing_packet_identification": {"ID": [1, 0], "contentID": []},
                   "new_packet": {"ID": [1, 0], "content": [")" +
               type + R"(", "new build", ")" + serial + R"(", 0, 27, 0, 2]}}]})";
    };
    const std::string in = bytes_of(cat(section(), {laser_shot(5)}));
    seed("header_replace", text("TYPE-X", "S 1234"), cat(section(), {laser_shot(5)}));
    scan_dir d;
    // The build and the id list may change: sub first, then main.
    std::vector<pk> want = section();
    want[0] = header("TYPE-X", "new build", "S 1234", {{27, 0}, {2, 0}});
    want.push_back(laser_shot(5));
    EXPECT_TRUE(same_bytes(d.read(in, text("TYPE-X", "S 1234")), bytes_of(want)));
    for (auto [type, serial] : {std::pair{"TYPE-Y", "S 1234"}, std::pair{"TYPE-X", "S 1235"}}) {
        scan_dir e;
        try {
            e.read(in, text(type, serial));
            ADD_FAILURE() << type << serial;
        } catch (const std::runtime_error& x) {
            EXPECT_STREQ(x.what(), "error: cannot modify serial number or instrument type");
        }
    }
}

template <class E>
void expect_error(const std::string& text, const char* message, const std::vector<pk>& ps = {}) {
    const std::vector<pk> stream = ps.empty() ? cat(section(), {laser_shot(1)}) : ps;
    try {
        run(bytes_of(stream, false), text);
        ADD_FAILURE() << "no exception for " << text;
    } catch (const E& e) {
        if (message) {
            EXPECT_STREQ(e.what(), message) << text;
        }
    }
}

std::string replace_entry(const std::string& id, const std::string& content_id, const std::string& new_packet) {
    return R"({"packets": [{"existing_packet_identification": {"ID": )" + id + R"(, "contentID": )" + content_id +
           "}" + (new_packet.empty() ? "" : R"(, "new_packet": )" + new_packet) + "}]}";
}

std::string new_atmosphere(const std::string& content) {
    return replace_entry("[27, 0]", "[]", R"({"ID": [27, 0], "content": )" + content + "}");
}


TEST(HeaderOverride, KeysOfEarlierHeadersStayInForce) {
    // A later header lists fewer ids: key 2 still names the shot (10, 2) and
    // key 3 the units of the first header, for every reader of the stream.
    const pk first = header("T", "b", "s", {{27, 0}, {10, 2}, {2, 0}});
    const pk later = header("T", "b", "s", {{27, 0}});
    const words shot{0xFFFFFF02u, 7, 8, 9}, keyed_units{0xFFFFFF03u, f32(0.5f), 7, 8, f32(2.0f)};
    auto explicit_form = [](const pk& p) {
        words w{0xFFFFFFFFu, p.id.main << 16 | p.id.sub};
        w.insert(w.end(), p.body.begin(), p.body.end());
        return w;
    };
    const words atmo{0xFFFFFF01u, f32(1), f32(2), f32(3), f32(4)};
    auto stream = [&](const words& after_later) {
        const auto b = zpktest::to_bytes(
            zpktest::ref_frame({explicit_form(first), atmo, shot, explicit_form(later), after_later, atmo, shot}),
            true);
        return std::string(b.begin(), b.end());
    };
    ASSERT_EQ(decoded(stream(shot))[4].id, package_id(10, 2));
    seed_bytes("earlier_keys", "", stream(keyed_units).substr(24));
    for (const words& after_later : {shot, keyed_units}) {
        const std::string in = stream(after_later);
        for (std::size_t chunk : {7u, 4096u}) {
            scan_dir d;
            EXPECT_EQ(decoded(d.read(in, "{}", "scan.pxp", chunk)), decoded(in)) << chunk;
        }
    }
    // The keyed packet is found by its id: an entry deletes it.
    scan_dir d;
    std::vector<pk> want = decoded(stream(keyed_units));
    ASSERT_EQ(want[4], units(0.5f, 7, 8, 2.0f));
    want.erase(want.begin() + 4);
    EXPECT_EQ(decoded(d.read(stream(keyed_units), replace_entry("[2, 0]", "[]", ""))), want);

    // A header that no pass reads, as it comes in compact form after a
    // section has ended, still gives its keys: key 4 names the units.
    const pk keyed = header("T", "b", "s", {{27, 0}, {1, 0}, {10, 0}});
    pk compact = header("T", "b", "s", {{27, 0}, {1, 0}, {10, 0}, {2, 0}});
    words compact_form{0xFFFFFF02u};
    compact_form.insert(compact_form.end(), compact.body.begin(), compact.body.end());
    const words units4{0xFFFFFF04u, f32(0.5f), 7, 8, f32(2.0f)}, shot3{0xFFFFFF03u, 5};
    const auto b = zpktest::to_bytes(zpktest::ref_frame({explicit_form(keyed), atmo, shot3, compact_form, units4,
                                                         explicit_form(later), units4, atmo, shot3}),
                                     true);
    const std::string in(b.begin(), b.end());
    ASSERT_EQ(decoded(in)[6], units(0.5f, 7, 8, 2.0f));
    seed_bytes("compact_header", "", in.substr(24));
    for (std::size_t chunk : {7u, 4096u}) {
        scan_dir e;
        EXPECT_EQ(decoded(e.read(in, "{}", "scan.pxp", chunk)), decoded(in)) << chunk;
    }
}

TEST(HeaderOverride, OnlyHeadersTheDecoderDeliversRunAPass) {
    // A fuzzer's find, as fuzz_hreplace takes it (chunk, step, no text, then
    // the stream after the header's id): after a header listing (27,0), (1,0),
    // (10,0) and an empty shot, a packet holds an escaped FFFFFFFF and then
    // the header's id word, both of them data to the decoder.
    const char* found_hex =
        "07010000540066696c4e5374366c6f63616c653500fe784a309700000000000000000000730000f9eb020060600000000000"
        "000000001b000000010000000a0003ffffff02ffffff00ffffffffffffff00000100ff000000000000000073312c20222b2e"
        "35225d7d7d2c0a20200800ff000000000001ffffff0000000000ff000000000001ffffff";
    std::string found;
    for (const char* h = found_hex; h[0] != '\0'; h += 2)
        found += static_cast<char>(std::stoi(std::string(h, 2), nullptr, 16));
    ASSERT_EQ(found.size(), 136u);
    seed_bytes("escaped_marker_found", "", found.substr(4));
    const std::string preamble(reinterpret_cast<const char*>(zpktest::preamble_bytes), 16);
    const std::string header_id("\xFF\xFF\xFF\xFF\x00\x00\x01\x00", 8);

    // Streams after a real header section and its shot: a (27,0) packet
    // whose body starts with escapes, then the header's id words and a header
    // body that lists only (14,0); a pass taken there would write (14,0)
    // under the key that names (27,0) to every reader.
    const std::uint32_t esc = 0xFFFFFF00u, marker = 0xFFFFFFFFu, header_word = 0x00010000u;
    const pk fake = header("T", "b", "s", {{14, 0}});
    auto looks_like_header = [&](std::initializer_list<std::uint32_t> escapes) {
        words w{0xFFFFFF01u};
        w.insert(w.end(), escapes);
        w.push_back(marker);
        w.push_back(header_word);
        w.insert(w.end(), fake.body.begin(), fake.body.end());
        return w;
    };
    const words after{marker, 14u << 16, 0xFFFFFF02u, f32(0.5f), 7, 8, f32(2.0f), 0xFFFFFF04u, 5};
    auto stream = [&](std::vector<words> parts, const std::string& cut = "") {
        words w = frame(cat(section(), {laser_shot(1)}));
        for (const words& p : parts)
            w.insert(w.end(), p.begin(), p.end());
        const auto b = zpktest::to_bytes(w, true);
        return std::string(b.begin(), b.end()) + cut;
    };
    const std::vector<std::pair<const char*, std::string>> cases{
        {"found", preamble + header_id + found.substr(4)},
        // An escape before a start word, and after an escaped escape.
        {"escaped_marker", stream({looks_like_header({esc}), after, frame(tail(4, 30))})},
        {"escaped_marker_3", stream({looks_like_header({esc, esc, esc}), after, frame(tail(5, 30))})},
        // An escaped escape or data word: the marker after it starts a real header.
        {"escaped_escape", stream({looks_like_header({esc, esc}), after, frame(tail(6, 30))})},
        {"escaped_data", stream({looks_like_header({esc, 0xFE}), after, frame(tail(7, 30))})},
        // The stream cut inside an escape, or inside the id words after one.
        {"cut_after_escape", stream({{0xFFFFFF01u, 1, esc}})},
        {"cut_in_escaped_word", stream({{0xFFFFFF01u, 1, esc}}, "\xFF\xFF")},
        {"cut_in_id_word", stream({{0xFFFFFF01u, esc, marker}}, std::string("\x00\x00", 2))},
    };
    words as_data{0, header_word};
    as_data.insert(as_data.end(), fake.body.begin(), fake.body.end());
    ASSERT_EQ(decoded(cases[1].second)[6], (pk{{27, 0}, as_data}));
    for (const auto& [name, in] : cases) {
        if (name != std::string("found"))
            seed_bytes(name, "", in.substr(24));
        for (std::size_t chunk : {1u, 3u, 7u, 4096u}) {
            scan_dir d;
            EXPECT_EQ(decoded(d.read(in, "{}", "scan.pxp", chunk)), decoded(in)) << name << ' ' << chunk;
        }
    }
}

TEST(HeaderOverride, EachDirectPassReadsTheTextItIsGiven) {
    // One stream in two parts, each a header section; the source ends after
    // the first until the second is let in.
    struct two_parts : scanlib::basic_rconnection {
        two_parts(std::string a, std::string b) : basic_rconnection(std::string()), parts{std::move(a), std::move(b)} {}
        std::size_t more_input(void* buf, std::size_t n) override {
            const std::size_t k = std::min(n, parts[part].size() - next);
            std::memcpy(buf, parts[part].data() + next, k);
            next += k;
            eof = k == 0;
            return k;
        }
        void next_part() {
            part = 1;
            next = 0;
            eof = false;
        }
        std::string parts[2];
        std::size_t part = 0, next = 0;
    };
    const std::string a = bytes_of(cat(section(), {laser_shot(1)}), false);
    const std::string b = bytes_of(cat(section(), {laser_shot(2)}), false);
    const std::string deletion = replace_entry("[27, 0]", "[]", "");
    ASSERT_NE(run(b, deletion), b);
    auto in = std::make_shared<two_parts>(a, b);
    std::vector<char> first, second;
    ::hreplace(in, std::make_shared<scanlib::mem_wconnection>(first), "{}");
    in->next_part();
    ::hreplace(in, std::make_shared<scanlib::mem_wconnection>(second), deletion);
    EXPECT_TRUE(same_bytes(std::string(first.begin(), first.end()), a));
    EXPECT_TRUE(same_bytes(std::string(second.begin(), second.end()), run(b, deletion)));
}

TEST(HeaderOverride, MalformedTextRaisesTheDocumentedErrors) {
    using boost::property_tree::json_parser_error;
    using boost::property_tree::ptree_bad_path;
    const char* bad_index = "error: bad contentID in pxp file";
    const char* mismatch = "override: content does not match packet id";
    const char* unknown = "error: unknown id for new packet in pxp file";
    expect_error<json_parser_error>("{", nullptr);
    // Deep nesting is refused before the recursive reader can exhaust the stack.
    expect_error<json_parser_error>(R"({"packets": )" + std::string(200000, '['), nullptr);
    expect_error<ptree_bad_path>(R"({"file_verification": [{"contentID": []}]})", nullptr);
    expect_error<ptree_bad_path>(R"({"file_verification": [{"ID": [1, 0]}]})", nullptr);
    expect_error<ptree_bad_path>(R"({"packets": [{"new_packet": {}}]})", nullptr);
    expect_error<ptree_bad_path>(replace_entry("[27, 0]", "[]", R"({"ID": [27, 0]})"), nullptr);
    expect_error<ptree_bad_path>(replace_entry("[27, 0]", "[]", R"({"content": [1, 2, 3, 4]})"), nullptr);

    // The header has 3 texts and 5 ids of two items each: index 13 is out.
    expect_error<std::runtime_error>(R"({"file_verification": [{"ID": [1, 0], "contentID": [[13, "x"]]}]})",
                                     bad_index);
    // A bad index after a mismatch is still found; a field-less packet has two items.
    expect_error<std::runtime_error>(replace_entry("[27, 0]", R"([[0, "no"], [4, "x"]])", ""), bad_index);
    expect_error<std::runtime_error>(replace_entry("[14, 0]", R"([[0, "14"], [2, "x"]])", ""), bad_index,
                                     {the_header, {{14, 0}, {}}, laser_shot(1)});
    // Shapes that are not arrays where arrays belong.
    expect_error<std::runtime_error>(replace_entry("[27, 0]", R"("0")", ""), bad_index);
    expect_error<std::runtime_error>(replace_entry("[27, 0]", R"([5])", ""), bad_index);
    expect_error<std::runtime_error>(replace_entry("[27, 0]", R"([[]])", ""), bad_index);

    expect_error<std::runtime_error>(replace_entry("[27, 0]", "[]", R"({"ID": [4000, 0], "content": []})"),
                                     unknown);
    expect_error<std::runtime_error>(replace_entry("[27, 0]", "[]", R"({"ID": 27, "content": [1, 2, 3, 4]})"),
                                     unknown);
    expect_error<std::runtime_error>(replace_entry("[27, 0]", "[]", R"({"ID": [], "content": [1, 2, 3, 4]})"),
                                     unknown);
    expect_error<std::runtime_error>(
        replace_entry("[27, 0]", "[]", R"({"ID": [1, 0], "content": ["TYPE-X", "b", "S 1234"]})"),
        "error: cannot replace arbitrary package with a header package");
    // Content that is not one packet of the id: too few values, a text in a
    // number field, values left over, elements that are not plain values,
    // numbers the stream extraction does not take.
    for (const char* content : {R"([1, 2, 3])", R"(["abc", 2, 3, 4])", R"([1, 2, 3, 4, 5])", R"([1, 2, 3, "4 5"])",
                                R"("1")", R"([1, 2, 3, [4]])", R"([1, 2, 3, {"a": 4}])", R"([1, 2, 3, "inf"])",
                                R"(["-inf", 2, 3, 4])", R"j([1, "NaN(1)", 3, 4])j", R"([1, 2, 3, "1e"])"})
        expect_error<std::runtime_error>(new_atmosphere(content), mismatch);
    // A header whose content does not read has no texts to compare.
    expect_error<std::range_error>(replace_entry("[1, 0]", "[]", R"({"ID": [1, 0], "content": [1]})"),
                                   "Missing data for sequence.");
    // Appended packets: header refused, unreadable content caught by the id check.
    expect_error<std::runtime_error>(replace_entry("[999, 0]", "[]", R"({"ID": [1, 0], "content": []})"),
                                     "error: cannot append a new header packet");
    expect_error<std::runtime_error>(replace_entry("[999, 0]", "[]", R"({"ID": [4000, 7], "content": []})"),
                                     unknown);
    for (const char* content : {"[1]", "[1, 2, 3, 4, 5]", R"([1, 2, 3, "\""])"})
        expect_error<std::runtime_error>(
            replace_entry("[999, 0]", "[]", std::string(R"({"ID": [26, 0], "content": )") + content + "}"),
            "zpk_ostream: id mismatch: expected 26.0 got 0.0");
    // A context end under a newer sub.
    expect_error<std::runtime_error>("{}", "zpk_istream: id mismatch: expected 21.1 got 21.2",
                                     {the_header, {{21, 2}, {1 << 16}}, laser_shot(1)});
    // A header too short for its texts.
    expect_error<std::range_error>("{}", "Missing data for sequence.", {{{1, 0}, words(11)}, laser_shot(1)});
}

TEST(HeaderOverride, TheEndMetInsideThePassComesAfterItsOutput) {
    // The pass reads the whole source; what it wrote is still read, by
    // readsome and by read, and only then the end is reported.
    const std::string in = bytes_of({the_header, atmosphere(1, 2, 3, 4), units(1, 2, 3, 4)}, false);
    auto c = std::make_shared<conntest::mem_rconnection>(in, 4096, "{}");
    std::string got(8, '\0');
    ASSERT_EQ(c->readsome(got.data(), 8), 8u);
    EXPECT_TRUE(c->eof);
    std::string rest(in.size() - 8, '\0');
    c->read(rest.data(), rest.size());
    EXPECT_EQ(c->gcount, rest.size());
    EXPECT_TRUE(same_bytes(got + rest, in));
    EXPECT_EQ(c->readsome(got.data(), 8), 0u);
    EXPECT_THROW(c->read(got.data(), 1), std::runtime_error);
    const std::size_t calls = c->source_calls;
    EXPECT_EQ(c->readsome(got.data(), 8), 0u);
    EXPECT_EQ(c->source_calls, calls);
}

TEST(HeaderOverride, FailureMakesTheReadFail) {
    const std::string in = bytes_of(cat(section(), {laser_shot(5)}));
    scan_dir d;
    EXPECT_THROW(d.read(in, "{ not json"), boost::property_tree::json_parser_error);
    // Deleting the header leaves output that cannot stand for the header.
    scan_dir e;
    try {
        e.read(in, replace_entry("[1, 0]", "[]", ""));
        ADD_FAILURE() << "header deleted without an error";
    } catch (const std::runtime_error& x) {
        EXPECT_STREQ(x.what(), "internal error: parameter replacement 2");
    }
}

// What a reader gets from the scan file: the packets a zpk_istream delivers
// while the file connection is read in `chunk`-byte calls, and the error
// that ends them.
struct reading {
    std::vector<pk> packets;
    std::string error = "<none>";
};

reading read_scan(const std::string& path, std::size_t chunk) {
    struct cut : scanlib::basic_rconnection {
        cut(std::shared_ptr<scanlib::basic_rconnection> f, std::size_t n)
            : basic_rconnection(std::string()), file(std::move(f)), chunk(n) {}
        std::size_t more_input(void* buf, std::size_t n) override {
            const std::size_t k = file->readsome(buf, std::min(n, chunk));
            eof = k == 0 && file->eof;
            return k;
        }
        std::shared_ptr<scanlib::basic_rconnection> file;
        std::size_t chunk;
    };
    std::shared_ptr<scanlib::basic_rconnection> file(scanlib::basic_rconnection::create_impl(path, "", ""));
    file->open();
    char preamble[16];
    file->read(preamble, sizeof preamble);
    scanlib::zpk_istream in;
    in.rdcon(std::make_shared<cut>(file, chunk));
    reading r;
    try {
        zpktest::for_each_packet(in, [&](package_id id, zpk_packet const& p) {
            r.packets.push_back({id, words(p.begin, p.end)});
        });
    } catch (const std::exception& e) {
        r.error = e.what();
    }
    return r;
}

TEST(HeaderOverride, AHeaderThePassCannotReadLosesNoPacketBeforeIt) {
    // Headers too short for their texts: at a packet start after packets of
    // every kind, as the first packet, and inside a header section, where the
    // pass meets it after the packets before it.
    const pk bad{{1, 0}, words(11)};
    const std::vector<std::pair<const char*, std::vector<pk>>> cases{
        {"after_packets", cat(cat(cat(section(), {laser_shot(3)}), tail(8, 12)), cat({bad}, tail(9, 10)))},
        {"first", cat({bad}, tail(10, 10))},
        {"no_header_before", cat(cat(tail(11, 13), {bad}), tail(12, 9))},
        {"in_a_section", cat(cat(section(), {units(1, 2, 3, 4), bad, laser_shot(4)}), tail(13, 10))},
    };
    for (const auto& [name, ps] : cases) {
        if (ps.front().id == package_id(1, 0))
            seed(std::string("unreadable_header_") + name, "", ps);
        const std::string in = bytes_of(ps);
        const std::size_t before = static_cast<std::size_t>(std::find(ps.begin(), ps.end(), bad) - ps.begin());
        const std::vector<pk> want(ps.begin(), ps.begin() + static_cast<std::ptrdiff_t>(before));
        for (std::size_t chunk : {1u, 7u, 64u, 4096u}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(chunk));
            scan_dir plain, passed;
            plain.put(in, "");
            passed.put(in, "{}");
            const reading without = read_scan(plain.scan(), chunk), with = read_scan(passed.scan(), chunk);
            EXPECT_EQ(without.packets, want);
            EXPECT_EQ(without.error, "Missing data for sequence.");
            EXPECT_EQ(with.packets, without.packets);
            EXPECT_EQ(with.error, without.error);
        }
    }
}

// The packets a stream delivers up to its end or its first error.
reading packets_of(scanlib::zpk_istream& in) {
    reading r;
    r.error = error_of([&] {
        zpktest::for_each_packet(in, [&](package_id id, zpk_packet const& p) {
            r.packets.push_back({id, words(p.begin, p.end)});
        });
    });
    return r;
}

TEST(HeaderOverride, AFailedPassHandsOutOnlyThePacketsItWrote) {
    // Overrides that fail at the first packet (the header's own replacement
    // does not read), in the middle of the section and at its end (the
    // second appended packet): a reader gets the bytes up to the header's id
    // and the whole packets the pass wrote, then the failure, at every read
    // until a seek, and after it the same again.
    const std::vector<pk> ps = cat(cat(section(), {laser_shot(5)}), tail(14, 40));
    const std::string in = bytes_of(ps);
    auto appended = [](const std::string& content) {
        return R"({"existing_packet_identification": {"ID": [999, 0], "contentID": []},
                   "new_packet": {"ID": [26, 0], "content": )" + content + "}}";
    };
    const struct {
        const char* name;
        std::string text;
        std::vector<pk> written;
        const char* error;
    } cases[] = {
        {"first", replace_entry("[1, 0]", "[]", R"({"ID": [1, 0], "content": ["a"]})"), {},
         "Missing data for sequence."},
        {"middle", replace_entry("[2, 0]", "[]", R"({"ID": [2, 0], "content": [1, 2]})"),
         {the_header, atmosphere(1.5f, 2.0f, 0.25f, 1.0f)}, "override: content does not match packet id"},
        {"appended", R"({"packets": [)" + appended("[5, 6, 7, 8]") + "," + appended("[1]") + "]}",
         cat(section(), {inclination(5, 6, 7, 8)}), "zpk_ostream: id mismatch: expected 26.0 got 0.0"},
    };
    for (const auto& f : cases) {
        seed(std::string("failing_") + f.name, f.text, cat(cat(section(), {laser_shot(5)}), tail(14, 5)));
        const std::string want = f.written.empty() ? bytes_of({}) + in.substr(16, 8) : bytes_of(f.written);
        scan_dir d;
        d.put(in, f.text);
        for (std::size_t step : {1u, 7u, 65536u}) {
            SCOPED_TRACE(std::string(f.name) + " " + std::to_string(step));
            std::shared_ptr<scanlib::basic_rconnection> c(scanlib::basic_rconnection::create_impl(d.scan(), "", ""));
            c->open();
            std::vector<char> buf(step);
            for (int round = 0; round < 2; ++round) {
                std::string got;
                const std::string error = error_of([&] {
                    for (std::size_t k; (k = c->readsome(buf.data(), step)) > 0 || !c->eof;)
                        got.append(buf.data(), k);
                });
                EXPECT_TRUE(same_bytes(got, want));
                EXPECT_EQ(error, f.error);
                EXPECT_EQ(error_of([&] { c->readsome(buf.data(), step); }), f.error);
                c->seekg(0);
            }
        }
        SCOPED_TRACE(std::string(f.name) + " packets");
        scanlib::zpk_istream is(d.scan());
        for (int round = 0; round < 2; ++round) {
            const reading r = packets_of(is);
            EXPECT_EQ(r.packets, f.written);
            EXPECT_EQ(r.error, f.error);
            package_id id;
            EXPECT_EQ(error_of([&] { is >> id; }), f.error);
            is.seekg(0);
        }
    }
}

TEST(HeaderOverride, ASourceFailingUnderThePassEndsTheReadAsWithoutIt) {
    // The source fails once, at every offset in turn, and then serves on:
    // with "{}" a reader gets the packets and the failure it gets without an
    // override, whether the pass's reader met the failure at once or held it
    // back behind words it still had.
    struct failing_once : scanlib::basic_rconnection {
        failing_once(const std::string& b, std::size_t c, std::size_t at, const std::string& text)
            : basic_rconnection(text), bytes(b), chunk(c), fail_at(at) {}
        std::size_t more_input(void* buf, std::size_t n) override {
            if (next == fail_at && !failed) {
                failed = true;
                throw std::runtime_error("source failed");
            }
            const std::size_t k = std::min({n, chunk, (failed ? bytes.size() : fail_at) - next});
            std::memcpy(buf, bytes.data() + next, k);
            next += k;
            eof = k == 0;
            return k;
        }
        std::string bytes;
        std::size_t chunk, fail_at, next = 0;
        bool failed = false;
    };
    const std::string in = bytes_of(cat(cat(section(), {laser_shot(5)}), tail(15, 30)), false);
    // From here on the pass can end its section before the failure: every
    // byte before it comes out raw, that of an unfinished word included.
    const std::size_t section_ends = bytes_of(cat(section(), {laser_shot(5)}), false).size() + 4;
    for (std::size_t chunk : {7u, 4096u}) {
        for (std::size_t at = 0; at < in.size(); ++at) {
            SCOPED_TRACE(testing::Message() << "chunk " << chunk << " failing at " << at);
            reading read[2];
            for (int with = 0; with < 2; ++with) {
                scanlib::zpk_istream is;
                is.rdcon(std::make_shared<failing_once>(in, chunk, at, with ? "{}" : ""));
                read[with] = packets_of(is);
            }
            ASSERT_EQ(read[0].error, "source failed");
            ASSERT_EQ(read[1].packets, read[0].packets);
            ASSERT_EQ(read[1].error, read[0].error);
            const auto raw = std::make_shared<failing_once>(in, chunk, at, "{}");
            std::string got;
            std::vector<char> buf(4096);
            ASSERT_EQ(error_of([&] {
                          for (std::size_t k; (k = raw->readsome(buf.data(), buf.size())) > 0 || !raw->eof;)
                              got.append(buf.data(), k);
                      }),
                      "source failed");
            ASSERT_TRUE(same_bytes(got, in.substr(0, at >= section_ends ? at : got.size())));
        }
    }
}

zpk_packet packet_of(const pk& p) {
    zpk_packet z;
    z.storage = p.body;
    z.begin = z.storage.empty() ? nullptr : z.storage.data();
    z.end = z.begin ? z.begin + z.storage.size() : nullptr;
    z.main = p.id.main;
    z.sub = p.id.sub;
    return z;
}

boost::property_tree::ptree tree(const std::string& json) {
    std::stringstream s(json);
    boost::property_tree::ptree t;
    boost::property_tree::read_json(s, t);
    return t;
}

pk taken(const package_id& id, const zpk_packet& z) {
    EXPECT_EQ(id, package_id(z.main, z.sub));
    if (z.begin != nullptr) {
        EXPECT_TRUE(z.begin >= z.storage.data() && z.end == z.storage.data() + z.storage.size());
    }
    return {id, words(z.begin, z.end)};
}

TEST(HeaderOverride, FieldItemsAndMatching) {
    using items = std::vector<std::string>;
    const pk h = header("AB CD", "x,y", "", {{2, 0}});
    EXPECT_EQ(::parse_zpk_fields(h.id, packet_of(h)), (items{"ABCD", "x,y", "", "0", "2"}));
    // The context end's fields in layout order: sub (low half), then main.
    EXPECT_EQ(::parse_zpk_fields({21, 1}, packet_of(context_end(1, 0))), (items{"0", "1"}));
    EXPECT_EQ(::parse_zpk_fields({14, 0}, packet_of({{14, 0}, {}})), (items{"14", "0"}));
    EXPECT_EQ(::parse_zpk_fields({4000, 3}, packet_of({{4000, 3}, {1, 0xabcd}})), (items{"0x1", "0xabcd"}));
    const pk a = atmosphere(1.5f, 7, 0, -1);
    EXPECT_EQ(::parse_zpk_fields(a.id, packet_of(a)),
              (items{"1.5000000000000000e+00", "7.0000000000000000e+00", "0.0000000000000000e+00",
                     "-1.0000000000000000e+00"}));

    // Only the first entry whose id matches is tried; a negative sub matches
    // all; a one-element id is main and sub at once.
    const auto fv = tree(R"({"v": [{"ID": ["27", " 5 "], "contentID": []},
                                 {"ID": [27, -1], "contentID": [[0, "1.5"]]},
                                 {"ID": [27, 0], "contentID": []}]})")
                        .get_child("v");
    EXPECT_FALSE(::verified(a.id, packet_of(a), fv));
    const auto fv2 =
        tree(R"({"v": [{"ID": [27, 0], "contentID": [[0, "1.5000000000000000e+00"], [-1, "x"], ["a", "y"]]}]})")
            .get_child("v");
    EXPECT_TRUE(::verified(a.id, packet_of(a), fv2));
    EXPECT_FALSE(::verified({27, 1}, packet_of(a), fv2));
    const auto fv3 = tree(R"({"v": [{"ID": [27], "contentID": []}]})").get_child("v");
    EXPECT_FALSE(::verified(a.id, packet_of(a), fv3));
    EXPECT_TRUE(::verified({27, 27}, packet_of(a), fv3));
    const auto fv4 = tree(R"({"v": [{"ID": [-1, 0], "contentID": []}]})").get_child("v");
    EXPECT_FALSE(::verified({65535, 0}, packet_of(a), fv4));
    EXPECT_TRUE(::verified({4294967295u, 0}, packet_of(a), fv4));
    // An id element reads as the standard stream reads an int, and as -1 when
    // that fails or leaves anything but white space.
    for (const char* text : {"+5", "-0", "007", "\\t 12\\n", "2147483647", "2147483648", "-2147483648",
                             "-2147483649", "99999999999999999999", "+", "-", "+-1", "0x1", "5x", "1e2", ""}) {
        const std::string json = std::string(R"({"v": [{"ID": [")") + text + R"(", 0], "contentID": []}]})";
        const auto fv5 = tree(json).get_child("v");
        std::istringstream s(fv5.front().second.get_child("ID").front().second.data());
        int want = 0;
        if (!(s >> want) || !(s >> std::ws).eof())
            want = -1;
        EXPECT_TRUE(::verified({static_cast<unsigned>(want), 0}, packet_of(a), fv5)) << json;
        EXPECT_FALSE(::verified({static_cast<unsigned>(want) + 1, 0}, packet_of(a), fv5)) << json;
    }

    // Two packets with the same id: an entry acts on the first only.
    auto packets =
        tree(R"({"p": [{"existing_packet_identification": {"ID": [27, 0], "contentID": []}}]})").get_child("p");
    package_id id = a.id;
    zpk_packet z = packet_of(a);
    EXPECT_FALSE(::replaced(id, z, packets));
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(::replaced(id, z, packets));
    EXPECT_EQ(taken(id, z), a);

    // Another id of a non-header type; a content check that fails leaves its
    // entry for later packets; numbers quoted or not.
    packets = tree(R"({"p": [{"existing_packet_identification": {"ID": [27, 0], "contentID": [[0, "9"]]}},
                            {"existing_packet_identification": {"ID": [27, 0], "contentID": []},
                             "new_packet": {"ID": [2, 0], "content": ["-1e5", 100000, 3, "+.5"]}}]})")
                  .get_child("p");
    EXPECT_TRUE(::replaced(id, z, packets));
    EXPECT_EQ(packets.size(), 1u);
    EXPECT_EQ(taken(id, z), units(-1e5f, 100000u, 3, 0.5f));

    // A one-element new id is main and sub; a sub above the newest layout
    // reads with the newest one and keeps its number.
    packets = tree(R"({"p": [{"existing_packet_identification": {"ID": [2, 0], "contentID": []},
                             "new_packet": {"ID": [27], "content": [1, 2, 3, 4, 5, 6, 7, 8, 9]}}]})")
                  .get_child("p");
    EXPECT_TRUE(::replaced(id, z, packets));
    EXPECT_EQ(taken(id, z), (pk{{27, 27}, {f32(1), f32(2), f32(3), f32(4), f32(5), f32(6), f32(7), f32(8), f32(9)}}));
}

// Values that read as numbers go into the text line as they stand, anything
// else as a quoted text: seen through a text field of the header.
TEST(HeaderOverride, ValuesAreQuotedUnlessTheyAreNumbers) {
    const pk old = header("TYPE-X", "build 7", "S 1234", listed);
    auto replace_header = [&](const std::string& content_json) {
        auto packets = tree(R"({"p": [{"existing_packet_identification": {"ID": [1, 0], "contentID": []},
                                       "new_packet": {"ID": [1, 0], "content": )" +
                            content_json + "}}]}")
                           .get_child("p");
        package_id id{1, 0};
        zpk_packet z = packet_of(old);
        EXPECT_TRUE(::replaced(id, z, packets));
        return taken(id, z);
    };
    auto replace_build = [&](const std::string& build_json) {
        return replace_header(R"(["TYPE-X", )" + build_json + R"(, "S 1234"])");
    };
    for (const char* text : {"1e", "1+", "0x10", "abc", " 5", "", "5 ", "a,b", "1.5.", "e5", "--1"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(replace_build(std::string("\"") + text + "\""), header("TYPE-X", text, "S 1234", {}));
    }
    // Numbers are not quoted, so a text field does not take them.
    for (const char* number : {"-inf", "NaN(1)", "1e5", "+.5", "7", "-0", "INFINITY", "nan"}) {
        SCOPED_TRACE(number);
        EXPECT_THROW(replace_build(std::string("\"") + number + "\""), std::range_error);
    }
    EXPECT_THROW(replace_build("12"), std::range_error);
    // A double quote cannot stand inside a text of the line, and a value that
    // is an array or object is none: neither may shift or blank a field.
    EXPECT_THROW(replace_header(R"(["TYPE-X", "b\", \"S 1234"])"), std::range_error);
    EXPECT_THROW(replace_build(R"(["x"])"), std::range_error);
    EXPECT_THROW(replace_build(R"({"x": "y"})"), std::range_error);
}

TEST(HeaderOverride, HeaderCast) {
    EXPECT_THROW(scanlib::zpk_cast<scanlib::header<void>>(packet_of({{1, 0}, words(11)})), std::range_error);
    EXPECT_THROW(scanlib::zpk_cast<scanlib::header<void>>(zpk_packet()), std::range_error);
    pk h = header("0123456789abcdef", "b", "serial", {});
    for (unsigned j = 0; j < 300; ++j)
        h.body.push_back(j << 16 | (j + 1));
    const auto r = scanlib::zpk_cast<scanlib::header<void>>(packet_of(h));
    EXPECT_EQ(std::string(r.type_id.data(), 16), "0123456789abcdef");
    EXPECT_EQ(std::string(r.build.data()), "b");
    EXPECT_EQ(std::string(r.serial.data()), "serial");
    // Only as many ids as the record holds.
    EXPECT_EQ(r.count, 254u);
    EXPECT_EQ(r.ids[253].main, 253);
    EXPECT_EQ(r.ids[253].sub, 254);
    const auto s = scanlib::zpk_cast<scanlib::header<void>>(packet_of(header("t", "b", "s", listed)));
    ASSERT_EQ(s.count, listed.size());
    EXPECT_EQ(s.ids[4].main, 21);
    EXPECT_EQ(s.ids[4].sub, 1);
}

} // namespace
