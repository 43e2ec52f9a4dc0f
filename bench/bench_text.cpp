// Packet text form: writing bodies by id and reading packet lines back.

#include <scanlib/qodataread.hpp>
#include <scanlib/qodatawrite.hpp>

#include <benchmark/benchmark.h>

#include <bit>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct sample {
    unsigned main, sub;
    std::vector<unsigned int> body;
};

// A header with 40 ids, a units packet and a 64-entry table.
std::vector<sample> samples() {
    std::vector<unsigned int> hdr(12, 0x41424344u);
    for (unsigned k = 0; k < 40; ++k)
        hdr.push_back((k << 16) | (k % 3));
    std::vector<unsigned int> units(20, std::bit_cast<unsigned>(0.25f));
    std::vector<unsigned int> nrange{3, 7};
    for (unsigned k = 0; k < 32; ++k)
        nrange.push_back(k * 0x00010003u);
    return {{1, 0, hdr}, {2, 4, units}, {68, 0, nrange}};
}

void write_bodies(benchmark::State& state) {
    const auto s = samples();
    std::ostringstream os;
    if (state.range(0))
        scanlib::set_zpk_braceless(os);
    std::size_t bytes = 0;
    for (auto _ : state) {
        os.str(std::string());
        for (const auto& p : s)
            scanlib::qodataspec_write(p.body.data(), p.body.data() + p.body.size(), p.main, p.sub, os);
        // The write position is the text's length: no copy of it is timed.
        bytes += static_cast<std::size_t>(os.tellp());
    }
    state.SetBytesProcessed(static_cast<long>(bytes));
}
BENCHMARK(write_bodies)->Arg(0)->Arg(1);

void read_lines(benchmark::State& state) {
    const auto s = samples();
    std::ostringstream os;
    if (state.range(0))
        scanlib::set_zpk_braceless(os);
    for (const auto& p : s) {
        os << scanlib::package_id(p.main, p.sub);
        scanlib::qodataspec_write(p.body.data(), p.body.data() + p.body.size(), p.main, p.sub, os);
        os << '\n';
    }
    const std::string text = os.str();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::istringstream is(text);
        if (state.range(0))
            scanlib::set_zpk_braceless(is);
        scanlib::package_id id;
        scanlib::zpk_packet p;
        int n = 0;
        while (is >> id >> p)
            ++n;
        benchmark::DoNotOptimize(n);
        bytes += text.size();
    }
    state.SetBytesProcessed(static_cast<long>(bytes));
}
BENCHMARK(read_lines)->Arg(0)->Arg(1);

} // namespace
