#include <binary/binary.hpp>
#include <gtest/gtest.h>
#include <scanlib/generated/packets.hpp>
#include <scanlib/package.hpp>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <random>
#include <set>
#include <vector>

using scanlib::basic_package;
using scanlib::lookup_table;
using scanlib::package_id;
using scanlib::write_package;
using cptr = const unsigned int*;

namespace {

// Elements of an id list: the whole id word, or main and sub as fields.
template <class Iter>
struct id_word {
    binary::field<unsigned int, binary::base_type<unsigned int, 32>, 0, Iter> id;
    id_word(Iter w, unsigned base) : id(w, base) {}
};
template <class Iter>
struct id_halves {
    binary::field<unsigned short, binary::base_type<unsigned int, 16>, 0, Iter> sub;
    binary::field<unsigned short, binary::base_type<unsigned int, 16>, 16, Iter> main;
    id_halves(Iter w, unsigned base) : sub(w, base), main(w, base) {}
};

using ids_view = binary::sequence<id_word<cptr>, 32, 384, cptr>;
using halves_view = binary::sequence<id_halves<cptr>, 32, 384, cptr>;

// A header body: 48 bytes of fixed fields, then the id list.
std::vector<unsigned int> header_body(const std::vector<lookup_table::id>& ids) {
    std::vector<unsigned int> body(12, 0x20202020u);
    for (const auto& i : ids)
        body.push_back((i.main & 0xFFFFu) << 16 | (i.sub & 0xFFFFu));
    return body;
}

void load(lookup_table& t, const std::vector<lookup_table::id>& ids, bool halves = false) {
    const auto body = header_body(ids);
    std::int64_t count = -1;
    if (halves) {
        halves_view v(body.data(), body.data() + body.size(), count);
        t.load(v);
        EXPECT_EQ(v.accessed(), !ids.empty());
    } else {
        ids_view v(body.data(), body.data() + body.size(), count);
        t.load(v);
        EXPECT_EQ(v.accessed(), !ids.empty());
        if (!ids.empty()) {
            EXPECT_EQ(v.highest(), ids.size() - 1);
        }
    }
    EXPECT_EQ(count, std::int64_t(ids.size()));
}

// Decodes a packet held in an allocation of exactly its own size, so that the
// sanitizer build catches any read beyond its end.
struct decoded {
    package_id id;
    std::ptrdiff_t body_offset, size;
};
decoded decode(const std::vector<unsigned int>& words, const lookup_table& t) {
    std::unique_ptr<unsigned int[]> exact(new unsigned int[words.size()]);
    std::copy(words.begin(), words.end(), exact.get());
    const cptr b = exact.get(), e = b + words.size();
    basic_package<cptr> p(b, e, t);
    EXPECT_EQ(p.begin, b);
    EXPECT_EQ(p.end, e);
    EXPECT_LE(p.body_begin, e);
    return {p.id, p.body_begin - b, e - b};
}

struct encoded {
    std::vector<unsigned int> words;
    std::ptrdiff_t body_offset;
};
encoded encode(unsigned int main, unsigned int sub, const lookup_table* t) {
    std::vector<unsigned int> w(3, 0xABABABABu);
    const auto p = t ? write_package(main, sub, *t, w.data(), w.data() + w.size())
                     : write_package(main, sub, w.data(), w.data() + w.size());
    EXPECT_EQ(p.begin, w.data());
    EXPECT_EQ(p.end, w.data() + w.size());
    const auto offset = p.body_begin - w.data();
    EXPECT_EQ(w[2], 0xABABABABu); // header words only
    w.resize(static_cast<std::size_t>(offset));
    EXPECT_GE(w[0], 0xFFFFFF01u);  // always a start word
    return {w, offset};
}

// Keyed writer, then reader with the same table: the id comes back (its
// 16-bit halves), and the body begins right after the written header.
void expect_round_trip(const lookup_table& t, unsigned int main, unsigned int sub) {
    const encoded enc = encode(main, sub, &t);
    const decoded dec = decode(enc.words, t);
    EXPECT_EQ(dec.id, package_id(main & 0xFFFFu, sub & 0xFFFFu)) << main << "." << sub;
    EXPECT_EQ(dec.body_offset, enc.body_offset);
}

bool compact(const lookup_table& t, unsigned int main, unsigned int sub) {
    return encode(main, sub, &t).words.size() == 1;
}

std::vector<lookup_table::id> distinct_ids(std::size_t n, unsigned int first_main) {
    std::vector<lookup_table::id> v;
    for (std::size_t i = 0; i < n; ++i)
        v.push_back({first_main + unsigned(i), unsigned(i % 3)});
    return v;
}

} // namespace

