// Framing throughput: decoding a framed stream (in memory, and the shot
// stream also from a file) next to a plain scan of the same bytes for words
// >= 0xFFFFFF00 (the floor any decoder pays), and encoding packets into memory.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <vector>

#include <scanlib/connection.hpp>
#include <scanlib/memconn.hpp>
#include <scanlib/zpkmarker.hpp>
#include <scanlib/zpkstream.hpp>

#include "bench_util.hpp"

namespace {

// Serves a byte buffer that the benchmark keeps alive.
class memory_source : public scanlib::basic_rconnection {
public:
    memory_source(const char* data, std::size_t n) : basic_rconnection(std::string()), data_(data), n_(n) {}
    void seekg(std::size_t pos) override {
        restart_at(pos);
        next_ = pos;
        eof = false;
    }

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        const std::size_t k = std::min(n, n_ - next_);
        std::memcpy(buf, data_ + next_, k);
        next_ += k;
        if (next_ == n_)
            eof = true;
        return k;
    }

private:
    const char* data_;
    std::size_t n_;
    std::size_t next_ = 0;
};

// Mostly 3-8 word packets, about 1.5 % of body words escaped, one packet in
// 500 of 2000 words.
std::vector<std::vector<unsigned int>> sample_packets(std::size_t total_words) {
    std::mt19937 rng(1);
    std::vector<std::vector<unsigned int>> ps;
    std::size_t words = 0;
    while (words < total_words) {
        const std::size_t len = rng() % 500 == 0 ? 2000 : 3 + rng() % 6;
        std::vector<unsigned int> p(len);
        p[0] = 0xFFFFFF01u + rng() % 254;
        for (std::size_t i = 1; i < len; ++i)
            p[i] = rng() % 1000 < 15 ? 0xFFFFFF00u + rng() % 256 : static_cast<unsigned int>(rng() >> 1);
        words += len;
        ps.push_back(std::move(p));
    }
    return ps;
}

// Packets the size a scanner sends them: a shot of 4 words with a compact key
// (one in four an older 2- or 3-word layout), then 0-4 echoes (mean 2) of 4
// words; about one body word in a thousand needs an escape.
std::vector<std::vector<unsigned int>> shot_packets(std::size_t total_words) {
    std::mt19937 rng(2);
    std::vector<std::vector<unsigned int>> ps;
    std::size_t words = 0;
    auto body_word = [&] {
        return static_cast<unsigned int>(rng() % 1000 == 0 ? 0xFFFFFF00u + rng() % 256 : rng() >> 4);
    };
    while (words < total_words) {
        const unsigned kind = rng() % 8;
        const std::size_t shot_len = kind == 0 ? 2 : kind == 1 ? 3 : 4;
        std::vector<unsigned int> shot(shot_len);
        shot[0] = 0xFFFFFF01u + static_cast<unsigned>(4 - shot_len);
        for (std::size_t i = 1; i < shot_len; ++i)
            shot[i] = body_word();
        words += shot_len;
        ps.push_back(std::move(shot));
        for (unsigned e = rng() % 5; e > 0; --e) {
            ps.push_back({0xFFFFFF04u, body_word(), body_word(), body_word()});
            words += 4;
        }
    }
    return ps;
}

std::vector<char> framed(const std::vector<std::vector<unsigned int>>& packets) {
    std::vector<char> out;
    scanlib::mem_wconnection sink(out);
    scanlib::encoder_zpkmarker enc(sink, 0x20000, 0x10000, true);
    for (auto p : packets) {
        scanlib::basic_buffer<unsigned int*> r(p.data(), p.data() + p.size(), p.data() + p.size());
        enc.put(r);
    }
    enc.eot();
    enc.flush();
    return out;
}

const std::vector<char>& sample_stream() {
    static const std::vector<char> bytes = framed(sample_packets(std::size_t(16) << 20));
    return bytes;
}

const std::vector<char>& shot_stream() {
    static const std::vector<char> bytes = framed(shot_packets(std::size_t(16) << 20));
    return bytes;
}

// The shot stream as a scan file, written once per process.
const std::string& shot_file() {
    static const std::string path = [] {
        std::string p = bench::scratch_path("shots.zpk");
        const std::vector<char>& bytes = shot_stream();
        std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p;
    }();
    return path;
}

using stream_fn = const std::vector<char>& (*)();

// Every packet of the decoder's input; returns how many.
std::size_t decode_all(scanlib::decoder_zpkmarker& dec) {
    std::size_t packets = 0;
    scanlib::basic_buffer<unsigned int*> r;
    for (;;) {
        dec.get(r);
        if (r.empty())
            return packets;
        benchmark::DoNotOptimize(r.begin);
        ++packets;
    }
}

void report(benchmark::State& state, std::size_t bytes, std::size_t packets) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["packets"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}

void BM_decoder_get(benchmark::State& state, stream_fn stream) {
    const std::vector<char>& bytes = stream();
    std::size_t packets = 0;
    for (auto _ : state) {
        auto source = std::make_shared<memory_source>(bytes.data(), bytes.size());
        scanlib::decoder_zpkmarker dec(source, true);
        packets += decode_all(dec);
    }
    report(state, bytes.size(), packets);
}
BENCHMARK_CAPTURE(BM_decoder_get, mixed, sample_stream)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_decoder_get, shots, shot_stream)->Unit(benchmark::kMillisecond);

