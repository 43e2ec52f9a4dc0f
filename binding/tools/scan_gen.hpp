#pragma once
// A large scan written in constant memory, for benchmarks: a three-facet mirror
// wheel with distinct facets, shots 20 us apart with 0 to 4 echoes (mean 2),
// times and angle counts that never overflow, either as plain shot and echo
// packets or as the key/frame packed packets that decode to the same shots.

#include <scanlib/pointcloud.hpp>
#include <scanlib/qodataspec.hpp>
#include <scanlib/zpkstream.hpp>

#include "../../tests/packed_model.hpp"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace scangen {

struct options {
    std::uint64_t shots = 5'000'000;
    bool packed = false; // key/frame packed shots and echoes instead of plain packets
    unsigned facets = 3;
    std::uint32_t seed = 1;
};

// What a point cloud reading the scan must report.
struct totals {
    std::uint64_t shots = 0, echoes = 0, bytes = 0;
};

constexpr std::uint32_t time_step = 200;               // systime units of 0.1 us
constexpr std::uint32_t first_time = 1000;
constexpr std::uint64_t max_shots = 21'000'000;        // the 32-bit time stays below 2^32
constexpr std::uint32_t line_circle = 3u << 18;        // whole counts per facet for 1, 2, 3, 4, 6 facets
constexpr std::uint32_t frame_circle = 1u << 20;
constexpr std::uint32_t line_step = 1000;

namespace detail {

using packtest::bit_writer;

inline std::uint32_t float_bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// One packet object reused for every packet.
class writer {
public:
    explicit writer(std::string const& uri) : out_(uri, true) {}
    std::vector<unsigned int>& body() { return p_.storage; }
    void emit(unsigned main, unsigned sub) {
        p_.begin = p_.storage.data();
        p_.end = p_.begin + p_.storage.size();
        p_.main = main;
        p_.sub = sub;
        out_ << p_;
    }
    void emit(unsigned main, unsigned sub, bit_writer const& b) {
        p_.storage.assign(b.body().begin(), b.body().end());
        emit(main, sub);
    }
    void close() { out_.close(); }

private:
    scanlib::zpk_ostream out_;
    scanlib::zpk_packet p_;
};

struct shot {
    std::uint32_t time, line, frame;
    unsigned echoes;
};

struct echo {
    std::int32_t range;
    std::uint16_t amplitude;
    std::int16_t reflectance;
    std::uint16_t flags;
    std::int16_t deviation;
};

// Shots in order; `first` marks the shot that starts a frame, whose time step
// the frame states (later shots of the frame may differ from it by one tick).
class shot_source {
public:
    explicit shot_source(std::uint32_t seed) : g_(seed) {}
    shot next(bool first) {
        if (n_ == 0) {
            s_ = {first_time, 1000, 100000, 0};
        } else {
            const int jitter = first ? 0 : static_cast<int>(g_() % 3) - 1;
            s_.time += static_cast<std::uint32_t>(static_cast<int>(time_step) + jitter);
            s_.line = (s_.line + line_step + g_() % 7 - 3) % line_circle;
            s_.frame = 100000 + static_cast<std::uint32_t>(n_ / 32);
        }
        s_.echoes = g_() % 5;
        ++n_;
        return s_;
    }
    // The line count falls back to the start of the circle at the next shot.
    bool line_wraps_next() const { return s_.line + line_step + 3 >= line_circle; }

    echo next_echo(unsigned index) {
        if (index == 0)
            e_.range = static_cast<std::int32_t>(2000 + g_() % 200000);
        else
            e_.range += static_cast<std::int32_t>(300 + g_() % 30000);
        e_.amplitude = static_cast<std::uint16_t>(100 + g_() % 3000);
        e_.reflectance = static_cast<std::int16_t>(static_cast<int>(g_() % 2500) - 2000);
        e_.flags = static_cast<std::uint16_t>(g_() % 4);
        e_.deviation = static_cast<std::int16_t>(g_() % 50);
        return e_;
    }

private:
    std::mt19937 g_;
    std::uint64_t n_ = 0;
    shot s_{};
    echo e_{};
};

// The plain echo and the key echo share this layout.
inline void echo_packet(writer& w, echo const& e, unsigned main) {
    w.body().assign({static_cast<std::uint32_t>(e.range),
                     e.amplitude | static_cast<std::uint32_t>(static_cast<std::uint16_t>(e.reflectance)) << 16,
                     e.flags | static_cast<std::uint32_t>(static_cast<std::uint16_t>(e.deviation)) << 16});
    w.emit(main, 0);
}

inline void write_config(writer& w, options const& o) {
    auto& b = w.body();
    b.clear();
    char text[48] = "SCANGEN";
    std::memcpy(text + 16, "1.0", 3);
    std::memcpy(text + 32, "S0000042", 8);
    for (int k = 0; k < 12; ++k) {
        std::uint32_t word;
        std::memcpy(&word, text + 4 * k, 4); // little-endian host: first character lowest
        b.push_back(word);
    }
    for (unsigned id : {2u << 16, 4u << 16, 10u << 16 | 2, 42u << 16, 45u << 16, 46u << 16, 47u << 16,
                        48u << 16, 32u << 16})
        b.push_back(id);
    w.emit(1, 0);

    b.assign({float_bits(0.001f), line_circle, frame_circle, float_bits(1e-7f)});
    w.emit(2, 0);

    // Laser along +z onto a wheel turning about +y; each facet tilted and set
    // back a little differently, as real wheels are.
    b.assign(14 + 4 * o.facets, 0u);
    scanlib::device_geometry<unsigned int*> g(b.data(), b.data() + b.size());
    g.laser_origin[2] = -0.1f;
    g.laser_direction[2] = 1;
    g.mirror_axis_direction[1] = 1;
    g.facet_count = static_cast<std::uint8_t>(o.facets);
    for (unsigned k = 0; k < o.facets; ++k) {
        const float tilt = 0.01f * (static_cast<float>(k) - 1.0f);
        g.facets[k].normal_x = 0.99995f;
        g.facets[k].normal_y = tilt;
        g.facets[k].dist = 0.05f + 0.0002f * static_cast<float>(k);
    }
    w.emit(4, 0);
}

} // namespace detail

