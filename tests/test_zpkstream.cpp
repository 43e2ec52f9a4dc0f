#include "zpk_support.hpp"

#include <gtest/gtest.h>
#include <scanlib/memconn.hpp>
#include <scanlib/scanexcept.hpp>
#include <scanlib/zpkstream.hpp>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

using namespace zpktest;
using scanlib::package_id;
using scanlib::zpk_istream;
using scanlib::zpk_ostream;
using scanlib::zpk_packet;

namespace fs = std::filesystem;

namespace {

// One packet as a test sees it: id and body words.
struct raw {
    unsigned int main, sub;
    words body;
    bool operator==(const raw&) const = default;
};

package_id id_of(unsigned int main, unsigned int sub) {
    package_id id;
    id.main = main;
    id.sub = sub;
    return id;
}

zpk_packet packet_of(const raw& r) {
    zpk_packet p;
    p.storage = r.body;
    p.begin = p.storage.data();
    p.end = p.storage.data() + p.storage.size();
    p.main = r.main;
    p.sub = r.sub;
    return p;
}

// A header body: three 16-byte texts, then one word per id (main << 16 | sub).
raw header_of(const std::vector<std::pair<unsigned, unsigned>>& ids, std::mt19937& rng) {
    raw h{1, 0, words(12)};
    for (unsigned int& w : h.body)
        w = nasty_word(rng);
    for (auto [m, s] : ids)
        h.body.push_back(m << 16 | s);
    return h;
}

std::vector<raw> read_all(zpk_istream& in) {
    std::vector<raw> out;
    for (;;) {
        package_id id = id_of(0xDEAD, 0xBEEF);
        zpk_packet p;
        in >> id;
        if (in.at_end) {
            EXPECT_EQ(id.main, 0xDEADu); // left alone at the end
            break;
        }
        in >> p;
        EXPECT_EQ(p.main, id.main);
        EXPECT_EQ(p.sub, id.sub);
        out.push_back({p.main, p.sub, words(p.begin, p.end)});
    }
    return out;
}

void write_all(zpk_ostream& out, const std::vector<raw>& ps) {
    for (const raw& r : ps)
        out << packet_of(r);
}

// Random streams: explicit ids, void_data, crc32_check, unknown keys' worth of
// ids, headers with id lists of any length (repeats included), bodies full of
// words that need escapes.
std::vector<raw> random_stream(std::mt19937& rng, std::size_t n) {
    std::vector<std::pair<unsigned, unsigned>> pool;
    for (int i = 0; i < 400; ++i)
        pool.emplace_back(rng() % 70000 % 65536, rng() % 4 == 0 ? 0xFFFF - rng() % 3 : rng() % 12);
    pool.emplace_back(50, 0);
    pool.emplace_back(65535, 65535);
    std::vector<raw> ps;
    for (std::size_t k = 0; k < n; ++k) {
        const unsigned pick = rng() % 20;
        if (pick == 0) {
            std::vector<std::pair<unsigned, unsigned>> ids;
            const std::size_t len = rng() % 3 == 0 ? rng() % 300 : rng() % 20;
            for (std::size_t i = 0; i < len; ++i)
                ids.push_back(pool[rng() % pool.size()]);
            ps.push_back(header_of(ids, rng));
            continue;
        }
        auto [m, s] = pool[rng() % pool.size()];
        if (m == 1 && s == 0)
            s = 1;
        words body(rng() % 8 == 0 ? rng() % 1500 : rng() % 10);
        for (unsigned int& w : body)
            w = nasty_word(rng);
        ps.push_back({m, s, body});
    }
    return ps;
}

class temp_dir {
public:
    temp_dir() {
        std::random_device rd;
        path_ = fs::temp_directory_path() / ("zpkstream-test-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(path_);
    }
    ~temp_dir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

std::vector<char> slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<char> write_to_memory(const std::vector<raw>& ps) {
    std::vector<char> bytes;
    zpk_ostream out;
    out.wrcon(std::make_shared<scanlib::mem_wconnection>(bytes));
    write_all(out, ps);
    out.close();
    return bytes;
}

} // namespace

TEST(ZpkStreams, RoundTripThroughAFileAndEverySplit) {
    temp_dir dir;
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        const std::vector<raw> ps = random_stream(rng, 600);
        const std::string path = dir.file("round" + std::to_string(seed) + ".zpk");
        {
            zpk_ostream out(path);
            write_all(out, ps);
            out.close();
        }
        {
            zpk_istream in(path); // a bare path names a file
            EXPECT_EQ(in.tellg(), 0u);
            const std::vector<raw> back = read_all(in);
            ASSERT_EQ(back.size(), ps.size());
            for (std::size_t i = 0; i < ps.size(); ++i)
                ASSERT_EQ(back[i], ps[i]) << "packet " << i;
        }
        // The same bytes, continued on a connection without the preamble, cut anywhere.
        const std::vector<char> file = slurp(path);
        ASSERT_EQ(0, std::memcmp(file.data(), preamble_bytes, 16));
        const std::vector<char> body(file.begin() + 16, file.end());
        EXPECT_EQ(write_to_memory(ps), body);
        for (const auto& [name, chunk] : chunk_patterns()) {
            SCOPED_TRACE(name);
            zpk_istream in;
            in.rdcon(std::make_shared<chunked_rconnection>(body, chunk));
            EXPECT_EQ(read_all(in), ps);
        }
        if (seed == 1) {
            write_seed("fuzz_zpk_istream", "stream_with_headers", [&] {
                std::vector<char> s{char(0x07)};
                s.insert(s.end(), body.begin(), body.begin() + std::min<std::size_t>(body.size(), 4000));
                return s;
            }());
        }
    }
}

TEST(ZpkStreams, HeaderKeysGiveOneWordIdsUntilTheNextHeader) {
    std::mt19937 rng(4);
    const raw h1 = header_of({{61, 0}, {2, 4}, {50002, 0}, {50, 0}}, rng);
    const raw h2 = header_of({{50002, 0}}, rng);
    const std::vector<raw> ps = {
        {2, 4, {7}},  h1, {61, 0, {1}}, {2, 4, {2}}, {50002, 0, {3}}, {50, 0, {4}},
        h2,           {50002, 0, {5}}, {2, 4, {6}},
    };
    const words w = from_bytes(write_to_memory(ps));
    const packets framed = ref_deframe(w);
    ASSERT_EQ(framed.size(), ps.size());
    EXPECT_EQ(framed[0], (words{0xFFFFFFFF, 0x00020004, 7})); // before any header: explicit
    EXPECT_EQ(framed[1][0], 0xFFFFFFFFu);                      // headers are always explicit
    EXPECT_EQ(framed[1][1], 0x00010000u);
    EXPECT_EQ(words(framed[1].begin() + 2, framed[1].end()), h1.body);
    EXPECT_EQ(framed[2], (words{0xFFFFFF01, 1}));
    EXPECT_EQ(framed[3], (words{0xFFFFFF02, 2}));
    EXPECT_EQ(framed[4], (words{0xFFFFFF03, 3}));
    EXPECT_EQ(framed[5], (words{0xFFFFFFFD, 4})); // crc32_check keeps its own start word
    EXPECT_EQ(framed[7], (words{0xFFFFFF01, 5})); // the second header alone names the keys
    EXPECT_EQ(framed[8], (words{0xFFFFFFFF, 0x00020004, 6}));
    zpk_istream in;
    in.rdcon(std::make_shared<chunked_rconnection>(to_bytes(w, false)));
    EXPECT_EQ(read_all(in), ps);
}

TEST(ZpkStreams, InputTableGrowsWithEveryHeaderAndUnknownKeysDecodeAsZeroMain) {
    std::mt19937 rng(5);
    const raw h1 = header_of({{10, 1}, {11, 1}, {12, 1}}, rng);
    const raw h2 = header_of({{12, 1}, {13, 1}}, rng);
    words framed = ref_frame({{0xFFFFFF05, 9}});
    for (const raw* h : {&h1, &h2}) {
        words p = {0xFFFFFFFF, 0x00010000};
        p.insert(p.end(), h->body.begin(), h->body.end());
        const words f = ref_frame({p});
        framed.insert(framed.end(), f.begin(), f.end());
    }
    for (unsigned key : {1u, 2u, 3u, 4u})
        framed.push_back(0xFFFFFF00u + key);
    zpk_istream in;
    in.rdcon(std::make_shared<chunked_rconnection>(to_bytes(framed, false)));
    const std::vector<raw> got = read_all(in);
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0], (raw{0, 5, {9}}));
    EXPECT_EQ(got[3], (raw{12, 1, {}})); // slot 1 now holds the second header's first id
    EXPECT_EQ(got[4], (raw{13, 1, {}}));
    EXPECT_EQ(got[5], (raw{12, 1, {}})); // slot 3 keeps the first header's entry
    EXPECT_EQ(got[6], (raw{0, 4, {}}));
}

