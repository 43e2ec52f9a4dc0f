// Shots handed over to a real virtual machine through the native methods,
// against the native extraction of the same generated scan in the same run.
// The host is bench/host/HostBench.java, called in a machine started here.
#include "scan_gen.hpp"
#include "start_jvm.hpp"

#include <scanlib/connection.hpp>
#include <scanlib/pointcloud.hpp>
#include <scanlib/qodataspec.hpp>
#include <scanlib/zpkmarker.hpp>

#include <benchmark/benchmark.h>

#include <jni.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace {

// The generated plain scan of `millions` million shots, written once per build.
struct scan_file {
    std::string path;
    scangen::totals totals;
};

scan_file const& scan(std::int64_t millions) {
    static std::map<std::int64_t, scan_file> scans;
    auto it = scans.find(millions);
    if (it != scans.end())
        return it->second;
    namespace fs = std::filesystem;
    fs::create_directories(SCANLIB_BENCH_SCAN_DIR);
    scan_file f;
    f.path = std::string(SCANLIB_BENCH_SCAN_DIR) + "/plain_" + std::to_string(millions) + "M.zpk";
    // The totals beside the scan let a later run reuse it.
    const std::string totals = f.path + ".totals";
    std::error_code ec;
    std::ifstream in(totals);
    if (!(in >> f.totals.shots >> f.totals.echoes >> f.totals.bytes) || fs::file_size(f.path, ec) != f.totals.bytes) {
        scangen::options o;
        o.shots = static_cast<std::uint64_t>(millions) * 1'000'000;
        f.totals = scangen::write_scan(f.path, o);
        std::ofstream(totals) << f.totals.shots << ' ' << f.totals.echoes << ' ' << f.totals.bytes << '\n';
    }
    return scans.emplace(millions, f).first->second;
}

// kB of a line of /proc/self/status ("VmHWM", "VmRSS").
double status_mb(std::string const& key) {
    std::ifstream in("/proc/self/status");
    std::string k;
    long kb = 0;
    while (in >> k) {
        if (k == key + ":") {
            in >> kb;
            return static_cast<double>(kb) / 1024;
        }
        in.ignore(1 << 12, '\n');
    }
    return 0;
}

// Starts the peak resident size over from the present one.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

class counting_cloud : public scanlib::pointcloud {
public:
    counting_cloud() : scanlib::basic_packets(scanlib::select_all), pointcloud(false) {}
    void on_shot_end() override {
        ++shots;
        echoes += shot_target_count;
    }
    std::uint64_t shots = 0, echoes = 0;
};

// The library alone: the same connection, decoder and point cloud the binding
// builds, and the same end-of-input rule, without a host.
void BM_native_extraction(benchmark::State& state) {
    scan_file const& f = scan(state.range(0));
    std::uint64_t shots = 0;
    for (auto _ : state) {
        std::shared_ptr<scanlib::basic_rconnection> c(scanlib::basic_rconnection::create_impl(f.path, "", ""));
        c->open();
        scanlib::decoder_zpkmarker decoder(*c, true);
        counting_cloud cloud;
        scanlib::basic_buffer<unsigned int*> packet;
        while (!decoder.input_ended) {
            decoder.get(packet);
            if (!packet.empty())
                cloud.dispatch(packet.begin, packet.end);
        }
        if (cloud.shot_pending)
            cloud.send_single_or_last();
        shots = cloud.shots;
    }
    if (shots != f.totals.shots)
        state.SkipWithError("the native extraction lost shots");
    state.counters["shots_per_s"] =
        benchmark::Counter(static_cast<double>(shots) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}

struct machine {
    JavaVM* jvm = nullptr;
    JNIEnv* env = nullptr;
    jclass bench = nullptr;
    jmethodID pull = nullptr;
    jfieldID echoes = nullptr;
};

// One machine per process. A fixed, pre-touched heap keeps the host's own
// memory out of the resident size, so what grows there is the library's.
machine* start_machine() {
    static machine m;
    static bool tried = false;
    if (tried)
        return m.pull ? &m : nullptr;
    tried = true;
    // SCANLIB_HOST_LIBRARY in the environment measures another build of the binding.
    char const* other = std::getenv("SCANLIB_HOST_LIBRARY");
    m.env = start_jvm(SCANLIB_JVM_LIBRARY,
                      {std::string("-Djava.class.path=") + SCANLIB_HOST_CLASSES + ":" + SCANLIB_HOST_BENCH_CLASSES,
                       std::string("-Dostrand.library=") + (other ? other : SCANLIB_HOST_LIBRARY), "-Xrs", "-Xms256m",
                       "-Xmx256m", "-XX:+AlwaysPreTouch"},
                      &m.jvm);
    if (!m.env)
        return nullptr;
    m.bench = m.env->FindClass("HostBench");
    if (!m.bench)
        return nullptr;
    m.pull = m.env->GetStaticMethodID(m.bench, "pull", "(Ljava/lang/String;[I)J");
    m.echoes = m.env->GetStaticFieldID(m.bench, "echoes", "J");
    return m.pull && m.echoes ? &m : nullptr;
}

// range(0): million shots; range(1): 0 no export codes, 1 codes 2, 3, 4 and 5.
void BM_host_jvm(benchmark::State& state) {
    scan_file const& f = scan(state.range(0));
    machine* m = start_machine();
    if (!m) {
        state.SkipWithError("no virtual machine with the host classes");
        return;
    }
    JNIEnv* env = m->env;
    jstring uri = env->NewStringUTF(f.path.c_str());
    const bool all = state.range(1) != 0;
    const jint all_codes[] = {2, 3, 4, 5};
    jintArray codes = env->NewIntArray(all ? 4 : 0);
    if (all)
        env->SetIntArrayRegion(codes, 0, 4, all_codes);
    reset_peak();
    const double rss_before = status_mb("VmRSS");
    jlong shots = 0;
    for (auto _ : state)
        shots = env->CallStaticLongMethod(m->bench, m->pull, uri, codes);
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
        state.SkipWithError("the host raised an exception");
    } else if (shots < 0 || static_cast<std::uint64_t>(shots) != f.totals.shots) {
        state.SkipWithError("the host did not receive every shot");
    }
    state.counters["shots_per_s"] =
        benchmark::Counter(static_cast<double>(shots) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["peak_rss_MB"] = status_mb("VmHWM");
    state.counters["rss_growth_MB"] = status_mb("VmHWM") - rss_before;
    env->DeleteLocalRef(codes);
    env->DeleteLocalRef(uri);
}

// One iteration reads the whole scan; real time, since the machine's
// compiler and collector work on threads of their own.
BENCHMARK(BM_native_extraction)->Arg(5)->Arg(10)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_host_jvm)
    ->Args({5, 0})
    ->Args({5, 1})
    ->Args({10, 0})
    ->Args({10, 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
