#pragma once
// An encoder for the packed shot and echo packets, written from their layouts
// and independent of the library's bit-field code: a bit writer, a model of
// shots and echoes, and packers that turn the model either into plain packets
// or into the key/frame and tagged bit-stream packets that must decode to it.

#include <array>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace packtest {

using words = std::vector<unsigned int>;

// LSB-first bit writer: bit p is bit p%32 of word p/32.
class bit_writer {
public:
    void put(std::uint64_t value, unsigned width) {
        for (unsigned i = 0; i < width; ++i, ++bits_) {
            if (bits_ % 32 == 0)
                w_.push_back(0);
            if ((value >> i) & 1u)
                w_.back() |= 1u << (bits_ % 32);
        }
    }
    // A signed value that must fit the field.
    void put_signed(std::int64_t value, unsigned width) {
        const std::int64_t lo = -(std::int64_t(1) << (width - 1)), hi = (std::int64_t(1) << (width - 1)) - 1;
        if (value < lo || value > hi)
            throw std::logic_error("encoder: value does not fit s" + std::to_string(width));
        put(static_cast<std::uint64_t>(value), width);
    }
    void put_unsigned(std::uint64_t value, unsigned width) {
        if (width < 64 && value >> width)
            throw std::logic_error("encoder: value does not fit u" + std::to_string(width));
        put(value, width);
    }
    std::size_t bits() const { return bits_; }
    const words& body() const { return w_; }

private:
    words w_;
    std::size_t bits_ = 0;
};

inline bool fits_signed(std::int64_t v, unsigned width) {
    return v >= -(std::int64_t(1) << (width - 1)) && v <= (std::int64_t(1) << (width - 1)) - 1;
}

