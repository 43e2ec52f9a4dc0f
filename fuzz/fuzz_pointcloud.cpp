// Arbitrary packets dispatched into a point cloud: only the documented
// exceptions may leave it, and nothing may crash, read out of bounds or leak.
// Without PPS time every shot reports each of its targets once, in order:
// one single or pseudo echo, or first, interior ones and last. (A dynamic
// trigger table that arrives inside a shot reports the shot's targets again
// at its end, so such shots are not checked.)
//
// Input: one flag byte (bit 0: PPS time, bit 1: write the meta information at
// the end, bit 2: pretty), then packets, each a length byte n followed by n
// words (id header included; short input is zero-filled).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <scanlib/pointcloud.hpp>
#include <scanlib/scanexcept.hpp>

namespace {

class checked_cloud : public scanlib::pointcloud {
public:
    checked_cloud(std::ostream& csv, bool pps) : basic_packets(scanlib::select_all), pointcloud(csv, pps) {}

    void on_shot() override {
        // The previous shot was closed before this one opened.
        if (shot_target_count != 0)
            std::abort();
        reports.clear();
        dyntrig_at_open = dyntrig_valid;
    }
    void on_echo_transformed(echo_type type) override {
        if (shot_target_count == 0)
            std::abort(); // a report names the target at shot_target_count - 1
        reports.push_back({type, shot_target_count - 1});
        pointcloud::on_echo_transformed(type);
    }
    void on_shot_end() override {
        if (!pps_time && dyntrig_valid == dyntrig_at_open)
            check();
        reports.clear();
    }

private:
    struct report {
        echo_type type;
        std::uint64_t index;
    };

    void check() const {
        const std::uint64_t n = shot_target_count;
        if (reports.size() != n)
            std::abort();
        for (std::uint64_t i = 0; i < n; ++i) {
            const echo_type t = reports[i].type;
            const bool ok = n == 1 ? (t == single || t == pseudo)
                            : i == 0     ? t == first
                            : i == n - 1 ? t == last
                                         : t == interior;
            if (!ok || reports[i].index != i)
                std::abort();
        }
    }

    std::vector<report> reports;
    bool dyntrig_at_open = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint8_t flags = data[0];
    std::size_t at = 1;
    std::ostringstream csv;
    checked_cloud pc(csv, flags & 1);
    std::vector<unsigned int> words;
    while (at < size) {
        const std::size_t n = data[at++];
        if (n == 0)
            continue;
        words.assign(n, 0u);
        const std::size_t bytes = std::min(n * 4, size - at);
        std::memcpy(words.data(), data + at, bytes);
        at += bytes;
        try {
            pc.dispatch(words.data(), words.data() + words.size());
        } catch (scanlib::scanlib_exception const&) {
            // refused geometry, inconsistent notch tables
        } catch (std::runtime_error const&) {
            // short sequences (range_error), measurement parameters (property
            // tree errors), scan mechanism descriptions, packed data
        }
    }
    if (flags & 2) {
        std::ostringstream os;
        try {
            pc.write_meta(os, flags & 4);
        } catch (scanlib::scanlib_exception const&) {
        } catch (std::runtime_error const&) {
        }
    }
    return 0;
}