TEST(ZpkStreams, OutputChecksIdsAndSizesBeforeWriting) {
    std::vector<char> bytes;
    zpk_ostream out;
    EXPECT_THROW(out << packet_of({2, 0, {}}), std::logic_error); // nothing attached
    out.wrcon(std::make_shared<scanlib::mem_wconnection>(bytes));
    out << id_of(1, 0);
    try {
        out << packet_of({2, 0, {1}});
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "zpk_ostream: id mismatch: expected 1.0 got 2.0");
    }
    out << id_of(0, 0);
    // A header shorter than its fixed fields.
    try {
        out << packet_of({1, 0, words(11)});
        ADD_FAILURE();
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "Missing data for sequence.");
    }
    // A body that does not fit the scratch region beside a two-word id header.
    try {
        out << packet_of({2, 0, words(0xFFFF, 1)});
        ADD_FAILURE();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "basic_buffer::resize");
    }
    // An id list longer than the scratch region is refused before it is written.
    std::mt19937 rng(6);
    raw huge = header_of({}, rng);
    huge.body.resize(0x10000 + 12, 0x00030001);
    EXPECT_THROW(out << packet_of(huge), std::out_of_range);
    out << packet_of({2, 0, words(0xFFFD, 1)}); // the largest that fits
    out.close();
    const packets framed = ref_deframe(from_bytes(bytes));
    ASSERT_EQ(framed.size(), 1u);
    EXPECT_EQ(framed[0].size(), 0xFFFFu);
}