// A whole packet with the explicit two-word id header.
inline words packet(unsigned main, unsigned sub, const words& body) {
    words p{0xFFFFFFFFu, (main << 16) | (sub & 0xFFFFu)};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

// ---- the model ------------------------------------------------------------

struct shot {
    std::uint64_t time = 0; // 32-bit schemes use the low 32 bits
    std::uint32_t angle1 = 0, angle2 = 0;
    std::uint16_t fourth = 0; // rad scheme only
    unsigned echoes = 0;
};

struct echo {
    std::uint32_t e1 = 0;
    std::uint16_t e2 = 0, e3 = 0, e4 = 0, e5 = 0;
};

struct channel_entry {
    unsigned channel = 0, value18 = 0, value10 = 0;
};

struct channel_header {
    std::uint64_t time = 0;
    std::uint16_t h = 0;
    std::vector<channel_entry> entries;
};

struct waveform {
    std::uint16_t w = 0;
    unsigned channel = 0, value5 = 0, value7 = 0;
    words samples;
};

// ---- plain packets ----------------------------------------------------------

inline words plain_shot_2angles(const shot& s) {
    return packet(10, 2, {static_cast<unsigned>(s.time), s.angle1, s.angle2});
}
inline words plain_shot_rad(const shot& s) {
    return packet(20, 0, {static_cast<unsigned>(s.time), s.angle1, s.angle2, s.fourth});
}
inline words plain_shot_hr(const shot& s) {
    bit_writer b;
    b.put(s.time, 64);
    b.put(0, 8);
    b.put(s.angle1 & 0xFFFFFFu, 24);
    b.put(s.angle2, 32);
    return packet(67, 0, b.body());
}
inline words plain_echo(const echo& e) {
    return packet(42, 0, {e.e1, e.e2 | unsigned(e.e3) << 16, e.e4 | unsigned(e.e5) << 16});
}
inline words plain_channel_header(const channel_header& h) {
    bit_writer b;
    b.put(h.time, 64);
    b.put(h.h, 16);
    b.put(0, 16);
    b.put(0, 32); // 26-bit field and the 6 bits after it
    for (const auto& e : h.entries) {
        b.put(e.channel, 4);
        b.put(e.value18, 18);
        b.put(e.value10, 10);
    }
    return packet(110, 0, b.body());
}
inline words plain_waveform(const waveform& w) {
    words body{w.w | (w.channel & 15u) << 16 | (w.value5 & 31u) << 20 | (w.value7 & 127u) << 25};
    body.insert(body.end(), w.samples.begin(), w.samples.end());
    return packet(90, 0, body);
}

// ---- key and frame packets ------------------------------------------------

enum class shot_scheme { bits32, rad, hr };
enum class echo_scheme { plain, hr, hr_1 };

inline words key_shot(shot_scheme scheme, const shot& s, bool mta = false) {
    bit_writer b;
    if (scheme == shot_scheme::hr) {
        b.put(s.time, 64);
        b.put_unsigned(s.echoes, 8);
        b.put_unsigned(s.angle1, 24);
        b.put(s.angle2, 32);
        if (mta)
            b.put(0xDEADBEEFu, 32);
        return packet(63, mta ? 1 : 0, b.body());
    }
    b.put_unsigned(s.time, 32);
    b.put_unsigned(s.echoes, 8);
    b.put_unsigned(s.angle1, 24);
    b.put(s.angle2, 32);
    if (scheme == shot_scheme::rad) {
        b.put(s.fourth, 16);
        return packet(51, 0, b.body());
    }
    return packet(45, 0, b.body());
}

// A frame of shots following `prev`; every shot of the frame must be
// reachable from its predecessor with the frame's steps and a correction that
// fits. `stop_marker` appends the element that ends the 32-bit/rad frames,
// followed by junk that must not be read.
inline words frame_shots(shot_scheme scheme, const shot& prev, const std::vector<shot>& shots,
                         bool stop_marker = false) {
    if (shots.empty())
        throw std::logic_error("encoder: a frame holds at least one shot");
    const shot& first = shots[0];
    const std::uint64_t t_step = first.time - prev.time;
    const auto p = static_cast<std::int32_t>(first.angle1 - prev.angle1);
    const auto q = static_cast<std::int32_t>(first.angle2 - prev.angle2);
    bit_writer b;
    const bool hr = scheme == shot_scheme::hr;
    if (hr) {
        b.put_unsigned(t_step, 28);
        b.put_unsigned(first.echoes, 4);
    } else {
        b.put_unsigned(t_step & 0xFFFFFFFFu, 8);
        b.put_unsigned(first.echoes, 8);
    }
    b.put_signed(p, 16);
    b.put_signed(q, 16);
    if (scheme == shot_scheme::rad)
        b.put(first.fourth, 16);
    for (std::size_t i = 1; i < shots.size(); ++i) {
        const shot& a = shots[i - 1];
        const shot& s = shots[i];
        if (scheme == shot_scheme::rad && s.fourth != first.fourth)
            throw std::logic_error("encoder: one fourth value per rad frame");
        const auto d1 = static_cast<std::int32_t>(s.angle1 - a.angle1 - static_cast<std::uint32_t>(p));
        const auto d2 = static_cast<std::int32_t>(s.angle2 - a.angle2 - static_cast<std::uint32_t>(q));
        if (hr) {
            const auto dt = static_cast<std::int32_t>(static_cast<std::uint32_t>(s.time - a.time) -
                                                      static_cast<std::uint32_t>(t_step));
            if (s.time - a.time > 0xFFFFFFFFu)
                throw std::logic_error("encoder: hr shot step beyond 32 bits");
            b.put_signed(dt, 18);
            b.put_signed(d1, 5);
            b.put_signed(d2, 5);
            b.put_unsigned(s.echoes, 4);
        } else {
            const auto dt = static_cast<std::int32_t>(static_cast<std::uint32_t>(s.time - a.time) -
                                                      static_cast<std::uint32_t>(t_step));
            if (dt == -2)
                throw std::logic_error("encoder: -2 is the stop marker");
            b.put_signed(dt, 2);
            b.put_signed(d1, 5);
            b.put_signed(d2, 5);
            b.put_unsigned(s.echoes, 4);
            if (scheme == shot_scheme::rad)
                b.put(0xA5A5u, 16); // ignored half of the element
        }
    }
    // A 16-bit element left over in the last word would be a shot: the
    // packer closes the frame with the stop marker.
    if (scheme == shot_scheme::bits32 && !stop_marker && b.bits() % 32 != 0) {
        b.put(2, 2);
        b.put(0, 14);
    }
    if (stop_marker && !hr) {
        b.put(2, 2); // bit 1 set, bit 0 clear
        b.put(0x3FFF, 14);
        if (scheme == shot_scheme::rad)
            b.put(0xFFFF, 16);
        for (int i = 0; i < 3; ++i) // shots that must never appear
            b.put(0x5555u, scheme == shot_scheme::rad ? 32 : 16);
    }
    return packet(hr ? 64 : scheme == shot_scheme::rad ? 52 : 46, 0, b.body());
}

inline words key_echo(echo_scheme scheme, const echo& e) {
    const std::uint16_t third = scheme == echo_scheme::hr_1 ? static_cast<std::uint16_t>(e.e3 - e.e2) : e.e3;
    const words body{e.e1, e.e2 | unsigned(third) << 16, e.e4 | unsigned(e.e5) << 16};
    return packet(scheme == echo_scheme::plain ? 47 : scheme == echo_scheme::hr ? 65 : 92, 0, body);
}

// Signed difference of two 16-bit values.
inline std::int32_t diff16(std::uint16_t to, std::uint16_t from) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(to - from));
}

