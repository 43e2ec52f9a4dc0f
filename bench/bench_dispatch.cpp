// Dispatch cost per packet: a pre-framed in-memory stream of shot and echo
// packets with compact keys, handed one by one to a visitor whose handlers
// only count; no packet may allocate once the header is in.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include <scanlib/packets.hpp>

#include "bench_util.hpp"

namespace {

using namespace scanlib;
using iterator = basic_packets::iterator;

struct framed {
    std::vector<unsigned int> words;
    std::vector<std::pair<std::size_t, std::size_t>> packets; // [begin, end) offsets

    void add(std::vector<unsigned int> const& p)
    {
        packets.emplace_back(words.size(), words.size() + p.size());
        words.insert(words.end(), p.begin(), p.end());
    }
};

// A header giving the shot id key 1 and the echo key 2, then `shots` shots
// with one to three echoes each.
framed make_stream(unsigned shot_main, unsigned shot_sub, std::size_t shot_words, std::size_t shots)
{
    framed s;
    std::vector<unsigned int> header{0xFFFFFFFFu, 1u << 16};
    header.resize(2 + 12, 0);
    header.push_back((shot_main << 16) | shot_sub);
    header.push_back(42u << 16);
    s.add(header);
    std::uint32_t x = 12345;
    for (std::size_t i = 0; i < shots; ++i) {
        std::vector<unsigned int> shot{0xFFFFFF01u};
        for (std::size_t k = 0; k < shot_words; ++k)
            shot.push_back(x = x * 1664525u + 1013904223u);
        s.add(shot);
        for (unsigned e = 0; e <= x % 3; ++e)
            s.add({0xFFFFFF02u, x + e, 0x00100020u, 0x00300040u});
    }
    return s;
}

class counting : public basic_packets {
public:
    std::uint64_t shots = 0, echoes = 0;
    void on_laser_shot_2angles_hr(laser_shot_2angles_hr<iterator> const&) override { ++shots; }
    void on_laser_shot(laser_shot<iterator> const&) override { ++shots; }
    void on_echo(echo<iterator> const&) override { ++echoes; }
};

void run(benchmark::State& state, framed const& s)
{
    counting v;
    iterator const base = s.words.data();
    {
        iterator const b = base, e = base + s.packets[0].second;
        v.dispatch(b, e); // the header: keys for the rest
    }
    std::uint64_t const warm = bench::allocations();
    for (auto _ : state) {
        for (std::size_t i = 1; i < s.packets.size(); ++i) {
            iterator const b = base + s.packets[i].first, e = base + s.packets[i].second;
            v.dispatch(b, e);
        }
        benchmark::DoNotOptimize(v.echoes);
    }
    std::uint64_t const allocations = bench::allocations() - warm;
    state.counters["allocs_after_warmup"] = static_cast<double>(allocations);
    if (allocations != 0)
        state.SkipWithError("dispatch allocated");
    auto const n = static_cast<double>(s.packets.size() - 1);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(s.packets.size() - 1));
    // Inverted rate of n * 1e-9 packets: nanoseconds per packet.
    state.counters["ns_per_packet"] = benchmark::Counter(
        n * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// High-resolution shots: one layout, one offer per packet.
void BM_dispatch_shot_hr_echo(benchmark::State& state)
{
    static framed const s = make_stream(67, 0, 6, 4096);
    run(state, s);
}
BENCHMARK(BM_dispatch_shot_hr_echo);

// Shots with two angles: offered as three layouts, down to laser_shot.
void BM_dispatch_shot_2angles_echo(benchmark::State& state)
{
    static framed const s = make_stream(10, 2, 3, 4096);
    run(state, s);
}
BENCHMARK(BM_dispatch_shot_2angles_echo);

} // namespace
