// Arbitrary packets dispatched into a point cloud: only the documented
// exceptions may leave it, and nothing may crash, read out of bounds or leak.
//
// Input: one flag byte (bit 0: PPS time, bit 1: write the meta information at
// the end), then packets, each a length byte n followed by n words (id header
// included; short input is zero-filled).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <scanlib/pointcloud.hpp>
#include <scanlib/scanexcept.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint8_t flags = data[0];
    std::size_t at = 1;
    std::ostringstream csv;
    scanlib::pointcloud pc(csv, flags & 1);
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
