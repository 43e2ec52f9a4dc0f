// Re-encoding visitor: random streams decoded and written again, checked
// against a model of the body sizes drawn from the layout list, and the
// rules of the id headers one by one.

#include <scanlib/encoder.hpp>
#include <scanlib/memconn.hpp>
#include <scanlib/zpkmarker.hpp>
#include <scanlib/zpkstream.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "zpk_support.hpp"

namespace {

using namespace zpktest;
using scanlib::encoder_packets;
using scanlib::package_id;

// Layout extents from the field list: bits used by the fixed fields, and the
// sequence start and element width where there is a sequence.
struct extent {
    unsigned fixed_bits = 0;
    bool sequence = false;
    unsigned P = 0, W = 0;
};

const std::array<extent, 251>& extents() {
    static const std::array<extent, 251> table = [] {
        std::array<extent, 251> e{};
#define SCANLIB_LAYOUT_FIELD(type, index, name, kind, letter, width, bit, count) \
    e[type].fixed_bits = std::max<unsigned>(e[type].fixed_bits, (bit) + (width) * (count));
#define SCANLIB_LAYOUT_SEQUENCE(type, name, bit, element_bits, max_count) \
    e[type].sequence = true;                                              \
    e[type].P = bit;                                                      \
    e[type].W = element_bits;
#include <scanlib/generated/packet_layout.inc>
#undef SCANLIB_LAYOUT_FIELD
#undef SCANLIB_LAYOUT_SEQUENCE
        return e;
    }();
    return table;
}

package_id type_id(unsigned t) { return package_id::name_from_type[t].second; }
unsigned type_of(unsigned main, unsigned sub) { return package_id(main, sub); }

// Body words written for a body of `have` words of type t; shorter bodies of
// fixed layouts are completed with zeros.
std::size_t model_words(unsigned t, std::size_t have) {
    const extent& e = extents()[t];
    if (!e.sequence)
        return (e.fixed_bits + 31) / 32;
    const std::uint64_t m = (32 * have - e.P) / e.W;
    return static_cast<std::size_t>((e.P + e.W * m + 31) / 32);
}

words explicit_id(unsigned main, unsigned sub) { return {0xFFFFFFFFu, main << 16 | sub}; }

words packet(const words& head, const words& body) {
    words p = head;
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

words header_body(const std::vector<package_id>& ids, char fill = 'a') {
    words b(12);
    for (std::size_t i = 0; i < 12; ++i)
        b[i] = 0x01010101u * static_cast<unsigned char>(fill + i);
    for (const package_id& i : ids)
        b.push_back(i.main << 16 | i.sub);
    return b;
}

// Writes through a real framing encoder into memory; the result is deframed
// by the reference deframer.
struct pipeline {
    std::vector<char> bytes;
    std::shared_ptr<scanlib::mem_wconnection> sink = std::make_shared<scanlib::mem_wconnection>(bytes);
    scanlib::encoder_zpkmarker marker{sink, 0x20000, 0x10000, false};
    encoder_packets enc{&marker};

    void feed(const words& p) { enc.dispatch(p.data(), p.data() + p.size()); }
    packets finish() {
        marker.eot();
        marker.flush();
        return ref_deframe(from_bytes(bytes));
    }
};

// Reference id decoding of an output stream: keys from the last header listed.
struct decoded_packet {
    package_id id;
    words body;
    std::size_t header_words;
};

std::vector<decoded_packet> decode_ids(const packets& ps) {
    std::vector<decoded_packet> out;
    std::map<unsigned, package_id> keys;
    for (const words& p : ps) {
        decoded_packet d;
        const unsigned key = p[0] & 0xFF;
        if (key == 0xFF) {
            d.id = package_id(p.at(1) >> 16, p.at(1) & 0xFFFF);
            d.header_words = 2;
        } else if (key == 0xFE) {
            d.id = package_id(65535, 65535);
            d.header_words = 1;
        } else if (key == 0xFD) {
            d.id = package_id(50, 0);
            d.header_words = 1;
        } else {
            d.id = keys.at(key);
            d.header_words = 1;
        }
        d.body.assign(p.begin() + static_cast<std::ptrdiff_t>(d.header_words), p.end());
        if (d.id == package_id(1, 0))
            for (std::size_t j = 12; j < d.body.size(); ++j)
                keys[static_cast<unsigned>(j - 11)] = package_id(d.body[j] >> 16, d.body[j] & 0xFFFF);
        out.push_back(std::move(d));
    }
    return out;
}

TEST(EncoderPackets, RandomStreamsDecodeToTheSamePackets) {
    std::mt19937 r(20261207);
    const unsigned header_t = package_id(1, 0);
    for (int round = 0; round < 40; ++round) {
        // Input: a header of random distinct ids, packets of random types
        // under their own id, a newer sub or no known main, some keyed.
        std::vector<package_id> listed;
        while (listed.size() < 1 + r() % 20) {
            const package_id id = type_id(1 + r() % 250);
            if (id.main != 65535 && std::find(listed.begin(), listed.end(), id) == listed.end())
                listed.push_back(id);
        }
        struct expected {
            package_id id;
            words body;
        };
        std::vector<expected> want;
        packets input{packet(explicit_id(1, 0), header_body(listed))};
        want.push_back({package_id(1, 0), header_body(listed)});
        for (int n = 0; n < 300; ++n) {
            const unsigned t = 1 + r() % 250;
            if (t == header_t)
                continue;
            package_id id = type_id(t);
            if (r() % 8 == 0 && id.main != 65535)
                id.sub += 1 + r() % 3;
            if (r() % 25 == 0)
                id = package_id(60000 + r() % 5000, r() % 3);
            const extent& e = extents()[t];
            const std::size_t minimum = e.sequence ? (e.P + 31) / 32 : 0;
            const std::size_t len = minimum + r() % (e.sequence ? 12 : (e.fixed_bits / 32 + 3));
            words body(len);
            for (auto& w : body)
                w = nasty_word(r);
            if (id.main == 65535)
                body.clear();
            words head;
            const auto at = std::find(listed.begin(), listed.end(), id);
            if (id == package_id(65535, 65535))
                head = {0xFFFFFFFEu};
            else if (id == package_id(50, 0) && r() % 2)
                head = {0xFFFFFFFDu};
            else if (at != listed.end() && r() % 2)
                head = {0xFFFFFF00u + static_cast<unsigned>(at - listed.begin() + 1)};
            else
                head = explicit_id(id.main, id.sub);
            input.push_back(packet(head, body));
            const unsigned got_t = type_of(id.main, id.sub);
            if (got_t == 0)
                continue;
            words out(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), model_words(got_t, len))));
            out.resize(model_words(got_t, len), 0u);
            want.push_back({type_id(got_t), out});
        }
        // Decoded from the framed bytes, fed in odd chunks.
        pipeline p;
        scanlib::decoder_zpkmarker dec(std::make_shared<chunked_rconnection>(to_bytes(ref_frame(input), false),
                                                                             [](std::size_t c) { return c % 37 + 1; }),
                                       false);
        scanlib::basic_buffer<unsigned int*> region;
        for (dec.get(region); !region.empty(); dec.get(region))
            p.enc.dispatch(region.begin, region.end);
        const auto got = decode_ids(p.finish());
        ASSERT_EQ(got.size(), want.size()) << "round " << round;
        for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i].id, want[i].id) << "round " << round << " packet " << i;
            ASSERT_EQ(got[i].body, want[i].body) << "round " << round << " packet " << i;
            // The shortest header the first header's keys allow.
            const package_id id = got[i].id;
            const bool one_word = id == package_id(50, 0) || id == package_id(65535, 65535) ||
                                  (id != package_id(1, 0) &&
                                   std::find(listed.begin(), listed.end(), id) != listed.end());
            EXPECT_EQ(got[i].header_words, one_word ? 1u : 2u) << i;
        }
    }
}

