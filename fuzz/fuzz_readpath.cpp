// The read path with an override that writes back exactly what it took must
// deliver the source unchanged, however the source and the reads are cut, and
// run the override once for every header id that the framing delivers. An
// override that fails after taking its bytes loses none of them: its error
// comes right after them, and the rest of the source follows unwatched.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <scanlib/connection.hpp>

#include "../scanlib/src/connection_internal.hpp"

namespace {

class source : public scanlib::basic_rconnection {
public:
    source(std::string data, std::size_t chunk) : basic_rconnection("{}"), data_(std::move(data)), chunk_(chunk) {}

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        std::size_t k = std::min({n, chunk_, data_.size() - next_});
        std::memcpy(buf, data_.data() + next_, k);
        next_ += k;
        if (k == 0) eof = true;
        return k;
    }

private:
    std::string data_;
    std::size_t chunk_;
    std::size_t next_ = 0;
};

std::size_t take = 0;
bool fail = false;
int passes = 0;

// Explicit header ids in a framed stream, read apart from the library: the
// marker FFFFFFFF right before the id word 00010000, where the marker is
// neither escaped data nor a marker right after an arming one. `first_end`
// gets the offset after the first one.
int header_ids(const std::string& b, std::size_t& first_end) {
    int n = 0;
    bool in_packet = false, escaped = false, armed = false;
    for (std::size_t i = 0; i + 4 <= b.size(); i += 4) {
        std::uint32_t w = 0;
        for (int k = 3; k >= 0; --k) w = w << 8 | static_cast<unsigned char>(b[i + k]);
        const bool after_marker = armed;
        armed = false;
        if (escaped) {
            escaped = false;
        } else if (w > 0xFFFFFF00u) {
            in_packet = true;
            armed = w == 0xFFFFFFFFu && !after_marker;
        } else if (w == 0xFFFFFF00u) {
            escaped = in_packet;
        } else if (after_marker && w == 0x00010000u) {
            if (n++ == 0) first_end = i + 4;
        }
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t chunk = data[0] % 17 + 1, step = data[1] % 13 + 1;
    take = data[2] % 32;
    fail = data[2] & 32;
    passes = 0;
    std::string bytes(reinterpret_cast<const char*>(data) + 3, size - 3);
    scanlib::detail::set_hreplace_hook([](std::shared_ptr<scanlib::basic_rconnection> in,
                                          std::shared_ptr<scanlib::basic_wconnection> out, const std::string&) {
        ++passes;
        std::string got(8 + take, '\0');
        in->read(got.data(), got.size());
        if (fail) throw std::runtime_error("override failed");
        out->write(got.data(), in->gcount);
    });
    auto c = std::make_shared<source>(bytes, chunk);
    std::string all;
    char buf[16];
    int failures = 0;
    std::size_t failed_at = 0;
    // Bounded: every call delivers bytes or the source's end is near.
    for (std::size_t calls = 0; calls < 4 * bytes.size() + 64; ++calls) {
        try {
            std::size_t k = c->readsome(buf, step);
            if (k == 0 && c->eof) break;
            all.append(buf, k);
        } catch (const std::runtime_error&) {
            ++failures;
            failed_at = all.size();
        }
    }
    scanlib::detail::set_hreplace_hook(nullptr);
    if (all != bytes) std::abort();
    std::size_t first_end = 0;
    const int ids = header_ids(bytes, first_end);
    if (!fail && (failures != 0 || passes != ids)) std::abort();
    if (fail && (failures != (ids > 0) || passes != (ids > 0))) std::abort();
    // The failure comes right after the id and the bytes the override took.
    if (fail && ids > 0 && failed_at != std::min(first_end + take, bytes.size())) std::abort();
    return 0;
}
