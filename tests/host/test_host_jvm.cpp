// The native methods driven through a real virtual machine started in this
// process, reading the sample scan; expected shots are computed here from the
// scan's raw counts.
#if defined(SCANLIB_HOST_LIBRARY)

#include "netpeers.hpp"
#include "sample_scan.hpp"
#include "scan_gen.hpp"
#include "start_jvm.hpp"
#include "zpk_support.hpp"

#include <gtest/gtest.h>

#include <jni.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// The virtual machine keeps its start-up allocations for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libjvm.so\nleak:libjli.so\nleak:libjava.so\n"; }
#endif

namespace fs = std::filesystem;

namespace {

constexpr char pkg[] = "fr/belcour/quillet/io/tls/zpk/";

// One virtual machine per process; its class path is fixed when it starts.
struct vm {
    JavaVM* jvm = nullptr;
    JNIEnv* env = nullptr;
    std::string class_path;

    static vm*& instance() {
        static vm* v = nullptr;
        return v;
    }

    static vm* start(std::string const& class_path) {
        if (vm* v = instance())
            return v->class_path == class_path ? v : nullptr;
        // -Xcheck:jni: the machine checks every host call the binding makes.
        auto* v = new vm;
        v->env = start_jvm(SCANLIB_JVM_LIBRARY,
                           {"-Djava.class.path=" + class_path, std::string("-Dostrand.library=") + SCANLIB_HOST_LIBRARY,
                            "-Xrs", "-Xcheck:jni"},
                           &v->jvm);
        if (!v->env) {
            delete v;
            return nullptr;
        }
        v->class_path = class_path;
        return instance() = v;
    }
};

// A scratch directory removed with the fixture.
struct scratch {
    fs::path dir;
    scratch() {
        dir = fs::temp_directory_path() / ("host_jvm_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    ~scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

struct shot_values {
    int count;
    double time, origin[3], direction[3];
    std::vector<double> ranges, times;
    std::optional<std::vector<float>> reflectances, deviations, amplitudes;
    bool has_times = false;
};

// The host class ZpkExtraction, called through its native methods.
class host {
public:
    explicit host(JNIEnv* env) : env(env) {
        cls = env->FindClass((std::string(pkg) + "ZpkExtraction").c_str());
        if (!cls)
            return;
        jmethodID ctor = env->GetMethodID(cls, "<init>", "()V");
        self = env->NewObject(cls, ctor);
        m_instantiate = env->GetMethodID(cls, "instantiate", "()J");
        m_open = env->GetMethodID(cls, "open", "(JLjava/lang/String;[I)I");
        m_has = env->GetMethodID(cls, "hasShot", "(J)Z");
        m_next = env->GetMethodID(cls, "getNextShot", ("(J)L" + std::string(pkg) + "Shot;").c_str());
        m_close = env->GetMethodID(cls, "closeConnexion", "(J)V");
        m_delete = env->GetMethodID(cls, "delete", "(J)V");
        m_hello = env->GetMethodID(cls, "afficherBonjour", "()V");
    }
    ~host() {
        if (self)
            env->DeleteLocalRef(self);
        if (cls)
            env->DeleteLocalRef(cls);
    }
    bool ready() const { return self && m_hello && !env->ExceptionCheck(); }

    // Each call is followed by a look at the host's exception state, as
    // -Xcheck:jni requires of native code; take_exception reports it.
    jlong instantiate() { return seen(env->CallLongMethod(self, m_instantiate)); }
    jint open(jlong h, char const* uri, std::vector<jint> const& codes) {
        jstring s = uri ? env->NewStringUTF(uri) : nullptr;
        jintArray a = env->NewIntArray(static_cast<jsize>(codes.size()));
        env->SetIntArrayRegion(a, 0, static_cast<jsize>(codes.size()), codes.data());
        jint r = seen(env->CallIntMethod(self, m_open, h, s, a));
        env->DeleteLocalRef(a);
        if (s)
            env->DeleteLocalRef(s);
        return r;
    }
    bool has_shot(jlong h) { return seen(env->CallBooleanMethod(self, m_has, h)) == JNI_TRUE; }
    jobject next(jlong h) { return seen(env->CallObjectMethod(self, m_next, h)); }
    void close(jlong h) { seen((env->CallVoidMethod(self, m_close, h), 0)); }
    void del(jlong h) { seen((env->CallVoidMethod(self, m_delete, h), 0)); }
    void hello() { seen((env->CallVoidMethod(self, m_hello), 0)); }
    template <class T>
    T seen(T result) {
        env->ExceptionCheck();
        return result;
    }

    // The pending host exception's class name, cleared; empty when none.
    std::string take_exception() {
        jthrowable t = env->ExceptionOccurred();
        if (!t)
            return {};
        env->ExceptionClear();
        jclass c = env->GetObjectClass(t);
        jclass class_class = env->FindClass("java/lang/Class");
        jmethodID get_name = env->GetMethodID(class_class, "getName", "()Ljava/lang/String;");
        auto name = static_cast<jstring>(seen(env->CallObjectMethod(c, get_name)));
        char const* utf = env->GetStringUTFChars(name, nullptr);
        std::string out = utf;
        env->ReleaseStringUTFChars(name, utf);
        for (jobject r : {static_cast<jobject>(name), static_cast<jobject>(class_class), static_cast<jobject>(c),
                          static_cast<jobject>(t)})
            env->DeleteLocalRef(r);
        return out;
    }

    shot_values read(jobject shot) {
        jclass c = env->GetObjectClass(shot);
        auto num = [&](char const* name) { return env->GetDoubleField(shot, env->GetFieldID(c, name, "D")); };
        shot_values v{};
        v.count = env->GetIntField(shot, env->GetFieldID(c, "nbEchos", "I"));
        v.time = num("time");
        v.origin[0] = num("xOrigin"), v.origin[1] = num("yOrigin"), v.origin[2] = num("zOrigin");
        v.direction[0] = num("xDirection"), v.direction[1] = num("yDirection"), v.direction[2] = num("zDirection");
        auto doubles = [&](char const* name, std::vector<double>& out) {
            auto a = static_cast<jdoubleArray>(env->GetObjectField(shot, env->GetFieldID(c, name, "[D")));
            if (!a)
                return false;
            out.resize(static_cast<std::size_t>(env->GetArrayLength(a)));
            env->GetDoubleArrayRegion(a, 0, static_cast<jsize>(out.size()), out.data());
            env->DeleteLocalRef(a);
            return true;
        };
        auto floats = [&](char const* name, std::optional<std::vector<float>>& out) {
            auto a = static_cast<jfloatArray>(env->GetObjectField(shot, env->GetFieldID(c, name, "[F")));
            if (!a)
                return;
            out.emplace(static_cast<std::size_t>(env->GetArrayLength(a)));
            env->GetFloatArrayRegion(a, 0, static_cast<jsize>(out->size()), out->data());
            env->DeleteLocalRef(a);
        };
        doubles("ranges", v.ranges);
        v.has_times = doubles("times", v.times);
        floats("reflectances", v.reflectances);
        floats("deviations", v.deviations);
        floats("amplitudes", v.amplitudes);
        env->DeleteLocalRef(c);
        return v;
    }

    JNIEnv* env;

private:
    jclass cls = nullptr;
    jobject self = nullptr;
    jmethodID m_instantiate{}, m_open{}, m_has{}, m_next{}, m_close{}, m_delete{}, m_hello{};
};

// Every shot of the sample read back, pulled until getNextShot gives null.
std::vector<shot_values> read_all(host& h, jlong handle) {
    std::vector<shot_values> out;
    for (;;) {
        jobject s = h.next(handle);
        if (!s)
            break;
        out.push_back(h.read(s));
        h.env->DeleteLocalRef(s);
    }
    return out;
}

// The shot the sample's raw counts describe: ideal spherical beam from the
// origin, times and ranges scaled by the units packet.
void expect_shot(sample::scan const& scan, sample::shot const& raw, shot_values const& got) {
    const double pi = std::numbers::pi;
    const double line = 2 * pi * raw.line / scan.line_circle;
    const double frame = 2 * pi * raw.frame / scan.frame_circle;
    const double dir[3] = {std::cos(frame) * std::sin(line), std::sin(frame) * std::sin(line), std::cos(line)};
    const std::size_t n = std::min<std::size_t>(raw.echoes.size(), 7);
    ASSERT_EQ(got.count, static_cast<int>(n));
    EXPECT_NEAR(got.time, raw.time * static_cast<double>(scan.systime_unit), 1e-12);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got.origin[i], 0.0);
        EXPECT_NEAR(got.direction[i], dir[i], 1e-9);
    }
    ASSERT_EQ(got.ranges.size(), n);
    for (std::size_t k = 0; k < n; ++k)
        EXPECT_NEAR(got.ranges[k], raw.echoes[k].range * static_cast<double>(scan.range_unit), 1e-9) << k;
}

// The same shot, field for field.
bool same_shot(shot_values const& x, shot_values const& y) {
    return x.count == y.count && x.time == y.time && x.ranges == y.ranges && x.times == y.times &&
           x.reflectances == y.reflectances && std::equal(x.origin, x.origin + 3, y.origin) &&
           std::equal(x.direction, x.direction + 3, y.direction);
}

bool same_shots(std::vector<shot_values> const& a, std::vector<shot_values> const& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), same_shot);
}

