// From a scan file on disk to shots: framing, dispatch, decompression and the
// point cloud over one generated scan, next to framing only and framing with
// dispatch of the same file; and the count of global operator new calls.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include <scanlib/compressed.hpp>
#include <scanlib/connection.hpp>
#include <scanlib/pointcloud.hpp>
#include <scanlib/qodataspec.hpp>
#include <scanlib/zpkmarker.hpp>

#include "../binding/tools/scan_gen.hpp"
#include "bench_util.hpp"

namespace {

std::atomic<std::uint64_t> new_calls{0};

void* counted_new(std::size_t n) {
    new_calls.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

void* counted_new(std::size_t n, std::align_val_t a) {
    new_calls.fetch_add(1, std::memory_order_relaxed);
    const std::size_t align = static_cast<std::size_t>(a);
    // aligned_alloc wants a multiple of the alignment.
    if (void* p = std::aligned_alloc(align, (n + align - 1) / align * align + (n ? 0 : align)))
        return p;
    throw std::bad_alloc();
}


constexpr std::uint64_t scan_shots = 5'000'000;
// Packets read before allocations must stop: the configuration, the first
// shots and every table and queue they size.
constexpr std::uint64_t warm_up_packets = 100'000;

struct scan_file {
    std::string path;
    scangen::totals totals;
};

// Each scan is written once per process, when a benchmark first needs it.
const scan_file& scan(bool packed) {
    auto make = [](bool p) {
        scangen::options o;
        o.shots = scan_shots;
        o.packed = p;
        scan_file f{bench::scratch_path(p ? "packed.zpk" : "plain.zpk"), {}};
        f.totals = scangen::write_scan(f.path, o);
        return f;
    };
    if (packed) {
        static const scan_file f = make(true);
        return f;
    }
    static const scan_file f = make(false);
    return f;
}

// Dispatch and unpacking without a point cloud: counts what reaches the
// handlers that a point cloud would use.
struct dispatch_counter : scanlib::compressed_packets {
    dispatch_counter() : basic_packets(scanlib::select_all) {}
    void on_laser_shot(scanlib::laser_shot<iterator> const&) override { ++shots; }
    void on_echo(scanlib::echo<iterator> const&) override { ++echoes; }
    std::uint64_t shots = 0, echoes = 0;
};

struct shot_counter : scanlib::pointcloud {
    shot_counter() : basic_packets(scanlib::select_all), pointcloud(false) {}
    void on_shot_end() override { ++shots; }
    void on_echo_transformed(echo_type type) override { echoes += type != pseudo; }
    std::uint64_t shots = 0, echoes = 0;
};

// No visitor: framing only.
struct no_visitor {
    void dispatch(unsigned int const*, unsigned int const*) {}
    std::uint64_t shots = 0, echoes = 0;
};

// Reads the whole scan through the connection factory and the framing
// decoder into a fresh visitor, as the host binding does.
template <class Visitor>
void run(benchmark::State& state, bool packed) {
    const scan_file& f = scan(packed);
    std::uint64_t late_allocations = 0;
    bool counts_differ = false;
    for (auto _ : state) {
        std::shared_ptr<scanlib::basic_rconnection> c = scanlib::basic_rconnection::create_impl(f.path, "", "");
        scanlib::decoder_zpkmarker dec(*c, true);
        auto v = std::make_unique<Visitor>();
        scanlib::basic_buffer<unsigned int*> r;
        std::uint64_t packets = 0, at_warm = 0, at_end = 0;
        for (;;) {
            // The get that meets the end of the file looks for further parts
            // of it, which allocates their names: once per file, so not counted.
            const std::uint64_t before_get = bench::allocations();
            dec.get(r);
            if (dec.input_ended && at_end == 0)
                at_end = before_get;
            if (r.empty() && dec.input_ended)
                break;
            v->dispatch(r.begin, r.end);
            if (++packets == warm_up_packets)
                at_warm = bench::allocations();
        }
        if (packets >= warm_up_packets)
            late_allocations += at_end - at_warm;
        if constexpr (!std::is_same_v<Visitor, no_visitor>)
            counts_differ = counts_differ || v->shots != f.totals.shots || v->echoes != f.totals.echoes;
        benchmark::DoNotOptimize(v->shots);
    }
    state.counters["shots"] = benchmark::Counter(static_cast<double>(f.totals.shots),
                                                 benchmark::Counter::kIsIterationInvariantRate);
    state.counters["bytes"] = benchmark::Counter(static_cast<double>(f.totals.bytes),
                                                 benchmark::Counter::kIsIterationInvariantRate);
    state.counters["allocs_after_warmup"] = static_cast<double>(late_allocations);
    if (counts_differ)
        state.SkipWithError("the shots or echoes read differ from what the scan holds");
    else if (late_allocations != 0)
        state.SkipWithError("allocations after warm-up");
}

void BM_file_framing(benchmark::State& state, bool packed) { run<no_visitor>(state, packed); }
void BM_file_dispatch(benchmark::State& state, bool packed) { run<dispatch_counter>(state, packed); }
void BM_file_to_shots(benchmark::State& state, bool packed) { run<shot_counter>(state, packed); }

BENCHMARK_CAPTURE(BM_file_framing, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_file_dispatch, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_file_to_shots, plain, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_file_framing, packed, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_file_dispatch, packed, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_file_to_shots, packed, true)->Unit(benchmark::kMillisecond);

} // namespace

std::uint64_t bench::allocations() { return new_calls.load(std::memory_order_relaxed); }

// The array and nothrow forms of the library forward to these.
void* operator new(std::size_t n) { return counted_new(n); }
void* operator new(std::size_t n, std::align_val_t a) { return counted_new(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
