// The read path with an override that writes back exactly what it took must
// deliver the source unchanged, however the source and the reads are cut, and
// run the override once for every header id that the framing delivers. An
// override that fails hands out the bytes up to its header's id and what it
// wrote, never what it only took, and then fails every read; a source that
// fails once fails the pass it fails under, and elsewhere passes its failure
// once and serves on. A seek to 0 reads the stream afresh.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <scanlib/connection.hpp>

#include "../scanlib/src/connection_internal.hpp"

namespace {

class source : public scanlib::basic_rconnection {
public:
    source(std::string data, std::size_t chunk, std::size_t fail_at)
        : basic_rconnection("{}"), data_(std::move(data)), chunk_(chunk), fail_at_(fail_at) {}

    void seekg(std::size_t pos) override {
        restart_at(pos);
        next_ = pos;
    }
    int failures = 0;

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        if (failures == 0 && next_ == fail_at_) {
            ++failures;
            throw std::runtime_error("source failed");
        }
        std::size_t k = std::min({n, chunk_, data_.size() - next_});
        if (failures == 0 && fail_at_ > next_) k = std::min(k, fail_at_ - next_);
        std::memcpy(buf, data_.data() + next_, k);
        next_ += k;
        eof = k == 0;
        return k;
    }

private:
    std::string data_;
    std::size_t chunk_, fail_at_, next_ = 0;
};

std::size_t take = 0;
bool fail = false;
int passes = 0;
// The pass that failed: what it wrote after the header's id, and its error.
bool pass_failed = false;
std::string written, pass_error;

// Ends of the explicit header ids in a framed stream, read apart from the
// library: the marker FFFFFFFF right before the id word 00010000, where the
// marker is neither escaped data nor a marker right after an arming one.
std::vector<std::size_t> header_id_ends(const std::string& b) {
    std::vector<std::size_t> ends;
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
            ends.push_back(i + 4);
        }
    }
    return ends;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t chunk = data[0] % 17 + 1, step = data[1] % 13 + 1;
    take = data[2] % 32;
    fail = data[2] & 32;
    // The source fails once, at an offset of up to 319 bytes.
    const std::size_t fail_at = data[2] & 64 ? data[0] / 17 * 20 + data[1] / 13 : static_cast<std::size_t>(-1);
    std::string bytes(reinterpret_cast<const char*>(data) + 3, size - 3);
    scanlib::detail::set_hreplace_hook([](std::shared_ptr<scanlib::basic_rconnection> in,
                                          std::shared_ptr<scanlib::basic_wconnection> out, const std::string&) {
        ++passes;
        std::string got(8 + take, '\0');
        try {
            in->read(got.data(), got.size());
        } catch (const std::runtime_error& e) {
            pass_failed = true;
            written.clear();
            pass_error = e.what();
            throw;
        }
        got.resize(in->gcount);
        if (fail) {
            // Half of what it took, then its failure.
            const std::size_t half = 8 + (got.size() - 8) / 2;
            out->write(got.data(), half);
            pass_failed = true;
            written = got.substr(8, half - 8);
            pass_error = "override failed";
            throw std::runtime_error(pass_error);
        }
        out->write(got.data(), got.size());
    });
    const std::vector<std::size_t> ends = header_id_ends(bytes);
    auto c = std::make_shared<source>(bytes, chunk, fail_at);
    for (int round = 0; round < 2; ++round) {
        passes = 0;
        pass_failed = false;
        const int source_failures = c->failures;
        std::string all;
        std::vector<std::string> errors;
        char buf[16];
        // Bounded: every call delivers bytes or the source's end is near.
        for (std::size_t calls = 0; calls < 4 * bytes.size() + 64; ++calls) {
            try {
                std::size_t k = c->readsome(buf, step);
                if (k == 0 && c->eof) break;
                all.append(buf, k);
            } catch (const std::runtime_error& e) {
                errors.push_back(e.what());
                if (pass_failed) break;
            }
        }
        const int failed_outside = c->failures - source_failures - (pass_failed && pass_error == "source failed");
        if (!pass_failed) {
            if (all != bytes || passes != static_cast<int>(ends.size())) std::abort();
            if (errors.size() != static_cast<std::size_t>(failed_outside)) std::abort();
        } else {
            // The failed pass is the last one; nothing came after what it wrote.
            if (passes < 1 || static_cast<std::size_t>(passes) > ends.size()) std::abort();
            if (fail && passes != 1) std::abort();
            if (all != bytes.substr(0, ends[passes - 1]) + written) std::abort();
            if (errors.size() != static_cast<std::size_t>(failed_outside) + 1 || errors.back() != pass_error)
                std::abort();
            // The stream stays failed, with the same error, until the seek.
            for (int again = 0; again < 2; ++again) {
                try {
                    c->readsome(buf, step);
                    std::abort();
                } catch (const std::runtime_error& e) {
                    if (e.what() != pass_error) std::abort();
                }
            }
        }
        c->seekg(0);
    }
    scanlib::detail::set_hreplace_hook(nullptr);
    return 0;
}