// How many shots of `got` from `from` on are the first shots of `scan`.
std::size_t leading(std::vector<shot_values> const& got, std::size_t from, std::vector<shot_values> const& scan) {
    std::size_t n = 0;
    while (from + n < got.size() && n < scan.size() && same_shot(got[from + n], scan[n]))
        ++n;
    return n;
}

std::string host_classes() { return SCANLIB_HOST_CLASSES; }

class HostJvm : public ::testing::Test {
protected:
    void SetUp() override {
        machine = vm::start(host_classes());
        if (!machine)
            GTEST_SKIP() << "no virtual machine with the host classes in this process";
        h.emplace(machine->env);
        ASSERT_TRUE(h->ready());
        path = (tmp.dir / "sample.zpk").string();
        sample::write_scan(scan, path);
    }

    // Runs `body` on a new thread attached to the machine, with a host of its
    // own; `error` says when the thread could not get one.
    std::thread host_thread(std::string& error, std::function<void(host&)> body) {
        return std::thread([this, &error, body = std::move(body)] {
            JNIEnv* env = nullptr;
            if (machine->jvm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) {
                error = "attach failed";
                return;
            }
            {
                host t(env);
                if (t.ready())
                    body(t);
                else
                    error = "no host class on this thread";
            }
            machine->jvm->DetachCurrentThread();
        });
    }

    // Writes a packed scan of `shots` shots to `packed` and reads it back on a
    // handle of its own: the reference a threaded read must equal.
    std::vector<shot_values> packed_reference(std::string const& packed, std::uint64_t shots) {
        scangen::options o;
        o.shots = shots;
        o.packed = true;
        scangen::write_scan(packed, o);
        jlong ref = h->instantiate();
        EXPECT_EQ(h->open(ref, packed.c_str(), {2, 5}), 0) << packed;
        std::vector<shot_values> expected = read_all(*h, ref);
        h->del(ref);
        return expected;
    }

    vm* machine = nullptr;
    std::optional<host> h;
    scratch tmp;
    sample::scan scan = sample::make_scan();
    std::string path;
};

} // namespace

TEST_F(HostJvm, EveryShotOfTheScanReachesTheHost) {
    jlong handle = h->instantiate();
    ASSERT_NE(handle, 0);
    ASSERT_EQ(h->open(handle, path.c_str(), {}), 0);
    EXPECT_TRUE(h->has_shot(handle));
    auto shots = read_all(*h, handle);
    EXPECT_TRUE(h->take_exception().empty());
    ASSERT_EQ(shots.size(), scan.shots.size());
    for (std::size_t i = 0; i < shots.size(); ++i) {
        SCOPED_TRACE(i);
        expect_shot(scan, scan.shots[i], shots[i]);
        EXPECT_FALSE(shots[i].reflectances || shots[i].deviations || shots[i].amplitudes || shots[i].has_times);
    }
    // After the end: no shot, nothing read, and the end stays reported.
    EXPECT_FALSE(h->has_shot(handle));
    EXPECT_EQ(h->next(handle), nullptr);
    h->close(handle);
    h->del(handle);
    EXPECT_TRUE(h->take_exception().empty());
}

TEST_F(HostJvm, AnInputEndingInsideAShotStillHandsItOver) {
    sample::write_scan(scan, path, false);
    jlong handle = h->instantiate();
    ASSERT_EQ(h->open(handle, path.c_str(), {}), 0);
    auto shots = read_all(*h, handle);
    EXPECT_TRUE(h->take_exception().empty());
    ASSERT_EQ(shots.size(), scan.shots.size());
    SCOPED_TRACE("last shot");
    expect_shot(scan, scan.shots.back(), shots.back());
    EXPECT_EQ(h->next(handle), nullptr);
    h->close(handle);
    h->del(handle);
}

TEST_F(HostJvm, ExportCodesChooseTheArrays) {
    struct round {
        std::vector<jint> codes;
        bool refl, dev, ampl, time;
    };
    for (round const& r : {round{{5, 5, 2}, true, false, false, true}, round{{0, 1, 6, -2}, false, false, false, false},
                           round{{4, 3, 2, 5}, true, true, true, true}}) {
        jlong handle = h->instantiate();
        ASSERT_EQ(h->open(handle, ("file:" + path).c_str(), r.codes), 0);
        auto shots = read_all(*h, handle);
        ASSERT_EQ(shots.size(), scan.shots.size());
        for (std::size_t i = 0; i < shots.size(); ++i) {
            shot_values const& s = shots[i];
            sample::shot const& raw = scan.shots[i];
            const std::size_t n = static_cast<std::size_t>(s.count);
            ASSERT_EQ(s.reflectances.has_value(), r.refl);
            ASSERT_EQ(s.deviations.has_value(), r.dev);
            ASSERT_EQ(s.amplitudes.has_value(), r.ampl);
            ASSERT_EQ(s.has_times, r.time);
            for (std::size_t k = 0; k < n; ++k) {
                sample::echo const& e = raw.echoes[k];
                if (r.refl) {
                    ASSERT_EQ(s.reflectances->size(), n);
                    EXPECT_NEAR((*s.reflectances)[k], e.reflectance * 0.01, 1e-5);
                }
                if (r.dev) {
                    ASSERT_EQ(s.deviations->size(), n);
                    EXPECT_EQ((*s.deviations)[k], static_cast<float>(e.deviation));
                }
                if (r.ampl) {
                    ASSERT_EQ(s.amplitudes->size(), n);
                    EXPECT_NEAR((*s.amplitudes)[k], e.amplitude * 0.01, 1e-5);
                }
                if (r.time) {
                    ASSERT_EQ(s.times.size(), n);
                    EXPECT_EQ(s.times[k], s.time);
                }
            }
        }
        h->close(handle);
        h->del(handle);
    }
    EXPECT_TRUE(h->take_exception().empty());
}

TEST_F(HostJvm, FailedOpensAndNullHandlesAreHarmless) {
    testing::internal::CaptureStdout();
    jlong handle = h->instantiate();
    EXPECT_EQ(h->open(handle, (tmp.dir / "missing.zpk").c_str(), {2}), -1);
    EXPECT_EQ(h->open(handle, nullptr, {}), -1);
    // Only delete is promised after a failed open; the others must not crash.
    EXPECT_FALSE(h->has_shot(handle));
    EXPECT_EQ(h->next(handle), nullptr);
    h->close(handle);
    h->del(handle);
    // A handle that was never opened, and the null handle.
    h->del(h->instantiate());
    EXPECT_EQ(h->open(0, path.c_str(), {}), -1);
    EXPECT_FALSE(h->has_shot(0));
    EXPECT_EQ(h->next(0), nullptr);
    h->close(0);
    h->del(0);
    h->hello();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " Bonjour\n ");
    EXPECT_TRUE(h->take_exception().empty());
}

