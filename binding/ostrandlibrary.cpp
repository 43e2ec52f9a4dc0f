#include "ostrandlibrary.hpp"

#include "fastserializer.hpp"
#include "mypointcloud.hpp"
#include "varenquefilter.hpp"

#include <scanlib/connection.hpp>
#include <scanlib/zpkmarker.hpp>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// The live handles by number. A host may pass back any number: one that
// instantiate did not hand out, or that delete already took, must not be
// followed. Never destroyed, so host threads still calling during exit find
// it intact.
struct handle_registry {
    std::mutex lock;
    std::unordered_map<jlong, extractionhandle*> live;
    // Released handles for instantiate to reuse, with room for every handle
    // ever made, so giving one back never allocates.
    std::vector<extractionhandle*> spare;
    std::size_t made = 0;
    // Lives handed out so far.
    std::uint64_t serial = 0;
};

handle_registry& registry() {
    static auto* r = new handle_registry;
    return *r;
}

// A distinct number for each life, never 0 and never negative: the serial
// through a bijection of 63 bits, so that numbers a host makes up or derives
// from a real one are unlikely to name a live handle.
jlong handle_number(std::uint64_t serial) {
    constexpr std::uint64_t mask = ~std::uint64_t(0) >> 1;
    std::uint64_t x = serial & mask;
    x = (x * 0x9E3779B97F4A7C15u) & mask;
    x ^= x >> 29;
    x = (x * 0xBF58476D1CE4E5B9u) & mask;
    x ^= x >> 32;
    return static_cast<jlong>(x);
}

// The handle this thread found live last: a host pulls shot after shot on one
// handle, and this spares the lock on each call. Records are never freed, so
// the one remembered stays safe to look at after a delete; its number tells
// whether it still lives the life this thread found.
thread_local jlong last = 0;
thread_local extractionhandle* last_record = nullptr;

void set_connection(extractionhandle& h, std::shared_ptr<scanlib::basic_rconnection> c) {
    std::lock_guard<std::mutex> guard(h.connection_lock);
    h.connection.swap(c);
}

// Releases what open stored, in the order the members depend on each other.
void release(extractionhandle& h) {
    set_connection(h, nullptr);
    delete h.decoder;
    h.decoder = nullptr;
    delete h.cloud;
    h.cloud = nullptr;
    delete h.writer;
    h.writer = nullptr;
    h.opened = false;
    h.failed = false;
}

// Wakes the calls waiting to enter, after a change they wait for: the call
// inside left, or delete took the number. Taking the lock orders the change
// before a waiter's look at it, or the waiter is asleep already.
void wake_waiting(extractionhandle& h) {
    { std::lock_guard<std::mutex> guard(h.wait_lock); }
    h.entered_or_gone.notify_all();
}

// After a use was let go: wakes the calls waiting to enter, or, the last use
// after delete, releases the members through this call's environment and
// gives the handle back to the pool.
[[gnu::noinline]] void dropped(extractionhandle& h, JNIEnv* env, std::uint32_t before) {
    // A waiter holds a use: this one was not the last.
    if (before & extractionhandle::calls_waiting) {
        wake_waiting(h);
        return;
    }
    if (h.cloud)
        h.cloud->setEnv(env);
    release(h);
    handle_registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.spare.push_back(&h);
}

// Lets go of one use of the handle, `held` being one use and the mark of the
// call inside when the call holds it.
inline void drop(extractionhandle& h, JNIEnv* env, std::uint32_t held) {
    const std::uint32_t before = h.users.fetch_sub(held, std::memory_order_acq_rel);
    if ((before & extractionhandle::calls_waiting) || before - held < extractionhandle::one_use)
        dropped(h, env, before);
}

// Marks the call inside the handle whose use it holds, waiting while another
// call is inside or before it. False when delete took `handle` before the
// call got in.
bool enter(extractionhandle& h, jlong handle) {
    constexpr std::uint32_t busy = extractionhandle::call_inside | extractionhandle::calls_waiting;
    std::uint32_t n = h.users.load(std::memory_order_relaxed);
    while (!(n & busy))
        if (h.users.compare_exchange_weak(n, n | extractionhandle::call_inside, std::memory_order_seq_cst,
                                          std::memory_order_relaxed))
            return true;
    std::unique_lock<std::mutex> lock(h.wait_lock);
    // Set before the looks below: a call that leaves, or a delete, after them
    // sees it and wakes this one.
    if (h.waiting++ == 0)
        h.users.fetch_or(extractionhandle::calls_waiting, std::memory_order_seq_cst);
    const std::uint64_t mine = h.next_turn++;
    bool entered = false;
    while (h.number.load(std::memory_order_seq_cst) == handle) {
        n = h.users.load(std::memory_order_seq_cst);
        if (mine != h.turn || (n & extractionhandle::call_inside)) {
            h.entered_or_gone.wait(lock);
        } else if (h.users.compare_exchange_strong(n, n | extractionhandle::call_inside,
                                                   std::memory_order_seq_cst)) {
            ++h.turn;
            entered = true;
            break;
        }
    }
    // Once delete took the number every waiter leaves, none in its turn.
    if (--h.waiting == 0) {
        h.turn = h.next_turn;
        h.users.fetch_and(~extractionhandle::calls_waiting, std::memory_order_relaxed);
    }
    return entered;
}

