#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <scanlib/compressed.hpp>
#include <scanlib/scanexcept.hpp>

#include "packed_model.hpp"

using namespace packtest;
using it = scanlib::basic_packets::iterator;

namespace {

// Writes down every ordinary handler call with its values.
class recorder : public scanlib::compressed_packets {
public:
    explicit recorder(bool skip_waveforms = false) : compressed_packets(skip_waveforms) {}

    void feed(const words& p) { dispatch(p.data(), p.data() + p.size()); }
    void feed(const std::vector<words>& packets) {
        for (const auto& p : packets)
            feed(p);
    }

    void on_echo(scanlib::echo<it> const& p) override {
        add("echo " + num(p.range) + " " + num(p.amplitude) + " " + num(p.reflectance) + " " + num(p.flags) + " " +
            num(p.deviation));
    }
    void on_laser_shot_2angles(scanlib::laser_shot_2angles<it> const& p) override {
        add("shot2 " + num(p.time) + " " + num(p.line_angle) + " " + num(p.frame_angle));
    }
    void on_laser_shot_1angle(scanlib::laser_shot_1angle<it> const& p) override {
        add("shot1 " + num(p.time) + " " + num(p.line_angle));
    }
    void on_laser_shot(scanlib::laser_shot<it> const& p) override { add("shot0 " + num(p.time)); }
    void on_laser_shot_2angles_rad(scanlib::laser_shot_2angles_rad<it> const& p) override {
        add("rad " + num(p.time) + " " + num(p.line_angle) + " " + num(p.frame_angle) + " " + num(p.background));
    }
    void on_laser_shot_2angles_hr(scanlib::laser_shot_2angles_hr<it> const& p) override {
        add("hr " + num(p.time) + " " + num(p.line_angle) + " " + num(p.frame_angle));
        // Bits 64-71 lie outside every field; the buffer starts zeroed.
        outside_bits |= p.time.words()[2] & 0xFFu;
    }
    void on_sbl_dg_channel_header_1(scanlib::sbl_dg_channel_header_1<it> const& p) override {
        std::string s = "header " + num(p.time) + " " + num(p.f1) + " " + num(p.f2) + " " + num(p.f3) + " n=" +
                        std::to_string(p.channels.size());
        for (std::int64_t i = 0; i < p.channels.size(); ++i)
            s += " (" + num(p.channels[static_cast<std::size_t>(i)].channel) + "," +
                 num(p.channels[static_cast<std::size_t>(i)].f1) + "," +
                 num(p.channels[static_cast<std::size_t>(i)].f2) + ")";
        add(s);
    }
    void on_sbl_dg_channel_data_compressed(scanlib::sbl_dg_channel_data_compressed<it> const& p) override {
        std::string s = "wave " + num(p.f0) + " " + num(p.channel) + " " + num(p.f2) + " " + num(p.f3) + " n=" +
                        std::to_string(p.samples.size());
        for (std::int64_t i = 0; i < p.samples.size(); ++i)
            s += " " + num(p.samples[static_cast<std::size_t>(i)].sample);
        add(s);
    }

    std::vector<std::string> calls;
    std::function<void(const std::string&)> before; // may throw
    unsigned outside_bits = 0;

private:
    template <class F>
    static std::string num(const F& f) {
        const auto v = static_cast<typename F::value_type>(f);
        if constexpr (std::is_signed_v<decltype(v)>)
            return std::to_string(static_cast<long long>(v));
        else
            return std::to_string(static_cast<unsigned long long>(v));
    }
    void add(std::string s) {
        calls.push_back(s);
        if (before)
            before(s);
    }
};

std::vector<std::string> run(const std::vector<words>& packets, bool skip_waveforms = false) {
    recorder r(skip_waveforms);
    r.feed(packets);
    return r.calls;
}

// Only the calls of one kind of handler ("echo", "hr", ...).
std::vector<std::string> only(const std::vector<std::string>& calls, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& c : calls)
        if (c.rfind(prefix + " ", 0) == 0)
            out.push_back(c);
    return out;
}

// ---- tagged bit-stream model ------------------------------------------------------

struct stream_case {
    std::vector<words> plain;      // with headers and waveforms
    std::vector<words> plain_skip; // without them
    record_stream body;
    int version = 2;
};

stream_case make_stream(int version, unsigned seed, int events) {
    std::mt19937 g(seed);
    stream_case out;
    out.version = version;
    stream_encoder enc(version), enc_skip(version);
    bit_writer b, b_skip;
    shot s{};
    echo e{};
    for (int i = 0; i < events; ++i) {
        out.body.boundaries.push_back(b.bits() / 32);
        const unsigned kind = g() % (version == 3 ? 10 : 6);
        if (kind < 2) {
            const unsigned mode = g() % 4;
            if (mode == 0 || i == 0) {
                s.time = (std::uint64_t(g()) << 17 ^ g()) & ((std::uint64_t(1) << 48) - 1);
                s.angle1 = g() & 0x3FFFFFu;
                s.angle2 = g() & 0x3FFFFFu;
            } else {
                s.time += mode == 1 ? g() % (1u << 29) : 1000 + g() % 64;
                s.angle1 = (s.angle1 + static_cast<std::uint32_t>(srnd(g, -200, 200))) & 0x3FFFFFu;
                s.angle2 = (s.angle2 + static_cast<std::uint32_t>(srnd(g, -200, 200))) & 0x3FFFFFu;
            }
            const bool allow_short = g() % 8 != 0;
            enc.put_shot(b, s, allow_short);
            enc_skip.put_shot(b_skip, s, allow_short);
            out.plain.push_back(plain_shot_hr(s));
            out.plain_skip.push_back(plain_shot_hr(s));
        } else if (kind < 6) {
            if (g() % 6 == 0) {
                e = {static_cast<std::uint32_t>(srnd(g, -(1 << 25), (1 << 25) - 1)), static_cast<std::uint16_t>(g()),
                     static_cast<std::uint16_t>(g()), 0, static_cast<std::uint16_t>(g())};
            } else {
                e.e1 = static_cast<std::uint32_t>(
                    std::clamp<std::int64_t>(static_cast<std::int32_t>(e.e1) + srnd(g, -100000, 100000),
                                             -(1 << 25), (1 << 25) - 1));
                const int d2 = srnd(g, -5000, 5000);
                e.e2 = static_cast<std::uint16_t>(e.e2 + d2);
                e.e3 = static_cast<std::uint16_t>(e.e3 + d2 + srnd(g, -400, 400));
                e.e5 = static_cast<std::uint16_t>(e.e5 + srnd(g, -900, 900));
            }
            const std::uint32_t junk = g() & 0x7FFFFu;
            enc.put_echo(b, e, junk);
            enc_skip.put_echo(b_skip, e, junk);
            out.plain.push_back(plain_echo(e));
            out.plain_skip.push_back(plain_echo(e));
        } else if (kind < 8) {
            std::vector<channel_entry> entries(g() % 8);
            for (auto& c : entries)
                c = {rnd(g, 0, 15), rnd(g, 0, 0x3FFFF), rnd(g, 0, 1023)};
            const auto h = static_cast<std::uint16_t>(g());
            const unsigned junk = g() % 1024;
            out.plain.push_back(plain_channel_header(enc.put_channel_header(b, h, entries, junk, false)));
            enc_skip.put_channel_header(b_skip, h, entries, junk, true);
        } else {
            waveform w;
            w.w = static_cast<std::uint16_t>(g());
            w.channel = g() % 3 == 0 ? 5 : g() % 16;
            w.value5 = g() % 32;
            w.value7 = g() % 128;
            w.samples.resize(g() % 4 == 0 ? g() % 1024 : g() % 20);
            for (auto& x : w.samples)
                x = g();
            const unsigned junk = g() & 0x7FFFFu;
            if (enc.put_waveform(b, w, junk, false)) {
                channel_header d{enc.shot_time(), 0, {{5, 0, 0}}};
                out.plain.push_back(plain_channel_header(d));
            }
            out.plain.push_back(plain_waveform(w));
            enc_skip.put_waveform(b_skip, w, junk, true);
        }
    }
    out.body.body = b.body();
    if (b.body() != b_skip.body())
        throw std::logic_error("the skipped stream must be the same bits");
    return out;
}

