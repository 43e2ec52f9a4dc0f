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
// native interface: which host calls the binding makes, in which order, which
// references it keeps, and that no call runs while a host exception is pending.

#include <cstdarg>
#include <deque>
#include <map>
#include <set>

namespace fake {

struct object {
    std::string type; // "class", "String", "byte[]", "int[]", "double[]", "float[]", "Shot"
    std::string name; // class name of a class object
    std::vector<jbyte> bytes;
    std::vector<jint> ints;
    std::vector<double> doubles;
    std::vector<float> floats;
    // A Shot as its constructor and setters left it.
    jint count = 0;
    double time = 0, origin[3]{}, direction[3]{};
    std::vector<double> ranges, times;
    std::optional<std::vector<float>> reflectances, deviations, amplitudes;
    std::vector<std::string> setters;
};

struct ref {
    object* target;
    bool global;
    bool live = true;
};

struct method {
    std::string name, sig;
};

struct world {
    JNINativeInterface_ table{};
    JNIEnv_ env{};
    std::deque<object> objects;
    std::deque<ref> refs;
    std::deque<method> methods;
    std::vector<std::string> calls;
    std::vector<std::string> pending_violations; // host calls made with an exception pending
    std::string pending;                         // class of the pending host exception
    std::set<std::string> missing_classes;
    std::set<std::string> missing_methods;
    jint capacity_result = 0;
    bool get_bytes_throws = false;

    world();
    ~world();

    static world*& current() {
        static world* w = nullptr;
        return w;
    }

    jobject make(object o, bool global = false) {
        objects.push_back(std::move(o));
        refs.push_back({&objects.back(), global});
        return reinterpret_cast<jobject>(&refs.back());
    }
    static ref& of(jobject r) { return *reinterpret_cast<ref*>(r); }
    static object& obj(jobject r) { return *of(r).target; }

