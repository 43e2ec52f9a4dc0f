#include "zpk_support.hpp"

#include <gtest/gtest.h>
#include <scanlib/scanexcept.hpp>
#include <scanlib/zpkmarker.hpp>

#include <memory>
#include <random>
#include <string>

using namespace zpktest;
using scanlib::basic_buffer;
using scanlib::decoder_zpkmarker;
using scanlib::encoder_zpkmarker;
using scanlib::scanlib_exception;

namespace {

using region = basic_buffer<unsigned int*>;

// The error text ends with the source, the line and the message.
#define EXPECT_ZPK_ERROR(stmt, line, msg)                                                                   \
    do {                                                                                                     \
        try {                                                                                                \
            stmt;                                                                                            \
            ADD_FAILURE() << "no exception from " #stmt;                                                     \
        } catch (const scanlib_exception& e) {                                                               \
            const std::string want = std::string("scanlib/src/zpkmarker : ") + #line + " : " + (msg);       \
            const std::string got = e.what();                                                                \
            EXPECT_TRUE(got.size() >= want.size() && got.compare(got.size() - want.size(), want.size(), want) == 0) \
                << got;                                                                                      \
        }                                                                                                    \
    } while (0)

struct decoded {
    packets ps;
    std::vector<std::uint64_t> next_offsets; // tellg after each packet
};

decoded decode_all(decoder_zpkmarker& d) {
    decoded out;
    region r;
    for (;;) {
        d.get(r);
        if (r.empty())
            break;
        EXPECT_EQ(r.end, r.limit);
        out.ps.emplace_back(r.begin, r.end);
        out.next_offsets.push_back(d.tellg());
    }
    return out;
}

std::vector<std::uint64_t> ref_offsets(const packets& ps, std::uint64_t start) {
    std::vector<std::uint64_t> v;
    for (const words& p : ps) {
        start += 4 * ref_frame({p}).size();
        v.push_back(start);
    }
    return v;
}

std::shared_ptr<chunked_rconnection> conn(const std::vector<char>& bytes, chunked_rconnection::chunker c = {}) {
    return std::make_shared<chunked_rconnection>(bytes, std::move(c));
}

} // namespace

TEST(BasicBuffer, ResizeStaysWithinCapacityAndZeroesGrowth) {
    unsigned int w[4] = {7, 7, 7, 7};
    region r(w, w + 1, w + 4);
    r.resize(4);
    EXPECT_EQ(r.end, w + 4);
    EXPECT_EQ(w[0], 7u);
    EXPECT_EQ(w[1], 0u);
    EXPECT_EQ(w[3], 0u);
    w[2] = 9;
    r.resize(2);
    EXPECT_EQ(r.end, w + 2);
    EXPECT_EQ(w[2], 9u); // shrinking only moves end
    try {
        r.resize(5);
        ADD_FAILURE();
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "basic_buffer::resize");
    }
    EXPECT_EQ(r.end, w + 2);
    region empty;
    EXPECT_NO_THROW(empty.resize(0));
    EXPECT_THROW(empty.resize(1), std::out_of_range);
}

TEST(Framing, EncoderFramesKnownPackets) {
    capture_wconnection sink;
    {
        encoder_zpkmarker enc(sink, 0x200, 0x100, true);
        words a = {0xFFFFFFFF, 0x00010000, 0x12345678, 0xFFFFFFFF, 0xFFFFFF00};
        words b = {0xFFFFFF07};
        words c = {0xFFFFFFFE, 0xFFFFFF00, 0xFFFFFF01, 0xFFFFFEFF};
        for (words* p : {&a, &b, &c}) {
            region r(p->data(), p->data() + p->size(), p->data() + p->size());
            enc.put(r);
        }
    }
    const words want = {0xFFFFFFFF, 0x00010000, 0x12345678, 0xFFFFFF00, 0x00000000, 0xFFFFFF00, 0x000000FF,
                        0xFFFFFF07, 0xFFFFFFFE, 0xFFFFFF00, 0x000000FF, 0xFFFFFF00, 0x000000FE, 0xFFFFFEFF};
    ASSERT_EQ(sink.bytes.size(), 16 + 4 * want.size());
    EXPECT_EQ(0, std::memcmp(sink.bytes.data(), preamble_bytes, 16));
    EXPECT_EQ(from_bytes(sink.bytes, 16), want);
    // The byte order of the first two words.
    const unsigned char head[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00};
    EXPECT_EQ(0, std::memcmp(sink.bytes.data() + 16, head, 8));
    EXPECT_EQ(sink.closes, 1u);
}