// Cuts a stream body into packets at the given record boundaries.
std::vector<words> split(const stream_case& c, std::mt19937& g, int pieces) {
    std::vector<std::size_t> cuts{0};
    for (int i = 1; i < pieces && !c.body.boundaries.empty(); ++i)
        cuts.push_back(c.body.boundaries[g() % c.body.boundaries.size()]);
    cuts.push_back(c.body.body.size());
    std::sort(cuts.begin(), cuts.end());
    std::vector<words> out;
    const unsigned main = c.version == 2 ? 86 : 109;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i)
        out.push_back(packet(main, 0,
                             words(c.body.body.begin() + static_cast<long>(cuts[i]),
                                   c.body.body.begin() + static_cast<long>(cuts[i + 1]))));
    return out;
}

bool documented(const std::exception& e) {
    const std::string m = e.what();
    if (dynamic_cast<const std::range_error*>(&e))
        return m == "Missing data for sequence." || m.rfind("Truncated subpackage v", 0) == 0;
    for (const char* p : {"Unknown subpackage v2: ", "Unknown subpackage v3: ", "Truncated subpackage v2: ",
                          "Truncated subpackage v3: "})
        if (m.rfind(p, 0) == 0)
            return true;
    return false;
}

std::filesystem::path seed_dir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "fuzz-seeds" /
           "fuzz_compressed";
}

// A fuzz input: per packet a type byte, a length byte and the body words.
void write_seed(const std::string& name, const std::vector<std::pair<unsigned, words>>& packets) {
    std::error_code ec;
    std::filesystem::create_directories(seed_dir(), ec);
    std::ofstream f(seed_dir() / name, std::ios::binary);
    f.put(0); // flags: waveforms kept, not strict
    for (const auto& [sel, body] : packets) {
        const auto n = static_cast<unsigned char>(std::min<std::size_t>(body.size(), 255));
        f.put(static_cast<char>(sel));
        f.put(static_cast<char>(n));
        f.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(n * 4));
    }
}

words body_of(const words& p) { return words(p.begin() + 2, p.end()); }

} // namespace

// ---- plain versus packed ----------------------------------------------------------

TEST(CompressedKeyFrame, PackedMatchesPlainInEveryScheme) {
    const std::pair<shot_scheme, echo_scheme> schemes[] = {{shot_scheme::bits32, echo_scheme::plain},
                                                           {shot_scheme::rad, echo_scheme::plain},
                                                           {shot_scheme::hr, echo_scheme::hr},
                                                           {shot_scheme::hr, echo_scheme::hr_1}};
    for (const auto& [ss, es] : schemes)
        for (unsigned seed = 1; seed <= 12; ++seed) {
            const auto m = make_keyframe(ss, es, seed, 30);
            const auto plain = run(m.plain);
            const auto packed = run(m.packed);
            ASSERT_EQ(plain.size(), m.shots * (ss == shot_scheme::bits32 ? 3 : 1) + m.echoes);
            ASSERT_EQ(packed, plain) << "scheme " << int(ss) << "/" << int(es) << " seed " << seed;
        }
}

TEST(CompressedKeyFrame, PacketCountIsOnePerLogicalPacket) {
    const auto m = make_keyframe(shot_scheme::bits32, echo_scheme::plain, 5, 10);
    recorder plain, packed;
    plain.feed(m.plain);
    packed.feed(m.packed);
    // A plain stream counts its packets; the packed one counts what it
    // unpacks plus the packed packets that unpacked nothing.
    EXPECT_EQ(plain.packet_count, m.plain.size());
    std::size_t silent = 0;
    {
        recorder probe;
        for (const auto& p : m.packed) {
            const auto before = probe.calls.size();
            probe.feed(p);
            silent += probe.calls.size() == before;
        }
    }
    EXPECT_EQ(packed.packet_count, m.shots + m.echoes + silent);
}

TEST(CompressedStream, PackedMatchesPlainWithAnySplit) {
    for (int version : {2, 3})
        for (unsigned seed = 1; seed <= 10; ++seed) {
            const auto c = make_stream(version, seed, 400);
            std::mt19937 g(seed);
            const auto whole = run(split(c, g, 1));
            ASSERT_EQ(whole, run(c.plain)) << "v" << version << " seed " << seed;
            for (int pieces : {2, 7, 50})
                ASSERT_EQ(run(split(c, g, pieces)), whole) << "v" << version << " split " << pieces;
        }
}

