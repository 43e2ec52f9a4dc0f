#pragma once
// The native methods of the host class fr.belcour.quillet.io.tls.zpk.ZpkExtraction
// and the handle they share.

#include <jni.h>

#include <atomic>
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
struct extractionhandle {
    std::shared_ptr<scanlib::basic_rconnection> connection;
    mpc::serializer* writer = nullptr;
    scanlib::decoder_zpkmarker* decoder = nullptr;
    mpc::mypointcloud* cloud = nullptr;
    // The last open returned 0.
    bool opened = false;
    // Reading failed: no further packet is read.
    bool failed = false;
    // The native calls inside the handle, plus one while it is live; the last
    // to let go releases the members. Zero while the handle is in the pool.
    std::atomic<std::uint32_t> users{0};
    // The number of the present life; 0 from delete on, so that calls still
    // inside end as on an unknown handle.
    std::atomic<jlong> number{0};
    // Held while `connection` changes, and by a delete that cancels it from
    // another thread.
    std::mutex connection_lock;
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