TEST_F(HostJvm, BothHostLoopsGetTheSameShots) {
    // Hosts pull until getNextShot gives null, or poll hasShot; either way
    // every shot arrives, also when the last packets end several shots at once.
    std::vector<std::pair<std::string, std::uint64_t>> scans;
    const std::string cut = (tmp.dir / "cut.zpk").string();
    sample::write_scan(scan, cut, false);
    scans.emplace_back(path, scan.shots.size());
    scans.emplace_back(cut, scan.shots.size());
    for (bool packed : {false, true}) {
        scangen::options o;
        o.shots = 1234;
        o.packed = packed;
        const std::string p = (tmp.dir / (packed ? "packed.zpk" : "plain.zpk")).string();
        scans.emplace_back(p, scangen::write_scan(p, o).shots);
    }
    // Without its one-word meas_stop, the packed scan ends with the echo
    // packet of its last frame, which ends all the frame's shots at once.
    const std::string open_end = (tmp.dir / "packed_open_end.zpk").string();
    fs::copy_file(scans.back().first, open_end);
    fs::resize_file(open_end, fs::file_size(open_end) - 4);
    scans.emplace_back(open_end, scans.back().second);
    for (auto const& [uri, count] : scans) {
        SCOPED_TRACE(uri);
        jlong a = h->instantiate(), b = h->instantiate();
        ASSERT_EQ(h->open(a, uri.c_str(), {2, 5}), 0);
        ASSERT_EQ(h->open(b, uri.c_str(), {2, 5}), 0);
        const auto pulled = read_all(*h, a);
        std::vector<shot_values> polled;
        while (h->has_shot(b)) {
            if (jobject s = h->next(b)) {
                polled.push_back(h->read(s));
                h->env->DeleteLocalRef(s);
            }
        }
        EXPECT_EQ(h->next(b), nullptr);
        EXPECT_TRUE(h->take_exception().empty());
        ASSERT_EQ(pulled.size(), count);
        ASSERT_EQ(polled.size(), count);
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(polled[i].count, pulled[i].count) << i;
            ASSERT_EQ(polled[i].time, pulled[i].time) << i;
            ASSERT_EQ(polled[i].ranges, pulled[i].ranges) << i;
            ASSERT_EQ(polled[i].times, pulled[i].times) << i;
            ASSERT_EQ(polled[i].reflectances, pulled[i].reflectances) << i;
        }
        h->del(a);
        h->del(b);
    }
}