TEST(CompressedStream, SkipWaveformsKeepsShotsAndEchoes) {
    for (unsigned seed = 1; seed <= 10; ++seed) {
        const auto c = make_stream(3, 100 + seed, 400);
        std::mt19937 g(seed);
        const auto packets = split(c, g, 5);
        const auto with = run(packets, false);
        const auto without = run(packets, true);
        EXPECT_EQ(without, run(c.plain_skip));
        EXPECT_EQ(only(with, "hr"), only(without, "hr"));
        EXPECT_EQ(only(with, "echo"), only(without, "echo"));
        EXPECT_TRUE(only(without, "header").empty());
        EXPECT_TRUE(only(without, "wave").empty());
        EXPECT_FALSE(only(with, "wave").empty());
    }
}

TEST(CompressedKeyFrame, FrameEchoesSplitAnywhereGiveTheSameResult) {
    // One block: a key shot owing 40 echoes, sent as one frame or many.
    std::mt19937 g(3);
    shot s{100, 5, 6, 0, 40};
    std::vector<echo> echoes;
    echo e{};
    for (int i = 0; i < 40; ++i) {
        e.e1 += static_cast<std::uint32_t>(srnd(g, -1000, 1000));
        e.e2 = static_cast<std::uint16_t>(e.e2 + srnd(g, -100, 100));
        e.e3 = static_cast<std::uint16_t>(e.e3 + srnd(g, -100, 100));
        e.e4 = static_cast<std::uint16_t>(g() % 16);
        echoes.push_back(e);
    }
    const auto one = run({key_shot(shot_scheme::bits32, s), frame_echoes(echo_scheme::plain, {}, echoes)});
    ASSERT_EQ(one.size(), 3u + 40u);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<words> packets{key_shot(shot_scheme::bits32, s)};
        echo prev{};
        for (std::size_t i = 0; i < echoes.size();) {
            const std::size_t n = std::min<std::size_t>(echoes.size() - i, rnd(g, 1, 9));
            std::vector<echo> part(echoes.begin() + static_cast<long>(i), echoes.begin() + static_cast<long>(i + n));
            packets.push_back(frame_echoes(echo_scheme::plain, prev, part));
            prev = part.back();
            i += n;
        }
        ASSERT_EQ(run(packets), one);
    }
}

// ---- key and frame rules --------------------------------------------------------------

TEST(CompressedKeyFrame, BlockAndDrainRules) {
    const shot key{1000, 10, 20, 0, 3};
    // Frames before any key shot change nothing; echoes before it are dropped.
    {
        recorder r;
        r.feed(frame_shots(shot_scheme::bits32, {}, {shot{5, 1, 1, 0, 0}}));
        r.feed(key_echo(echo_scheme::plain, {7, 7, 7, 7, 7}));
        EXPECT_TRUE(r.calls.empty());
        r.feed(key_shot(shot_scheme::bits32, shot{1000, 10, 20, 0, 0}));
        ASSERT_EQ(r.calls.size(), 3u);
        EXPECT_EQ(r.calls[0], "shot2 1000 10 20");
        EXPECT_EQ(r.calls[1], "shot1 1000 10");
        EXPECT_EQ(r.calls[2], "shot0 1000");
        // A frame of the running state: time + T, angles + P, Q.
        r.feed(frame_shots(shot_scheme::bits32, {1000, 10, 20, 0, 0}, {shot{1010, 5, 4294967295u, 0, 0}}));
        ASSERT_EQ(r.calls.size(), 6u);
        EXPECT_EQ(r.calls[3], "shot2 1010 5 4294967295");
    }
    // Count 3, two echoes: shot and two echoes; the next echo completes it
    // before the following shot.
    {
        recorder r;
        r.feed(key_shot(shot_scheme::bits32, key));
        r.feed(frame_shots(shot_scheme::bits32, key, {shot{1001, 11, 21, 0, 0}}));
        EXPECT_EQ(r.calls.size(), 3u);
        r.feed(frame_echoes(echo_scheme::plain, {}, {{1, 1, 1, 1, 1}, {2, 2, 2, 2, 2}}));
        ASSERT_EQ(r.calls.size(), 5u);
        EXPECT_EQ(r.calls[4], "echo 2 2 2 2 2");
        r.feed(key_echo(echo_scheme::plain, {3, 3, 3, 3, 3}));
        ASSERT_EQ(r.calls.size(), 9u);
        EXPECT_EQ(r.calls[5], "echo 3 3 3 3 3");
        EXPECT_EQ(r.calls[6], "shot2 1001 11 21");
        EXPECT_EQ(r.packet_count, 1u + 1u + 2u + 2u);
    }
    // A new key shot after echoes drops what the block left: here a shot
    // queued behind one still owed an echo is never emitted.
    {
        recorder r;
        r.feed(key_shot(shot_scheme::bits32, shot{1, 0, 0, 0, 2}));
        r.feed(frame_shots(shot_scheme::bits32, shot{1, 0, 0, 0, 2}, {shot{2, 0, 0, 0, 0}}));
        r.feed(key_echo(echo_scheme::plain, {9, 0, 0, 0, 0}));
        r.feed(key_shot(shot_scheme::bits32, shot{50, 0, 0, 0, 0}));
        const std::vector<std::string> want{"shot2 1 0 0", "shot1 1 0", "shot0 1", "echo 9 0 0 0 0",
                                            "shot2 50 0 0", "shot1 50 0", "shot0 50"};
        EXPECT_EQ(r.calls, want);
    }
}

