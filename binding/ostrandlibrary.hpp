#pragma once
// The native methods of the host class fr.belcour.quillet.io.tls.zpk.ZpkExtraction
// and the handle they share.

#include <jni.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace scanlib {
class basic_rconnection;
class decoder_zpkmarker;
} // namespace scanlib

namespace mpc {
class serializer;
class mypointcloud;
} // namespace mpc

// Everything one opened scan needs. The host holds a number that names one
// life of the record: records go back to a pool for instantiate to reuse and
// are never freed, so a thread that found a record live before may still look
// at `users` and `number`, but a number that delete took is never handed out
// again.
//
// Calls on one handle run one at a time. A host may call one handle from
// several threads, but a second call waits until the first one has returned,
// and then runs with its own thread's environment. Two waits can end early:
// - delete never waits. It takes the number at once and cancels the
//   connection: a call inside that waits on the network returns as on an
//   unknown handle (null, false or -1), and the last call to leave releases
//   the members;
// - a call waiting to enter when delete takes the number wakes and returns at
//   once as on an unknown handle.
// Waiting calls enter in the order they came. A call must not reach the same
// handle again from inside itself (a host callback would wait for ever).
struct extractionhandle {
    std::shared_ptr<scanlib::basic_rconnection> connection;
    mpc::serializer* writer = nullptr;
    scanlib::decoder_zpkmarker* decoder = nullptr;
    mpc::mypointcloud* cloud = nullptr;
    // The last open returned 0.
    bool opened = false;
    // Reading failed: no further packet is read.
    bool failed = false;
    // In units of `one_use`: the native calls inside or waiting to enter,
    // plus one while the handle is live; the last to let go releases the
    // members. Zero while the handle is in the pool. The low bits tell that a
    // call is inside, and that calls wait for it to leave: taking the handle
    // and marking it busy is one atomic operation.
    std::atomic<std::uint32_t> users{0};
    static constexpr std::uint32_t call_inside = 1;
    static constexpr std::uint32_t calls_waiting = 2;
    static constexpr std::uint32_t one_use = 4;
    // The number of the present life; 0 from delete on, so that calls still
    // inside end as on an unknown handle.
    std::atomic<jlong> number{0};
    // Held while `connection` changes, and by a delete that cancels it from
    // another thread.
    std::mutex connection_lock;
    // Calls waiting to enter sleep here; the call that leaves and delete wake them.
    std::mutex wait_lock;
    std::condition_variable entered_or_gone;
    // Under `wait_lock`: the calls asleep on `entered_or_gone`, and their
    // turns, so that they enter in the order they came and a thread calling
    // again and again cannot keep the others out.
    unsigned waiting = 0;
    std::uint64_t next_turn = 0, turn = 0;
};

// The record a live number names, or null.
extractionhandle* find_extractionhandle(jlong handle);

// A malloc'ed, NUL-terminated copy of the string's bytes in the host's default
// character set, or null (a host exception may then be pending).
char* JNU_GetStringNativeChars(JNIEnv* env, jstring jstr);

extern "C" {
JNIEXPORT jlong JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_instantiate(JNIEnv*, jobject);
JNIEXPORT jint JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_open(JNIEnv*, jobject, jlong, jstring,
                                                                             jintArray);
JNIEXPORT jboolean JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_hasShot(JNIEnv*, jobject, jlong);
JNIEXPORT jobject JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_getNextShot(JNIEnv*, jobject, jlong);
JNIEXPORT void JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_closeConnexion(JNIEnv*, jobject, jlong);
JNIEXPORT void JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_delete(JNIEnv*, jobject, jlong);
JNIEXPORT void JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_afficherBonjour(JNIEnv*, jobject);
}