// One native call's use of a handle, alone inside it: whoever deletes the
// handle meanwhile, its members stay until the call returns. Null for a
// number that is not live.
class handle_use {
public:
    handle_use(JNIEnv* env, jlong handle) : env(env), number(handle), h(acquire(env, handle)) {}
    ~handle_use() {
        if (h)
            drop(*h, env, held);
    }
    handle_use(handle_use const&) = delete;
    handle_use& operator=(handle_use const&) = delete;

    extractionhandle* get() const { return h; }
    // delete took the handle since the call began.
    bool gone() const { return h->number.load(std::memory_order_relaxed) != number; }

private:
    static constexpr std::uint32_t held = extractionhandle::one_use | extractionhandle::call_inside;

    static extractionhandle* acquire(JNIEnv* env, jlong handle) {
        if (handle != 0 && handle == last) {
            extractionhandle* h = last_record;
            // A handle in the pool has no users and gains none here; one with
            // a call inside or waiting is left to the slow way, which waits.
            constexpr std::uint32_t busy = extractionhandle::call_inside | extractionhandle::calls_waiting;
            std::uint32_t n = h->users.load(std::memory_order_relaxed);
            while (n != 0 && !(n & busy) &&
                   !h->users.compare_exchange_weak(n, n + held, std::memory_order_seq_cst,
                                                   std::memory_order_relaxed)) {
            }
            if (n != 0 && !(n & busy)) {
                // The record may live another life by now, or be deleted: the
                // number tells. Sequentially consistent with delete's store
                // and its look at the users, so that either this call sees the
                // number gone or delete sees this call inside.
                if (h->number.load(std::memory_order_seq_cst) == handle)
                    return h;
                drop(*h, env, held);
            }
            // A number seen gone is gone for good.
            if (h->number.load(std::memory_order_relaxed) != handle)
                return nullptr;
        }
        return acquire_listed(env, handle);
    }

    // The slow way, through the registry, waiting for a call inside; kept
    // out of line so that the quick look above stays in every native method.
    [[gnu::noinline]] static extractionhandle* acquire_listed(JNIEnv* env, jlong handle) {
        extractionhandle* h = nullptr;
        {
            handle_registry& r = registry();
            std::lock_guard<std::mutex> guard(r.lock);
            auto it = r.live.find(handle);
            if (it == r.live.end())
                return nullptr;
            h = it->second;
            // Live: the registry's own use keeps the count above zero. Acquire
            // pairs with the release of the last call on another thread.
            h->users.fetch_add(extractionhandle::one_use, std::memory_order_acquire);
            last = handle;
            last_record = h;
        }
        if (!enter(*h, handle)) {
            drop(*h, env, extractionhandle::one_use);
            return nullptr;
        }
        // Deleted while this call waited for the one before.
        if (h->number.load(std::memory_order_seq_cst) != handle) {
            drop(*h, env, held);
            return nullptr;
        }
        return h;
    }

    JNIEnv* env;
    jlong number;
    extractionhandle* h;
};

// A local reference released when it goes out of scope.
template <class T>
class local_ref {
public:
    local_ref(JNIEnv* env, T ref) : env(env), ref(ref) {}
    ~local_ref() {
        if (ref)
            env->DeleteLocalRef(ref);
    }
    local_ref(local_ref const&) = delete;
    local_ref& operator=(local_ref const&) = delete;
    T get() const { return ref; }
    explicit operator bool() const { return ref != nullptr; }

private:
    JNIEnv* env;
    T ref;
};

// The handle's serializer together with the filter it refers to, so that the
// filter lives exactly as long as the serializer and no handle shares it.
struct filter_holder {
    mpc::varenquefilter keep_all;
};

class handle_serializer : private filter_holder, public mpc::FastSerializer {
public:
    explicit handle_serializer(std::ostream& out) : FastSerializer(out, keep_all) {}
};

