#include <benchmark/benchmark.h>
#include <binary/binary.hpp>
#include <scanlib/package.hpp>

#include <random>
#include <vector>

namespace {

std::vector<scanlib::package_id> sample_ids() {
    std::mt19937 rng(1);
    std::vector<scanlib::package_id> ids;
    for (int i = 0; i < 4096; ++i) {
        const auto& row = scanlib::package_id::name_from_type[rng() % scanlib::package_type_count].second;
        ids.emplace_back(row.main, rng() % 4 == 0 ? rng() % 12 : row.sub);
    }
    return ids;
}

void BM_IdToType(benchmark::State& state) {
    const auto ids = sample_ids();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(static_cast<scanlib::package_id::type>(ids[i++ & 4095]));
    }
}
BENCHMARK(BM_IdToType);

void BM_HeaderDecodeCompact(benchmark::State& state) {
    scanlib::lookup_table t;
    for (unsigned k = 1; k <= 200; ++k)
        t.key2id.push_back({k, 0});
    std::vector<unsigned int> words(4096);
    std::mt19937 rng(2);
    for (auto& w : words)
        w = 0xFFFFFF00u | (1 + rng() % 200);
    std::size_t i = 0;
    for (auto _ : state) {
        const unsigned int* p = words.data() + (i++ & 4094);
        scanlib::basic_package<const unsigned int*> pkg(p, p + 2, t);
        benchmark::DoNotOptimize(pkg.id);
    }
}
BENCHMARK(BM_HeaderDecodeCompact);

template <unsigned W, unsigned P>
using u_field = binary::field<unsigned int, binary::base_type<unsigned int, W>, P, const unsigned int*>;

// A 24-bit field crossing a word boundary: constant shifts at base 0,
// the run-time path otherwise.
void BM_FieldReadBaseZero(benchmark::State& state) {
    std::vector<unsigned int> words(4096 + 4, 0x12345678u);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(unsigned(u_field<24, 20>(words.data() + (i++ & 4095))));
    }
}
BENCHMARK(BM_FieldReadBaseZero);

void BM_FieldReadWithBase(benchmark::State& state) {
    std::vector<unsigned int> words(4096 + 4, 0x12345678u);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(unsigned(u_field<24, 0>(words.data() + (i & 4095), unsigned(i & 31))));
        ++i;
    }
}
BENCHMARK(BM_FieldReadWithBase);

// Stride 2: fields of neighbouring iterations share no word, so the loop
// does not measure store forwarding between them.
void BM_FieldWriteBaseZero(benchmark::State& state) {
    std::vector<unsigned int> words(4096 + 4, 0);
    std::size_t i = 0;
    for (auto _ : state) {
        binary::field<unsigned int, binary::base_type<unsigned int, 24>, 20, unsigned int*>(words.data() + 2 * (i & 2047)) =
            unsigned(i);
        ++i;
    }
    benchmark::DoNotOptimize(words.data());
}
BENCHMARK(BM_FieldWriteBaseZero);

} // namespace