// The library's own reader takes the output back: every id header the
// visitor writes (keys up to 252, the explicit form beyond) reads back as the
// packet's id, also with a header whose list fills every key.
TEST(EncoderPackets, OutputReadsBackThroughTheStreamReader) {
    std::mt19937 r(7031);
    const unsigned header_t = package_id(1, 0);
    for (int round = 0; round < 12; ++round) {
        std::vector<package_id> listed;
        if (round % 2 == 0) {
            // Every typed id, padded with untyped ones to 254 entries: keys 253
            // and 254 then belong to ids that must not take the one-word form.
            for (unsigned t = 1; t <= 250; ++t)
                if (t != header_t && type_id(t).main != 65535)
                    listed.push_back(type_id(t));
            for (unsigned i = 0; listed.size() < 254; ++i)
                listed.push_back(package_id(60000 + i, 0));
            std::shuffle(listed.begin(), listed.end(), r);
        } else {
            while (listed.size() < 1 + r() % 8)
                listed.push_back(type_id(2 + r() % 249));
        }
        struct expected {
            package_id id;
            words body;
        };
        std::vector<expected> want;
        pipeline p;
        const words h = header_body(listed);
        p.feed(packet(explicit_id(1, 0), h));
        want.push_back({package_id(1, 0), h});
        for (int n = 0; n < 400; ++n) {
            const unsigned t = 1 + r() % 250;
            if (t == header_t)
                continue;
            const package_id id = type_id(t);
            const extent& e = extents()[t];
            std::size_t len = e.sequence ? (e.P + 31) / 32 + r() % 10 : (e.fixed_bits + 31) / 32;
            if (id.main == 65535)
                len = 0;
            words body(len);
            for (auto& w : body)
                w = nasty_word(r);
            p.feed(packet(explicit_id(id.main, id.sub), body));
            body.resize(model_words(t, len));
            want.push_back({id, body});
        }
        p.finish();

        scanlib::zpk_istream in;
        in.rdcon(std::make_shared<chunked_rconnection>(p.bytes, [](std::size_t c) { return c % 61 + 1; }));
        std::size_t i = 0;
        for (;; ++i) {
            package_id id;
            in >> id;
            if (in.at_end)
                break;
            scanlib::zpk_packet pk;
            in >> pk;
            ASSERT_LT(i, want.size()) << "round " << round;
            ASSERT_EQ(id, want[i].id) << "round " << round << " packet " << i;
            EXPECT_EQ(package_id(pk.main, pk.sub), want[i].id);
            EXPECT_EQ(words(pk.begin, pk.end), want[i].body) << "round " << round << " packet " << i;
        }
        EXPECT_EQ(i, want.size()) << "round " << round;
    }
}

