// Unpacking cost per emitted shot or echo, with the base class's empty
// handlers: the tagged bit streams (mostly short delta records, as a scanner
// writes them) and the key/frame schemes.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include <scanlib/compressed.hpp>

#include "../tests/packed_model.hpp"

namespace {

using namespace packtest;

struct stream_packets {
    std::vector<words> packets;
    std::size_t emitted = 0;
};

// Shots 1 us apart with slowly moving angles, 0-3 echoes each.
stream_packets bit_stream(int version, std::size_t shots) {
    std::mt19937 g(1);
    stream_encoder enc(version);
    const unsigned main = version == 2 ? 86 : 109;
    stream_packets out;
    bit_writer b;
    shot s{1000000, 1000, 2000, 0, 0};
    echo e{100000, 500, 600, 0, 50};
    for (std::size_t i = 0; i < shots; ++i) {
        s.time += 1000 + g() % 5;
        s.angle1 += 3 + g() % 2;
        s.angle2 += g() % 2;
        enc.put_shot(b, s);
        ++out.emitted;
        for (unsigned k = g() % 4; k > 0; --k) {
            e.e1 += static_cast<std::uint32_t>(static_cast<int>(g() % 20000) - 10000);
            e.e2 = static_cast<std::uint16_t>(e.e2 + g() % 200 - 100);
            e.e3 = static_cast<std::uint16_t>(e.e3 + g() % 200 - 100);
            enc.put_echo(b, e, 0);
            ++out.emitted;
        }
        if (b.bits() >= 2000 * 32) {
            out.packets.push_back(packet(main, 0, b.body()));
            b = bit_writer();
        }
    }
    if (b.bits())
        out.packets.push_back(packet(main, 0, b.body()));
    return out;
}

// Blocks of one key shot and a frame of 999 shots, 0-3 echoes each, the
// echoes in one key echo and frames of 1000.
stream_packets keyframe(shot_scheme ss, echo_scheme es, std::size_t blocks) {
    std::mt19937 g(2);
    stream_packets out;
    const bool hr = ss == shot_scheme::hr;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::vector<shot> shots;
        shot s{1000 + b * 10000000, 100, 200, 0, static_cast<unsigned>(g() % 4)};
        out.packets.push_back(key_shot(ss, s));
        shot cur = s;
        for (int i = 0; i < 999; ++i) {
            cur.time = hr ? cur.time + 1000 + g() % 3 : static_cast<std::uint32_t>(cur.time + 200 + g() % 2);
            cur.angle1 += 3 + g() % 2;
            cur.angle2 += g() % 2;
            cur.echoes = static_cast<unsigned>(g() % 4);
            shots.push_back(cur);
        }
        out.packets.push_back(frame_shots(ss, s, shots));
        std::vector<echo> echoes;
        echo e{100000, 500, 600, 1, 50};
        for (unsigned k = 0; k < s.echoes; ++k)
            echoes.push_back(e);
        for (const auto& sh : shots)
            for (unsigned k = 0; k < sh.echoes; ++k) {
                e.e1 += static_cast<std::uint32_t>(static_cast<int>(g() % 20000) - 10000);
                e.e2 = static_cast<std::uint16_t>(e.e2 + g() % 200 - 100);
                echoes.push_back(e);
            }
        out.emitted += 1000 + echoes.size();
        if (echoes.empty())
            continue;
        out.packets.push_back(key_echo(es, echoes[0]));
        for (std::size_t i = 1; i < echoes.size(); i += 1000) {
            const std::vector<echo> part(echoes.begin() + static_cast<long>(i),
                                         echoes.begin() + static_cast<long>(std::min(i + 1000, echoes.size())));
            out.packets.push_back(frame_echoes(es, echoes[i - 1], part));
        }
    }
    return out;
}

void run(benchmark::State& state, const stream_packets& in) {
    scanlib::compressed_packets visitor(false);
    for (auto _ : state)
        for (const auto& p : in.packets)
            visitor.dispatch(p.data(), p.data() + p.size());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.emitted));
    state.counters["ns_per_item"] = benchmark::Counter(
        static_cast<double>(state.iterations() * in.emitted), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_StreamV2(benchmark::State& state) {
    static const auto in = bit_stream(2, 100000);
    run(state, in);
}
BENCHMARK(BM_StreamV2);

void BM_StreamV3(benchmark::State& state) {
    static const auto in = bit_stream(3, 100000);
    run(state, in);
}
BENCHMARK(BM_StreamV3);

void BM_KeyFrame32(benchmark::State& state) {
    static const auto in = keyframe(shot_scheme::bits32, echo_scheme::plain, 50);
    run(state, in);
}
BENCHMARK(BM_KeyFrame32);

void BM_KeyFrameHr(benchmark::State& state) {
    static const auto in = keyframe(shot_scheme::hr, echo_scheme::hr_1, 50);
    run(state, in);
}
BENCHMARK(BM_KeyFrameHr);

void BM_KeyFrameRad(benchmark::State& state) {
    static const auto in = keyframe(shot_scheme::rad, echo_scheme::plain, 50);
    run(state, in);
}
BENCHMARK(BM_KeyFrameRad);

} // namespace