// Reports a failure to the host as a RuntimeException, unless one is pending.
void raise(JNIEnv* env, char const* what) {
    if (env->ExceptionCheck())
        return;
    if (jclass cls = env->FindClass("java/lang/RuntimeException")) {
        env->ThrowNew(cls, what);
        env->DeleteLocalRef(cls);
    }
}

// One pull in the cloud: shots still held as local references when the call
// returns become global ones, whichever way it returns.
class pull_scope {
public:
    explicit pull_scope(mpc::mypointcloud& cloud) : cloud(cloud) { cloud.begin_pull(); }
    ~pull_scope() { cloud.end_pull(); }
    pull_scope(pull_scope const&) = delete;
    pull_scope& operator=(pull_scope const&) = delete;

private:
    mpc::mypointcloud& cloud;
};

void apply_export_code(mpc::mypointcloud& cloud, jint code) {
    switch (code) {
    case 2: cloud.setExportReflectance(true); break;
    case 3: cloud.setExportDeviation(true); break;
    case 4: cloud.setExportAmplitude(true); break;
    case 5: cloud.setExportTime(true); break;
    default: break;
    }
}

} // namespace

char* JNU_GetStringNativeChars(JNIEnv* env, jstring jstr) {
    // getBytes on a null string would bring the virtual machine down.
    if (!jstr)
        return nullptr;
    local_ref<jclass> string_class(env, env->FindClass("java/lang/String"));
    if (!string_class)
        return nullptr;
    jmethodID get_bytes = env->GetMethodID(string_class.get(), "getBytes", "()[B");
    if (!get_bytes || env->EnsureLocalCapacity(2) < 0)
        return nullptr;
    local_ref<jbyteArray> bytes(env, static_cast<jbyteArray>(env->CallObjectMethod(jstr, get_bytes)));
    if (env->ExceptionCheck()) {
        // The host exception stays pending for the caller of the native method.
        std::puts("Exception occured...");
        return nullptr;
    }
    if (!bytes)
        return nullptr;
    const jsize n = env->GetArrayLength(bytes.get());
    auto* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(n) + 1));
    if (!text)
        return nullptr;
    env->GetByteArrayRegion(bytes.get(), 0, n, reinterpret_cast<jbyte*>(text));
    text[n] = '\0';
    return text;
}

extractionhandle* find_extractionhandle(jlong handle) {
    handle_registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.live.find(handle);
    return it == r.live.end() ? nullptr : it->second;
}