TEST(CompressedKeyFrame, FrameEdgeCases) {
    // An empty frame yields one shot; a stop marker first yields only that one.
    for (bool stop : {false, true}) {
        recorder r;
        const shot key{100, 0, 0, 7, 0};
        r.feed(key_shot(shot_scheme::rad, key));
        r.feed(frame_shots(shot_scheme::rad, key, {shot{110, 3, 4, 9, 0}}, stop));
        const std::vector<std::string> want{"rad 100 0 0 7", "rad 110 3 4 9"};
        EXPECT_EQ(r.calls, want);
    }
    // High resolution: T = 0 and dt = -1 add 2^32 - 1 to the 64-bit time.
    {
        recorder r;
        r.feed(key_shot(shot_scheme::hr, shot{5, 0, 0, 0, 0}));
        bit_writer b;
        b.put(0, 28);
        b.put(0, 4);
        b.put(0, 32);
        b.put_signed(-1, 18);
        b.put(0, 14);
        r.feed(packet(64, 0, b.body()));
        ASSERT_EQ(r.calls.size(), 3u);
        EXPECT_EQ(r.calls[2], "hr " + std::to_string(5ull + 4294967295ull) + " 0 0");
    }
    // hr_1 key echo: the third value is relative to the second.
    {
        recorder r;
        r.feed(key_shot(shot_scheme::hr, shot{1, 0, 0, 0, 1}));
        r.feed(packet(92, 0, {0, 0xFFF0u | 0x0020u << 16, 0}));
        ASSERT_EQ(r.calls.size(), 2u);
        EXPECT_EQ(r.calls[1], "echo 0 65520 16 0 0");
    }
}

TEST(CompressedKeyFrame, RunningValuesWrap) {
    recorder r;
    r.feed(key_shot(shot_scheme::bits32, shot{0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0, 2}));
    r.feed(key_echo(echo_scheme::plain, {0x7FFFFFFFu, 0xFFFF, 0x7FFF, 0, 0x7FFF}));
    bit_writer b; // +1 to every value
    b.put(1, 23);
    b.put(1, 14);
    b.put(1, 14);
    b.put(0, 4);
    b.put(1, 9);
    r.feed(packet(48, 0, b.body()));
    r.feed(frame_shots(shot_scheme::bits32, shot{0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0, 0}, {shot{0, 0, 0, 0, 0}}));
    const std::vector<std::string> want{"shot2 4294967295 0 4294967295", "shot1 4294967295 0", "shot0 4294967295",
                                        "echo 2147483647 65535 32767 0 32767", "echo -2147483648 0 -32768 0 -32768",
                                        "shot2 0 0 0", "shot1 0 0", "shot0 0"};
    EXPECT_EQ(r.calls, want);
}

// ---- mends ----------------------------------------------------------------------------

TEST(CompressedMends, NewerSubIsUnpackedOnce) {
    recorder r;
    // (45, 3) is offered as (45, 3), (45, 2), (45, 1), (45, 0): one key shot.
    auto k = key_shot(shot_scheme::bits32, shot{7, 1, 2, 0, 2});
    k[1] |= 3;
    r.feed(k);
    auto e = frame_echoes(echo_scheme::plain, {}, {{1, 0, 0, 0, 0}, {2, 0, 0, 0, 0}});
    e[1] |= 5;
    r.feed(e);
    const std::vector<std::string> want{"shot2 7 1 2", "shot1 7 1", "shot0 7", "echo 1 0 0 0 0", "echo 2 0 0 0 0"};
    EXPECT_EQ(r.calls, want);

    // A stream packet of a newer sub unpacks its records once.
    recorder v;
    stream_encoder enc(2);
    bit_writer b;
    enc.put_shot(b, shot{5, 6, 7, 0, 0});
    enc.put_shot(b, shot{10, 7, 8, 0, 0});
    v.feed(packet(86, 4, b.body()));
    const std::vector<std::string> shots{"hr 5 6 7", "hr 10 7 8"};
    EXPECT_EQ(v.calls, shots);
    EXPECT_EQ(v.packet_count, 2u);

    // (63, 1) is decoded as a high-resolution key shot, once.
    recorder m;
    m.feed(key_shot(shot_scheme::hr, shot{99, 3, 4, 0, 0}, true));
    EXPECT_EQ(m.calls, std::vector<std::string>{"hr 99 3 4"});
}

TEST(CompressedMends, ThrowingHandlerDoesNotSeeItsPacketAgain) {
    recorder r;
    int throws = 1;
    r.before = [&](const std::string& s) {
        if (s.rfind("echo 1 ", 0) == 0 && throws-- > 0)
            throw std::runtime_error("handler failed");
    };
    r.feed(key_shot(shot_scheme::bits32, shot{1, 0, 0, 0, 3}));
    EXPECT_THROW(r.feed(frame_echoes(echo_scheme::plain, {}, {{1, 0, 0, 0, 0}, {2, 0, 0, 0, 0}})),
                 std::runtime_error);
    r.feed(key_echo(echo_scheme::plain, {3, 0, 0, 0, 0}));
    const std::vector<std::string> want{"shot2 1 0 0", "shot1 1 0", "shot0 1", "echo 1 0 0 0 0", "echo 2 0 0 0 0",
                                        "echo 3 0 0 0 0"};
    EXPECT_EQ(r.calls, want);

    // The same for a shot: the next drain goes on with the next shot.
    recorder s;
    int shot_throws = 1;
    s.before = [&](const std::string& c) {
        if (c == "shot0 1" && shot_throws-- > 0)
            throw std::runtime_error("handler failed");
    };
    EXPECT_THROW(s.feed(key_shot(shot_scheme::bits32, shot{1, 0, 0, 0, 0})), std::runtime_error);
    s.feed(key_shot(shot_scheme::bits32, shot{2, 0, 0, 0, 0}));
    const std::vector<std::string> want_s{"shot2 1 0 0", "shot1 1 0", "shot0 1", "shot2 2 0 0", "shot1 2 0",
                                          "shot0 2"};
    EXPECT_EQ(s.calls, want_s);
}