TEST(PackageHeader, DocumentedDecodings) {
    lookup_table empty;
    auto d = decode({0xFFFFFF01u, 7}, empty);
    EXPECT_EQ(d.id, package_id(0, 1));
    EXPECT_EQ(d.body_offset, 1);
    EXPECT_EQ(decode({0x00000001u}, empty).id, package_id(0, 1));
    d = decode({0xFFFFFFFFu, 0x00020004u, 9}, empty);
    EXPECT_EQ(d.id, package_id(2, 4));
    EXPECT_EQ(d.body_offset, 2);
    EXPECT_EQ(decode({0xFFFFFFFEu}, empty).id, package_id(65535, 65535));
    EXPECT_EQ(decode({0x123456FDu}, empty).id, package_id(50, 0));

    lookup_table t;
    load(t, {{61, 0}, {2, 4}, {50002, 0}});
    EXPECT_EQ(t.key2id, (std::vector<lookup_table::id>{{61, 0}, {2, 4}, {50002, 0}}));
    EXPECT_EQ(t.id2key.at({61, 0}), 1);
    EXPECT_EQ(t.id2key.at({2, 4}), 2);
    EXPECT_EQ(t.id2key.at({50002, 0}), 3);
    EXPECT_EQ(decode({0xFFFFFF02u}, t).id, package_id(2, 4));
    EXPECT_EQ(decode({0xFFFFFF04u}, t).id, package_id(0, 4));
    d = decode({0xFFFFFF00u, 1}, t);
    EXPECT_EQ(d.id, package_id(0, 0));
    EXPECT_EQ(d.body_offset, 1);
    EXPECT_EQ(encode(2, 4, &t).words, std::vector<unsigned int>{0xFFFFFF02u});
}

TEST(PackageHeader, DocumentedEncodings) {
    lookup_table t;
    load(t, {{50, 0}, {65535, 65535}});
    for (const lookup_table* table : {static_cast<const lookup_table*>(&t), static_cast<const lookup_table*>(nullptr)})
        EXPECT_EQ(encode(65535, 65535, table).words, std::vector<unsigned int>{0xFFFFFFFEu});
    EXPECT_EQ(encode(50, 0, &t).words, std::vector<unsigned int>{0xFFFFFFFDu});
    EXPECT_EQ(encode(50, 0, nullptr).words, (std::vector<unsigned int>{0xFFFFFFFFu, 50u << 16}));
    EXPECT_EQ(decode(encode(50, 0, nullptr).words, t).id, package_id(50, 0));
    EXPECT_EQ(encode(2, 4, nullptr).words, (std::vector<unsigned int>{0xFFFFFFFFu, 0x00020004u}));
    const auto wide = encode(70000, 3, nullptr);
    EXPECT_EQ(wide.words, (std::vector<unsigned int>{0xFFFFFFFFu, 4464u * 65536 + 3}));
    EXPECT_EQ(decode(wide.words, t).id, package_id(4464, 3));
    expect_round_trip(t, 70000, 3);
}

TEST(PackageHeader, PacketsShorterThanTheirHeaderAreNotReadBeyondTheirEnd) {
    lookup_table t;
    load(t, distinct_ids(20, 100));
    auto d = decode({}, t);
    EXPECT_EQ(d.id, package_id(0, 0));
    EXPECT_EQ(d.body_offset, 0);
    for (unsigned int word0 : {0xFFFFFFFFu, 0x000000FFu}) {
        d = decode({word0}, t);
        EXPECT_EQ(d.id, package_id(0, 255));
        EXPECT_EQ(d.body_offset, 1); // = end: empty body
    }
    // every other one-word packet has its whole header
    for (unsigned int key = 0; key < 255; ++key)
        EXPECT_EQ(decode({0xFFFFFF00u | key}, t).body_offset, 1) << key;
}

TEST(PackageHeader, ListsOf253And254Ids) {
    for (std::size_t n : {252u, 253u, 254u}) {
        lookup_table t;
        const auto ids = distinct_ids(n, 1000);
        load(t, ids);
        EXPECT_EQ(t.key2id.size(), n);
        for (std::size_t i = 0; i < n; ++i) {
            expect_round_trip(t, ids[i].main, ids[i].sub);
            // keys 253 and 254 would read back as crc32_check and void_data
            EXPECT_EQ(compact(t, ids[i].main, ids[i].sub), i < 252) << n << " " << i;
        }
    }
}

TEST(PackageHeader, ListOf300Ids) {
    lookup_table t;
    const auto ids = distinct_ids(300, 2000);
    load(t, ids);
    EXPECT_EQ(t.key2id.size(), 254u);
    // the 255th and 256th are passed over, the 257th.. take keys 1..44 again
    EXPECT_EQ(t.id2key.count(ids[254]), 0u);
    EXPECT_EQ(t.id2key.count(ids[255]), 0u);
    for (std::size_t i = 256; i < 300; ++i) {
        EXPECT_EQ(t.id2key.at(ids[i]), i - 255);
        EXPECT_EQ(t.key2id[i - 256], ids[i]);
    }
    for (std::size_t i = 0; i < 300; ++i) {
        expect_round_trip(t, ids[i].main, ids[i].sub);
        const bool expect_compact = (i >= 44 && i < 252) || i >= 256;
        EXPECT_EQ(compact(t, ids[i].main, ids[i].sub), expect_compact) << i;
    }
}

