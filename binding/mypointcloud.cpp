#include "mypointcloud.hpp"

#include <scanlib/qodataspec.hpp>

#include <algorithm>
#include <iostream>

namespace mpc {

namespace {

constexpr char shot_class_name[] = "fr/belcour/quillet/io/tls/zpk/Shot";

// A local reference released when it goes out of scope.
template <class T>
class local_ref {
public:
    local_ref(JNIEnv* env, T ref) : env(env), ref(ref) {}
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
        if (ref)
            env->DeleteLocalRef(ref);
        ref = nullptr;
    }
    explicit operator bool() const { return ref != nullptr; }

private:
    JNIEnv* env;
    T ref;
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
    if (!fresh)
        return;
    // A local reference dies with the native call. No global one may be made
    // while a host exception is pending: it is set aside meanwhile.
    jthrowable pending = env->ExceptionOccurred();
    if (pending)
        env->ExceptionClear();
    jobject global = env->NewGlobalRef(fresh);
    env->DeleteLocalRef(fresh);
    fresh = nullptr;
    if (global) {
        try {
            shots->push_front(global);
        } catch (...) {
            env->DeleteGlobalRef(global);
        }
    }
    if (pending) {
        env->Throw(pending);
        env->DeleteLocalRef(pending);
    }
}

bool mypointcloud::lookup_class() {
    if (shot_class)
        return true;
    local_ref<jclass> cls(env, env->FindClass(shot_class_name));
    if (!cls) {
        std::cout << "Finding Shot class failed" << std::endl;
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
    // No host call may run while a host exception is pending; the pull loop
    // hands that exception to the host before reading on. Asking the host
    // after every packet would cost more than building the shot.
    if (host_exception)
        return;
    if (!build_shot())
        host_exception = env->ExceptionCheck() == JNI_TRUE;
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

    // Every local reference taken here is released before returning: one
    // packet may end many shots within a single native call.
    local_ref<jdoubleArray> range_array(env, env->NewDoubleArray(len));
    if (!range_array)
        return false;
    env->SetDoubleArrayRegion(range_array.get(), 0, len, ranges);
    if (!lookup_class() || !method(init_id, "<init>", "(IDDDDDDD[D)V"))
        return false;
    local_ref<jobject> shot(env, env->NewObject(shot_class, init_id, static_cast<jint>(n), shot_time, shot_origin[0],
                                                shot_origin[1], shot_origin[2], shot_direction[0],
                                                shot_direction[1], shot_direction[2], range_array.get()));
    range_array.reset();
    if (!shot || env->ExceptionCheck())
        return false;

    auto attach_floats = [&](bool on, jmethodID& id, char const* setter, float const* values) {
        if (!on)
            return true;
        local_ref<jfloatArray> a(env, env->NewFloatArray(len));
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
        local_ref<jdoubleArray> a(env, env->NewDoubleArray(len));
        if (!a)
            return false;
        env->SetDoubleArrayRegion(a.get(), 0, len, times);
        if (!attach(times_id, "setTimes", "([D)V", shot.get(), a.get()))
            return false;
    }

    // The shot the current call will hand out needs no global reference.
    if (pulling && !has_queued()) {
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