TEST(CompressedMends, QueuesAreBoundedAndCountTheirLosses) {
    recorder r;
    // Echoes without any key shot pile up in the echo queue.
    const std::vector<echo> many(16383, echo{1, 0, 0, 0, 0});
    const auto frame = frame_echoes(echo_scheme::plain, {}, many);
    const std::size_t packets = scanlib::compressed_packets::queue_limit / many.size() + 1;
    for (std::size_t i = 0; i < packets; ++i)
        r.feed(frame);
    EXPECT_EQ(r.dropped_entries(), scanlib::compressed_packets::queue_limit);
    EXPECT_TRUE(r.calls.empty());
    // After the loss the visitor still works block by block.
    r.feed(key_shot(shot_scheme::hr, shot{1, 0, 0, 0, 1}));
    r.feed(key_echo(echo_scheme::hr, {5, 0, 0, 0, 0}));
    const std::vector<std::string> want{"hr 1 0 0", "echo 5 0 0 0 0"};
    EXPECT_EQ(r.calls, want);

    // Shots whose echoes never come: the shot queue restarts too.
    recorder s;
    s.feed(key_shot(shot_scheme::hr, shot{1, 0, 0, 0, 1}));
    bit_writer b;
    b.put(1, 28);
    b.put(1, 4);
    b.put(0, 32);
    for (int i = 0; i < 16383; ++i) {
        b.put(0, 28);
        b.put(1, 4);
    }
    const auto shots = packet(64, 0, b.body());
    for (std::size_t i = 0; i < packets; ++i)
        s.feed(shots);
    EXPECT_EQ(s.dropped_entries(), scanlib::compressed_packets::queue_limit);
    // The first shot, still waiting for its echo, and the first shot after the
    // restart, which owes nothing to anyone before it.
    EXPECT_EQ(s.calls.size(), 2u);
}

TEST(CompressedMends, TruncatedRecordsAreErrorsNotOverreads) {
    for (int version : {2, 3})
        for (unsigned seed = 1; seed <= 4; ++seed) {
            const auto c = make_stream(version, 40 + seed, 60);
            const words& body = c.body.body;
            const unsigned main = version == 2 ? 86 : 109;
            // Cut inside each record: the error names the record's tag, is a
            // range error as a reader ends a cut file on, and the records
            // before it have all been emitted.
            for (std::size_t r = 0; r < c.body.boundaries.size(); ++r) {
                const std::size_t start = c.body.boundaries[r];
                const std::size_t next = r + 1 < c.body.boundaries.size() ? c.body.boundaries[r + 1] : body.size();
                if (next - start < 2)
                    continue;
                const std::size_t cut = start + 1 + (next - start - 2) * seed / 5;
                // The cut body lives alone on the heap, so an over-read shows.
                const auto p = packet(main, 0, words(body.begin(), body.begin() + static_cast<long>(cut)));
                recorder whole_prefix;
                whole_prefix.feed(packet(main, 0, words(body.begin(), body.begin() + static_cast<long>(start))));
                recorder cut_r;
                const unsigned tag = body[start] & 7u;
                try {
                    cut_r.feed(p);
                    ADD_FAILURE() << "no error for a record cut at word " << cut;
                } catch (const std::range_error& e) {
                    EXPECT_EQ(std::string(e.what()),
                              "Truncated subpackage v" + std::to_string(version) + ": " + std::to_string(tag));
                }
                EXPECT_EQ(cut_r.calls, whole_prefix.calls);
            }
        }
}

TEST(CompressedMends, KeyCutShortMakesNothingUp) {
    // A key shot or key echo cut short of its layout, as the end of a cut
    // file leaves it: at the end of the input it adds no call, and inside a
    // stream nothing made up from it or from frames stepping from it reaches
    // a handler; the rest of the stream only ever repeats calls of the whole.
    const std::pair<shot_scheme, echo_scheme> schemes[] = {{shot_scheme::bits32, echo_scheme::plain},
                                                           {shot_scheme::rad, echo_scheme::plain},
                                                           {shot_scheme::hr, echo_scheme::hr},
                                                           {shot_scheme::hr, echo_scheme::hr_1}};
    const unsigned keys[] = {45, 51, 63, 47, 65, 92};
    for (const auto& [ss, es] : schemes)
        for (unsigned seed = 1; seed <= 2; ++seed) {
            const auto m = make_keyframe(ss, es, seed, 4);
            const auto whole = run(m.packed);
            std::vector<std::string> sorted_whole = whole;
            std::sort(sorted_whole.begin(), sorted_whole.end());
            for (std::size_t k = 0; k < m.packed.size(); ++k) {
                const words& key = m.packed[k];
                const unsigned main = key[1] >> 16;
                if (std::find(std::begin(keys), std::end(keys), main) == std::end(keys))
                    continue;
                // (63, 1) is decoded from the words of (63, 0), the first four.
                const std::size_t body = std::min<std::size_t>(key.size() - 2, main == 63 ? 4 : key.size());
                for (std::size_t n = 0; n < body; ++n) {
                    SCOPED_TRACE("scheme " + std::to_string(int(ss)) + "/" + std::to_string(int(es)) + " seed " +
                                 std::to_string(seed) + " packet " + std::to_string(k) + " body " +
                                 std::to_string(n));
                    std::vector<words> cut(m.packed.begin(), m.packed.begin() + static_cast<long>(k));
                    const auto before = run(cut);
                    cut.push_back(words(key.begin(), key.begin() + 2 + static_cast<long>(n)));
                    const auto at_end = run(cut);
                    ASSERT_EQ(at_end, before);
                    cut.insert(cut.end(), m.packed.begin() + static_cast<long>(k) + 1, m.packed.end());
                    const auto inside = run(cut);
                    ASSERT_GE(inside.size(), before.size());
                    ASSERT_TRUE(std::equal(before.begin(), before.end(), inside.begin()));
                    for (std::size_t i = before.size(); i < inside.size(); ++i)
                        ASSERT_TRUE(std::binary_search(sorted_whole.begin(), sorted_whole.end(), inside[i]))
                            << "made up: " << inside[i];
                }
            }
        }
}

TEST(CompressedMends, BufferStartsZeroed) {
    recorder r;
    stream_encoder enc(2);
    bit_writer b;
    enc.put_shot(b, shot{1, 2, 3, 0, 0});
    r.feed(packet(86, 0, b.body()));
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(r.outside_bits, 0u);
}

// ---- bit streams --------------------------------------------------------------------------