inline bool echo_delta_fits(echo_scheme scheme, const echo& a, const echo& e) {
    const auto d1 = static_cast<std::int32_t>(e.e1 - a.e1);
    const auto d2 = diff16(e.e2, a.e2), d3 = diff16(e.e3, a.e3), d5 = diff16(e.e5, a.e5);
    switch (scheme) {
    case echo_scheme::plain:
        return fits_signed(d1, 23) && fits_signed(d2, 14) && fits_signed(d3, 14) && e.e4 < 16 && fits_signed(d5, 9);
    case echo_scheme::hr:
        return fits_signed(d1, 25) && fits_signed(d2, 12) && fits_signed(d3, 12) && e.e4 < 16 &&
               fits_signed(d5, 11);
    case echo_scheme::hr_1:
        return fits_signed(d1, 26) && fits_signed(d2, 14) &&
               fits_signed(static_cast<std::int16_t>(static_cast<std::uint16_t>(d3 - d2)), 11) && e.e4 < 4 &&
               fits_signed(d5, 11);
    }
    return false;
}

// Echo deltas from `prev` through each of `echoes`, 64 bits each.
inline words frame_echoes(echo_scheme scheme, echo prev, const std::vector<echo>& echoes) {
    bit_writer b;
    for (const echo& e : echoes) {
        const auto d1 = static_cast<std::int32_t>(e.e1 - prev.e1);
        const auto d2 = diff16(e.e2, prev.e2), d3 = diff16(e.e3, prev.e3), d5 = diff16(e.e5, prev.e5);
        switch (scheme) {
        case echo_scheme::plain:
            b.put_signed(d1, 23);
            b.put_signed(d2, 14);
            b.put_signed(d3, 14);
            b.put_unsigned(e.e4, 4);
            b.put_signed(d5, 9);
            break;
        case echo_scheme::hr:
            b.put_signed(d1, 25);
            b.put_signed(d2, 12);
            b.put_signed(d3, 12);
            b.put_unsigned(e.e4, 4);
            b.put_signed(d5, 11);
            break;
        case echo_scheme::hr_1:
            b.put_signed(d1, 26);
            b.put_signed(d2, 14);
            b.put_signed(static_cast<std::int16_t>(static_cast<std::uint16_t>(d3 - d2)), 11);
            b.put_unsigned(e.e4, 2);
            b.put_signed(d5, 11);
            break;
        }
        prev = e;
    }
    return packet(scheme == echo_scheme::plain ? 48 : scheme == echo_scheme::hr ? 66 : 93, 0, b.body());
}

// ---- tagged bit streams ---------------------------------------------------

// Writes records of the version-2 (tags 1-5, end 0) or version-3 stream,
// keeping the same running values as the decoder so that it picks the
// shortest record that reproduces each value.
class stream_encoder {
public:
    explicit stream_encoder(int version) : v3_(version == 3) {}

    // `allow_short` false forces the absolute record.
    void put_shot(bit_writer& b, const shot& s, bool allow_short = true) {
        const std::uint64_t step = s.time - shot_.time;
        const auto a1 = static_cast<std::int32_t>(s.angle1 - shot_.angle1);
        const auto a2 = static_cast<std::int32_t>(s.angle2 - shot_.angle2);
        const auto c_t = static_cast<std::int32_t>(static_cast<std::uint32_t>(step) - step_t_);
        const auto c_1 = static_cast<std::int32_t>(static_cast<std::uint32_t>(a1) - static_cast<std::uint32_t>(step_1_));
        const auto c_2 = static_cast<std::int32_t>(static_cast<std::uint32_t>(a2) - static_cast<std::uint32_t>(step_2_));
        if (allow_short && step <= 0xFFFFFFFFu && fits_signed(c_t, 18) && fits_signed(c_1, 6) && fits_signed(c_2, 5)) {
            b.put(v3_ ? 2 : 3, 3);
            b.put_signed(c_t, 18);
            b.put_signed(c_1, 6);
            b.put_signed(c_2, 5);
        } else if (allow_short && step < (1u << 29) && fits_signed(a1, 16) && fits_signed(a2, 16)) {
            b.put(v3_ ? 1 : 2, 3);
            b.put_unsigned(step, 29);
            b.put_signed(a1, 16);
            b.put_signed(a2, 16);
            step_t_ = static_cast<std::uint32_t>(step);
            step_1_ = a1;
            step_2_ = a2;
        } else {
            b.put(v3_ ? 0 : 1, 3);
            b.put_unsigned(s.time, 49);
            b.put_unsigned(s.angle1, 22);
            b.put_unsigned(s.angle2, 22);
        }
        shot_ = s;
        header_since_shot_ = false;
    }