TEST(PackageHeader, TwoHeadersInARow) {
    const lookup_table::id P{3, 0}, Q{4, 0}, R{5, 0}, S{6, 0};
    lookup_table t;
    load(t, {P, Q, R});
    load(t, {R, S}, true);
    EXPECT_EQ(t.key2id, (std::vector<lookup_table::id>{R, S, R}));
    EXPECT_EQ(t.id2key.at(P), 1);
    EXPECT_EQ(t.id2key.at(Q), 2);
    EXPECT_EQ(t.id2key.at(R), 1);
    EXPECT_EQ(t.id2key.at(S), 2);
    EXPECT_EQ(decode({0xFFFFFF03u}, t).id, package_id(5, 0));
    // P and Q keep stale keys whose slots now hold R and S: explicit form
    EXPECT_FALSE(compact(t, P.main, P.sub));
    EXPECT_FALSE(compact(t, Q.main, Q.sub));
    EXPECT_TRUE(compact(t, R.main, R.sub));
    EXPECT_TRUE(compact(t, S.main, S.sub));
    for (const auto& i : {P, Q, R, S})
        expect_round_trip(t, i.main, i.sub);
    // an empty list changes nothing
    const lookup_table before = t;
    load(t, {});
    EXPECT_EQ(t.key2id, before.key2id);
    EXPECT_EQ(t.id2key, before.id2key);
}

TEST(PackageHeader, KeyedRoundTripsOverRandomTables) {
    std::mt19937 rng(4242);  // fixed seed: reproducible
    for (int trial = 0; trial < 60; ++trial) {
        lookup_table t;
        std::set<std::pair<unsigned, unsigned>> seen;
        const int headers = 1 + trial % 4;
        for (int h = 0; h < headers; ++h) {
            std::vector<lookup_table::id> ids;
            const std::size_t n = rng() % (trial % 3 == 0 ? 320 : 40);
            for (std::size_t i = 0; i < n; ++i) {
                // a small id space so that lists repeat ids and headers overlap
                lookup_table::id id{unsigned(rng() % 24), unsigned(rng() % 3)};
                if (rng() % 16 == 0)
                    id = rng() % 2 ? lookup_table::id{50, 0} : lookup_table::id{65535, 65535};
                ids.push_back(id);
                seen.insert({id.main, id.sub});
            }
            load(t, ids, h % 2 == 1);
            EXPECT_LE(t.key2id.size(), 254u);
        }
        for (const auto& [main, sub] : seen)
            expect_round_trip(t, main, sub);
        for (int i = 0; i < 50; ++i)
            expect_round_trip(t, static_cast<unsigned>(rng()), static_cast<unsigned>(rng()));
        // a copied table writes and reads the same
        const lookup_table copy = t;
        for (const auto& [main, sub] : seen)
            EXPECT_EQ(encode(main, sub, &copy).words, encode(main, sub, &t).words);
    }
}

TEST(PackageHeader, HeaderListTooShortThrowsBeforeLoad) {
    std::vector<unsigned int> body(11, 0);
    std::int64_t count = 0;
    EXPECT_THROW(ids_view(body.data(), body.data() + body.size(), count), std::range_error);
}

TEST(PackageHeader, LoadsThroughTheHeaderPacketView) {
    std::vector<lookup_table::id> ids = distinct_ids(30, 7000);
    ids.push_back({61, 0});
    ids.push_back({7001, 1});
    const auto body = header_body(ids);
    scanlib::header<cptr> view(body.data(), body.data() + body.size());
    lookup_table via_view, via_words;
    via_view.load(view.ids);
    load(via_words, ids);
    EXPECT_EQ(via_view.key2id, via_words.key2id);
    EXPECT_EQ(via_view.id2key, via_words.id2key);
    EXPECT_TRUE(view.ids.accessed());
    EXPECT_EQ(view.ids.highest(), ids.size() - 1);
    EXPECT_EQ(decode({0xFFFFFF00u + 31}, via_view).id, package_id(61, 0));
}

// Seeds for fuzz_package: a list length byte, the list words, one packet; the
// same bytes are also read as id text.
TEST(PackageHeader, WritesFuzzSeeds) {
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    const auto dir = exe.parent_path().parent_path() / "fuzz-seeds" / "fuzz_package";
    std::filesystem::create_directories(dir);
    auto seed = [&](const std::string& name, unsigned char list, const std::vector<unsigned int>& words,
                    const std::string& text = {}) {
        std::string bytes(1, static_cast<char>(list));
        for (unsigned int w : words)
            bytes.append(reinterpret_cast<const char*>(&w), 4);
        bytes += text;
        std::ofstream(dir / name, std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_TRUE(std::filesystem::exists(dir / name));
    };
    seed("compact", 3, {0x003D0000u, 0x00020004u, 0xC3520000u, 0xFFFFFF02u, 7});
    seed("explicit", 0, {0xFFFFFFFFu, 0x00020004u, 1, 2});
    seed("short", 0, {0xFFFFFFFFu});
    seed("text", 0, {}, "header (1.0) ");
    seed("braceless", 0, {}, "1, 0 ");
}