TEST(CompressedStream, TagRules) {
    // v2: tag 0 ends the packet whatever follows; tags 6 and 7 are errors
    // after the records before them.
    {
        recorder r;
        stream_encoder enc(2);
        bit_writer b;
        enc.put_shot(b, shot{1, 2, 3, 0, 0});
        b.put(0, 32);
        b.put(6, 3); // never read
        b.put(0, 29);
        r.feed(packet(86, 0, b.body()));
        EXPECT_EQ(r.calls, std::vector<std::string>{"hr 1 2 3"});
        r.feed(packet(86, 0, {}));
        EXPECT_EQ(r.calls.size(), 1u);
        for (unsigned tag : {6u, 7u}) {
            bit_writer c;
            enc.put_shot(c, shot{4, 5, 6, 0, 0});
            c.put(tag, 3);
            c.put(0, 61);
            try {
                r.feed(packet(86, 0, c.body()));
                ADD_FAILURE();
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), "Unknown subpackage v2: " + std::to_string(tag));
            }
        }
        EXPECT_EQ(r.calls.back(), "hr 4 5 6");
    }
    // v3: tag 6 is an error.
    {
        recorder r;
        try {
            r.feed(packet(109, 0, {6u}));
            ADD_FAILURE();
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Unknown subpackage v3: 6");
        }
    }
    // A negative 26-bit echo value reaches the 32-bit field sign-extended.
    {
        recorder r;
        stream_encoder enc(2);
        bit_writer b;
        enc.put_echo(b, echo{static_cast<std::uint32_t>(-(1 << 25)), 1, 2, 0, 3}, 0x7FFFF, false);
        r.feed(packet(86, 0, b.body()));
        EXPECT_EQ(r.calls, std::vector<std::string>{"echo -33554432 1 2 0 3"});
    }
    // A second-order shot before any delta shot uses steps of 0.
    {
        recorder r;
        bit_writer b;
        b.put(1, 3);
        b.put(1000, 49);
        b.put(10, 22);
        b.put(20, 22);
        b.put(3, 3);
        b.put_signed(-5, 18);
        b.put_signed(2, 6);
        b.put_signed(-1, 5);
        r.feed(packet(86, 0, b.body()));
        const std::vector<std::string> want{"hr 1000 10 20", "hr 4294968291 12 19"};
        EXPECT_EQ(r.calls, want);
    }
}

TEST(CompressedStream, DefaultChannelHeaders) {
    const waveform w5{7, 5, 1, 2, {11, 12}};
    const waveform w3{8, 3, 1, 2, {13}};
    recorder r;
    stream_encoder enc(3);
    bit_writer b;
    enc.put_waveform(b, w5, 0, false); // first record ever: default header
    enc.put_waveform(b, w5, 0, false); // none again before a shot
    enc.put_shot(b, shot{77, 1, 1, 0, 0});
    enc.put_waveform(b, w3, 0, false); // other channel: never
    enc.put_waveform(b, w5, 0, false); // after the shot: default header
    enc.put_shot(b, shot{78, 1, 1, 0, 0});
    enc.put_channel_header(b, 9, {{5, 1, 2}}, 0, false);
    enc.put_waveform(b, w5, 0, false); // a header record was sent: none
    r.feed(packet(109, 0, b.body()));
    const std::string d0 = "header 0 0 0 0 n=1 (5,0,0)", d77 = "header 77 0 0 0 n=1 (5,0,0)";
    const std::string wave5 = "wave 7 5 1 2 n=2 11 12", wave3 = "wave 8 3 1 2 n=1 13";
    const std::vector<std::string> want{d0,     wave5, wave5, "hr 77 1 1", wave3, d77, wave5, "hr 78 1 1",
                                        "header 78 9 0 0 n=1 (5,1,2)", wave5};
    EXPECT_EQ(r.calls, want);
    EXPECT_EQ(r.packet_count, want.size());

    recorder skip(true);
    skip.feed(packet(109, 0, b.body()));
    const std::vector<std::string> shots{"hr 77 1 1", "hr 78 1 1"};
    EXPECT_EQ(skip.calls, shots);
}

TEST(CompressedPackets, PacketCountAndPassThrough) {
    recorder r;
    r.feed(plain_echo({1, 2, 3, 4, 5}));
    EXPECT_EQ(r.packet_count, 1u);
    EXPECT_EQ(r.calls.size(), 1u);
    r.feed(packet(108, 0, {1, 2, 3})); // packed_sdf: nothing
    EXPECT_EQ(r.packet_count, 2u);
    EXPECT_EQ(r.calls.size(), 1u);
    r.feed(plain_shot_2angles({1, 2, 3, 0, 0})); // three calls, one packet
    EXPECT_EQ(r.packet_count, 3u);
    EXPECT_EQ(r.calls.size(), 4u);
}

// ---- hostile input ------------------------------------------------------------------------

TEST(CompressedHostile, RandomBodiesRaiseOnlyDocumentedErrors) {
    const std::pair<unsigned, unsigned> ids[] = {{45, 0}, {46, 0}, {47, 0}, {48, 0}, {51, 0},  {52, 0},
                                                 {63, 0}, {63, 1}, {64, 0}, {65, 0}, {66, 0},  {86, 0},
                                                 {92, 0}, {93, 0}, {108, 0}, {109, 0}, {86, 9}, {109, 2}};
    std::mt19937 g(2024);
    for (bool skip : {false, true})
        for (bool strict : {false, true}) {
            recorder r(skip);
            r.strict = strict;
            for (int i = 0; i < 6000; ++i) {
                const auto [main, sub] = ids[g() % std::size(ids)];
                words body(g() % 12 == 0 ? g() % 600 : g() % 16);
                for (auto& w : body)
                    w = g() % 3 == 0 ? g() & 0xE0000007u : g();
                const auto p = packet(main, sub, body);
                try {
                    r.feed(p);
                } catch (const scanlib::packet_error&) {
                    ASSERT_TRUE(strict);
                } catch (const std::exception& e) {
                    ASSERT_TRUE(documented(e)) << e.what();
                }
            }
        }
}

TEST(CompressedHostile, WritesFuzzSeeds) {
    const auto kf = make_keyframe(shot_scheme::bits32, echo_scheme::plain, 9, 3);
    const auto hr = make_keyframe(shot_scheme::hr, echo_scheme::hr_1, 9, 3);
    const auto v2 = make_stream(2, 9, 40);
    const auto v3 = make_stream(3, 9, 40);
    auto sel = [](unsigned main) -> unsigned {
        const unsigned table[] = {45, 46, 47, 48, 51, 52, 63, 64, 65, 66, 86, 92, 93, 108, 109};
        for (unsigned i = 0; i < std::size(table); ++i)
            if (table[i] == main)
                return i;
        return 0;
    };
    for (const auto* m : {&kf, &hr}) {
        std::vector<std::pair<unsigned, words>> seed;
        for (const auto& p : m->packed)
            seed.push_back({sel(p[1] >> 16), body_of(p)});
        write_seed(m == &kf ? "keyframe32" : "keyframe_hr", seed);
    }
    std::mt19937 g(1);
    for (const auto* c : {&v2, &v3}) {
        std::vector<std::pair<unsigned, words>> seed;
        for (const auto& p : split(*c, g, 6))
            seed.push_back({sel(p[1] >> 16), body_of(p)});
        write_seed(c == &v2 ? "stream_v2" : "stream_v3", seed);
    }
    EXPECT_TRUE(std::filesystem::exists(seed_dir() / "stream_v3"));
}