TEST(ZpkStreams, HeaderThatFailsToFrameLeavesTheKeysAlone) {
    std::mt19937 rng(8);
    std::vector<char> bytes;
    zpk_ostream out;
    out.wrcon(std::make_shared<scanlib::mem_wconnection>(bytes));
    const raw h1 = header_of({{7, 0}}, rng);
    out << packet_of(h1);
    // Ids whose words all need escapes: the framed header outgrows the ring.
    std::vector<std::pair<unsigned, unsigned>> ids(0x9000, {0xFFFF, 0xFF55});
    ids[0] = {8, 0};
    EXPECT_THROW(out << packet_of(header_of(ids, rng)), scanlib::scanlib_exception);
    out << packet_of({7, 0, {1}}) << packet_of({8, 0, {2}});
    out.close();
    const packets framed = ref_deframe(from_bytes(bytes));
    ASSERT_EQ(framed.size(), 3u);
    EXPECT_EQ(framed[1], (words{0xFFFFFF01, 1}));
    EXPECT_EQ(framed[2], (words{0xFFFFFFFF, 0x00080000, 2}));
}

TEST(ZpkStreams, ShortHeaderIsAnErrorOnInput) {
    words framed = {0xFFFFFFFF, 0x00010000, 1, 2, 3};
    zpk_istream in;
    in.rdcon(std::make_shared<chunked_rconnection>(to_bytes(framed, false)));
    package_id id;
    try {
        in >> id;
        ADD_FAILURE();
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "Missing data for sequence.");
    }
}

TEST(ZpkStreams, PositionsSeekAndDrain) {
    std::mt19937 rng(10);
    std::vector<raw> ps = random_stream(rng, 400);
    const std::vector<char> body = write_to_memory(ps);
    const packets framed = ref_deframe(from_bytes(body));
    zpk_istream in;
    in.rdcon(std::make_shared<chunked_rconnection>(body));
    EXPECT_EQ(in.tellg(), 0u);
    package_id id;
    zpk_packet p;
    in >> id;
    EXPECT_EQ(in.tellg(), 4 * ref_frame({framed[0]}).size());
    std::uint64_t mark = 0;
    for (int i = 1; i < 30; ++i) {
        if (i == 20)
            mark = in.tellg();
        in >> id;
    }
    in.seekg(mark);
    in >> id >> p;
    EXPECT_EQ((raw{p.main, p.sub, words(p.begin, p.end)}), ps[20]);

    // drain: the framed words after the packet last read, exactly as they came.
    std::vector<char> buf(0x20000);
    const unsigned long n = in.drain(buf.data(), 0x10000); // more than 16 bits
    EXPECT_TRUE(in.at_end);
    EXPECT_GT(n, 0u);
    EXPECT_LE(n, 0xFFFFu);
    std::size_t from = 0;
    for (int i = 0; i <= 20; ++i)
        from += 4 * ref_frame({framed[i]}).size();
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + n, body.begin() + from));
    const unsigned long m = in.drain(buf.data(), 8192);
    EXPECT_LE(m, 8192u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + m, body.begin() + from + n));
    in >> id; // stays at its end
    EXPECT_TRUE(in.at_end);
    zpk_istream never;
    EXPECT_EQ(never.drain(buf.data(), 100), 0u);
    EXPECT_THROW(never.seekg(0), scanlib::scanlib_exception);
}

