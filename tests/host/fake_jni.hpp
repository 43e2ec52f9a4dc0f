#pragma once
// A recording stand-in for the host's native interface: which host calls the
// binding makes, in which order, which references it keeps, and that no call
// runs while a host exception is pending. Misuse is recorded, not fatal, so
// both the tests and the fuzz target can check it.

#include <jni.h>

#include <algorithm>
#include <cstddef>
#include <cmath>
#include <cstdarg>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

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
    bool record_calls = true; // off: only calls made with an exception pending are kept
    std::vector<std::string> pending_violations; // host calls made with an exception pending
    std::string pending;                         // class of the pending host exception
    std::set<std::string> missing_classes;
    std::set<std::string> missing_methods;
    std::set<std::string> throwing_methods; // setters that raise IllegalStateException
    std::vector<std::string> misuses; // references used or released that are not live
    jint capacity_result = 0;
    bool get_bytes_throws = false;
    // When not negative: the number of host allocations (arrays, objects,
    // references) that succeed before one fails with OutOfMemoryError.
    long allocations_left = -1;
    // Run at the start of each NewObject: what the host may do meanwhile.
    std::function<void()> on_new_object;

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
        if (record_calls)
            calls.push_back(std::move(call));
    }
    // Calls the host allows while an exception is pending.
    void log_allowed(std::string call) {
        if (record_calls)
            calls.push_back(std::move(call));
    }
    void raise(std::string cls) { pending = std::move(cls); }
    // A native call's frame: the local references made in it that are still
    // live when it returns die then; the one it returns passes to the caller.
    // Gives how many the call left to die so.
    std::size_t frame_start() const { return refs.size(); }
    std::size_t frame_end(std::size_t start, jobject result) {
        std::size_t left = 0;
        for (auto it = refs.begin() + static_cast<std::ptrdiff_t>(start); it != refs.end(); ++it)
            if (it->live && !it->global && reinterpret_cast<jobject>(&*it) != result) {
                it->live = false;
                ++left;
            }
        return left;
    }
    bool allocation_fails() {
        if (allocations_left < 0 || allocations_left-- > 0)
            return false;
        raise("java.lang.OutOfMemoryError");
        return true;
    }
    // The object behind a reference the binding hands in, which must be live.
    object& use(jobject r, char const* call) {
        if (!of(r).live)
            misuses.push_back(std::string(call) + ": dead reference");
        return *of(r).target;
    }
};

inline world& W() { return *world::current(); }