extern "C" {

JNIEXPORT jlong JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_instantiate(JNIEnv*, jobject) {
    try {
        handle_registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        if (r.spare.empty()) {
            r.spare.reserve(r.made + 1);
            r.spare.push_back(new extractionhandle());
            ++r.made;
        }
        extractionhandle* h = r.spare.back();
        const jlong handle = handle_number(++r.serial);
        r.live.emplace(handle, h);
        r.spare.pop_back();
        h->number.store(handle, std::memory_order_relaxed);
        // Published last: a thread that finds a user also finds the number.
        h->users.store(extractionhandle::one_use, std::memory_order_release);
        return handle;
    } catch (...) {
        return 0;
    }
}

JNIEXPORT jint JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_open(JNIEnv* env, jobject, jlong handle,
                                                                             jstring juri, jintArray codes) {
    const handle_use use(env, handle);
    extractionhandle* h = use.get();
    if (!h)
        return -1;
    const std::unique_ptr<char, decltype(&std::free)> text(JNU_GetStringNativeChars(env, juri), &std::free);
    if (!text)
        return -1;
    try {
        const std::string uri = text.get();
        // A second open replaces what the first one built.
        if (h->cloud)
            h->cloud->setEnv(env);
        release(*h);

        set_connection(*h, std::shared_ptr<scanlib::basic_rconnection>(
                               scanlib::basic_rconnection::create_impl(uri, std::string(), std::string())));
        {
            // A delete that came before the connection was stored found
            // nothing to cancel: its open must not begin to wait.
            std::lock_guard<std::mutex> guard(h->connection_lock);
            if (use.gone())
                return -1;
        }
        h->connection->open();
        h->decoder = new scanlib::decoder_zpkmarker(*h->connection, true);
        h->writer = new handle_serializer(std::cout);
        const jsize n = codes ? env->GetArrayLength(codes) : 0;
        h->cloud = new mpc::mypointcloud(*h->writer, env);
        if (n > 0) {
            jint* values = env->GetIntArrayElements(codes, nullptr);
            if (!values)
                return -1;
            for (jsize i = 0; i < n; ++i)
                apply_export_code(*h->cloud, values[i]);
            env->ReleaseIntArrayElements(codes, values, JNI_ABORT);
        }
        h->opened = true;
        return use.gone() ? -1 : 0;
    } catch (...) {
        // Nothing may unwind into the virtual machine.
        return -1;
    }
}

JNIEXPORT jboolean JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_hasShot(JNIEnv* env, jobject,
                                                                                    jlong handle) {
    const handle_use use(env, handle);
    extractionhandle* h = use.get();
    if (!h || !h->opened || h->failed)
        return JNI_FALSE;
    // The end of the input may queue the last shots in the very call that
    // meets it: a host polling hasShot must still be told about them.
    return h->cloud->has_queued() || !h->decoder->input_ended ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jobject JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_getNextShot(JNIEnv* env, jobject,
                                                                                       jlong handle) {
    // Declared first, so the pull ends before the last use may release the cloud.
    const handle_use use(env, handle);
    extractionhandle* h = use.get();
    if (!h || !h->opened)
        return nullptr;
    mpc::mypointcloud& cloud = *h->cloud;
    // Host calls must use the calling thread's environment.
    cloud.setEnv(env);
    const pull_scope pulling(cloud);
    // Deleted meanwhile: the call ends as one on an unknown handle, and what it
    // built goes with the handle.
    auto gone = [&]() -> jobject {
        cloud.abandon_pull();
        return nullptr;
    };
    if (!cloud.has_queued()) {
        if (h->decoder->input_ended || h->failed)
            return nullptr;
        try {
            scanlib::basic_buffer<unsigned int*> packet;
            for (;;) {
                h->decoder->get(packet);
                if (!packet.empty()) {
                    try {
                        cloud.dispatch(packet.begin, packet.end);
                    } catch (std::range_error const&) {
                        // Too short for its layout, or a packed record cut
                        // inside, at the end of the input: a file still being
                        // written or a copy cut short. The cut packet is
                        // dropped, as a cut fixed-size one is.
                        if (!h->decoder->input_ended)
                            throw;
                    }
                }
                if (use.gone())
                    return gone();
                // A host exception raised while building a shot goes to the
                // host before anything else is read or handed out.
                if (cloud.host_failed())
                    return nullptr;
                // The end of the input ends the shot still open, as a stop
                // packet would: otherwise the last shot and its echoes are lost.
                if (h->decoder->input_ended && cloud.shot_pending) {
                    cloud.send_single_or_last();
                    if (cloud.host_failed())
                        return nullptr;
                }
                if (cloud.has_queued())
                    break;
                if (h->decoder->input_ended)
                    return nullptr;
            }
        } catch (std::exception const& e) {
            h->failed = true;
            if (use.gone())
                return gone();
            raise(env, e.what());
            return nullptr;
        } catch (...) {
            h->failed = true;
            if (use.gone())
                return gone();
            raise(env, "unknown failure while reading the scan");
            return nullptr;
        }
    }
    if (use.gone())
        return gone();
    return cloud.take_shot();
}

JNIEXPORT void JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_closeConnexion(JNIEnv* env, jobject,
                                                                                       jlong handle) {
    const handle_use use(env, handle);
    extractionhandle* h = use.get();
    if (!h || !h->connection)
        return;
    try {
        h->connection->close();
    } catch (std::exception const& e) {
        std::cout << "Cannot close zpk file: " << e.what() << std::endl;
    } catch (...) {
        std::cout << "Cannot close zpk file: unknown error" << std::endl;
    }
}

JNIEXPORT void JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_delete(JNIEnv* env, jobject,
                                                                               jlong handle) {
    extractionhandle* h = nullptr;
    {
        // Taken out of the registry first: of two deletes of one handle only
        // one goes on, and every call from now on finds the number unknown.
        handle_registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.live.find(handle);
        if (it == r.live.end())
            return;
        h = it->second;
        r.live.erase(it);
        h->number.store(0, std::memory_order_seq_cst);
    }
    // A call inside may wait on the network for ever: cancelling the
    // connection ends the wait, and the call returns and releases the members.
    // Calls waiting to enter wake when the registry's use goes below.
    if (h->users.load(std::memory_order_seq_cst) >= 2 * extractionhandle::one_use) {
        std::lock_guard<std::mutex> guard(h->connection_lock);
        if (h->connection) {
            try {
                h->connection->cancel();
            } catch (...) {
                // No memory to post the cancel: the call ends when its wait does.
            }
        }
    }
    // The registry's use: with no call inside, the members go now, through
    // this thread's environment; else the last call to return releases them.
    drop(*h, env, extractionhandle::one_use);
}

JNIEXPORT void JNICALL Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_afficherBonjour(JNIEnv*, jobject) {
    std::printf(" Bonjour\n ");
}

} // extern "C"