// The shot stream read from its file through the connection factory, as the
// host binding reads a scan.
void BM_decoder_get_file(benchmark::State& state) {
    const std::string& path = shot_file();
    const std::size_t size = shot_stream().size();
    std::size_t packets = 0;
    for (auto _ : state) {
        std::shared_ptr<scanlib::basic_rconnection> c = scanlib::basic_rconnection::create_impl(path, "", "");
        scanlib::decoder_zpkmarker dec(*c, true);
        packets += decode_all(dec);
    }
    report(state, size, packets);
}
BENCHMARK(BM_decoder_get_file)->Unit(benchmark::kMillisecond);

// Escape and start words in [p, e). Its one small loop is aligned: placed
// across a 32-byte boundary by chance, it runs half again as long, and the
// floor would move with unrelated code.
#if defined(__GNUC__) && !defined(__clang__)
[[gnu::noinline, gnu::optimize("align-loops=64")]]
#endif
std::size_t count_markers(const unsigned int* p, const unsigned int* e) {
    std::size_t markers = 0;
    for (; p != e; ++p)
        markers += *p >= 0xFFFFFF00u;
    return markers;
}

// The floor: one pass over the same framed words looking for escape and
// start words, nothing else.
void BM_plain_scan(benchmark::State& state, stream_fn stream) {
    const std::vector<char>& bytes = stream();
    std::vector<unsigned int> words(bytes.size() / 4);
    std::memcpy(words.data(), bytes.data(), words.size() * 4);
    for (auto _ : state)
        benchmark::DoNotOptimize(count_markers(words.data(), words.data() + words.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK_CAPTURE(BM_plain_scan, mixed, sample_stream)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_plain_scan, shots, shot_stream)->Unit(benchmark::kMillisecond);

void BM_encoder_put(benchmark::State& state) {
    const auto ps = sample_packets(std::size_t(4) << 20);
    std::size_t in_bytes = 0;
    for (const auto& p : ps)
        in_bytes += 4 * p.size();
    std::vector<char> out;
    out.reserve(in_bytes + in_bytes / 8 + 64);
    for (auto _ : state) {
        out.clear();
        scanlib::mem_wconnection sink(out);
        scanlib::encoder_zpkmarker enc(sink, 0x20000, 0x10000, true);
        for (const auto& p : ps) {
            scanlib::basic_buffer<unsigned int*> r(const_cast<unsigned int*>(p.data()),
                                                   const_cast<unsigned int*>(p.data() + p.size()),
                                                   const_cast<unsigned int*>(p.data() + p.size()));
            enc.put(r);
        }
        enc.eot();
        enc.flush();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in_bytes));
}
BENCHMARK(BM_encoder_put)->Unit(benchmark::kMillisecond);

// The packet stream on the same input: id headers decoded, header ids loaded.
void BM_zpk_istream_read(benchmark::State& state) {
    const std::vector<char>& bytes = sample_stream();
    for (auto _ : state) {
        scanlib::zpk_istream in;
        in.rdcon(std::make_shared<memory_source>(bytes.data() + 16, bytes.size() - 16));
        scanlib::package_id id;
        scanlib::zpk_packet p;
        for (;;) {
            in >> id;
            if (in.at_end)
                break;
            in >> p;
            benchmark::DoNotOptimize(p.begin);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_zpk_istream_read)->Unit(benchmark::kMillisecond);

// zpk_ostream into memory: a header naming 200 ids, then packets with those
// ids (one-word id headers) and others (explicit).
void BM_zpk_ostream_write(benchmark::State& state) {
    const auto bodies = sample_packets(std::size_t(4) << 20);
    std::vector<scanlib::zpk_packet> ps;
    std::size_t in_bytes = 0;
    scanlib::zpk_packet header;
    header.storage.assign(12, 0x20202020);
    for (unsigned i = 0; i < 200; ++i)
        header.storage.push_back((1000 + i) << 16 | (i % 3));
    header.begin = header.storage.data();
    header.end = header.storage.data() + header.storage.size();
    header.main = 1;
    ps.push_back(header);
    for (std::size_t k = 0; k < bodies.size(); ++k) {
        scanlib::zpk_packet p;
        p.begin = bodies[k].data() + 1;
        p.end = bodies[k].data() + bodies[k].size();
        p.main = 1000 + static_cast<unsigned>(k % 250);
        p.sub = static_cast<unsigned>(k % 250 % 3);
        in_bytes += 4 * bodies[k].size();
        ps.push_back(p);
    }
    std::vector<char> out;
    out.reserve(in_bytes + in_bytes / 4);
    for (auto _ : state) {
        out.clear();
        scanlib::zpk_ostream os;
        os.wrcon(std::make_shared<scanlib::mem_wconnection>(out));
        for (const auto& p : ps)
            os << p;
        os.close();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in_bytes));
}
BENCHMARK(BM_zpk_ostream_write)->Unit(benchmark::kMillisecond);

} // namespace