inline jclass JNICALL FindClass(JNIEnv*, char const* name) {
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

inline jmethodID JNICALL GetMethodID(JNIEnv*, jclass, char const* name, char const* sig) {
    W().log(std::string("GetMethodID ") + name + " " + sig);
    if (W().missing_methods.count(name)) {
        W().raise("java.lang.NoSuchMethodError");
        return nullptr;
    }
    W().methods.push_back({name, sig});
    return reinterpret_cast<jmethodID>(&W().methods.back());
}

inline jint JNICALL EnsureLocalCapacity(JNIEnv*, jint n) {
    W().log("EnsureLocalCapacity " + std::to_string(n));
    return W().capacity_result;
}

// The C++ interface of jni.h forwards its variadic calls to these va_list forms.
inline jobject JNICALL CallObjectMethodV(JNIEnv*, jobject self, jmethodID m, va_list) {
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

inline void JNICALL CallVoidMethodV(JNIEnv*, jobject self, jmethodID m, va_list ap) {
    auto const& md = *reinterpret_cast<method*>(m);
    W().log("CallVoidMethod " + md.name);
    jobject arg = va_arg(ap, jobject);
    object& shot = W().use(self, "CallVoidMethod");
    object const& a = W().use(arg, "CallVoidMethod");
    if (W().throwing_methods.count(md.name)) {
        W().raise("java.lang.IllegalStateException");
        return;
    }
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

inline jobject JNICALL NewObjectA(JNIEnv*, jclass cls, jmethodID m, jvalue const* args) {
    if (W().on_new_object)
        W().on_new_object();
    auto const& md = *reinterpret_cast<method*>(m);
    W().log("NewObject " + W().use(cls, "NewObject").name + " " + md.sig);
    object o;
    o.type = "Shot";
    o.count = args[0].i;
    o.time = args[1].d;
    for (int k = 0; k < 3; ++k) {
        o.origin[k] = args[2 + k].d;
        o.direction[k] = args[5 + k].d;
    }
    o.ranges = W().use(args[8].l, "NewObject").doubles;
    if (W().allocation_fails())
        return nullptr;
    return W().make(std::move(o));
}

inline jboolean JNICALL ExceptionCheck(JNIEnv*) {
    W().log_allowed("ExceptionCheck");
    return W().pending.empty() ? JNI_FALSE : JNI_TRUE;
}

inline void JNICALL DeleteLocalRef(JNIEnv*, jobject r) {
    W().log_allowed("DeleteLocalRef " + world::obj(r).type);
    if (!world::of(r).live || world::of(r).global)
        W().misuses.push_back("DeleteLocalRef: not a live local reference");
    world::of(r).live = false;
}

inline void JNICALL DeleteGlobalRef(JNIEnv*, jobject r) {
    W().log_allowed("DeleteGlobalRef " + world::obj(r).type);
    if (!world::of(r).live || !world::of(r).global)
        W().misuses.push_back("DeleteGlobalRef: not a live global reference");
    world::of(r).live = false;
}

inline jobject JNICALL NewGlobalRef(JNIEnv*, jobject r) {
    W().log("NewGlobalRef " + W().use(r, "NewGlobalRef").type);
    if (W().allocation_fails())
        return nullptr;
    W().refs.push_back({world::of(r).target, true});
    return reinterpret_cast<jobject>(&W().refs.back());
}

inline jobject JNICALL NewLocalRef(JNIEnv*, jobject r) {
    W().log("NewLocalRef " + W().use(r, "NewLocalRef").type);
    W().refs.push_back({world::of(r).target, false});
    return reinterpret_cast<jobject>(&W().refs.back());
}

inline jsize JNICALL GetArrayLength(JNIEnv*, jarray a) {
    W().log("GetArrayLength");
    object const& o = world::obj(a);
    return static_cast<jsize>(o.type == "int[]" ? o.ints.size() : o.bytes.size());
}

inline void JNICALL GetByteArrayRegion(JNIEnv*, jbyteArray a, jsize start, jsize len, jbyte* buf) {
    W().log("GetByteArrayRegion " + std::to_string(start) + " " + std::to_string(len));
    std::copy_n(world::obj(a).bytes.begin() + start, len, buf);
}

inline jint* JNICALL GetIntArrayElements(JNIEnv*, jintArray a, jboolean*) {
    W().log("GetIntArrayElements");
    return world::obj(a).ints.data();
}

inline void JNICALL ReleaseIntArrayElements(JNIEnv*, jintArray, jint*, jint mode) {
    W().log_allowed("ReleaseIntArrayElements " + std::to_string(mode));
}

// A new host array of n unset (NaN) values.
template <class A, class V>
A new_array(char const* type, jsize n, std::vector<V> object::*values) {
    W().log(std::string("New") + (type[0] == 'd' ? "Double" : "Float") + "Array " + std::to_string(n));
    if (W().allocation_fails())
        return nullptr;
    object o;
    o.type = type;
    (o.*values).assign(static_cast<std::size_t>(n), std::numeric_limits<V>::quiet_NaN());
    return static_cast<A>(W().make(std::move(o)));
}

template <class V>
void set_region(char const* call, jarray a, jsize start, jsize len, V const* buf, std::vector<V> object::*values) {
    W().log(std::string(call) + " " + std::to_string(start) + " " + std::to_string(len));
    std::copy_n(buf, len, (W().use(a, call).*values).begin() + start);
}

inline jdoubleArray JNICALL NewDoubleArray(JNIEnv*, jsize n) {
    return new_array<jdoubleArray>("double[]", n, &object::doubles);
}

inline void JNICALL SetDoubleArrayRegion(JNIEnv*, jdoubleArray a, jsize start, jsize len, jdouble const* buf) {
    set_region("SetDoubleArrayRegion", a, start, len, buf, &object::doubles);
}

inline jfloatArray JNICALL NewFloatArray(JNIEnv*, jsize n) {
    return new_array<jfloatArray>("float[]", n, &object::floats);
}

inline void JNICALL SetFloatArrayRegion(JNIEnv*, jfloatArray a, jsize start, jsize len, jfloat const* buf) {
    set_region("SetFloatArrayRegion", a, start, len, buf, &object::floats);
}

inline jint JNICALL ThrowNew(JNIEnv*, jclass cls, char const*) {
    W().log("ThrowNew");
    W().raise(world::obj(cls).name);
    return 0;
}

inline jthrowable JNICALL ExceptionOccurred(JNIEnv*) {
    W().log_allowed("ExceptionOccurred");
    if (W().pending.empty())
        return nullptr;
    object o;
    o.type = "Throwable";
    o.name = W().pending;
    return static_cast<jthrowable>(W().make(std::move(o)));
}

inline void JNICALL ExceptionClear(JNIEnv*) {
    W().log_allowed("ExceptionClear");
    W().pending.clear();
}

inline jint JNICALL Throw(JNIEnv*, jthrowable t) {
    W().log("Throw");
    W().raise(W().use(t, "Throw").name);
    return 0;
}

inline world::world() {
    table.FindClass = FindClass;
    table.GetMethodID = GetMethodID;
    table.EnsureLocalCapacity = EnsureLocalCapacity;
    table.CallObjectMethodV = CallObjectMethodV;
    table.CallVoidMethodV = CallVoidMethodV;
    table.NewObjectA = NewObjectA;
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
    table.ExceptionOccurred = ExceptionOccurred;
    table.ExceptionClear = ExceptionClear;
    table.Throw = Throw;
    env.functions = &table;
    current() = this;
}

inline world::~world() { current() = nullptr; }

} // namespace fake