TEST_F(HostJvm, StaleAndMadeUpHandlesAreHarmless) {
    testing::internal::CaptureStdout();
    jlong handle = h->instantiate();
    ASSERT_EQ(h->open(handle, path.c_str(), {}), 0);
    ASSERT_NE(h->next(handle), nullptr);
    h->del(handle);
    // Every call after delete, a second delete, and numbers never handed out.
    int on_stack = 0;
    for (jlong stale : {handle, handle + 8, static_cast<jlong>(0x12345678), static_cast<jlong>(-1),
                        reinterpret_cast<jlong>(&on_stack)}) {
        EXPECT_EQ(h->open(stale, path.c_str(), {2}), -1);
        EXPECT_FALSE(h->has_shot(stale));
        EXPECT_EQ(h->next(stale), nullptr);
        h->close(stale);
        h->del(stale);
        h->del(stale);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(h->take_exception().empty());
    // A live handle is untouched by all that.
    jlong live = h->instantiate();
    ASSERT_EQ(h->open(live, path.c_str(), {}), 0);
    EXPECT_EQ(read_all(*h, live).size(), scan.shots.size());
    h->del(live);
}

TEST_F(HostJvm, TwoHandlesOnTwoThreadsEachGetTheirScan) {
    const std::string other = (tmp.dir / "other.zpk").string();
    const sample::scan small = sample::make_scan(17);
    sample::write_scan(small, other);
    struct job {
        std::string uri;
        sample::scan const* expected;
        std::vector<shot_values> got;
        std::string error;
    };
    std::vector<job> jobs = {{path, &scan, {}, {}}, {other, &small, {}, {}}};
    auto run = [&](job& j) {
        JNIEnv* env = nullptr;
        if (machine->jvm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) {
            j.error = "attach failed";
            return;
        }
        {
            host t(env);
            for (int round = 0; round < 20 && t.ready(); ++round) {
                jlong handle = t.instantiate();
                if (t.open(handle, j.uri.c_str(), {}) != 0)
                    j.error = "open failed";
                j.got = read_all(t, handle);
                t.del(handle);
                if (j.got.size() != j.expected->shots.size() || !t.take_exception().empty())
                    break;
            }
            if (!t.ready())
                j.error = "no host class on this thread";
        }
        machine->jvm->DetachCurrentThread();
    };
    std::thread first(run, std::ref(jobs[0])), second(run, std::ref(jobs[1]));
    first.join();
    second.join();
    for (job const& j : jobs) {
        SCOPED_TRACE(j.uri);
        EXPECT_EQ(j.error, "");
        ASSERT_EQ(j.got.size(), j.expected->shots.size());
        for (std::size_t i = 0; i < j.got.size(); ++i)
            expect_shot(*j.expected, j.expected->shots[i], j.got[i]);
    }
}

TEST_F(HostJvm, ADeleteFromAnotherThreadEndsThePullsWithoutHarm) {
    // Packed frames end many shots per packet, so the delete often falls in a
    // call that is building shots.
    scangen::options o;
    o.shots = 20'000;
    o.packed = true;
    const std::string packed = (tmp.dir / "packed.zpk").string();
    const std::uint64_t total = scangen::write_scan(packed, o).shots;
    struct result {
        std::uint64_t shots = 0, after_delete = 0;
        std::string error;
    };
    constexpr int rounds = 120;
    std::vector<result> results(rounds);
    // -Xcheck:jni reports misuse on standard output and goes on.
    testing::internal::CaptureStdout();
    for (int round = 0; round < rounds; ++round) {
        std::atomic<jlong> handle{0};
        std::atomic<std::uint64_t> pulled{0};
        std::atomic<bool> deleted{false};
        result& r = results[static_cast<std::size_t>(round)];
        // Thread A opens and pulls until null; this thread deletes.
        std::thread puller([&] {
            JNIEnv* env = nullptr;
            if (machine->jvm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) {
                r.error = "attach failed";
                handle = -1;
                return;
            }
            {
                host t(env);
                const jlong hd = t.ready() ? t.instantiate() : 0;
                if (!hd || t.open(hd, packed.c_str(), {2, 5}) != 0)
                    r.error = "open failed";
                handle = hd ? hd : -1;
                while (r.error.empty()) {
                    // A call that starts after delete returned must see a gone handle.
                    const bool after = deleted.load(std::memory_order_acquire);
                    jobject s = t.next(hd);
                    if (std::string e = t.take_exception(); !e.empty())
                        r.error = e;
                    if (!s)
                        break;
                    env->DeleteLocalRef(s);
                    r.after_delete += after;
                    pulled = ++r.shots;
                }
                while (!deleted)
                    std::this_thread::yield();
                if (t.has_shot(hd) || t.next(hd) || t.open(hd, packed.c_str(), {}) != -1)
                    r.error = "the handle outlived delete";
                t.close(hd);
                t.del(hd);
                if (std::string e = t.take_exception(); !e.empty())
                    r.error = e;
            }
            machine->jvm->DetachCurrentThread();
        });
        const std::uint64_t target = static_cast<std::uint64_t>(round) * 37 % 400;
        while (handle == 0 || (handle != -1 && pulled < target))
            std::this_thread::yield();
        if (handle != -1)
            h->del(handle);
        deleted.store(true, std::memory_order_release);
        puller.join();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out.substr(0, 2000);
    EXPECT_TRUE(h->take_exception().empty());
    int cut = 0;
    for (int round = 0; round < rounds; ++round) {
        result const& r = results[static_cast<std::size_t>(round)];
        ASSERT_EQ(r.error, "") << round;
        EXPECT_EQ(r.after_delete, 0u) << round;
        EXPECT_LE(r.shots, total) << round;
        cut += r.shots < total;
    }
    EXPECT_GT(cut, rounds / 2) << "the deletes came too late to meet a call";
}

TEST_F(HostJvm, ANumberThatDeleteTookNamesNoLaterHandle) {
    // A holds a number and has used it; B deletes it; C instantiates and opens
    // a scan; then A, and B which only deleted, call with the old number.
    const std::string packed = (tmp.dir / "packed.zpk").string();
    const std::vector<shot_values> expected = packed_reference(packed, 500);
    ASSERT_EQ(expected.size(), 500u);

    netpeers::gate a_used, b_deleted, c_opened, a_called, b_called;
    std::atomic<jlong> old_number{0}, new_number{0};
    std::string error_a, error_b, error_c, stale_a, stale_b;
    std::vector<shot_values> got_c;
    // Every call with the old number, none of which may reach C's handle.
    auto stale_calls = [&](host& t, std::string& out) {
        const jlong n = old_number;
        if (jobject s = t.next(n)) {
            out += "getNextShot handed out a shot at " + std::to_string(t.read(s).time) + "; ";
            t.env->DeleteLocalRef(s);
        }
        if (t.has_shot(n))
            out += "hasShot true; ";
        t.close(n);
        if (t.open(n, path.c_str(), {}) != -1)
            out += "open accepted it; ";
        t.del(n);
        if (std::string e = t.take_exception(); !e.empty())
            out += e;
    };
    std::thread a = host_thread(error_a, [&](host& t) {
        const jlong n = t.instantiate();
        if (t.open(n, path.c_str(), {}) != 0)
            error_a = "open failed";
        if (jobject s = t.next(n))
            t.env->DeleteLocalRef(s);
        else
            error_a = "no first shot";
        old_number = n;
        a_used.open();
        if (!c_opened.wait())
            return;
        stale_calls(t, stale_a);
        a_called.open();
    });
    std::thread b = host_thread(error_b, [&](host& t) {
        if (!a_used.wait())
            return;
        t.del(old_number);
        b_deleted.open();
        if (!a_called.wait())
            return;
        stale_calls(t, stale_b);
        b_called.open();
    });
    std::thread c = host_thread(error_c, [&](host& t) {
        if (!b_deleted.wait())
            return;
        const jlong n = t.instantiate();
        new_number = n;
        if (t.open(n, packed.c_str(), {2, 5}) != 0)
            error_c = "open failed";
        c_opened.open();
        if (!b_called.wait())
            return;
        got_c = read_all(t, n);
        t.del(n);
        if (std::string e = t.take_exception(); !e.empty())
            error_c = e;
    });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(error_a, "");
    EXPECT_EQ(error_b, "");
    EXPECT_EQ(error_c, "");
    EXPECT_NE(new_number.load(), old_number.load());
    EXPECT_EQ(stale_a, "") << "the thread that held the number";
    EXPECT_EQ(stale_b, "") << "the thread that deleted it";
    ASSERT_EQ(got_c.size(), expected.size());
    EXPECT_TRUE(same_shots(got_c, expected));
}

TEST_F(HostJvm, StaleNumbersBesideBusyReadersTouchNothing) {
    // Four threads read whole scans on handles of their own while two call
    // with numbers that delete took, most of them while their records are
    // handed out again.
    const std::string packed = (tmp.dir / "packed.zpk").string();
    const std::vector<shot_values> expected = packed_reference(packed, 3000);
    ASSERT_EQ(expected.size(), 3000u);

    std::mutex dead_lock;
    std::vector<jlong> dead; // the latest deleted numbers
    auto bury = [&](jlong n) {
        std::lock_guard<std::mutex> guard(dead_lock);
        if (dead.size() == 64)
            dead.erase(dead.begin());
        dead.push_back(n);
    };
    auto some_dead = [&] {
        std::lock_guard<std::mutex> guard(dead_lock);
        return dead;
    };
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> reads{0}, bad_reads{0}, stale_calls{0}, stale_hits{0};
    std::vector<std::string> errors(6);
    std::vector<std::thread> threads;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 4; ++i)
        threads.push_back(host_thread(errors[static_cast<std::size_t>(i)], [&](host& t) {
            while (!stop) {
                const jlong n = t.instantiate();
                if (t.open(n, packed.c_str(), {2, 5}) != 0) {
                    ++bad_reads;
                    t.del(n);
                    continue;
                }
                const bool same = same_shots(read_all(t, n), expected);
                t.del(n);
                bury(n);
                // The number this thread used last, after its delete.
                if (jobject s = t.next(n)) {
                    ++stale_hits;
                    t.env->DeleteLocalRef(s);
                }
                bad_reads += !same;
                ++reads;
                if (!t.take_exception().empty())
                    ++bad_reads;
                if (std::chrono::steady_clock::now() > until)
                    stop = true;
            }
        }));
    for (int i = 4; i < 6; ++i)
        threads.push_back(host_thread(errors[static_cast<std::size_t>(i)], [&](host& t) {
            while (!stop) {
                // A number this thread used while it lived, so its record is
                // the one this thread finds without the registry.
                const jlong own = t.instantiate();
                t.has_shot(own);
                t.del(own);
                bury(own);
                std::this_thread::yield();
                for (jlong n : some_dead()) {
                    ++stale_calls;
                    if (t.has_shot(n))
                        ++stale_hits;
                    if (jobject s = t.next(n)) {
                        ++stale_hits;
                        t.env->DeleteLocalRef(s);
                    }
                    t.close(n);
                    t.del(n);
                }
                if (!t.take_exception().empty())
                    ++stale_hits;
            }
        }));
    for (std::thread& t : threads)
        t.join();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out.substr(0, 2000);
    for (std::string const& e : errors)
        EXPECT_EQ(e, "");
    EXPECT_EQ(stale_hits.load(), 0u);
    EXPECT_EQ(bad_reads.load(), 0u);
    EXPECT_GE(reads.load(), 8u);
    EXPECT_GE(stale_calls.load(), 100u);
}

TEST_F(HostJvm, TwoThreadsReadingOneHandleTakeEachShotOnce) {
    const std::string packed = (tmp.dir / "packed.zpk").string();
    const std::vector<shot_values> expected = packed_reference(packed, 3000);
    ASSERT_EQ(expected.size(), 3000u);
    const jlong handle = h->instantiate();
    ASSERT_EQ(h->open(handle, packed.c_str(), {2, 5}), 0);
    std::atomic<int> ready{0};
    std::atomic<bool> done{false};
    auto start = [&] {
        ++ready;
        while (ready < 3)
            std::this_thread::yield();
    };
    std::vector<shot_values> got[2];
    std::string errors[3];
    std::vector<std::thread> threads;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 2; ++i)
        threads.push_back(host_thread(errors[i], [&, i](host& t) {
            start();
            got[i] = read_all(t, handle);
            errors[i] += t.take_exception();
        }));
    // Beside the readers, the calls that never did harm there.
    threads.push_back(host_thread(errors[2], [&](host& t) {
        start();
        while (!done) {
            t.has_shot(handle);
            t.close(handle);
        }
        errors[2] += t.take_exception();
    }));
    threads[0].join();
    threads[1].join();
    done = true;
    threads[2].join();
    h->del(handle);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out.substr(0, 2000);
    for (std::string const& e : errors)
        EXPECT_EQ(e, "");
    EXPECT_GT(got[0].size(), 0u);
    EXPECT_GT(got[1].size(), 0u);
    // Each thread's shots in the scan's order, and together the whole scan.
    std::size_t next[2] = {0, 0};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const int k = next[0] < got[0].size() && same_shot(got[0][next[0]], expected[i]) ? 0 : 1;
        ASSERT_TRUE(next[k] < got[k].size() && same_shot(got[k][next[k]], expected[i])) << "shot " << i;
        ++next[k];
    }
    EXPECT_EQ(next[0], got[0].size());
    EXPECT_EQ(next[1], got[1].size());
}

