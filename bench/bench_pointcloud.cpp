// Point-cloud throughput: high-resolution shots with three echoes each through
// the dispatcher, with and without range-ambiguity resolution and a mirror
// wheel of three distinct facets. Shots and echoes are counted as the point
// cloud reports them.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include <scanlib/pointcloud.hpp>
#include <scanlib/qodataspec.hpp>

namespace {

using words = std::vector<unsigned int>;

template <template <class> class View, class F>
void put(words& out, std::size_t body, F&& fill) {
    const std::size_t at = out.size();
    out.resize(at + 2 + body, 0u);
    out[at] = 0xFFFFFFFFu;
    out[at + 1] = (View<void>::main_id << 16) | View<void>::sub_id;
    View<unsigned int*> v(out.data() + at + 2, out.data() + out.size());
    fill(v);
}

struct counting : scanlib::pointcloud {
    counting() : basic_packets(scanlib::select_all), pointcloud(false) {}
    void on_shot() override { ++shots; }
    void on_echo_transformed(echo_type) override {
        sum += shot_targets[shot_target_count - 1].range;
        ++echoes;
    }
    double sum = 0;
    std::uint64_t shots = 0, echoes = 0;
};

// Packet boundaries into one word buffer.
struct stream {
    words w;
    std::vector<std::size_t> starts;
    template <template <class> class View, class F>
    void add(std::size_t body, F&& fill) {
        starts.push_back(w.size());
        put<View>(w, body, fill);
    }
};

// file_like: shots as a scan file holds them: 32-bit laser_shot_2angles packets,
// 0 to 4 echoes (mean 2), the line count a facet's worth further every few
// shots and the frame count one further every 32 shots, as a head turns.
void run(benchmark::State& state, bool mta, bool wheel, bool file_like = false) {
    stream s;
    s.add<scanlib::units>(4, [](auto& v) {
        v.range_unit = 0.001f;
        v.line_circle_count = 1u << 20;
        v.frame_circle_count = 1u << 20;
        v.systime_unit = 1e-7f;
    });
    if (mta)
        s.add<scanlib::mta_settings>(4, [](auto& v) {
            v.gate_high = 900;
            v.unambiguous_range = 300;
        });
    if (wheel)
        s.add<scanlib::device_geometry>(26, [](auto& v) {
            v.laser_direction[2] = 1;
            v.mirror_axis_direction[1] = 1;
            // Facets 120 degrees apart about the wheel axis (y).
            for (int k = 0; k < 3; ++k) {
                const double a = 2.0943951023931953 * k;
                v.facets[k].normal_x = static_cast<float>(std::cos(a));
                v.facets[k].normal_z = static_cast<float>(std::sin(a));
                v.facets[k].dist = 0.05f;
            }
        });
    const std::size_t config = s.starts.size();
    const int shots = 4096;
    for (int i = 0; i < shots; ++i) {
        if (file_like)
            s.add<scanlib::laser_shot_2angles>(3, [&](auto& v) {
                v.time = 1000000u + 200u * static_cast<unsigned>(i);
                v.line_angle = (1000u * static_cast<unsigned>(i)) % (1u << 20);
                v.frame_angle = 100000u + static_cast<unsigned>(i) / 32;
            });
        else
            s.add<scanlib::laser_shot_2angles_hr>(4, [&](auto& v) {
                v.time = 1000000000ull + 5242880ull * i;
                v.line_angle = (i * 97) & 0xFFFFF;
                v.frame_angle = i * 13;
            });
        for (int e = 0; e < (file_like ? (i * 7) % 5 : 3); ++e)
            s.add<scanlib::echo>(3, [&](auto& v) {
                v.range = 50000 + 100000 * e + i;
                v.amplitude = 1000;
            });
    }
    s.starts.push_back(s.w.size());
    counting pc;
    for (std::size_t k = 0; k < config; ++k)
        pc.dispatch(s.w.data() + s.starts[k], s.w.data() + s.starts[k + 1]);
    const std::uint64_t shots0 = pc.shots, echoes0 = pc.echoes;
    for (auto _ : state) {
        for (std::size_t k = config; k + 1 < s.starts.size(); ++k)
            pc.dispatch(s.w.data() + s.starts[k], s.w.data() + s.starts[k + 1]);
        benchmark::DoNotOptimize(pc.sum);
    }
    state.counters["shots"] =
        benchmark::Counter(static_cast<double>(pc.shots - shots0), benchmark::Counter::kIsRate);
    state.counters["echoes"] =
        benchmark::Counter(static_cast<double>(pc.echoes - echoes0), benchmark::Counter::kIsRate);
}

void BM_PointcloudEchoes(benchmark::State& state) { run(state, false, false); }
void BM_PointcloudEchoesZones(benchmark::State& state) { run(state, true, false); }
void BM_PointcloudEchoesZonesWheel(benchmark::State& state) { run(state, true, true); }
void BM_PointcloudFileLikeWheel(benchmark::State& state) { run(state, false, true, true); }

BENCHMARK(BM_PointcloudEchoes);
BENCHMARK(BM_PointcloudEchoesZones);
BENCHMARK(BM_PointcloudEchoesZonesWheel);
BENCHMARK(BM_PointcloudFileLikeWheel);

} // namespace