TEST(Decoder, MatchesReferenceForEverySplitOfTheInput) {
    std::mt19937 rng(42);
    const packets ps = random_packets(rng, 400);
    const std::vector<char> bytes = to_bytes(ref_frame(ps), true);
    const auto offsets = ref_offsets(ps, 16);
    for (const auto& [name, chunk] : chunk_patterns()) {
        SCOPED_TRACE(name);
        decoder_zpkmarker d(conn(bytes, chunk), true);
        EXPECT_EQ(d.tellg(), 0u);
        decoded got = decode_all(d);
        ASSERT_EQ(got.ps.size(), ps.size());
        for (std::size_t i = 0; i < ps.size(); ++i)
            ASSERT_EQ(got.ps[i], ps[i]) << "packet " << i;
        EXPECT_EQ(got.next_offsets, offsets);
        EXPECT_TRUE(d.input_ended);
        region r;
        EXPECT_ZPK_ERROR(d.get(r), 520, "Attempt to read beyond end of input.");
    }
    write_seed("fuzz_zpk_istream", "random_stream_with_preamble", [&] {
        std::vector<char> s{char(0x13)};
        s.insert(s.end(), bytes.begin(), bytes.begin() + std::min<std::size_t>(bytes.size(), 4000));
        return s;
    }());
}

TEST(Decoder, EndOfInputComesInTwoSteps) {
    decoder_zpkmarker d(conn(to_bytes({}, true)), true);
    region r;
    d.get(r);
    EXPECT_TRUE(r.empty());
    EXPECT_TRUE(d.input_ended);
    d.get(r);
    EXPECT_TRUE(r.empty());
    EXPECT_ZPK_ERROR(d.get(r), 520, "Attempt to read beyond end of input.");

    // The last packet comes with input_ended already set.
    decoder_zpkmarker e(conn(to_bytes({0xFFFFFF05, 1, 2}, true)), true);
    e.get(r);
    EXPECT_EQ(words(r.begin, r.end), (words{0xFFFFFF05, 1, 2}));
    EXPECT_TRUE(e.input_ended);
}

TEST(Decoder, TruncationAtEveryByteKeepsEveryWholeWord) {
    std::mt19937 rng(7);
    packets ps;
    for (int i = 0; i < 12; ++i) {
        words p{static_cast<unsigned int>(0xFFFFFF01u + rng() % 255)};
        for (std::size_t n = rng() % 6; n > 0; --n)
            p.push_back(nasty_word(rng));
        ps.push_back(p);
    }
    const words framed = ref_frame(ps);
    const std::vector<char> full = to_bytes(framed, true);
    for (std::size_t cut = 0; cut <= full.size(); ++cut) {
        SCOPED_TRACE(cut);
        std::vector<char> bytes(full.begin(), full.begin() + cut);
        for (std::size_t step : {std::size_t(0), std::size_t(1), std::size_t(3)}) {
            chunked_rconnection::chunker ch;
            if (step)
                ch = [step](std::size_t) { return step; };
            decoder_zpkmarker d(conn(bytes, ch), true);
            if (cut < 16) {
                region r;
                EXPECT_ZPK_ERROR(d.get(r), 513, "Bad preamble.");
                continue;
            }
            const words kept(framed.begin(), framed.begin() + (cut - 16) / 4);
            EXPECT_EQ(decode_all(d).ps, ref_deframe(kept));
        }
    }
    write_seed("fuzz_zpk_istream", "small_stream_with_preamble", [&] {
        std::vector<char> s{char(0x10)};
        s.insert(s.end(), full.begin(), full.end());
        return s;
    }());
}

