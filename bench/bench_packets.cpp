// Packet views: decoding the fields of shot and echo bodies in place, and
// storing value records through writable views.

#include <scanlib/generated/packets.hpp>

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

constexpr std::size_t bodies = 4096;

std::vector<unsigned int> random_words(std::size_t n)
{
    std::mt19937 rng(1);
    std::vector<unsigned int> w(n);
    for (auto& x : w)
        x = static_cast<unsigned int>(rng());
    return w;
}

void echo_fields(benchmark::State& state)
{
    auto const words = random_words(bodies * 3);
    for (auto _ : state) {
        long sum = 0;
        for (std::size_t i = 0; i < bodies; ++i) {
            unsigned int const* b = words.data() + 3 * i;
            scanlib::echo<unsigned int const*> const e(b, b + 3);
            sum += e.range + e.amplitude + e.reflectance + e.flags + e.deviation;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * bodies);
}
BENCHMARK(echo_fields);

void shot_hr_fields(benchmark::State& state)
{
    auto const words = random_words(bodies * 4);
    for (auto _ : state) {
        unsigned long sum = 0;
        for (std::size_t i = 0; i < bodies; ++i) {
            unsigned int const* b = words.data() + 4 * i;
            scanlib::laser_shot_2angles_hr<unsigned int const*> const s(b, b + 4);
            sum += s.time + s.line_angle + s.frame_angle;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * bodies);
}
BENCHMARK(shot_hr_fields);

void echo_record_store(benchmark::State& state)
{
    std::vector<unsigned int> words(bodies * 3);
    scanlib::echo<void> r{-5, 1, 2, 3, 4};
    for (auto _ : state) {
        for (std::size_t i = 0; i < bodies; ++i) {
            unsigned int* b = words.data() + 3 * i;
            scanlib::echo<unsigned int*> const e(b, b + 3);
            r.range += 1;
            e = r;
        }
        benchmark::DoNotOptimize(words.data());
    }
    state.SetItemsProcessed(state.iterations() * bodies);
}
BENCHMARK(echo_record_store);

void frame_echo_elements(benchmark::State& state)
{
    auto const words = random_words(2 * bodies);
    for (auto _ : state) {
        scanlib::packed_frame_echo<unsigned int const*> const f(words.data(), words.data() + words.size());
        long sum = 0;
        for (std::int64_t i = 0; i < f.count; ++i) {
            auto const d = f.deltas[i];
            sum += d.range_delta + d.amplitude_delta + d.reflectance_delta + d.flags + d.deviation_delta;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * bodies);
}
BENCHMARK(frame_echo_elements);

}  // namespace