// Re-encodes single packets into memory; returns the framed output unframed.
packets encode(const packets& in, const std::bitset<scanlib::package_type_count>& selector = scanlib::select_all) {
    pipeline p;
    p.enc.selector = selector;
    for (const words& w : in)
        p.feed(w);
    return p.finish();
}

words seq_body(std::size_t n) {
    words b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = 0x1000u + static_cast<unsigned>(i);
    return b;
}

TEST(EncoderPackets, IdHeadersAndBodySizes) {
    // Worked sizes, written out.
    struct row {
        package_id id;
        std::size_t have, written;
    };
    const row rows[] = {
        {{61, 0}, 4, 4},     // IMU_data
        {{61, 0}, 6, 4},     // longer than its layout
        {{104, 0}, 3, 3},    // arange_table: four 16-bit elements
        {{27, 4}, 9, 9},     // atmosphere_4
        {{14, 0}, 0, 0},     // frame_start
    };
    for (const row& c : rows) {
        const packets out = encode({packet(explicit_id(c.id.main, c.id.sub), seq_body(c.have))});
        ASSERT_EQ(out.size(), 1u);
        words want = packet(explicit_id(c.id.main, c.id.sub), seq_body(c.written));
        EXPECT_EQ(out[0], want) << c.id.main << "." << c.id.sub;
    }
    // Sequence layouts by name: body words in, body words out.
    struct seq_row {
        const char* name;
        std::size_t have, written;
    };
    const seq_row seqs[] = {
        {"hk_float64_param", 4, 3},  {"hk_float64_param", 5, 5},  {"channel_combination_table", 0, 0},
        {"dyntrig", 2 + 6 * 3, 20},  {"dyntrig", 2 + 6 * 3 + 3, 20}, {"blob_uint8", 7, 7},
        {"calib_table", 12, 12},      {"packed_frame_echo", 3, 2},   {"scan_segments_fov", 5, 3},
        {"trigger_debug_stattrig_table", 9, 8}, {"ublox_lea5t_rxm", 8, 3}, {"ublox_lea5t_rxm", 9, 9},
        {"sbl_dg_channel_expsum_1", 14, 7},     {"m_sequence_mta", 5, 5},
    };
    for (const seq_row& c : seqs) {
        const package_id id = package_id::id_from_name.at(c.name);
        const packets out = encode({packet(explicit_id(id.main, id.sub), seq_body(c.have))});
        ASSERT_EQ(out.size(), 1u) << c.name;
        EXPECT_EQ(out[0], packet(explicit_id(id.main, id.sub), seq_body(c.written))) << c.name << " " << c.have;
    }
    // One-word forms that no table changes; datagram_separator's halves.
    EXPECT_EQ(encode({{0xFFFFFFFEu}}), packets{{0xFFFFFFFEu}});
    EXPECT_EQ(encode({packet(explicit_id(50, 0), {7, 8, 9})}), (packets{{0xFFFFFFFDu, 7, 8}}));
    EXPECT_EQ(encode({packet(explicit_id(65226, 60926), {5})}), (packets{{0xFFFFFFFFu, 65226u << 16 | 60926u, 5}}));
}