    void put_echo(bit_writer& b, const echo& e, std::uint32_t junk19, bool allow_short = true) {
        if (e.e4 != 0)
            throw std::logic_error("encoder: the bit streams carry no fourth echo value");
        const auto d1 = static_cast<std::int32_t>(e.e1 - echo_.e1);
        const auto d2 = diff16(e.e2, echo_.e2);
        const auto d3 = static_cast<std::int16_t>(static_cast<std::uint16_t>(diff16(e.e3, echo_.e3) - d2));
        const auto d5 = diff16(e.e5, echo_.e5);
        if (allow_short && fits_signed(d1, 26) && fits_signed(d2, 14) && fits_signed(d3, 10) && fits_signed(d5, 11)) {
            b.put(v3_ ? 4 : 5, 3);
            b.put_signed(d1, 26);
            b.put_signed(d2, 14);
            b.put_signed(d3, 10);
            b.put_signed(d5, 11);
        } else {
            b.put(v3_ ? 3 : 4, 3);
            b.put_signed(static_cast<std::int32_t>(e.e1), 26);
            b.put(e.e2, 16);
            b.put(static_cast<std::uint16_t>(e.e3 - e.e2), 16);
            b.put(e.e5, 16);
            b.put(junk19, 19);
        }
        echo_ = e;
    }

    // Version 3 only. Returns the plain header it stands for (time from the
    // running shot).
    channel_header put_channel_header(bit_writer& b, std::uint16_t h, const std::vector<channel_entry>& entries,
                                      unsigned junk10, bool skipped) {
        b.put(5, 3);
        b.put(h, 16);
        b.put(junk10, 10);
        b.put_unsigned(entries.size(), 3);
        for (const auto& e : entries) {
            b.put_unsigned(e.channel, 4);
            b.put_unsigned(e.value18, 18);
            b.put_unsigned(e.value10, 10);
        }
        if (!skipped)
            header_since_shot_ = true;
        return channel_header{shot_.time, h, entries};
    }

    // Version 3 only. Returns whether the decoder puts a default channel
    // header in front of this waveform.
    bool put_waveform(bit_writer& b, const waveform& w, unsigned junk19, bool skipped) {
        b.put(7, 3);
        b.put_unsigned(w.samples.size(), 10);
        b.put(junk19, 19);
        b.put(w.w, 16);
        b.put_unsigned(w.channel, 4);
        b.put_unsigned(w.value5, 5);
        b.put_unsigned(w.value7, 7);
        for (unsigned s : w.samples)
            b.put(s, 32);
        if (skipped)
            return false;
        const bool default_header = w.channel == 5 && !header_since_shot_;
        if (default_header)
            header_since_shot_ = true;
        return default_header;
    }

    std::uint64_t shot_time() const { return shot_.time; }

private:
    bool v3_;
    shot shot_{};
    echo echo_{};
    std::uint32_t step_t_ = 0;
    std::int32_t step_1_ = 0, step_2_ = 0;
    bool header_since_shot_ = false;
};

// Record boundaries of a stream body, so tests can cut it into packets.
struct record_stream {
    words body;
    std::vector<std::size_t> boundaries; // word index where each record starts
};

// ---- key/frame model --------------------------------------------------------

struct keyframe_stream {
    std::vector<words> plain;
    std::vector<words> packed;
    std::size_t shots = 0, echoes = 0;
};

inline unsigned rnd(std::mt19937& g, unsigned lo, unsigned hi) { return lo + g() % (hi - lo + 1); }
inline int srnd(std::mt19937& g, int lo, int hi) { return lo + static_cast<int>(g() % static_cast<unsigned>(hi - lo + 1)); }