// ---- layouts worked out by hand -------------------------------------------------------
//
// Bodies written word by word from the field tables, not by the encoder
// above, so a position both the encoder and the decoder got wrong shows here.

TEST(CompressedLayouts, FrameShotFieldsAtTheirBits) {
    // Key shot (45, 0): time 1000, no echoes, angles 50 and 60 (angle 1 at bit 40).
    // Frame (46, 0): T = 10, N = 1, P = -3, Q = 300; element 0 is dt = -1,
    // d1 = -16, d2 = 15, n = 9 (0x97C3); element 1 is a stop marker (0xFFFE)
    // and element 2, all zero, would be a shot.
    {
        recorder r;
        r.feed(packet(45, 0, {1000, 50u << 8, 60}));
        r.feed(packet(46, 0, {0xFFFD010Au, 0x97C3012Cu, 0x0000FFFEu}));
        r.feed(packet(47, 0, {7, 0, 0}));
        const std::vector<std::string> want{"shot2 1000 50 60", "shot1 1000 50", "shot0 1000", "shot2 1010 47 360",
                                            "shot1 1010 47", "shot0 1010", "echo 7 0 0 0 0", "shot2 1019 28 675",
                                            "shot1 1019 28", "shot0 1019"};
        EXPECT_EQ(r.calls, want);
    }
    // The rad pair (51, 0) and (52, 0): the same steps, F = 0xBEEF at bit 48 of
    // the frame, 32-bit elements whose upper halves are ignored.
    {
        recorder r;
        r.feed(packet(51, 0, {1000, 50u << 8, 60, 1}));
        r.feed(packet(52, 0, {0xFFFD010Au, 0xBEEF012Cu, 0xFFFF97C3u, 0x1234FFFEu, 0}));
        r.feed(packet(47, 0, {7, 0, 0}));
        const std::vector<std::string> want{"rad 1000 50 60 1", "rad 1010 47 360 48879", "echo 7 0 0 0 0",
                                            "rad 1019 28 675 48879"};
        EXPECT_EQ(r.calls, want);
    }
    // High resolution (63, 0) and (64, 0): T = 2^28 - 1, N = 2, P = -32768,
    // Q = 32767; the element dt = -131072, d1 = -1, d2 = 1, n = 15. Angle 1
    // leaves as its low 24 bits.
    {
        recorder r;
        r.feed(packet(63, 0, {5, 0, 100u << 8, 200}));
        r.feed(packet(64, 0, {0x2FFFFFFFu, 0x7FFF8000u, 0xF0FE0000u}));
        r.feed(packet(65, 0, {1, 0, 0}));
        r.feed(packet(65, 0, {2, 0, 0}));
        const std::vector<std::string> want{"hr 5 100 200", "hr 268435460 16744548 32967", "echo 1 0 0 0 0",
                                            "echo 2 0 0 0 0", "hr 536739843 16711779 65735"};
        EXPECT_EQ(r.calls, want);
    }
}

TEST(CompressedLayouts, FrameEchoFieldsAtTheirBits) {
    struct row {
        unsigned key_shot, frame;
        words key_echo;
        words element;
        std::string want;
    };
    // Key echo e1..e5 = 100, 10, 20, 0, 30 ((92, 0) carries e3 - e2 at bit 48).
    const row rows[] = {
        // d1 = -1 (s23), d2 = 1 (s14 at 23), d3 = -2 (s14 at 37), e4 = 10 (u4 at 51), d5 = -256 (s9 at 55)
        {45, 48, {100, 10 | 20u << 16, 30u << 16}, {0x00FFFFFFu, 0x8057FFC0u}, "echo 99 11 18 10 -226"},
        // d1 = -2^24 (s25), d2 = -2048 (s12 at 25), d3 = 2047 (s12 at 37), e4 = 5 (u4 at 49), d5 = -1 (s11 at 53)
        {63, 66, {100, 10 | 20u << 16, 30u << 16}, {0x01000000u, 0xFFEAFFF0u}, "echo -16777116 63498 2067 5 29"},
        // d1 = 2^25 - 1 (s26), d = -3 (s14 at 26), +5 (s11 at 40) on top of d, e4 = 3 (u2 at 51), d5 = 1023
        {63, 93, {100, 10 | 10u << 16, 30u << 16}, {0xF5FFFFFFu, 0x7FF805FFu}, "echo 33554531 7 22 3 1053"},
    };
    for (const auto& c : rows) {
        recorder r;
        const unsigned key_echo_main = c.frame == 48 ? 47 : c.frame == 66 ? 65 : 92;
        if (c.key_shot == 45)
            r.feed(packet(45, 0, {1, 2, 0}));
        else
            r.feed(packet(63, 0, {1, 0, 2, 0}));
        r.feed(packet(key_echo_main, 0, c.key_echo));
        r.feed(packet(c.frame, 0, c.element));
        ASSERT_EQ(r.calls.size(), (c.key_shot == 45 ? 3u : 1u) + 2u) << c.frame;
        EXPECT_EQ(r.calls[r.calls.size() - 2], "echo 100 10 20 0 30") << c.frame;
        EXPECT_EQ(r.calls.back(), c.want) << c.frame;
    }
}

