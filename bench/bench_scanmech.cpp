// Cost of one beam (and one vertex) per scan mechanism kind, the per-shot and
// per-echo work of the point cloud.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include <scanlib/scanmech.hpp>

namespace {

using scanlib::scanmech;
using kind_e = scanmech::kind_e;

struct beams {
    double origin[3];
    double direction[3];
    std::unique_ptr<scanmech> m;

    explicit beams(kind_e k) {
        m.reset(k == kind_e::unknown ? new scanmech(origin, direction) : scanmech::create(k, origin, direction));
        m->line_circle_count = 1u << 20;
        m->frame_circle_count = 1u << 22;
        if (auto* w = dynamic_cast<scanlib::mirrorwheel*>(m.get())) {
            const double s = std::sqrt(0.5);
            w->facets = {{{s, 0, s}, 0.05}, {{s, 0, -s}, 0.05}, {{-s, 0, -s}, 0.05}, {{-s, 0, s}, 0.05}};
        }
        if (auto* b = dynamic_cast<scanlib::mirrorwheel_biaxial*>(m.get()))
            b->biaxial_shift = {{1.0f, 0.02f}, {5.0f, 0.01f}, {50.0f, 0.0f}};
        if (auto* w = dynamic_cast<scanlib::mirrorwheel_windowdistortion*>(m.get()))
            w->nodes.assign(5, {0.001, -0.002});
        if (auto* w = dynamic_cast<scanlib::mirrorwheel_deflection_windowdistortion*>(m.get()))
            w->nodes.assign(5, {0.001, -0.002});
        if (auto* w = dynamic_cast<scanlib::wedge*>(m.get())) {
            w->facet1_direction[0] = 0.1;
            w->refraction_index = 1.5;
        }
        switch (k) { // precompute of the concrete class
        case kind_e::mirrorwheel: static_cast<scanlib::mirrorwheel&>(*m).precompute(); break;
        case kind_e::mirrorwheel_exitpane: static_cast<scanlib::mirrorwheel_exitpane&>(*m).precompute(); break;
        case kind_e::mirrorwheel_deflection: static_cast<scanlib::mirrorwheel_deflection&>(*m).precompute(); break;
        case kind_e::mirrorwheel_biaxial: static_cast<scanlib::mirrorwheel_biaxial&>(*m).precompute(); break;
        case kind_e::mirrorwheel_nodding: static_cast<scanlib::mirrorwheel_nodding&>(*m).precompute(); break;
        case kind_e::mirrorwheel_windowdistortion:
            static_cast<scanlib::mirrorwheel_windowdistortion&>(*m).precompute();
            break;
        case kind_e::mirrorwheel_deflection_windowdistortion:
            static_cast<scanlib::mirrorwheel_deflection_windowdistortion&>(*m).precompute();
            break;
        case kind_e::wedge: static_cast<scanlib::wedge&>(*m).precompute(); break;
        case kind_e::gimbalmountmirror: static_cast<scanlib::gimbalmountmirror&>(*m).precompute(); break;
        default: m->precompute();
        }
    }
};

void BM_Beam(benchmark::State& state) {
    beams b(static_cast<kind_e>(state.range(0)));
    unsigned line = 12345, frame = 678;
    double vertex[3];
    for (auto _ : state) {
        b.m->compute_beam_raw(line, frame, 0);
        b.m->compute_vertex(vertex, 3.25);
        benchmark::DoNotOptimize(vertex);
        line += 977;
        frame += 3;
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_Beam)->DenseRange(0, 5)->DenseRange(7, 10);