// Blocks of a key shot and frames of shots, with their echoes in key and frame
// echo packets interleaved at random with the shot packets.
inline keyframe_stream make_keyframe(shot_scheme ss, echo_scheme es, unsigned seed, int blocks) {
    std::mt19937 g(seed);
    keyframe_stream out;
    const bool hr = ss == shot_scheme::hr;
    echo prev_echo{};
    for (int b = 0; b < blocks; ++b) {
        std::vector<words> shot_packets, echo_packets;
        std::vector<shot> shots;
        shot s{};
        s.time = hr ? (std::uint64_t(g()) << 20 | g()) : g();
        s.angle1 = g() & 0xFFFFFFu;
        s.angle2 = g();
        s.fourth = static_cast<std::uint16_t>(g());
        s.echoes = rnd(g, 0, 4);
        shot_packets.push_back(key_shot(ss, s, hr && g() % 2));
        shots.push_back(s);
        const int frames = static_cast<int>(rnd(g, 0, 4));
        for (int f = 0; f < frames; ++f) {
            const shot prev = shots.back();
            const std::uint32_t t = hr ? rnd(g, 2000, (1u << 28) - 1) : rnd(g, 0, 255);
            const int p = srnd(g, -32768, 32767), q = srnd(g, -32768, 32767);
            const auto fourth = static_cast<std::uint16_t>(g());
            std::vector<shot> frame;
            shot cur = prev;
            const unsigned n = rnd(g, 1, 40);
            for (unsigned i = 0; i < n; ++i) {
                const int dt = i == 0 ? 0 : hr ? srnd(g, -1000, 1000) : srnd(g, -1, 1);
                const int d1 = i == 0 ? 0 : srnd(g, -16, 15), d2 = i == 0 ? 0 : srnd(g, -16, 15);
                if (hr)
                    cur.time += static_cast<std::uint32_t>(t + static_cast<std::uint32_t>(dt));
                else
                    cur.time = static_cast<std::uint32_t>(cur.time + t + static_cast<std::uint32_t>(dt));
                cur.angle1 += static_cast<std::uint32_t>(p + d1);
                cur.angle2 += static_cast<std::uint32_t>(q + d2);
                cur.fourth = fourth;
                cur.echoes = rnd(g, 0, 4);
                frame.push_back(cur);
            }
            shot_packets.push_back(frame_shots(ss, prev, frame, g() % 4 == 0));
            shots.insert(shots.end(), frame.begin(), frame.end());
        }
        // The echoes of the block, each close to the one before unless it jumps.
        std::vector<echo> echoes;
        for (const auto& sh : shots)
            for (unsigned i = 0; i < sh.echoes; ++i) {
                echo e = echoes.empty() ? prev_echo : echoes.back();
                if (g() % 10 == 0) {
                    e = {static_cast<std::uint32_t>(g()), static_cast<std::uint16_t>(g()), static_cast<std::uint16_t>(g()),
                         static_cast<std::uint16_t>(g() % 4), static_cast<std::uint16_t>(g())};
                } else {
                    e.e1 += static_cast<std::uint32_t>(srnd(g, -4000000, 4000000));
                    const int d2 = srnd(g, -2000, 2000);
                    e.e2 = static_cast<std::uint16_t>(e.e2 + d2);
                    e.e3 = static_cast<std::uint16_t>(e.e3 + d2 + srnd(g, -1000, 1000));
                    e.e4 = static_cast<std::uint16_t>(g() % 4);
                    e.e5 = static_cast<std::uint16_t>(e.e5 + srnd(g, -200, 200));
                }
                echoes.push_back(e);
            }
        for (std::size_t i = 0; i < echoes.size();) {
            const echo before = i == 0 ? prev_echo : echoes[i - 1];
            if (g() % 5 == 0 || !echo_delta_fits(es, before, echoes[i])) {
                echo_packets.push_back(key_echo(es, echoes[i]));
                ++i;
                continue;
            }
            std::vector<echo> run_of;
            echo a = before;
            const std::size_t want = rnd(g, 1, 12);
            while (i < echoes.size() && run_of.size() < want && echo_delta_fits(es, a, echoes[i])) {
                run_of.push_back(echoes[i]);
                a = echoes[i++];
            }
            echo_packets.push_back(frame_echoes(es, before, run_of));
        }
        if (!echoes.empty())
            prev_echo = echoes.back();
        // Key shot first, then both kinds in random order, each in its own order.
        out.packed.push_back(shot_packets[0]);
        std::size_t si = 1, ei = 0;
        while (si < shot_packets.size() || ei < echo_packets.size()) {
            const bool take_shot = ei == echo_packets.size() || (si < shot_packets.size() && g() % 2);
            out.packed.push_back(take_shot ? shot_packets[si++] : echo_packets[ei++]);
        }
        std::size_t k = 0;
        for (const auto& sh : shots) {
            out.plain.push_back(ss == shot_scheme::bits32 ? plain_shot_2angles(sh)
                                : ss == shot_scheme::rad  ? plain_shot_rad(sh)
                                                          : plain_shot_hr(sh));
            for (unsigned i = 0; i < sh.echoes; ++i)
                out.plain.push_back(plain_echo(echoes[k++]));
        }
        out.shots += shots.size();
        out.echoes += echoes.size();
    }
    return out;
}

} // namespace packtest
