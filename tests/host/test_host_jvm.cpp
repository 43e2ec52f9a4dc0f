// The native methods driven through a real virtual machine started in this
// process, reading the sample scan; expected shots are computed here from the
// scan's raw counts.
#if defined(SCANLIB_HOST_LIBRARY)

#include "sample_scan.hpp"

#include <gtest/gtest.h>

#include <jni.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <string>
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
        void* lib = dlopen(SCANLIB_JVM_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
        if (!lib)
            return nullptr;
        using create_fn = jint(JNICALL*)(JavaVM**, void**, void*);
        auto create = reinterpret_cast<create_fn>(dlsym(lib, "JNI_CreateJavaVM"));
        if (!create)
            return nullptr;
        std::string cp = "-Djava.class.path=" + class_path;
        std::string so = std::string("-Dostrand.library=") + SCANLIB_HOST_LIBRARY;
        JavaVMOption options[] = {{cp.data(), nullptr}, {so.data(), nullptr}, {const_cast<char*>("-Xrs"), nullptr}};
        JavaVMInitArgs args{JNI_VERSION_10, 3, options, JNI_FALSE};
        auto* v = new vm;
        if (create(&v->jvm, reinterpret_cast<void**>(&v->env), &args) != JNI_OK) {
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

    jlong instantiate() { return env->CallLongMethod(self, m_instantiate); }
    jint open(jlong h, char const* uri, std::vector<jint> const& codes) {
        jstring s = uri ? env->NewStringUTF(uri) : nullptr;
        jintArray a = env->NewIntArray(static_cast<jsize>(codes.size()));
        env->SetIntArrayRegion(a, 0, static_cast<jsize>(codes.size()), codes.data());
        jint r = env->CallIntMethod(self, m_open, h, s, a);
        env->DeleteLocalRef(a);
        if (s)
            env->DeleteLocalRef(s);
        return r;
    }
    bool has_shot(jlong h) { return env->CallBooleanMethod(self, m_has, h) == JNI_TRUE; }
    jobject next(jlong h) { return env->CallObjectMethod(self, m_next, h); }
    void close(jlong h) { env->CallVoidMethod(self, m_close, h); }
    void del(jlong h) { env->CallVoidMethod(self, m_delete, h); }
    void hello() { env->CallVoidMethod(self, m_hello); }

    // The pending host exception's class name, cleared; empty when none.
    std::string take_exception() {
        jthrowable t = env->ExceptionOccurred();
        if (!t)
            return {};
        env->ExceptionClear();
        jclass c = env->GetObjectClass(t);
        jclass class_class = env->FindClass("java/lang/Class");
        jmethodID get_name = env->GetMethodID(class_class, "getName", "()Ljava/lang/String;");
        auto name = static_cast<jstring>(env->CallObjectMethod(c, get_name));
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

    // The cut scan hands out the shots before the cut, then ends one way or
    // the other without crashing.
    handle = h->instantiate();
    ASSERT_EQ(h->open(handle, cut.c_str(), {}), 0);
    auto shots = read_all(*h, handle);
    h->take_exception();
    EXPECT_GT(shots.size(), 0u);
    EXPECT_LT(shots.size(), scan.shots.size());
    for (std::size_t i = 0; i < shots.size(); ++i)
        expect_shot(scan, scan.shots[i], shots[i]);
    EXPECT_EQ(h->next(handle), nullptr);
    h->del(handle);
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

#endif