TEST_F(HostJvm, AnOpenBesideAReaderHandsOverOldShotsOrNewOnes) {
    const std::string packed = (tmp.dir / "packed.zpk").string();
    const std::vector<shot_values> old_scan = packed_reference(packed, 3000);
    ASSERT_EQ(old_scan.size(), 3000u);
    const jlong ref = h->instantiate();
    ASSERT_EQ(h->open(ref, path.c_str(), {2, 5}), 0);
    const std::vector<shot_values> new_scan = read_all(*h, ref);
    h->del(ref);
    ASSERT_EQ(new_scan.size(), scan.shots.size());
    constexpr int rounds = 200;
    std::vector<std::string> errors(rounds);
    int met = 0;
    testing::internal::CaptureStdout();
    for (int round = 0; round < rounds; ++round) {
        std::string& error = errors[static_cast<std::size_t>(round)];
        const jlong handle = h->instantiate();
        if (h->open(handle, packed.c_str(), {2, 5}) != 0)
            error = "open failed";
        std::vector<shot_values> got;
        std::atomic<std::size_t> pulled{0};
        std::atomic<bool> ended{false}, opener_ready{false};
        std::string reader_error, opener_error;
        std::thread reader = host_thread(reader_error, [&](host& t) {
            while (!opener_ready)
                std::this_thread::yield();
            while (jobject s = t.next(handle)) {
                got.push_back(t.read(s));
                t.env->DeleteLocalRef(s);
                pulled = got.size();
            }
            reader_error += t.take_exception();
            ended = true;
        });
        const std::size_t target = static_cast<std::size_t>(round) * 37 % 2700;
        std::thread opener = host_thread(opener_error, [&](host& t) {
            opener_ready = true;
            while (pulled < target && !ended)
                std::this_thread::yield();
            if (t.open(handle, path.c_str(), {2, 5}) != 0)
                opener_error = "second open failed";
            opener_error += t.take_exception();
        });
        reader.join();
        opener.join();
        h->del(handle);
        error += reader_error + opener_error;
        // The old scan's first shots, then the new scan's from its start.
        const std::size_t k = leading(got, 0, old_scan);
        const std::size_t m = leading(got, k, new_scan);
        if (k + m != got.size())
            error += "shot " + std::to_string(k + m) + " is of neither scan";
        else if (m != new_scan.size() && !(k == old_scan.size() && m == 0))
            error += "the read ended early";
        met += k < old_scan.size();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out.substr(0, 2000);
    EXPECT_TRUE(h->take_exception().empty());
    for (int round = 0; round < rounds; ++round)
        ASSERT_EQ(errors[static_cast<std::size_t>(round)], "") << round;
    EXPECT_GT(met, rounds / 2) << "the opens came too late to meet a read";
}

TEST_F(HostJvm, ADeleteEndsACallWaitingOnTheNetwork) {
    using namespace std::chrono_literals;
    // The first bytes of a scan: the reader decodes them and waits for more.
    std::ifstream in(path, std::ios::binary);
    std::string head(64, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    auto chunk = [](std::string const& bytes, std::string const& items = "") {
        return std::to_string(bytes.size()) + (items.empty() ? "" : " " + items) + "\n" + bytes;
    };
    // Each peer holds its connection until its gate opens.
    netpeers::gate release[3];
    // A peer that reads the request and answers nothing.
    netpeers::tcp_server mute({[&](netpeers::tcp_peer& p) {
        p.read_line();
        release[0].wait(20s);
    }});
    // A peer that sends its status and one chunk, then nothing.
    netpeers::tcp_server silent({[&](netpeers::tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk(head));
        release[1].wait(20s);
    }});
    // A peer that asks for an acknowledgement with every four bytes and reads
    // none: the reader comes to the bound of what it holds back (64 MiB, with
    // the socket buffers on top) and waits there, on a packet that has not
    // ended.
    std::string script = "FILE encoding=chunked\n";
    std::string words = head.substr(0, 16) + std::string("\xfe\xff\xff\xff", 4) + std::string(4 * 1395, '\0');
    for (std::size_t i = 0; i < words.size(); i += 4)
        script += chunk(words.substr(i, 4), "acknowledge-token=" + std::to_string(i) + std::string(60000, 'a'));
    script += "EOF\n";
    std::atomic<bool> all_sent{false};
    netpeers::tcp_server stalling({[&](netpeers::tcp_peer& p) {
        p.read_line();
        std::thread sender([&] { all_sent = p.send(script); });
        release[2].wait(20s);
        p.wait_closed(10s);
        sender.join();
    }});
    const unsigned short udp_port = netpeers::free_udp_port();
    netpeers::udp_sender sender;
    struct peer {
        std::string uri;
        bool waits_in_open, held_at_bound;
        std::function<void()> unblock; // ends the wait where delete did not
    };
    const std::vector<peer> peers = {
        {mute.uri("/scan"), true, false, [&] { release[0].open(); }},
        {silent.uri("/scan"), false, false, [&] { release[1].open(); }},
        {stalling.uri("/scan"), false, true, [&] { release[2].open(); }},
        {"quda://127.0.0.1:" + std::to_string(udp_port), false, false, [&] { sender.send(udp_port, ""); }}};
    struct result {
        std::string error, outcome;
        bool waited = false, in_time = false;
    };
    std::vector<result> results(peers.size());
    const auto wait_for = [](std::atomic<bool> const& flag, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!flag && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(5ms);
        return flag.load();
    };
    bool stalled = false;
    // Checked once standard output is back: -Xcheck:jni writes its findings there.
    testing::internal::CaptureStdout();
    for (std::size_t i = 0; i < peers.size(); ++i) {
        peer const& p = peers[i];
        result& r = results[i];
        std::atomic<jlong> number{0};
        std::atomic<bool> waiting{false}, returned{false};
        std::thread reader = host_thread(r.error, [&](host& t) {
            const jlong n = t.instantiate();
            number = n;
            if (p.waits_in_open) {
                waiting = true;
                if (t.open(n, p.uri.c_str(), {}) != -1)
                    r.outcome = "open succeeded";
            } else {
                if (t.open(n, p.uri.c_str(), {}) != 0)
                    r.error = "open failed";
                waiting = true;
                if (t.next(n))
                    r.outcome = "a shot";
            }
            returned = true;
            r.outcome += t.take_exception();
            if (t.next(n) || t.has_shot(n))
                r.outcome += " and the handle outlived delete";
            t.del(n);
        });
        // A second call on the handle, from another thread, waits to enter.
        std::atomic<bool> queued_returned{false};
        std::string queued_error, queued_outcome;
        std::optional<std::thread> queued;
        if (wait_for(waiting, 5s)) {
            queued.emplace(host_thread(queued_error, [&](host& t) {
                if (t.next(number) || t.has_shot(number))
                    queued_outcome = " the waiting call got through";
                queued_outcome += t.take_exception();
                queued_returned = true;
            }));
            r.waited = !wait_for(returned, 1s) && !queued_returned;
            if (p.held_at_bound)
                stalled = !all_sent;
            h->del(number);
            r.in_time = wait_for(returned, 2s) && wait_for(queued_returned, 2s);
        }
        if (!r.in_time)
            p.unblock();
        reader.join();
        if (queued)
            queued->join();
        r.error += queued_error;
        r.outcome += queued_outcome;
    }
    for (netpeers::gate& g : release)
        g.open();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << out.substr(0, 2000);
    EXPECT_TRUE(stalled) << "the reader was not held: the server sent everything";
    for (std::size_t i = 0; i < peers.size(); ++i) {
        SCOPED_TRACE(peers[i].uri);
        result const& r = results[i];
        EXPECT_EQ(r.error, "");
        EXPECT_TRUE(r.waited) << "the reader, or the call behind it, did not wait";
        EXPECT_TRUE(r.in_time) << "the reader, or the call behind it, still waits 2 s after delete";
        EXPECT_EQ(r.outcome, "");
    }
    EXPECT_TRUE(h->take_exception().empty());
}

TEST_F(HostJvm, ASecondOpenStartsOver) {
    jlong handle = h->instantiate();
    ASSERT_EQ(h->open(handle, path.c_str(), {}), 0);
    ASSERT_NE(h->next(handle), nullptr); // leaves shots queued or unread
    ASSERT_EQ(h->open(handle, path.c_str(), {}), 0);
    EXPECT_EQ(read_all(*h, handle).size(), scan.shots.size());
    h->del(handle);
    EXPECT_TRUE(h->take_exception().empty());
}

TEST_F(HostJvm, ReadFailuresBecomeHostExceptions) {
    // A bad preamble, and a scan cut inside its shots.
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string bad = (tmp.dir / "bad.zpk").string(), cut = (tmp.dir / "cut.zpk").string();
    std::vector<char> b = bytes;
    b[9] ^= 0x20;
    std::ofstream(bad, std::ios::binary).write(b.data(), static_cast<std::streamsize>(b.size()));
    std::ofstream(cut, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2 + 2));

    jlong handle = h->instantiate();
    ASSERT_EQ(h->open(handle, bad.c_str(), {}), 0);
    EXPECT_EQ(h->next(handle), nullptr);
    EXPECT_EQ(h->take_exception(), "java.lang.RuntimeException");
    EXPECT_FALSE(h->has_shot(handle));
    EXPECT_EQ(h->next(handle), nullptr);
    EXPECT_TRUE(h->take_exception().empty());
    h->del(handle);

    // The cut scan hands out the shots before the cut, the one it cut with
    // the echoes that arrived, then ends one way or the other without crashing.
    handle = h->instantiate();
    ASSERT_EQ(h->open(handle, cut.c_str(), {}), 0);
    auto shots = read_all(*h, handle);
    h->take_exception();
    ASSERT_GT(shots.size(), 1u);
    EXPECT_LT(shots.size(), scan.shots.size());
    for (std::size_t i = 0; i + 1 < shots.size(); ++i)
        expect_shot(scan, scan.shots[i], shots[i]);
    sample::shot cut_shot = scan.shots[shots.size() - 1];
    ASSERT_LE(static_cast<std::size_t>(shots.back().count), cut_shot.echoes.size());
    cut_shot.echoes.resize(static_cast<std::size_t>(shots.back().count));
    expect_shot(scan, cut_shot, shots.back());
    EXPECT_EQ(h->next(handle), nullptr);
    h->del(handle);
}