TEST(EncoderPackets, FirstHeaderFixesTheKeys) {
    const std::vector<package_id> first{{61, 0}, {2, 4}, {50, 0}};
    const std::vector<package_id> second{{27, 4}, {61, 0}};
    const packets out = encode({
        packet(explicit_id(61, 0), seq_body(4)),           // before any header
        packet(explicit_id(1, 0), header_body(first, 'x')),
        packet({0xFFFFFF02u}, seq_body(20)),               // (2, 4) by the input's key
        packet(explicit_id(50, 0), {1, 2}),
        packet({0xFFFFFF03u}, {3, 4}),                     // (50, 0) keyed in the input
        packet(explicit_id(1, 0), header_body(second, 'y')),
        packet({0xFFFFFF01u}, seq_body(9)),                // now (27, 4)
        packet({0xFFFFFF02u}, seq_body(4)),                // now (61, 0)
    });
    const packets want{
        packet(explicit_id(61, 0), seq_body(4)),
        packet(explicit_id(1, 0), header_body(first, 'x')),
        packet({0xFFFFFF02u}, seq_body(20)),
        {0xFFFFFFFDu, 1, 2},
        {0xFFFFFFFDu, 3, 4},
        packet(explicit_id(1, 0), header_body(first, 'y')), // the first list again
        packet(explicit_id(27, 4), seq_body(9)),           // not in the first list
        packet({0xFFFFFF01u}, seq_body(4)),
    };
    EXPECT_EQ(out, want);

    // A header without ids leaves the table empty; the next one fills it.
    const packets late = encode({
        packet(explicit_id(1, 0), header_body({})),
        packet(explicit_id(61, 0), seq_body(4)),
        packet(explicit_id(1, 0), header_body({{61, 0}})),
        packet(explicit_id(61, 0), seq_body(4)),
    });
    ASSERT_EQ(late.size(), 4u);
    EXPECT_EQ(late[1][0], 0xFFFFFFFFu);
    EXPECT_EQ(late[3], packet({0xFFFFFF01u}, seq_body(4)));
}

