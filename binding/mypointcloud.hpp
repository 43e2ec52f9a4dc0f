#pragma once
// The host binding's point cloud: every finished shot becomes a host Shot
// object, queued as a global reference until the host pulls it.

#include <scanlib/pointcloud.hpp>

#include <jni.h>

#include <cstddef>
#include <deque>
#include <memory>

namespace mpc {

class serializer;

class mypointcloud : public scanlib::pointcloud {
public:
    // Echoes of one shot handed to the host; later ones are dropped.
    static constexpr std::size_t max_echoes = 7;

    mypointcloud(serializer& output, JNIEnv* env);
    ~mypointcloud() override;
    mypointcloud(mypointcloud const&) = delete;
    mypointcloud& operator=(mypointcloud const&) = delete;

    // The environment of the thread that drives the cloud; host calls use it.
    void setEnv(JNIEnv* e) { env = e; }
    void setExportReflectance(bool on) { exportReflectance = on; }
    void setExportDeviation(bool on) { exportDeviation = on; }
    void setExportAmplitude(bool on) { exportAmplitude = on; }
    void setExportTime(bool on) { exportTime = on; }

    void on_shot() override;
    void on_shot_end() override;
    void on_echo_transformed(echo_type type) override;

    bool has_queued() const { return fresh || !shots->empty(); }
    // The oldest queued Shot as a local reference of the current native call.
    jobject take_shot();

    // Brackets one native call that may end shots: the first shot it builds
    // while nothing is queued stays a local reference and is handed out as
    // is; whatever is still local when the call ends becomes a global one.
    void begin_pull() { pulling = true; }
    // The host exception held back is raised here.
    void end_pull();
    // Ends the current call handing out nothing and raising nothing: the shot
    // it built and the host exception it holds or left pending are dropped.
    void abandon_pull();
    // Building a shot raised a host exception in the current call.
    bool host_failed() const { return held || class_missing; }

    // Global references to the queued Shot objects that follow `fresh`.
    std::unique_ptr<std::deque<jobject>> shots;
    JNIEnv* env;
    serializer& output;
    bool exportReflectance = false;
    bool exportDeviation = false;
    bool exportAmplitude = false;
    bool exportTime = false;

private:
    bool build_shot();
    void hold_exception();
    bool lookup_class();
    jmethodID method(jmethodID& id, char const* name, char const* sig);
    bool attach(jmethodID& id, char const* setter, char const* sig, jobject shot, jarray values);

    // The oldest queued shot when it was built in the current call; it comes
    // before everything in `shots`.
    jobject fresh = nullptr;
    bool pulling = false;
    // The first host exception of the current call, a local reference.
    jthrowable held = nullptr;
    bool class_missing = false;
    // Looked up once per cloud, each on first use, so a class lacking a setter
    // no export asks for still serves.
    jclass shot_class = nullptr; // global reference
    jmethodID init_id = nullptr, reflectances_id = nullptr, deviations_id = nullptr, amplitudes_id = nullptr,
              times_id = nullptr;
};

} // namespace mpc