TEST_F(HostJvm, AScanCutAnywhereEndsWithTheShotsBeforeTheCut) {
    // A file still being written, or a copy that stopped, at every byte: the
    // input ends without a failure, also where the cut falls inside the header
    // or inside the fixed part of a packed frame, and the shots before the
    // last arrive as in the whole scan. The last shot is whole too, with the
    // echoes that arrived, also where the cut falls inside a packed key shot
    // or key echo.
    scangen::options o;
    o.shots = 150;
    o.packed = true;
    const std::string packed = (tmp.dir / "packed.zpk").string();
    scangen::write_scan(packed, o);
    const std::string cut = (tmp.dir / "cut.zpk").string();
    for (std::string const& whole : {path, packed}) {
        SCOPED_TRACE(whole);
        jlong handle = h->instantiate();
        ASSERT_EQ(h->open(handle, whole.c_str(), {}), 0);
        const auto all = read_all(*h, handle);
        h->del(handle);
        ASSERT_TRUE(h->take_exception().empty());
        std::ifstream in(whole, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        std::size_t last_count = 0;
        for (std::size_t n = 16; n < bytes.size(); ++n) {
            SCOPED_TRACE(n);
            std::ofstream(cut, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(n));
            handle = h->instantiate();
            ASSERT_EQ(h->open(handle, cut.c_str(), {}), 0);
            const auto shots = read_all(*h, handle);
            h->del(handle);
            ASSERT_EQ(h->take_exception(), "");
            ASSERT_LE(shots.size(), all.size());
            ASSERT_GE(shots.size(), last_count);
            last_count = shots.size();
            for (std::size_t i = 0; i < shots.size(); ++i) {
                if (i + 1 < shots.size()) {
                    ASSERT_EQ(shots[i].time, all[i].time) << i;
                    ASSERT_EQ(shots[i].direction[0], all[i].direction[0]) << i;
                    ASSERT_EQ(shots[i].ranges, all[i].ranges) << i;
                } else {
                    ASSERT_EQ(shots[i].time, all[i].time) << i;
                    ASSERT_EQ(shots[i].direction[0], all[i].direction[0]) << i;
                    ASSERT_LE(shots[i].ranges.size(), all[i].ranges.size()) << i;
                    ASSERT_TRUE(std::equal(shots[i].ranges.begin(), shots[i].ranges.end(), all[i].ranges.begin()))
                        << i;
                }
            }
        }
        EXPECT_EQ(last_count, all.size());
    }
}

// Needs a virtual machine of its own (ctest runs each test in its own process).
TEST(HostJvmNoShotClass, TheShotIsDroppedAndTheHostSeesTheError) {
    scratch tmp;
    const fs::path classes = tmp.dir / "classes";
    fs::copy(host_classes(), classes, fs::copy_options::recursive);
    ASSERT_TRUE(fs::remove(classes / pkg / "Shot.class"));
    vm* machine = vm::start(classes.string());
    if (!machine)
        GTEST_SKIP() << "this process already runs a virtual machine";
    host h(machine->env);
    ASSERT_TRUE(h.ready());
    const std::string path = (tmp.dir / "sample.zpk").string();
    sample::write_scan(sample::make_scan(3), path);
    jlong handle = h.instantiate();
    ASSERT_EQ(h.open(handle, path.c_str(), {}), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(h.next(handle), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Finding Shot class failed\n");
    EXPECT_EQ(h.take_exception(), "java.lang.NoClassDefFoundError");
    h.del(handle);
}

// ---------------------------------------------------------------------------
// The same native methods driven through a recording stand-in for the host's
// native interface.

#include "fake_jni.hpp"

#include <map>

namespace fake {

// The exports of the shared object, looked up by name as the host does.
struct exports {
    void* lib = dlopen(SCANLIB_HOST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    template <class F>
    F* sym(char const* name) {
        return lib ? reinterpret_cast<F*>(dlsym(lib, name)) : nullptr;
    }
    jlong (*instantiate)(JNIEnv*, jobject) = sym<jlong(JNIEnv*, jobject)>(
        "Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_instantiate");
    jint (*open)(JNIEnv*, jobject, jlong, jstring, jintArray) = sym<jint(JNIEnv*, jobject, jlong, jstring, jintArray)>(
        "Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_open");
    jboolean (*has_shot)(JNIEnv*, jobject, jlong) = sym<jboolean(JNIEnv*, jobject, jlong)>(
        "Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_hasShot");
    jobject (*next)(JNIEnv*, jobject, jlong) = sym<jobject(JNIEnv*, jobject, jlong)>(
        "Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_getNextShot");
    void (*close)(JNIEnv*, jobject, jlong) = sym<void(JNIEnv*, jobject, jlong)>(
        "Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_closeConnexion");
    void (*del)(JNIEnv*, jobject, jlong) = sym<void(JNIEnv*, jobject, jlong)>(
        "Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_delete");
    // The support function keeps its C++ name.
    char* (*native_chars)(JNIEnv*, jstring) = sym<char*(JNIEnv*, jstring)>(
        "_Z24JNU_GetStringNativeCharsP7JNIEnv_P8_jstring");
    bool ready() const { return instantiate && open && has_shot && next && close && del && native_chars; }
};

} // namespace

class HostCalls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.ready()) << dlerror();
        path = (tmp.dir / "sample.zpk").string();
        sample::write_scan(scan, path);
    }
    void TearDown() override {
        EXPECT_TRUE(w.misuses.empty()) << w.misuses.front();
        EXPECT_TRUE(w.pending_violations.empty()) << w.pending_violations.front();
    }

    jstring string(std::string const& text) {
        fake::object o;
        o.type = "String";
        o.bytes.assign(text.begin(), text.end());
        return static_cast<jstring>(w.make(std::move(o)));
    }
    jintArray codes(std::vector<jint> const& v) {
        fake::object o;
        o.type = "int[]";
        o.ints = v;
        return static_cast<jintArray>(w.make(std::move(o)));
    }
    // Opens the sample with the given export codes; the calls made so far are dropped.
    jlong open(std::vector<jint> const& c) {
        jlong h = lib.instantiate(env(), nullptr);
        EXPECT_EQ(lib.open(env(), nullptr, h, string(path), codes(c)), 0);
        w.calls.clear();
        return h;
    }
    JNIEnv* env() { return &w.env; }
    // getNextShot as the host calls it: what the call leaves as local
    // references dies on return, and it may leave no more than the 16 the
    // host guarantees without asking.
    jobject next(jlong h) {
        const std::size_t start = w.frame_start();
        jobject s = lib.next(env(), nullptr, h);
        EXPECT_LE(w.frame_end(start, s), 16u);
        return s;
    }
    // The calls between the first one starting with `from` and the next one starting with `to`.
    static std::vector<std::string> between(std::vector<std::string> const& calls, std::string const& from,
                                            std::string const& to) {
        std::vector<std::string> out;
        bool in = false;
        for (auto const& c : calls) {
            if (!in && c.rfind(from, 0) == 0)
                in = true;
            else if (in && c.rfind(to, 0) == 0)
                break;
            if (in)
                out.push_back(c);
        }
        return out;
    }

    // A seed of the binding's fuzz target: flags, the host allocations before
    // one fails (255: none), then the scan's bytes.
    void write_seed(std::string const& name, std::string const& scan_path, std::uint8_t flags,
                    std::uint8_t allocations) {
        std::ifstream in(scan_path, std::ios::binary);
        std::vector<char> bytes{static_cast<char>(flags), static_cast<char>(allocations)};
        bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), {});
        zpktest::write_seed("fuzz_binding", name, bytes);
    }

    fake::world w;
    fake::exports lib;
    scratch tmp;
    sample::scan scan = sample::make_scan();
    std::string path;
};