TEST(EncoderPackets, LayoutChoiceAndDrops) {
    const package_id units_4 = package_id::id_from_name.at("units_4");
    // Written once under the layout matched, newest for a newer sub.
    EXPECT_EQ(encode({packet(explicit_id(units_4.main, units_4.sub), seq_body(20))}),
              packets{packet(explicit_id(units_4.main, units_4.sub), seq_body(20))});
    EXPECT_EQ(encode({packet(explicit_id(units_4.main, units_4.sub + 5), seq_body(25))}),
              packets{packet(explicit_id(units_4.main, units_4.sub), seq_body(20))});
    // A deselected layout falls back to the next older one that is selected.
    auto sel = scanlib::select_all;
    sel.reset(package_id(10, 2));
    EXPECT_EQ(encode({packet(explicit_id(10, 2), seq_body(3))}, sel),
              packets{packet(explicit_id(10, 1), seq_body(2))});
    // No type, or no selected layout: nothing.
    EXPECT_TRUE(encode({packet(explicit_id(60001, 0), seq_body(3)), {0xFFFFFF07u, 1}}).empty());
    sel.reset(package_id(10, 1));
    sel.reset(package_id(10, 0));
    EXPECT_TRUE(encode({packet(explicit_id(10, 2), seq_body(3))}, sel).empty());
    // A body short of its fixed layout is completed with zeros.
    EXPECT_EQ(encode({packet(explicit_id(61, 0), {1, 2})}), packets{packet(explicit_id(61, 0), {1, 2, 0, 0})});
    // Packed frames stay packed.
    const package_id pfe = package_id::id_from_name.at("packed_frame_echo");
    EXPECT_EQ(encode({packet(explicit_id(pfe.main, pfe.sub), seq_body(4))}),
              packets{packet(explicit_id(pfe.main, pfe.sub), seq_body(4))});
}

TEST(EncoderPackets, NullMarkerWritesNothingButTakesTheTable) {
    encoder_packets enc;
    const words h = packet(explicit_id(1, 0), header_body({{61, 0}}));
    const words imu = packet(explicit_id(61, 0), seq_body(4));
    enc.dispatch(h.data(), h.data() + h.size());
    enc.dispatch(imu.data(), imu.data() + imu.size());
    EXPECT_FALSE(enc.not_handled);
    ASSERT_EQ(enc.table.key2id.size(), 1u);
    EXPECT_EQ(enc.table.compact_key({61, 0}), 1);
}

// A marker that records what it is given and hands out a fixed region.
class recording_marker : public scanlib::basic_zpkmarker {
public:
    explicit recording_marker(std::size_t room) : basic_zpkmarker(8, 4, false), words_(room) {}
    void get(scanlib::basic_buffer<unsigned int*>&) override {}
    void put(scanlib::basic_buffer<unsigned int*>& b) override {
        if (!b.empty())
            got.emplace_back(b.begin, b.end);
        b = {words_.data(), words_.data() + words_.size(), words_.data() + words_.size()};
    }
    packets got;

private:
    words words_;
};

TEST(EncoderPackets, RoomFailuresWriteNothing) {
    {
        recording_marker m(5);
        encoder_packets enc(&m);
        const words imu = packet(explicit_id(61, 0), seq_body(4)); // needs 6 words
        const auto before = enc.buffer;
        try {
            enc.dispatch(imu.data(), imu.data() + imu.size());
            FAIL() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "basic_buffer::resize");
        }
        EXPECT_TRUE(m.got.empty());
        EXPECT_EQ(enc.buffer.begin, before.begin);
        EXPECT_EQ(enc.buffer.end, before.end);
        const words fits = packet(explicit_id(61, 0), seq_body(3)); // padded to 4 body words: 6
        EXPECT_THROW(enc.dispatch(fits.data(), fits.data() + fits.size()), std::out_of_range);
        const words small = packet(explicit_id(14, 0), {});
        enc.dispatch(small.data(), small.data() + small.size());
        EXPECT_EQ(m.got, packets{explicit_id(14, 0)});
    }
    {
        // Less room after the id header than the sequence's fixed part.
        recording_marker m(2 + 8);
        encoder_packets enc(&m);
        const package_id ct = package_id::id_from_name.at("calib_table"); // 272 bits fixed
        const words p = packet(explicit_id(ct.main, ct.sub), seq_body(9));
        try {
            enc.dispatch(p.data(), p.data() + p.size());
            FAIL() << "no exception";
        } catch (const std::range_error& e) {
            EXPECT_STREQ(e.what(), "Missing data for sequence.");
        }
        const words h = packet(explicit_id(1, 0), header_body({{61, 0}}));
        EXPECT_THROW(enc.dispatch(h.data(), h.data() + h.size()), std::range_error);
        // The table was taken before the header failed.
        EXPECT_EQ(enc.table.key2id.size(), 1u);
        EXPECT_TRUE(m.got.empty());
    }
}

} // namespace
