// Throughput of the read path: a file read through file_rconnection, and the
// per-byte header watch that an override text switches on.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <vector>

#include <boost/filesystem.hpp>

#include <scanlib/connection.hpp>
#include <scanlib/fileconn.hpp>

namespace {

namespace fs = boost::filesystem;

// Endless zero bytes: no header id, so the override never runs.
class zero_source : public scanlib::basic_rconnection {
public:
    explicit zero_source(const std::string& text) : basic_rconnection(text) {}

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        std::memset(buf, 0, n);
        return n;
    }
};

void read_path(benchmark::State& state, const char* text) {
    auto c = std::make_shared<zero_source>(text);
    std::vector<char> buf(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(c->readsome(buf.data(), buf.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK_CAPTURE(read_path, plain, "")->Arg(4096)->Arg(65536);
BENCHMARK_CAPTURE(read_path, watched, "{}")->Arg(4096)->Arg(65536);

void file_read(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / fs::unique_path("scanlib-bench-%%%%-%%%%");
    fs::create_directories(dir);
    const std::string path = (dir / "bench.zpk").string();
    const std::size_t file_size = 32u << 20;
    {
        std::vector<char> block(1u << 20, '\x5a');
        std::ofstream out(path, std::ios::binary);
        for (std::size_t i = 0; i < file_size; i += block.size()) out.write(block.data(), block.size());
    }
    std::vector<char> buf(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        scanlib::file_rconnection c("file:" + path, "", "");
        std::size_t total = 0;
        while (std::size_t k = c.readsome(buf.data(), buf.size())) total += k;
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file_size));
    fs::remove_all(dir);
}
BENCHMARK(file_read)->Arg(4096)->Arg(1 << 20);

} // namespace