TEST(ZpkStreams, OpenCloseAndTheOutputFile) {
    temp_dir dir;
    const std::string only = dir.file("only-preamble.zpk");
    { zpk_ostream(only).close(); }
    EXPECT_EQ(slurp(only), to_bytes({}, true));
    {
        zpk_istream in(only);
        package_id id = id_of(3, 3);
        in >> id;
        EXPECT_TRUE(in.at_end);
        EXPECT_EQ(id.main, 3u);
        in.close();
        EXPECT_FALSE(in.is_open());
    }
    // Abandoned streams lose their file unless told to keep it.
    const std::string lost = dir.file("lost.zpk"), kept = dir.file("kept.zpk");
    {
        zpk_ostream a(lost);
        zpk_ostream b(kept, true);
        a << packet_of({2, 0, {1}});
        b << packet_of({2, 0, {1}});
        EXPECT_TRUE(a.is_open());
    }
    EXPECT_FALSE(fs::exists(lost));
    EXPECT_EQ(slurp(kept), to_bytes(ref_frame({{0xFFFFFFFF, 0x00020000, 1}}), true));
    {
        // A closed stream reads nothing more.
        zpk_istream in(kept);
        in.close();
        package_id id = id_of(3, 3);
        in >> id;
        EXPECT_TRUE(in.at_end);
        EXPECT_EQ(id.main, 3u);
    }
    // A file that cannot be opened: the stream is at its end.
    zpk_istream in;
    EXPECT_ANY_THROW(in.open(dir.file("missing.zpk")));
    EXPECT_TRUE(in.at_end);
    EXPECT_FALSE(in.is_open());
}

TEST(ZpkStreams, ReopenedOutputNeverUsesKeysItsNewFileHasNotAnnounced) {
    temp_dir dir;
    std::mt19937 rng(21);
    const raw h = header_of({{61, 0}, {2, 4}}, rng);
    const std::string first = dir.file("first.zpk"), second = dir.file("second.zpk");
    zpk_ostream out(first, true);
    out << packet_of(h) << packet_of({61, 0, {1}});
    out.open(second);
    out << packet_of({61, 0, {2}}) << packet_of(h) << packet_of({61, 0, {3}});
    out.close();
    // The new file's reader has seen no header before the first packet.
    const words w = from_bytes(slurp(second));
    const packets framed = ref_deframe(words(w.begin() + 4, w.end()));
    ASSERT_EQ(framed.size(), 3u);
    EXPECT_EQ(framed[0], (words{0xFFFFFFFF, 0x003D0000, 2}));
    EXPECT_EQ(framed[2], (words{0xFFFFFF01, 3})); // announced in this file
    for (const std::string& path : {first, second}) {
        zpk_istream in(path);
        for (const raw& r : read_all(in)) {
            if (r.main != 1) {
                EXPECT_EQ(r.main, 61u) << path;
            }
        }
    }
}

