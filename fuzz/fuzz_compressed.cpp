// Arbitrary packed bodies into one compressed_packets visitor: only the
// decoders' documented errors may come out, and nothing may read outside a
// packet.
//
// Input: packets one after the other, each a type byte (which packed id), a
// length byte (body words) and the body's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <scanlib/compressed.hpp>
#include <scanlib/scanexcept.hpp>

namespace {

constexpr unsigned ids[16][2] = {{45, 0}, {46, 0}, {47, 0}, {48, 0}, {51, 0}, {52, 0},  {63, 0},  {64, 0},
                                 {65, 0}, {66, 0}, {86, 0}, {92, 0}, {93, 0}, {108, 0}, {109, 0}, {63, 1}};

bool documented(const std::exception& e) {
    const std::string m = e.what();
    if (dynamic_cast<const std::range_error*>(&e))
        return m == "Missing data for sequence." || m.rfind("Truncated subpackage v", 0) == 0;
    for (const char* p : {"Unknown subpackage v2: ", "Unknown subpackage v3: ", "Truncated subpackage v2: ",
                          "Truncated subpackage v3: "})
        if (m.rfind(p, 0) == 0)
            return true;
    return false;
}

// Reads every word of every view it is handed, so an unpacked packet that
// pointed outside the buffer would show under the sanitizer.
class reader : public scanlib::compressed_packets {
public:
    explicit reader(bool skip) : compressed_packets(skip) {}
    using it = scanlib::basic_packets::iterator;
    void on_echo(scanlib::echo<it> const& p) override {
        sink += static_cast<unsigned>(p.range) + static_cast<unsigned>(p.deviation);
    }
    void on_laser_shot(scanlib::laser_shot<it> const& p) override { sink += p.time; }
    void on_laser_shot_2angles_rad(scanlib::laser_shot_2angles_rad<it> const& p) override { sink += p.background; }
    void on_laser_shot_2angles_hr(scanlib::laser_shot_2angles_hr<it> const& p) override {
        sink += static_cast<unsigned>(p.time) + p.frame_angle;
    }
    void on_sbl_dg_channel_header_1(scanlib::sbl_dg_channel_header_1<it> const& p) override {
        for (std::int64_t i = 0; i < p.channels.size(); ++i)
            sink += p.channels[static_cast<std::size_t>(i)].f1;
    }
    void on_sbl_dg_channel_data_compressed(scanlib::sbl_dg_channel_data_compressed<it> const& p) override {
        for (std::int64_t i = 0; i < p.samples.size(); ++i)
            sink += p.samples[static_cast<std::size_t>(i)].sample;
    }
    unsigned sink = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    reader r((data[0] & 0x80) != 0);
    r.strict = (data[0] & 0x40) != 0;
    std::size_t pos = 1;
    while (pos + 2 <= size) {
        const auto* id = ids[data[pos] & 15];
        const std::size_t want = data[pos + 1];
        pos += 2;
        const std::size_t n = std::min(want, (size - pos) / 4);
        // The packet gets a heap block of its exact size.
        std::vector<unsigned int> p(2 + n);
        p[0] = 0xFFFFFFFFu;
        p[1] = id[0] << 16 | id[1];
        if (n)
            std::memcpy(p.data() + 2, data + pos, n * 4);
        pos += n * 4;
        try {
            r.dispatch(p.data(), p.data() + p.size());
        } catch (const scanlib::packet_error&) {
            if (!r.strict)
                std::abort();
        } catch (const std::exception& e) {
            if (!documented(e))
                std::abort();
        }
    }
    return 0;
}