TEST_F(HostCalls, StringConversionCallsTheHostInItsOrder) {
    const std::string text = "file:/tmp/caf\xe9.zpk"; // bytes as the default character set gives them
    char* got = lib.native_chars(env(), string(text));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), text);
    std::free(got);
    const std::vector<std::string> expected = {"FindClass java/lang/String", "GetMethodID getBytes ()[B",
                                               "EnsureLocalCapacity 2", "CallObjectMethod getBytes",
                                               "ExceptionCheck", "GetArrayLength",
                                               "GetByteArrayRegion 0 " + std::to_string(text.size())};
    ASSERT_GE(w.calls.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(w.calls.begin(), w.calls.begin() + 7), expected);
    EXPECT_EQ(w.live(false), 1u) << "only the caller's string is left";

    // No room for local references: null before the string is asked for its bytes.
    w.calls.clear();
    w.capacity_result = -1;
    EXPECT_EQ(lib.native_chars(env(), string(text)), nullptr);
    EXPECT_EQ(std::count(w.calls.begin(), w.calls.end(), "CallObjectMethod getBytes"), 0);
    w.capacity_result = 0;

    // getBytes throws: a line on standard output, null, and the exception stays pending.
    w.get_bytes_throws = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.native_chars(env(), string(text)), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Exception occured...\n");
    EXPECT_EQ(w.pending, "java.io.UnsupportedEncodingException");
    EXPECT_TRUE(w.pending_violations.empty()) << w.pending_violations.front();

    // open turns that null into -1 and raises nothing of its own.
    w.pending.clear(); // the host has seen the first one
    w.calls.clear();
    jlong h = lib.instantiate(env(), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.open(env(), nullptr, h, string(path), codes({2})), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(w.pending, "java.io.UnsupportedEncodingException");
    EXPECT_TRUE(w.pending_violations.empty());
    lib.del(env(), nullptr, h);
}

TEST_F(HostCalls, ExportCodesAreReadOnceAndReleasedUnchanged) {
    jlong h = lib.instantiate(env(), nullptr);
    ASSERT_EQ(lib.open(env(), nullptr, h, string(path), codes({5, 0, 5, -3, 2, 6, 1})), 0);
    EXPECT_EQ(std::count(w.calls.begin(), w.calls.end(), "GetIntArrayElements"), 1);
    EXPECT_EQ(std::count(w.calls.begin(), w.calls.end(), "ReleaseIntArrayElements " + std::to_string(JNI_ABORT)), 1);
    EXPECT_EQ(w.live(false), 2u) << "only the caller's string and array are left";
    EXPECT_EQ(w.live(true), 0u);
    jobject s = next(h);
    ASSERT_NE(s, nullptr);
    fake::object const& shot = fake::world::obj(s);
    EXPECT_EQ(shot.setters, (std::vector<std::string>{"setReflectances", "setTimes"}));
    EXPECT_FALSE(shot.deviations || shot.amplitudes);
    lib.del(env(), nullptr, h);
}

TEST_F(HostCalls, EveryShotIsBuiltWithItsArraysAndNoReferenceOutlivesTheCall) {
    jlong h = open({4, 3, 2, 5});
    std::size_t index = 0;
    for (;;) {
        const std::size_t locals = w.live(false);
        w.calls.clear();
        jobject s = next(h);
        if (!s)
            break;
        ASSERT_LT(index, scan.shots.size());
        // The returned shot is the one local reference the call leaves; the
        // one global reference is the Shot class, held for the handle.
        EXPECT_EQ(w.live(false), locals + 1) << index;
        EXPECT_EQ(w.live(true), 1u) << "the sample's packets end one shot at a time";
        fake::object const& o = fake::world::obj(s);
        sample::shot const& raw = scan.shots[index];
        const std::size_t n = std::min<std::size_t>(raw.echoes.size(), 7);
        shot_values v{};
        v.count = o.count;
        v.time = o.time;
        std::copy_n(o.origin, 3, v.origin);
        std::copy_n(o.direction, 3, v.direction);
        v.ranges = o.ranges;
        expect_shot(scan, raw, v);
        EXPECT_EQ(o.setters,
                  (std::vector<std::string>{"setReflectances", "setDeviations", "setAmplitudes", "setTimes"}));
        ASSERT_TRUE(o.reflectances && o.deviations && o.amplitudes);
        ASSERT_EQ(o.reflectances->size(), n);
        ASSERT_EQ(o.deviations->size(), n);
        ASSERT_EQ(o.amplitudes->size(), n);
        ASSERT_EQ(o.times.size(), n);
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_NEAR((*o.reflectances)[k], raw.echoes[k].reflectance * 0.01, 1e-5);
            EXPECT_EQ((*o.deviations)[k], static_cast<float>(raw.echoes[k].deviation));
            EXPECT_NEAR((*o.amplitudes)[k], raw.echoes[k].amplitude * 0.01, 1e-5);
            EXPECT_EQ(o.times[k], o.time);
        }
        // One shot's host calls, from its ranges array to the end of the call:
        // the class and each method are looked up for the first shot only, and
        // the shot handed out by the call that built it needs no global reference
        // and leaves its arrays to the return of the call.
        const auto shot_calls = between(w.calls, "NewDoubleArray", "@");
        const std::string len = std::to_string(n);
        auto lookup = [&](std::vector<std::string> calls) { return index == 0 ? calls : std::vector<std::string>{}; };
        std::vector<std::string> expected = {"NewDoubleArray " + len, "SetDoubleArrayRegion 0 " + len};
        auto add = [&](std::vector<std::string> const& more) { expected.insert(expected.end(), more.begin(), more.end()); };
        add(lookup({"FindClass fr/belcour/quillet/io/tls/zpk/Shot", "NewGlobalRef class", "DeleteLocalRef class",
                    "GetMethodID <init> (IDDDDDDD[D)V"}));
        add({"NewObject fr/belcour/quillet/io/tls/zpk/Shot (IDDDDDDD[D)V", "ExceptionCheck"});
        for (char const* setter : {"setReflectances", "setDeviations", "setAmplitudes"}) {
            add({"NewFloatArray " + len, "SetFloatArrayRegion 0 " + len});
            add(lookup({std::string("GetMethodID ") + setter + " ([F)V"}));
            add({std::string("CallVoidMethod ") + setter, "ExceptionCheck"});
        }
        add({"NewDoubleArray " + len, "SetDoubleArrayRegion 0 " + len});
        add(lookup({"GetMethodID setTimes ([D)V"}));
        add({"CallVoidMethod setTimes", "ExceptionCheck"});
        EXPECT_EQ(shot_calls, expected) << index;
        // More to come exactly until the last shot is out.
        EXPECT_EQ(lib.has_shot(env(), nullptr, h) == JNI_TRUE, index + 1 < scan.shots.size()) << index;
        w.of(s).live = false; // the host drops it
        ++index;
    }
    EXPECT_EQ(index, scan.shots.size());
    // After the end: null at once, nothing read, no host call.
    w.calls.clear();
    EXPECT_EQ(next(h), nullptr);
    EXPECT_TRUE(w.calls.empty());
    lib.close(env(), nullptr, h);
    lib.del(env(), nullptr, h);
    EXPECT_EQ(w.live(true), 0u) << "delete releases the Shot class";
}