TEST(Decoder, InputEndingInsideAWordLosesOnlyThatWord) {
    // Far more than one read's worth of packets, then two stray bytes.
    std::mt19937 rng(3);
    const packets ps = random_packets(rng, 300);
    std::vector<char> bytes = to_bytes(ref_frame(ps), true);
    bytes.push_back(char(0xAA));
    bytes.push_back(char(0xBB));
    for (const auto& [name, chunk] : chunk_patterns()) {
        SCOPED_TRACE(name);
        decoder_zpkmarker d(conn(bytes, chunk), true);
        EXPECT_EQ(decode_all(d).ps, ps);
    }
}

TEST(Decoder, RejectsBadPreambleAndMissingStartWord) {
    const std::vector<char> good = to_bytes({0xFFFFFF01, 5}, true);
    for (std::size_t i = 0; i < 16; ++i) {
        std::vector<char> bad = good;
        bad[i] ^= 0x20;
        decoder_zpkmarker d(conn(bad), true);
        region r;
        EXPECT_ZPK_ERROR(d.get(r), 513, "Bad preamble.");
    }
    {
        decoder_zpkmarker d(conn(to_bytes({0x00000000, 0xFFFFFF01}, true)), true);
        region r;
        EXPECT_ZPK_ERROR(d.get(r), 593, "Start escape missing!");
    }
    {
        // An escape word cannot start a packet either.
        decoder_zpkmarker d(conn(to_bytes({0xFFFFFF00, 0x00}, false)), false);
        region r;
        EXPECT_ZPK_ERROR(d.get(r), 593, "Start escape missing!");
    }
    {
        // Without the check, a preamble is just data where a packet must start.
        decoder_zpkmarker d(conn(good), false);
        region r;
        EXPECT_ZPK_ERROR(d.get(r), 593, "Start escape missing!");
    }
}

TEST(Decoder, EscapesDecodeWhateverFollowsThem) {
    // 0xFFFFFF00 0xFFFFFFFF is the word 0 and no packet start; a dangling
    // escape at the end of input is dropped.
    const words framed = {0xFFFFFF02, 0xFFFFFF00, 0x00000000, 0xFFFFFF00, 0xFFFFFFFF, 9, 0xFFFFFF03, 0xFFFFFF00};
    decoder_zpkmarker d(conn(to_bytes(framed, true)), true);
    decoded got = decode_all(d);
    ASSERT_EQ(got.ps.size(), 2u);
    EXPECT_EQ(got.ps[0], (words{0xFFFFFF02, 0xFFFFFFFF, 0x00000000, 9}));
    EXPECT_EQ(got.ps[1], (words{0xFFFFFF03}));
    EXPECT_EQ(got.next_offsets.back(), 16u + 4 * framed.size());
}

namespace {
// Gives the tests a look at the storage sizes.
struct probe_decoder : decoder_zpkmarker {
    using decoder_zpkmarker::decoder_zpkmarker;
    std::uint64_t storage_size() const { return size; }
    std::uint64_t headroom() const { return reserve; }
};
} // namespace

