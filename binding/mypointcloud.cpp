#include "mypointcloud.hpp"

#include <scanlib/qodataspec.hpp>

#include <algorithm>
#include <iostream>

namespace mpc {

namespace {

constexpr char shot_class_name[] = "fr/belcour/quillet/io/tls/zpk/Shot";

// A local reference released when it goes out of scope, or, `until_return`,
// left for the return of the native call to release.
template <class T>
class local_ref {
public:
    local_ref(JNIEnv* env, T ref, bool until_return = false) : env(env), ref(ref), until_return(until_return) {}
    ~local_ref() { reset(); }
    local_ref(local_ref const&) = delete;
    local_ref& operator=(local_ref const&) = delete;
    T get() const { return ref; }
    T release() {
        T r = ref;
        ref = nullptr;
        return r;
    }
    void reset() {
        if (ref && !until_return)
            env->DeleteLocalRef(ref);
        ref = nullptr;
    }
    explicit operator bool() const { return ref != nullptr; }

private:
    JNIEnv* env;
    T ref;
    bool until_return;
};

} // namespace

mypointcloud::mypointcloud(serializer& output, JNIEnv* env)
    : scanlib::basic_packets(scanlib::select_all), pointcloud(false),
      shots(std::make_unique<std::deque<jobject>>()), env(env), output(output) {}

mypointcloud::~mypointcloud() {
    for (jobject shot : *shots)
        env->DeleteGlobalRef(shot);
    if (shot_class)
        env->DeleteGlobalRef(shot_class);
}

void mypointcloud::on_shot() { pointcloud::on_shot(); }

void mypointcloud::on_echo_transformed(echo_type type) { pointcloud::on_echo_transformed(type); }

jobject mypointcloud::take_shot() {
    if (fresh) {
        jobject local = fresh;
        fresh = nullptr;
        return local;
    }
    jobject global = shots->front();
    shots->pop_front();
    jobject local = env->NewLocalRef(global);
    env->DeleteGlobalRef(global);
    return local;
}

void mypointcloud::end_pull() {
    pulling = false;
    class_missing = false;
    if (!fresh && !held)
        return;
    // No host call may run while a host exception is pending: one raised
    // meanwhile is set aside too, and the first one held is the one raised.
    jthrowable pending = env->ExceptionOccurred();
    if (pending)
        env->ExceptionClear();
    jthrowable raise = held ? held : pending;
    if (fresh) {
        // A local reference dies with the native call.
        jobject global = env->NewGlobalRef(fresh);
        env->DeleteLocalRef(fresh);
        fresh = nullptr;
        if (global) {
            try {
                shots->push_front(global);
            } catch (...) {
                env->DeleteGlobalRef(global);
            }
        } else if (raise && env->ExceptionCheck()) {
            env->ExceptionClear();
        }
    }
    if (raise)
        env->Throw(raise);
    if (held)
        env->DeleteLocalRef(held);
    if (pending)
        env->DeleteLocalRef(pending);
    held = nullptr;
}

void mypointcloud::abandon_pull() {
    if (env->ExceptionCheck())
        env->ExceptionClear();
    if (fresh)
        env->DeleteLocalRef(fresh);
    if (held)
        env->DeleteLocalRef(held);
    fresh = nullptr;
    held = nullptr;
}

void mypointcloud::hold_exception() {
    jthrowable t = env->ExceptionOccurred();
    if (!t)
        return;
    env->ExceptionClear();
    if (held)
        env->DeleteLocalRef(t);
    else
        held = t;
}

bool mypointcloud::lookup_class() {
    if (shot_class)
        return true;
    local_ref<jclass> cls(env, env->FindClass(shot_class_name));
    if (!cls) {
        std::cout << "Finding Shot class failed" << std::endl;
        class_missing = true;
        return false;
    }
    shot_class = static_cast<jclass>(env->NewGlobalRef(cls.get()));
    return shot_class != nullptr;
}

jmethodID mypointcloud::method(jmethodID& id, char const* name, char const* sig) {
    if (!id)
        id = env->GetMethodID(shot_class, name, sig);
    return id;
}

bool mypointcloud::attach(jmethodID& id, char const* setter, char const* sig, jobject shot, jarray values) {
    if (!method(id, setter, sig))
        return false;
    env->CallVoidMethod(shot, id, values);
    return !env->ExceptionCheck();
}

void mypointcloud::on_shot_end() {
    pointcloud::on_shot_end();
    // Without the class no shot of this call can be built.
    if (class_missing)
        return;
    // A shot the host fails to build is lost. Its exception is held until the
    // call returns, so the shots the same packet ends after it are still
    // built and queued; the pull loop returns at once and the host sees it.
    if (!build_shot())
        hold_exception();
}

bool mypointcloud::build_shot() {
    // Everything the host gets is gathered before the first host call.
    const std::size_t n = std::min<std::size_t>(shot_target_count, max_echoes);
    double ranges[max_echoes], times[max_echoes];
    float reflectances[max_echoes], deviations[max_echoes], amplitudes[max_echoes];
    for (std::size_t i = 0; i < n; ++i) {
        scanlib::target const& t = shot_targets[i];
        ranges[i] = t.range;
        if (exportReflectance)
            reflectances[i] = t.reflectance;
        if (exportDeviation)
            deviations[i] = t.deviation;
        if (exportAmplitude)
            amplitudes[i] = t.amplitude;
        if (exportTime)
            times[i] = t.time;
    }
    const jsize len = static_cast<jsize>(n);

    // The shot the current call will hand out, and its arrays, stay local
    // references that the call's return releases. Every other shot releases
    // its own: one packet may end many shots within a single native call.
    // After a failed shot the call hands out none.
    const bool handed_out = pulling && !has_queued() && !held;
    local_ref<jdoubleArray> range_array(env, env->NewDoubleArray(len), handed_out);
    if (!range_array)
        return false;
    env->SetDoubleArrayRegion(range_array.get(), 0, len, ranges);
    if (!lookup_class() || !method(init_id, "<init>", "(IDDDDDDD[D)V"))
        return false;
    jvalue args[9];
    args[0].i = static_cast<jint>(n);
    args[1].d = shot_time;
    for (int k = 0; k < 3; ++k) {
        args[2 + k].d = shot_origin[k];
        args[5 + k].d = shot_direction[k];
    }
    args[8].l = range_array.get();
    local_ref<jobject> shot(env, env->NewObjectA(shot_class, init_id, args), handed_out);
    range_array.reset();
    if (!shot || env->ExceptionCheck())
        return false;

    auto attach_floats = [&](bool on, jmethodID& id, char const* setter, float const* values) {
        if (!on)
            return true;
        local_ref<jfloatArray> a(env, env->NewFloatArray(len), handed_out);
        if (!a)
            return false;
        env->SetFloatArrayRegion(a.get(), 0, len, values);
        return attach(id, setter, "([F)V", shot.get(), a.get());
    };
    if (!attach_floats(exportReflectance, reflectances_id, "setReflectances", reflectances) ||
        !attach_floats(exportDeviation, deviations_id, "setDeviations", deviations) ||
        !attach_floats(exportAmplitude, amplitudes_id, "setAmplitudes", amplitudes))
        return false;
    if (exportTime) {
        local_ref<jdoubleArray> a(env, env->NewDoubleArray(len), handed_out);
        if (!a)
            return false;
        env->SetDoubleArrayRegion(a.get(), 0, len, times);
        if (!attach(times_id, "setTimes", "([D)V", shot.get(), a.get()))
            return false;
    }

    // The shot the current call will hand out needs no global reference.
    if (handed_out) {
        fresh = shot.release();
        return true;
    }
    jobject global = env->NewGlobalRef(shot.get());
    if (!global)
        return false;
    try {
        shots->push_back(global);
    } catch (...) {
        env->DeleteGlobalRef(global);
        throw;
    }
    return true;
}

} // namespace mpc