TEST(ZpkStreams, AbandonedStreamOnAFileUriKeepsItsFileAndNoOther) {
    temp_dir dir;
    // Relative names, so that the uri's text is itself a name in the directory.
    const fs::path before = fs::current_path();
    fs::current_path(dir.file(""));
    struct back_home {
        fs::path to;
        ~back_home() {
            std::error_code ec;
            fs::current_path(to, ec);
        }
    } home{before};
    std::ofstream("file:decoy.zpk") << "decoy";
    {
        zpk_ostream out("file:decoy.zpk");
        out << packet_of({2, 0, {7}});
    }
    // The file the uri names holds the stream; the file named like the uri's text is untouched.
    EXPECT_EQ(slurp("decoy.zpk"), to_bytes(ref_frame({{0xFFFFFFFF, 0x00020000, 7}}), true));
    ASSERT_TRUE(fs::exists("file:decoy.zpk"));
    const std::vector<char> decoy = slurp("file:decoy.zpk");
    EXPECT_EQ(std::string(decoy.begin(), decoy.end()), "decoy");
    // A plain name is removed, as before.
    { zpk_ostream("plain.zpk") << packet_of({2, 0, {7}}); }
    EXPECT_FALSE(fs::exists("plain.zpk"));
}

TEST(ZpkStreams, TruncatedFileKeepsEveryCompletePacket) {
    temp_dir dir;
    std::mt19937 rng(12);
    const std::vector<raw> ps = random_stream(rng, 40);
    const std::vector<char> body = write_to_memory(ps);
    std::vector<char> full = to_bytes({}, true);
    full.insert(full.end(), body.begin(), body.end());
    // Packet boundaries in bytes from the stream start.
    std::vector<std::size_t> ends;
    std::size_t at = 16;
    for (const words& f : ref_deframe(from_bytes(body))) {
        at += 4 * ref_frame({f}).size();
        ends.push_back(at);
    }
    for (std::size_t cut = 16; cut <= full.size(); cut += 1 + cut % 5) {
        const std::string path = dir.file("cut.zpk");
        std::ofstream(path, std::ios::binary | std::ios::trunc).write(full.data(), static_cast<std::streamsize>(cut));
        zpk_istream in(path);
        std::vector<raw> got;
        try {
            for (;;) {
                package_id id;
                zpk_packet p;
                in >> id >> p;
                if (in.at_end)
                    break;
                got.push_back({p.main, p.sub, words(p.begin, p.end)});
            }
        } catch (const std::range_error&) {
            // a header cut inside its fixed fields
        }
        const std::size_t complete = std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin();
        ASSERT_GE(got.size(), complete) << cut;
        for (std::size_t i = 0; i < complete; ++i)
            ASSERT_EQ(got[i], ps[i]) << cut;
    }
}

TEST(ZpkPacket, CopiesOwnTheirWords) {
    zpk_packet a = packet_of({2, 0, {1, 2, 3}});
    zpk_packet b = a;
    a.storage.assign(3, 9);
    EXPECT_EQ(words(b.begin, b.end), (words{1, 2, 3}));
    zpk_packet c;
    c = b;
    b = zpk_packet();
    EXPECT_EQ(words(c.begin, c.end), (words{1, 2, 3}));
    // A view into someone else's words stays a view.
    const unsigned int outside[2] = {4, 5};
    zpk_packet v;
    v.begin = outside;
    v.end = outside + 2;
    zpk_packet w = v;
    EXPECT_EQ(w.begin, outside);
}

TEST(ZpkStreams, LongIdListsNeverGiveAKeyTwoMeanings) {
    // A reader adds each header to its table. The 256th id of a list that the
    // list's first 254 lack keeps the key an earlier header gave it, taking that
    // slot from the id the later header put there: such a key must not be used.
    std::mt19937 rng(13);
    std::vector<std::pair<unsigned, unsigned>> first = {{9, 1}, {9, 2}, {9, 3}, {9, 4}, {77, 7}};
    std::vector<std::pair<unsigned, unsigned>> second;
    for (unsigned i = 0; i < 255; ++i)
        second.emplace_back(100 + i, 0);
    second.emplace_back(77, 7); // position 256: keeps key 5 for a reader
    const std::vector<raw> ps = {header_of(first, rng), header_of(second, rng), {104, 0, {1}}, {77, 7, {2}},
                                 {100, 0, {3}}};
    const std::vector<char> bytes = write_to_memory(ps);
    zpk_istream in;
    in.rdcon(std::make_shared<chunked_rconnection>(bytes));
    EXPECT_EQ(read_all(in), ps);
    const packets framed = ref_deframe(from_bytes(bytes));
    EXPECT_EQ(framed[2], (words{0xFFFFFFFF, 0x00680000, 1})); // key 5 is ambiguous: explicit
    EXPECT_EQ(framed[4], (words{0xFFFFFF01, 3}));             // key 1 is not
}