TEST(Decoder, LongPacketsComeOutWholeAndContiguous) {
    std::mt19937 rng(11);
    // 700 words from the ring start: the ring doubles once, the headroom stays.
    {
        words p(700);
        p[0] = 0xFFFFFFFF;
        for (std::size_t i = 1; i < p.size(); ++i)
            p[i] = static_cast<unsigned int>(rng()) & 0x7FFFFFFF;
        probe_decoder d(conn(to_bytes(ref_frame({p, {0xFFFFFF01}}), true)), true);
        region r;
        d.get(r);
        EXPECT_EQ(words(r.begin, r.end), p);
        EXPECT_EQ(d.storage_size(), 1708u);
        EXPECT_EQ(d.headroom(), 340u);
    }
    // Long packets at every offset around the ring end, with and without escapes.
    for (std::size_t lead = 660; lead < 700; ++lead) {
        SCOPED_TRACE(lead);
        words first(lead, 1);
        first[0] = 0xFFFFFF09;
        words big(2000 + lead);
        big[0] = 0xFFFFFF0A;
        for (std::size_t i = 1; i < big.size(); ++i)
            big[i] = lead % 2 ? nasty_word(rng) : 0x11111111u * (i % 7);
        const packets ps = {first, big, {0xFFFFFF0B, 3}};
        probe_decoder d(conn(to_bytes(ref_frame(ps), false), [](std::size_t c) { return 64 + c * 37 % 4000; }),
                        false);
        EXPECT_EQ(decode_all(d).ps, ps);
    }
}

TEST(Decoder, PacketNearTheRingEndGrowsInLinearTimeUpToTheCap) {
    // The first packet leaves the second one starting in the last ring word, so
    // the second one's wrapped part grows the headroom word by word. That costs
    // linear time; the cap on packet size stays.
    auto stream = [](std::size_t big_len) {
        words first(683, 5);
        first[0] = 0xFFFFFF01;
        words big(big_len, 0x01020304);
        big[0] = 0xFFFFFF02;
        return packets{first, big, {0xFFFFFF03}};
    };
    {
        const packets ps = stream(300000);
        probe_decoder d(conn(to_bytes(ref_frame(ps), false)), false);
        decoded got = decode_all(d);
        ASSERT_EQ(got.ps.size(), 3u);
        EXPECT_TRUE(got.ps[1] == ps[1]);
        EXPECT_LE(d.storage_size(), scanlib::basic_zpkmarker::max_words);
    }
    {
        const packets ps = stream(400000);
        probe_decoder d(conn(to_bytes(ref_frame(ps), false)), false);
        region r;
        d.get(r);
        EXPECT_EQ(r.size(), 683u);
        EXPECT_ZPK_ERROR(d.get(r), 120, "basic_zpkmarker::attempt_to_resize: excess packet size");
    }
}

TEST(Decoder, SeekRepeatsPacketsAndRechecksThePreamble) {
    std::mt19937 rng(5);
    const packets ps = random_packets(rng, 60);
    const std::vector<char> bytes = to_bytes(ref_frame(ps), true);
    decoder_zpkmarker d(conn(bytes, [](std::size_t) { return 1000; }), true);
    region r;
    std::vector<std::uint64_t> starts;
    for (std::size_t i = 0; i < 20; ++i) {
        starts.push_back(i == 0 ? 16 : d.tellg());
        d.get(r);
    }
    d.seekg(starts[7]);
    EXPECT_EQ(d.tellg(), starts[7]);
    d.get(r);
    EXPECT_EQ(words(r.begin, r.end), ps[7]);
    d.get(r);
    EXPECT_EQ(words(r.begin, r.end), ps[8]);
    d.seekg(0);
    EXPECT_EQ(decode_all(d).ps, ps);

    EXPECT_ZPK_ERROR(d.seekg(6), 371, "Invalid seek position.");
    decoder_zpkmarker none(std::shared_ptr<scanlib::basic_rconnection>(), true);
    EXPECT_ZPK_ERROR(none.seekg(0), 373, "Cannot seek.");

    // Starting inside a packet is a missing start word.
    std::size_t k = 0;
    while (ref_frame({ps[k]}).size() < 2)
        ++k;
    ASSERT_LT(k, starts.size());
    decoder_zpkmarker mid(conn(bytes), false);
    mid.seekg(starts[k] + 4);
    EXPECT_ZPK_ERROR(mid.get(r), 593, "Start escape missing!");
}

