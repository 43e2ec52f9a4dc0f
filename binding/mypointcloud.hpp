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

    bool has_queued() const { return !shots->empty(); }
    // The oldest queued Shot as a local reference; its global one is released.
    jobject take_shot();

    std::unique_ptr<std::deque<jobject>> shots;
    JNIEnv* env;
    serializer& output;
    bool exportReflectance = false;
    bool exportDeviation = false;
    bool exportAmplitude = false;
    bool exportTime = false;
};

} // namespace mpc