TEST(CompressedLayouts, SequenceSizesUnderTheStrictChecks) {
    recorder r;
    r.strict = true;
    // 48 fixed bits and 16383 elements of 16 bits fill 8193 words; one word
    // more holds 16385 elements, beyond the maximum.
    EXPECT_NO_THROW(r.feed(packet(46, 0, words(8193, 0))));
    try {
        r.feed(packet(46, 0, words(8194, 0)));
        ADD_FAILURE() << "no error for 16385 elements";
    } catch (const scanlib::packet_error& e) {
        const std::string m = e.what(), tail = "packed_frame_laser_shot_2angles: sequence too long 16385";
        EXPECT_TRUE(m.size() >= tail.size() && m.compare(m.size() - tail.size(), tail.size(), tail) == 0) << m;
    }
    // Bit streams: at most 2048 words.
    EXPECT_NO_THROW(r.feed(packet(86, 0, words(2048, 0))));
    EXPECT_THROW(r.feed(packet(86, 0, words(2049, 0))), scanlib::packet_error);
    EXPECT_THROW(r.feed(packet(109, 0, words(2049, 0))), scanlib::packet_error);
    // Bodies that are only a sequence may be empty; one word holds no 64-bit element.
    for (unsigned main : {48u, 66u, 93u, 86u, 109u, 108u})
        EXPECT_NO_THROW(r.feed(packet(main, 0, {}))) << main;
    for (unsigned main : {48u, 66u, 93u})
        EXPECT_NO_THROW(r.feed(packet(main, 0, {0xFFFFFFFFu}))) << main;
    EXPECT_TRUE(r.calls.empty());
    // A fixed part cut short is a missing sequence start, strict or not.
    recorder lax;
    EXPECT_THROW(lax.feed(packet(46, 0, {0})), std::range_error);
    EXPECT_THROW(lax.feed(packet(64, 0, {0})), std::range_error);
}

TEST(CompressedLayouts, StreamRecordsAtTheirBits) {
    // Version 2: an absolute shot (time 0x123456789ABCD, angles 0x3FFFFF and
    // 0x155555), a delta shot (step 2^29 - 1, -1, -32768), an absolute echo
    // (-1, 0xFFFF, +2, 0x8000, 19 bits of ones) and a delta echo (2^25 - 1,
    // -8192, 511, -1024).
    {
        recorder r;
        r.feed(packet(86, 0,
                      {0x3C4D5E69u, 0xFFF91A2Bu, 0x555557FFu, 0xFFFFFFFAu, 0x8000FFFFu, 0xFFFFFFFCu, 0x00005FFFu,
                       0xFFFFF000u, 0x0FFFFFFDu, 0x800FFC00u}));
        const std::vector<std::string> want{"hr 320255973501901 4194303 1398101", "hr 320256510372812 4194302 1365333",
                                            "echo -1 65535 1 0 -32768", "echo 33554430 57343 -7680 0 31744"};
        EXPECT_EQ(r.calls, want);
    }
    // Version 3: a shot (77, 1, 2), a channel header (H = 0xABCD, ten bits of
    // ones, entries (15, 2^18 - 1, 1023) and (5, 1, 2)) and a channel-5
    // waveform (n = 2, W = 0x8001, values 31 and 127), which needs no default
    // header after that header.
    {
        recorder r;
        r.feed(packet(109, 0,
                      {0x00000268u, 0x00100000u, 0x00000800u, 0x5FFD5E6Du, 0xFFFFFFFFu, 0x00800015u, 0xFFFFE017u,
                       0xFFF58001u, 0xDEADBEEFu, 0x00000001u}));
        const std::vector<std::string> want{"hr 77 1 2", "header 77 43981 0 0 n=2 (15,262143,1023) (5,1,2)",
                                            "wave -32767 5 31 127 n=2 3735928559 1"};
        EXPECT_EQ(r.calls, want);
    }
    // Version 2: a first word of 0 ends the packet before the shot behind it;
    // version 3 has no end record, so the same words are a shot (time 0).
    {
        recorder r;
        r.feed(packet(86, 0, {0, 0x00000268u, 0x00100000u, 0x00000800u}));
        EXPECT_TRUE(r.calls.empty());
        EXPECT_EQ(r.packet_count, 1u);
        r.feed(packet(109, 0, {0, 0, 0}));
        EXPECT_EQ(r.calls, std::vector<std::string>{"hr 0 0 0"});
    }
}

TEST(CompressedMends, NestedDispatchKeepsItsOwnCounts) {
    // A handler that dispatches another packet into the same visitor: the
    // inner packet counts once, and the outer packet's later unpacked
    // packets still count one each.
    struct nesting : recorder {
        words inner = plain_shot_rad({9, 8, 7, 6, 0});
        bool nested = false;
        void on_echo(scanlib::echo<it> const& p) override {
            recorder::on_echo(p);
            if (!nested) {
                nested = true;
                feed(inner);
            }
        }
    } r;
    r.feed(key_shot(shot_scheme::bits32, shot{1, 0, 0, 0, 3}));
    const auto before = r.packet_count;
    r.feed(frame_echoes(echo_scheme::plain, {}, {{1, 0, 0, 0, 0}, {2, 0, 0, 0, 0}, {3, 0, 0, 0, 0}}));
    const std::vector<std::string> want{"shot2 1 0 0", "shot1 1 0",      "shot0 1",       "echo 1 0 0 0 0",
                                        "rad 9 8 7 6", "echo 2 0 0 0 0", "echo 3 0 0 0 0"};
    EXPECT_EQ(r.calls, want);
    EXPECT_EQ(r.packet_count - before, 3u + 1u);
}

TEST(CompressedMends, ShotWhoseHandlerThrowsStillEndsTheHeaderPeriod) {
    // A channel header, then a shot whose handler fails: the shot was
    // decoded and handed over, so a channel-5 waveform after it gets the
    // default header of the new shot.
    recorder r;
    stream_encoder enc(3);
    bit_writer b;
    enc.put_channel_header(b, 1, {{5, 1, 1}}, 0, false);
    enc.put_shot(b, shot{50, 1, 1, 0, 0});
    r.before = [](const std::string& c) {
        if (c.rfind("hr ", 0) == 0)
            throw std::runtime_error("handler failed");
    };
    EXPECT_THROW(r.feed(packet(109, 0, b.body())), std::runtime_error);
    r.before = nullptr;
    bit_writer w;
    enc.put_waveform(w, waveform{3, 5, 0, 0, {4}}, 0, false);
    r.feed(packet(109, 0, w.body()));
    const std::vector<std::string> want{"header 0 1 0 0 n=1 (5,1,1)", "hr 50 1 1", "header 50 0 0 0 n=1 (5,0,0)",
                                        "wave 3 5 0 0 n=1 4"};
    EXPECT_EQ(r.calls, want);
}