    std::size_t live(bool global) const {
        return static_cast<std::size_t>(
            std::count_if(refs.begin(), refs.end(), [&](ref const& r) { return r.live && r.global == global; }));
    }
    void log(std::string call) {
        if (!pending.empty())
            pending_violations.push_back(call);
        calls.push_back(std::move(call));
    }
    // Calls the host allows while an exception is pending.
    void log_allowed(std::string call) { calls.push_back(std::move(call)); }
    void raise(std::string cls) { pending = std::move(cls); }
};

world& W() { return *world::current(); }

jclass JNICALL FindClass(JNIEnv*, char const* name) {
    W().log(std::string("FindClass ") + name);
    if (W().missing_classes.count(name)) {
        W().raise("java.lang.NoClassDefFoundError");
        return nullptr;
    }
    object o;
    o.type = "class";
    o.name = name;
    return static_cast<jclass>(W().make(std::move(o)));
}

jmethodID JNICALL GetMethodID(JNIEnv*, jclass, char const* name, char const* sig) {
    W().log(std::string("GetMethodID ") + name + " " + sig);
    if (W().missing_methods.count(name)) {
        W().raise("java.lang.NoSuchMethodError");
        return nullptr;
    }
    W().methods.push_back({name, sig});
    return reinterpret_cast<jmethodID>(&W().methods.back());
}

jint JNICALL EnsureLocalCapacity(JNIEnv*, jint n) {
    W().log("EnsureLocalCapacity " + std::to_string(n));
    return W().capacity_result;
}

// The C++ interface of jni.h forwards its variadic calls to these va_list forms.
jobject JNICALL CallObjectMethodV(JNIEnv*, jobject self, jmethodID m, va_list) {
    auto const& md = *reinterpret_cast<method*>(m);
    W().log("CallObjectMethod " + md.name);
    if (md.name != "getBytes" || world::obj(self).type != "String")
        return nullptr;
    if (W().get_bytes_throws) {
        W().raise("java.io.UnsupportedEncodingException");
        return nullptr;
    }
    object o;
    o.type = "byte[]";
    o.bytes = world::obj(self).bytes;
    return W().make(std::move(o));
}

void JNICALL CallVoidMethodV(JNIEnv*, jobject self, jmethodID m, va_list ap) {
    auto const& md = *reinterpret_cast<method*>(m);
    W().log("CallVoidMethod " + md.name);
    jobject arg = va_arg(ap, jobject);
    object& shot = world::obj(self);
    object const& a = world::obj(arg);
    shot.setters.push_back(md.name);
    if (md.name == "setReflectances")
        shot.reflectances = a.floats;
    else if (md.name == "setDeviations")
        shot.deviations = a.floats;
    else if (md.name == "setAmplitudes")
        shot.amplitudes = a.floats;
    else if (md.name == "setTimes")
        shot.times = a.doubles;
}

jobject JNICALL NewObjectV(JNIEnv*, jclass cls, jmethodID m, va_list ap) {
    auto const& md = *reinterpret_cast<method*>(m);
    W().log("NewObject " + world::obj(cls).name + " " + md.sig);
    object o;
    o.type = "Shot";
    o.count = va_arg(ap, jint);
    o.time = va_arg(ap, double);
    for (double& v : o.origin)
        v = va_arg(ap, double);
    for (double& v : o.direction)
        v = va_arg(ap, double);
    o.ranges = world::obj(va_arg(ap, jobject)).doubles;
    return W().make(std::move(o));
}

jboolean JNICALL ExceptionCheck(JNIEnv*) {
    W().log_allowed("ExceptionCheck");
    return W().pending.empty() ? JNI_FALSE : JNI_TRUE;
}

void JNICALL DeleteLocalRef(JNIEnv*, jobject r) {
    W().log_allowed("DeleteLocalRef " + world::obj(r).type);
    EXPECT_TRUE(world::of(r).live && !world::of(r).global) << "not a live local reference";
    world::of(r).live = false;
}

void JNICALL DeleteGlobalRef(JNIEnv*, jobject r) {
    W().log_allowed("DeleteGlobalRef " + world::obj(r).type);
    EXPECT_TRUE(world::of(r).live && world::of(r).global) << "not a live global reference";
    world::of(r).live = false;
}

jobject JNICALL NewGlobalRef(JNIEnv*, jobject r) {
    W().log("NewGlobalRef " + world::obj(r).type);
    W().refs.push_back({world::of(r).target, true});
    return reinterpret_cast<jobject>(&W().refs.back());
}

jobject JNICALL NewLocalRef(JNIEnv*, jobject r) {
    W().log("NewLocalRef " + world::obj(r).type);
    W().refs.push_back({world::of(r).target, false});
    return reinterpret_cast<jobject>(&W().refs.back());
}

jsize JNICALL GetArrayLength(JNIEnv*, jarray a) {
    W().log("GetArrayLength");
    object const& o = world::obj(a);
    return static_cast<jsize>(o.type == "int[]" ? o.ints.size() : o.bytes.size());
}

void JNICALL GetByteArrayRegion(JNIEnv*, jbyteArray a, jsize start, jsize len, jbyte* buf) {
    W().log("GetByteArrayRegion " + std::to_string(start) + " " + std::to_string(len));
    std::copy_n(world::obj(a).bytes.begin() + start, len, buf);
}

jint* JNICALL GetIntArrayElements(JNIEnv*, jintArray a, jboolean*) {
    W().log("GetIntArrayElements");
    return world::obj(a).ints.data();
}

void JNICALL ReleaseIntArrayElements(JNIEnv*, jintArray, jint*, jint mode) {
    W().log_allowed("ReleaseIntArrayElements " + std::to_string(mode));
}

jdoubleArray JNICALL NewDoubleArray(JNIEnv*, jsize n) {
    W().log("NewDoubleArray " + std::to_string(n));
    object o;
    o.type = "double[]";
    o.doubles.assign(static_cast<std::size_t>(n), std::nan(""));
    return static_cast<jdoubleArray>(W().make(std::move(o)));
}

void JNICALL SetDoubleArrayRegion(JNIEnv*, jdoubleArray a, jsize start, jsize len, jdouble const* buf) {
    W().log("SetDoubleArrayRegion " + std::to_string(start) + " " + std::to_string(len));
    std::copy_n(buf, len, world::obj(a).doubles.begin() + start);
}

jfloatArray JNICALL NewFloatArray(JNIEnv*, jsize n) {
    W().log("NewFloatArray " + std::to_string(n));
    object o;
    o.type = "float[]";
    o.floats.assign(static_cast<std::size_t>(n), std::nanf(""));
    return static_cast<jfloatArray>(W().make(std::move(o)));
}

void JNICALL SetFloatArrayRegion(JNIEnv*, jfloatArray a, jsize start, jsize len, jfloat const* buf) {
    W().log("SetFloatArrayRegion " + std::to_string(start) + " " + std::to_string(len));
    std::copy_n(buf, len, world::obj(a).floats.begin() + start);
}

jint JNICALL ThrowNew(JNIEnv*, jclass cls, char const*) {
    W().log("ThrowNew");
    W().raise(world::obj(cls).name);
    return 0;
}

world::world() {
    table.FindClass = FindClass;
    table.GetMethodID = GetMethodID;
    table.EnsureLocalCapacity = EnsureLocalCapacity;
    table.CallObjectMethodV = CallObjectMethodV;
    table.CallVoidMethodV = CallVoidMethodV;
    table.NewObjectV = NewObjectV;
    table.ExceptionCheck = ExceptionCheck;
    table.DeleteLocalRef = DeleteLocalRef;
    table.DeleteGlobalRef = DeleteGlobalRef;
    table.NewGlobalRef = NewGlobalRef;
    table.NewLocalRef = NewLocalRef;
    table.GetArrayLength = GetArrayLength;
    table.GetByteArrayRegion = GetByteArrayRegion;
    table.GetIntArrayElements = GetIntArrayElements;
    table.ReleaseIntArrayElements = ReleaseIntArrayElements;
    table.NewDoubleArray = NewDoubleArray;
    table.SetDoubleArrayRegion = SetDoubleArrayRegion;
    table.NewFloatArray = NewFloatArray;
    table.SetFloatArrayRegion = SetFloatArrayRegion;
    table.ThrowNew = ThrowNew;
    env.functions = &table;
    current() = this;
}

world::~world() { current() = nullptr; }

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
    jobject s = lib.next(env(), nullptr, h);
    ASSERT_NE(s, nullptr);
    fake::object const& shot = fake::world::obj(s);
    EXPECT_EQ(shot.setters, (std::vector<std::string>{"setReflectances", "setTimes"}));
    EXPECT_FALSE(shot.deviations || shot.amplitudes);
    lib.del(env(), nullptr, h);
}

