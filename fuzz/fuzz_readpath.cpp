// The read path with an override that writes back exactly what it took must
// deliver the source unchanged, however the source and the reads are cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t chunk = data[0] % 17 + 1, step = data[1] % 13 + 1;
    take = data[2] % 32;
    std::string bytes(reinterpret_cast<const char*>(data) + 3, size - 3);
    scanlib::detail::set_hreplace_hook([](std::shared_ptr<scanlib::basic_rconnection> in,
                                          std::shared_ptr<scanlib::basic_wconnection> out, const std::string&) {
        std::string got(8 + take, '\0');
        in->read(got.data(), got.size());
        out->write(got.data(), in->gcount);
    });
    auto c = std::make_shared<source>(bytes, chunk);
    std::string all;
    char buf[16];
    try {
        for (;;) {
            std::size_t k = c->readsome(buf, step);
            if (k == 0 && c->eof) break;
            all.append(buf, k);
        }
    } catch (const std::runtime_error&) {
        // the stream ended inside the override's read
    }
    scanlib::detail::set_hreplace_hook(nullptr);
    if (bytes.compare(0, all.size(), all) != 0) std::abort();
    return 0;
}