TEST(Decoder, SeekBackToTheStartFromAnyRingPosition) {
    // Seeking drops what is buffered, wherever the ring stands: also when it is
    // full up to the packet last read, or when the preamble then ends exactly
    // at the ring end.
    std::mt19937 rng(17);
    packets ps;
    for (int i = 0; i < 760; ++i)
        ps.push_back(i % 50 == 7 ? words(300, 0x00ABCDEF) : words{0xFFFFFF01u + i % 200});
    for (words& p : ps)
        p[0] = 0xFFFFFF01u + static_cast<unsigned>(rng() % 254);
    const std::vector<char> bytes = to_bytes(ref_frame(ps), true);
    for (std::size_t step : {std::size_t(0), std::size_t(4), std::size_t(2732)}) {
        for (std::size_t k = 0; k < ps.size(); k += 1 + (k > 600 && k < 720 ? 0 : 6)) {
            SCOPED_TRACE(std::to_string(step) + " " + std::to_string(k));
            chunked_rconnection::chunker ch;
            if (step)
                ch = [step](std::size_t) { return step; };
            decoder_zpkmarker d(conn(bytes, ch), true);
            region r;
            for (std::size_t i = 0; i < k; ++i)
                d.get(r);
            d.seekg(0);
            ASSERT_EQ(decode_all(d).ps, ps);
        }
    }
}

TEST(Decoder, DrainHandsOutTheRawWordsThatFollow) {
    std::mt19937 rng(9);
    packets ps = random_packets(rng, 30);
    const words framed = ref_frame(ps);
    decoder_zpkmarker d(conn(to_bytes(framed, true)), true);
    region r;
    d.get(r);
    std::vector<char> buf(8192);
    EXPECT_EQ(d.drain(buf.data(), 3), 0u);
    const unsigned short n = d.drain(buf.data(), 4003);
    ASSERT_EQ(n % 4, 0u);
    ASSERT_GT(n, 0u);
    ASSERT_LE(n, 4000u);
    const std::size_t from = ref_frame({ps[0]}).size();
    buf.resize(n);
    EXPECT_EQ(from_bytes(buf), words(framed.begin() + from, framed.begin() + from + n / 4));
    // Decoding goes on right behind the drained words, also among short
    // packets that the decoder has already looked ahead over.
    const packets shorts{{0xFFFFFF01, 1, 2}, {0xFFFFFF02, 3}, {0xFFFFFF03, 4, 5, 6}, {0xFFFFFF04}, {0xFFFFFF05}};
    decoder_zpkmarker f(conn(to_bytes(ref_frame(shorts), true)), true);
    f.get(r);
    f.get(r);
    ASSERT_EQ(f.drain(buf.data(), 16), 16u);
    f.get(r);
    EXPECT_EQ(words(r.begin, r.end), shorts[3]);
    EXPECT_EQ(f.tellg(), 16u + 4 * (3 + 2 + 1));
    // Drained words are gone; at the end there is nothing to drain.
    decoder_zpkmarker e(conn(to_bytes(ref_frame({{0xFFFFFF01, 1}}), true)), true);
    e.get(r);
    EXPECT_EQ(e.drain(buf.data(), 100), 0u);
}

TEST(Encoder, MatchesReferenceForAnyRingAndWriteSize) {
    std::mt19937 rng(21);
    const packets ps = random_packets(rng, 500);
    const std::vector<char> want = to_bytes(ref_frame(ps), true);
    struct cfg {
        unsigned long size, reserve;
        long per_call;
    };
    for (cfg c : {cfg{0x20000, 0x10000, 0}, cfg{9000, 1000, 0}, cfg{7000, 10, 1}, cfg{6100, 0, 4093}}) {
        SCOPED_TRACE(c.size);
        capture_wconnection sink(c.per_call);
        std::size_t whole_packets_seen = 0;
        {
            encoder_zpkmarker enc(sink, c.size, c.reserve, true);
            for (const words& p : ps) {
                words copy = p;
                region r(copy.data(), copy.data() + copy.size(), copy.data() + copy.size());
                enc.put(r);
                // Whatever reached the connection is whole packets.
                if (sink.bytes.size() > 16) {
                    const packets seen = ref_deframe(from_bytes(sink.bytes, 16));
                    ASSERT_LE(seen.size(), ps.size());
                    ASSERT_TRUE(std::equal(seen.begin(), seen.end(), ps.begin()));
                    whole_packets_seen = seen.size();
                }
            }
        }
        EXPECT_EQ(sink.bytes, want);
        EXPECT_EQ(sink.closes, 1u);
        if (c.size < 0x20000) {
            EXPECT_GT(whole_packets_seen, 0u); // the small rings did write early
        }
    }
}