TEST_F(HostCalls, EveryShotIsBuiltWithItsArraysAndNoReferenceOutlivesTheCall) {
    jlong h = open({4, 3, 2, 5});
    std::size_t index = 0;
    bool ended_while_queued = false;
    for (;;) {
        const std::size_t locals = w.live(false);
        w.calls.clear();
        jobject s = lib.next(env(), nullptr, h);
        if (!s)
            break;
        ASSERT_LT(index, scan.shots.size());
        // The returned shot is the one local reference the call leaves.
        EXPECT_EQ(w.live(false), locals + 1) << index;
        EXPECT_EQ(w.live(true), 0u) << "the sample's packets end one shot at a time";
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
        // One shot's host calls, from its ranges array to its queueing.
        auto shot_calls = between(w.calls, "NewDoubleArray", "NewLocalRef");
        while (!shot_calls.empty() && shot_calls.back() == "ExceptionCheck") // the pull loop's own
            shot_calls.pop_back();
        const std::string len = std::to_string(n);
        const std::vector<std::string> expected = {
            "NewDoubleArray " + len, "SetDoubleArrayRegion 0 " + len, "FindClass fr/belcour/quillet/io/tls/zpk/Shot",
            "GetMethodID <init> (IDDDDDDD[D)V", "NewObject fr/belcour/quillet/io/tls/zpk/Shot (IDDDDDDD[D)V",
            "DeleteLocalRef double[]", "ExceptionCheck", "NewFloatArray " + len, "SetFloatArrayRegion 0 " + len,
            "GetMethodID setReflectances ([F)V", "CallVoidMethod setReflectances", "ExceptionCheck",
            "DeleteLocalRef float[]", "NewFloatArray " + len, "SetFloatArrayRegion 0 " + len,
            "GetMethodID setDeviations ([F)V", "CallVoidMethod setDeviations", "ExceptionCheck",
            "DeleteLocalRef float[]", "NewFloatArray " + len, "SetFloatArrayRegion 0 " + len,
            "GetMethodID setAmplitudes ([F)V", "CallVoidMethod setAmplitudes", "ExceptionCheck",
            "DeleteLocalRef float[]", "NewDoubleArray " + len, "SetDoubleArrayRegion 0 " + len,
            "GetMethodID setTimes ([D)V", "CallVoidMethod setTimes", "ExceptionCheck", "DeleteLocalRef double[]",
            "NewGlobalRef Shot", "DeleteLocalRef Shot", "DeleteLocalRef class"};
        EXPECT_EQ(shot_calls, expected) << index;
        ended_while_queued = ended_while_queued || !lib.has_shot(env(), nullptr, h);
        w.of(s).live = false; // the host drops it
        ++index;
    }
    EXPECT_EQ(index, scan.shots.size());
    // The last shot ends with the last packet: the end is reported while it waits.
    EXPECT_TRUE(ended_while_queued);
    // After the end: null at once, nothing read, no host call.
    w.calls.clear();
    EXPECT_EQ(lib.next(env(), nullptr, h), nullptr);
    EXPECT_TRUE(w.calls.empty());
    lib.close(env(), nullptr, h);
    lib.del(env(), nullptr, h);
    EXPECT_TRUE(w.pending_violations.empty());
}

TEST_F(HostCalls, WithoutExportsOnlyTheConstructorIsCalled) {
    // A host Shot class without setters serves as long as none is asked for.
    w.missing_methods = {"setReflectances", "setDeviations", "setAmplitudes", "setTimes"};
    jlong h = open({});
    std::size_t count = 0;
    while (jobject s = lib.next(env(), nullptr, h)) {
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
    EXPECT_EQ(lib.next(env(), nullptr, h), nullptr);
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
    jobject first = lib.next(env(), nullptr, h);
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
#endif