TEST_F(HostCalls, AFailingHostAllocationCostsOneShotAndLeavesNothingBehind) {
    // Packed frames end many shots per packet, so the failure falls on a shot
    // handed out by its call, on one queued behind it, or on the class lookup.
    scangen::options o;
    o.shots = 300;
    o.packed = true;
    path = (tmp.dir / "packed.zpk").string();
    const std::uint64_t total = scangen::write_scan(path, o).shots;
    o.shots = 60;
    const std::string small = (tmp.dir / "packed_small.zpk").string();
    scangen::write_scan(small, o);
    write_seed("packed_polled", small, 0x10 | 0x01 | 0x08, 40);
    write_seed("sample_all_codes", (tmp.dir / "sample.zpk").string(), 0x0f, 255);
    write_seed("sample_throwing_setter", (tmp.dir / "sample.zpk").string(), 0x40 | 0x08, 255);
    for (long fail_at = 0; fail_at < 400; fail_at += 13) {
        SCOPED_TRACE(fail_at);
        jlong h = open({2, 5});
        w.allocations_left = fail_at;
        std::vector<double> times;
        int raised = 0;
        for (;;) {
            jobject s = next(h);
            if (!w.pending.empty()) {
                EXPECT_EQ(s, nullptr);
                EXPECT_EQ(w.pending, "java.lang.OutOfMemoryError");
                w.pending.clear(); // the host has seen it
                ++raised;
                continue;
            }
            if (!s)
                break;
            times.push_back(fake::world::obj(s).time);
            ASSERT_EQ(fake::world::obj(s).setters, (std::vector<std::string>{"setReflectances", "setTimes"}));
            w.of(s).live = false;
        }
        const bool failed = w.allocations_left < 0;
        EXPECT_EQ(raised, failed ? 1 : 0);
        EXPECT_EQ(times.size(), total - (failed ? 1 : 0));
        EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
        EXPECT_EQ(std::adjacent_find(times.begin(), times.end()), times.end()) << "a shot handed out twice";
        lib.del(env(), nullptr, h);
        EXPECT_EQ(w.live(true), 0u);
        w.allocations_left = -1;
    }

    // A setter that always throws: every shot is lost and every call that
    // builds one raises, and none leaves more local references than allowed.
    w.throwing_methods = {"setTimes"};
    jlong h = open({2, 5});
    int raised = 0;
    for (;;) {
        jobject s = next(h);
        if (w.pending.empty()) {
            EXPECT_EQ(s, nullptr);
            break;
        }
        EXPECT_EQ(w.pending, "java.lang.IllegalStateException");
        w.pending.clear();
        ++raised;
    }
    EXPECT_GT(raised, 0);
    lib.del(env(), nullptr, h);
    EXPECT_EQ(w.live(true), 0u);
}

TEST_F(HostCalls, WithoutExportsOnlyTheConstructorIsCalled) {
    // A host Shot class without setters serves as long as none is asked for.
    w.missing_methods = {"setReflectances", "setDeviations", "setAmplitudes", "setTimes"};
    jlong h = open({});
    std::size_t count = 0;
    while (jobject s = next(h)) {
        EXPECT_TRUE(fake::world::obj(s).setters.empty());
        ++count;
    }
    EXPECT_EQ(count, scan.shots.size());
    EXPECT_TRUE(w.pending.empty()) << w.pending;
    EXPECT_EQ(std::count_if(w.calls.begin(), w.calls.end(),
                            [](std::string const& c) { return c.rfind("NewFloatArray", 0) == 0; }),
              0);
    lib.del(env(), nullptr, h);
}

TEST_F(HostCalls, AMissingShotClassDropsTheShotAndCallsNothingMore) {
    w.missing_classes = {"fr/belcour/quillet/io/tls/zpk/Shot"};
    jlong h = open({2, 5});
    testing::internal::CaptureStdout();
    EXPECT_EQ(next(h), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Finding Shot class failed\n");
    EXPECT_EQ(w.pending, "java.lang.NoClassDefFoundError");
    EXPECT_TRUE(w.pending_violations.empty()) << w.pending_violations.front();
    EXPECT_EQ(std::count_if(w.calls.begin(), w.calls.end(),
                            [](std::string const& c) { return c.rfind("NewObject", 0) == 0; }),
              0);
    EXPECT_EQ(w.live(false), 2u) << "the ranges array was released";
    EXPECT_EQ(w.live(true), 0u);
    lib.del(env(), nullptr, h);
}

TEST_F(HostCalls, DeleteReleasesEverythingAndAnUnopenedHandleNeedsNoHost) {
    w.calls.clear();
    lib.del(env(), nullptr, lib.instantiate(env(), nullptr));
    EXPECT_TRUE(w.calls.empty());

    // Deleted in the middle of the scan: the host keeps only what it was handed.
    jlong h = open({2});
    jobject first = next(h);
    ASSERT_NE(first, nullptr);
    const std::size_t locals = w.live(false);
    // Closing a file connection does nothing and says nothing.
    testing::internal::CaptureStdout();
    lib.close(env(), nullptr, h);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    lib.del(env(), nullptr, h);
    EXPECT_EQ(w.live(true), 0u);
    EXPECT_EQ(w.live(false), locals);
    EXPECT_TRUE(w.pending.empty());
}

TEST_F(HostCalls, ADeleteDuringACallLeavesTheReleaseToTheCall) {
    // Packed frames end many shots per packet: the delete falls while shots
    // are queued and the one to hand out is built.
    scangen::options o;
    o.shots = 300;
    o.packed = true;
    path = (tmp.dir / "packed.zpk").string();
    scangen::write_scan(path, o);
    jlong h = open({2});
    // The deleting thread's environment: the members it does not own must
    // not be released through it.
    JNINativeInterface_ other_table = w.table;
    other_table.DeleteGlobalRef = [](JNIEnv* e, jobject r) {
        fake::W().misuses.push_back("DeleteGlobalRef through the deleting thread's environment");
        fake::DeleteGlobalRef(e, r);
    };
    JNIEnv_ other{};
    other.functions = &other_table;
    bool deleted = false;
    std::size_t globals_before = 0, globals_after = 0;
    jboolean has_after = JNI_TRUE;
    bool next_after = true;
    w.on_new_object = [&] {
        if (deleted || w.live(true) < 2)
            return;
        deleted = true;
        globals_before = w.live(true);
        lib.del(&other, nullptr, h);
        globals_after = w.live(true);
        has_after = lib.has_shot(&other, nullptr, h);
        next_after = lib.next(&other, nullptr, h) != nullptr;
    };
    jobject s = nullptr;
    for (int calls = 0; calls < 400 && !deleted; ++calls) {
        s = next(h);
        if (!deleted) {
            ASSERT_NE(s, nullptr);
            w.of(s).live = false;
        }
    }
    w.on_new_object = nullptr;
    ASSERT_TRUE(deleted);
    EXPECT_EQ(globals_after, globals_before) << "released while a call was inside";
    EXPECT_EQ(has_after, JNI_FALSE);
    EXPECT_FALSE(next_after);
    // The call ends as one on an unknown handle, and releases everything.
    EXPECT_EQ(s, nullptr);
    EXPECT_TRUE(w.pending.empty()) << w.pending;
    EXPECT_EQ(w.live(true), 0u);
    w.calls.clear();
    EXPECT_EQ(next(h), nullptr);
    EXPECT_EQ(lib.has_shot(env(), nullptr, h), JNI_FALSE);
    EXPECT_EQ(lib.open(env(), nullptr, h, string(path), codes({})), -1);
    lib.close(env(), nullptr, h);
    lib.del(env(), nullptr, h);
    // A gone handle: nothing read, no host call.
    EXPECT_TRUE(w.calls.empty());
}
#endif