TEST(Encoder, FailedPacketsLeaveNoTrace) {
    capture_wconnection sink;
    {
        encoder_zpkmarker enc(sink, 0x20000, 0x10000, false);
        words ok = {0xFFFFFF01, 1, 2};
        region r(ok.data(), ok.data() + 3, ok.data() + 3);
        enc.put(r);
        // 1 + 2 * 0x7FFF framed words fit the ring exactly; one more does not.
        words fits(0x8000, 0xFFFFFFFF);
        region f(fits.data(), fits.data() + fits.size(), fits.data() + fits.size());
        enc.put(f);
        words too_big(0x8000, 0xFFFFFFFF);
        too_big.push_back(7);
        region t(too_big.data(), too_big.data() + too_big.size(), too_big.data() + too_big.size());
        EXPECT_ZPK_ERROR(enc.put(t), 311, "Buffer overflow.");
        words bad = {0xFFFFFF00, 1};
        region b(bad.data(), bad.data() + 2, bad.data() + 2);
        EXPECT_ZPK_ERROR(enc.put(b), 321, "Start escape missing!");
        words last = {0xFFFFFF02, 0xFFFFFF00};
        region l(last.data(), last.data() + 2, last.data() + 2);
        enc.put(l);
        EXPECT_EQ(l.begin + 0x10000, l.limit); // the scratch region
    }
    words fits(0x8000, 0xFFFFFFFF);
    EXPECT_EQ(from_bytes(sink.bytes), ref_frame({{0xFFFFFF01, 1, 2}, fits, {0xFFFFFF02, 0xFFFFFF00}}));
}

TEST(Encoder, EndOfTransmissionAndDestructorFlush) {
    words p = {0xFFFFFF01, 0xFFFFFFFF};
    auto put = [&](encoder_zpkmarker& e) {
        region r(p.data(), p.data() + 2, p.data() + 2);
        e.put(r);
    };
    {
        // Preamble only: sixteen bytes, then the connection is closed.
        capture_wconnection sink;
        encoder_zpkmarker enc(sink, 64, 16, true);
        enc.eot();
        enc.flush();
        EXPECT_EQ(sink.bytes, to_bytes({}, true));
        EXPECT_EQ(sink.closes, 1u);
    }
    {
        // Packets committed after eot and a flush still reach the output.
        capture_wconnection sink;
        {
            encoder_zpkmarker enc(sink, 64, 16, true);
            put(enc);
            enc.eot();
            enc.flush();
            EXPECT_EQ(sink.closes, 1u);
            put(enc);
        }
        EXPECT_EQ(sink.bytes, to_bytes(ref_frame({p, p}), true));
        EXPECT_EQ(sink.closes, 2u);
    }
    {
        // Nothing pending after the closing flush: the destructor adds nothing.
        capture_wconnection sink;
        {
            encoder_zpkmarker enc(sink, 64, 16, false);
            put(enc);
            enc.eot();
            enc.flush();
        }
        EXPECT_EQ(sink.bytes, to_bytes(ref_frame({p}), false));
        EXPECT_EQ(sink.closes, 1u);
    }
}

TEST(Encoder, ConnectionThatTakesNothingIsAnError) {
    capture_wconnection sink(-1);
    encoder_zpkmarker enc(sink, 64, 16, true);
    words p = {0xFFFFFF01, 2};
    region r(p.data(), p.data() + 2, p.data() + 2);
    enc.put(r);
    EXPECT_THROW(enc.flush(), scanlib_exception);
    EXPECT_THROW(enc.write(p.data(), 1), scanlib_exception);
}