inline totals write_scan(std::string const& uri, options const& o) {
    using namespace detail;
    if (o.shots > max_shots)
        throw std::invalid_argument("at most " + std::to_string(max_shots) +
                                    " shots keep the shot time below 2^32");
    if (o.facets < 1 || o.facets > 8)
        throw std::invalid_argument("1 to 8 facets");
    writer w(uri);
    write_config(w, o);
    shot_source src(o.seed);
    totals t;
    std::vector<shot> frame;
    std::vector<echo> echoes;
    std::vector<unsigned int> deltas;
    if (!o.packed) {
        // The shots of the packed form: the same blocks and frames decide
        // which shots take the exact time step, and so the same draws.
        auto put_shot = [&](bool first) {
            const shot s = src.next(first);
            w.body().assign({s.time, s.line, s.frame});
            w.emit(10, 2);
            for (unsigned k = 0; k < s.echoes; ++k)
                echo_packet(w, src.next_echo(k), 42);
            t.echoes += s.echoes;
        };
        std::uint64_t i = 0;
        while (i < o.shots) {
            put_shot(true);
            ++i;
            for (unsigned in_block = 1; in_block < 256 && i < o.shots && !src.line_wraps_next();) {
                for (unsigned in_frame = 0; in_frame < 40 && i < o.shots && !src.line_wraps_next();
                     ++in_frame, ++in_block, ++i)
                    put_shot(in_frame == 0);
            }
        }
    } else {
        // Blocks of a key shot and frames of up to 40 shots, each shot packet
        // followed by the echoes of its shots; a block ends before the line
        // count wraps, which no frame step can express.
        std::uint64_t i = 0;
        echo prev{};
        bool have_prev = false;
        auto put_echoes = [&](shot const& s) {
            for (unsigned k = 0; k < s.echoes; ++k)
                echoes.push_back(src.next_echo(k));
        };
        auto flush_echoes = [&] {
            std::size_t at = 0;
            if (!have_prev && !echoes.empty()) {
                prev = echoes[0];
                echo_packet(w, prev, 47);
                ++at;
                have_prev = true;
            }
            if (at < echoes.size()) {
                bit_writer b;
                for (; at < echoes.size(); ++at) {
                    echo const& e = echoes[at];
                    b.put_signed(static_cast<std::int64_t>(e.range) - prev.range, 23);
                    b.put_signed(static_cast<int>(e.amplitude) - prev.amplitude, 14);
                    b.put_signed(e.reflectance - prev.reflectance, 14);
                    b.put(e.flags, 4);
                    b.put_signed(e.deviation - prev.deviation, 9);
                    prev = e;
                }
                w.emit(48, 0, b);
            }
            t.echoes += echoes.size();
            echoes.clear();
        };
        while (i < o.shots) {
            shot const key = src.next(true);
            ++i;
            {
                bit_writer b;
                b.put(key.time, 32);
                b.put(key.echoes, 8);
                b.put(key.line, 24);
                b.put(key.frame, 32);
                w.emit(45, 0, b);
            }
            have_prev = false; // a block's echoes start from a key echo
            put_echoes(key);
            flush_echoes();
            shot last = key;
            for (unsigned in_block = 1; in_block < 256 && i < o.shots && !src.line_wraps_next();) {
                frame.clear();
                while (frame.size() < 40 && i < o.shots && !src.line_wraps_next()) {
                    frame.push_back(src.next(frame.empty()));
                    ++i;
                    ++in_block;
                    put_echoes(frame.back());
                }
                bit_writer b;
                const shot& f = frame[0];
                const std::uint32_t t_step = f.time - last.time;
                const auto p = static_cast<std::int32_t>(f.line - last.line);
                const auto q = static_cast<std::int32_t>(f.frame - last.frame);
                b.put(t_step, 8);
                b.put(f.echoes, 8);
                b.put_signed(p, 16);
                b.put_signed(q, 16);
                for (std::size_t k = 1; k < frame.size(); ++k) {
                    shot const& a = frame[k - 1];
                    shot const& s = frame[k];
                    b.put_signed(static_cast<std::int32_t>(s.time - a.time - t_step), 2);
                    b.put_signed(static_cast<std::int32_t>(s.line - a.line - static_cast<std::uint32_t>(p)), 5);
                    b.put_signed(static_cast<std::int32_t>(s.frame - a.frame - static_cast<std::uint32_t>(q)), 5);
                    b.put(s.echoes, 4);
                }
                if (b.bits() % 32 != 0) { // a half word left over would read as a shot: the stop marker
                    b.put(2, 2);
                    b.put(0, 14);
                }
                w.emit(46, 0, b);
                flush_echoes();
                last = frame.back();
            }
        }
    }
    w.body().clear();
    w.emit(32, 0);
    w.close();
    t.shots = o.shots;
    std::error_code ec;
    const auto size = std::filesystem::file_size(uri.rfind("file:", 0) == 0 ? uri.substr(5) : uri, ec);
    t.bytes = ec ? 0 : size;
    return t;
}

} // namespace scangen
