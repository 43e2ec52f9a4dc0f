// The host binding from packets to Shot objects, through the recording
// stand-in for the host's native interface: whatever the stream, the export
// codes and the host's failures, no host call runs while a host exception is
// pending, no dead reference is used, a call leaves at most 16 local
// references, and delete releases every global reference.
//
// Input: a flag byte (bits 0-3: export codes 2, 3, 4, 5; bit 4: the host polls
// hasShot; bit 5: no Shot class; bit 6: setTimes throws), a byte giving the
// host allocations that succeed before one fails (255: none fails), then the
// framed byte stream. The handle is filled as open fills it, but over the
// input in memory: a file per input would cost more than the rest.
#include "fake_jni.hpp"
#include "fastserializer.hpp"
#include "mypointcloud.hpp"
#include "ostrandlibrary.hpp"
#include "varenquefilter.hpp"

#include <scanlib/connection.hpp>
#include <scanlib/zpkmarker.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace {

// The input's stream, handed out in reads of up to 1000 bytes.
class memory_source : public scanlib::basic_rconnection {
public:
    memory_source(std::uint8_t const* data, std::size_t size)
        : basic_rconnection(std::string()), data(data), size(size) {}

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        const std::size_t k = std::min({n, std::size_t(1000), size - at});
        std::memcpy(buf, data + at, k);
        at += k;
        if (k == 0)
            eof = true;
        return k;
    }

private:
    std::uint8_t const* data;
    std::size_t size, at = 0;
};

void check(bool ok, char const* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_binding: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    // The binding's one line on standard output ("Finding Shot class failed")
    // would fill the log.
    static bool quiet = (std::cout.rdbuf(nullptr), true);
    (void)quiet;
    const std::uint8_t flags = data[0];
    fake::world w;
    w.record_calls = false;
    if (flags & 0x20)
        w.missing_classes.insert("fr/belcour/quillet/io/tls/zpk/Shot");
    if (flags & 0x40)
        w.throwing_methods.insert("setTimes");
    JNIEnv* env = &w.env;
    static mpc::varenquefilter keep_all;
    const jlong h = Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_instantiate(env, nullptr);
    check(h != 0, "no handle");
    std::size_t exports = 0;
    {
        // What open builds, in its order.
        extractionhandle* record = find_extractionhandle(h);
        check(record != nullptr, "the new handle is not live");
        auto& handle = *record;
        handle.connection = std::make_shared<memory_source>(data + 2, size - 2);
        handle.decoder = new scanlib::decoder_zpkmarker(*handle.connection, true);
        handle.writer = new mpc::FastSerializer(std::cout, keep_all);
        handle.cloud = new mpc::mypointcloud(*handle.writer, env);
        handle.cloud->setExportReflectance(flags & 1);
        handle.cloud->setExportDeviation(flags & 2);
        handle.cloud->setExportAmplitude(flags & 4);
        handle.cloud->setExportTime(flags & 8);
        exports = static_cast<std::size_t>(__builtin_popcount(flags & 15));
        handle.opened = true;
    }
    w.allocations_left = data[1] == 255 ? -1 : data[1];
    const bool poll = flags & 0x10;
    // Every call hands out a queued shot, reads a packet, or ends.
    for (std::size_t calls = 0; calls <= 2 * size + 16; ++calls) {
        if (poll && !Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_hasShot(env, nullptr, h))
            break;
        const std::size_t start = w.frame_start();
        jobject shot = Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_getNextShot(env, nullptr, h);
        check(w.frame_end(start, shot) <= 16, "more than 16 local references left to the return");
        if (!w.pending.empty()) {
            check(shot == nullptr, "a shot handed out with a host exception pending");
            w.pending.clear(); // the host has seen it
            continue;
        }
        if (!shot) {
            if (poll)
                continue;
            break;
        }
        fake::object const& s = fake::world::obj(shot);
        check(s.type == "Shot" && s.count >= 0 && s.count <= 7, "not a shot of 0 to 7 echoes");
        check(s.ranges.size() == static_cast<std::size_t>(s.count), "ranges do not match the echo count");
        check(s.setters.size() == exports, "a setter missing or repeated");
        w.of(shot).live = false; // the host drops it
    }
    Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_closeConnexion(env, nullptr, h);
    w.pending.clear();
    Java_fr_belcour_quillet_io_tls_zpk_ZpkExtraction_delete(env, nullptr, h);
    check(w.live(true) == 0, "a global reference outlives delete");
    check(w.live(false) == 0, "a local reference outlives its call");
    check(w.misuses.empty(), "a dead reference used or released");
    check(w.pending_violations.empty(), "a host call made with a host exception pending");
    return 0;
}
