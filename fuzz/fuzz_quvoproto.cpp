// The quvo protocol core fed with whatever a server might send after the
// request: a status line, chunk headers and data. It must fail only with its
// own errors, never deliver more than it received, and its line syntax must
// survive a round trip through compose.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "../scanlib/src/quvoproto.hpp"

using namespace scanlib::quvo;

namespace {

void check_round_trip(std::string_view line) {
    item_map items;
    parse(line, items);
    if (items.count("") && items.at("").empty())
        return;  // a bare empty key has no written form
    item_map again;
    if (parse(compose("W", items), again) != "W" || again != items)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    // The first byte chooses the continuation held and the read size.
    const bool held = data[0] & 1;
    const std::size_t read_size = std::size_t(data[0] >> 1) + 1;
    std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        protocol p("stream ", held ? "T:8" : "");
        if (p.request().back() != '\n')
            std::abort();
        std::string id;
        while (!in.empty() && p.state() != protocol::ended) {
            if (p.line_due()) {
                std::size_t lf = in.find('\n');
                std::string_view line = in.substr(0, lf == std::string_view::npos ? in.size() : lf + 1);
                in.remove_prefix(line.size());
                check_round_trip(line);
                std::string reply = p.on_line(line, id);
                if (!reply.empty() && (reply.rfind("ACKNOWLEDGE acknowledge-token=", 0) != 0 ||
                                       reply.find('\n') != reply.size() - 1))
                    std::abort();
            } else {
                std::size_t k = std::min(p.data_limit(read_size), in.size());
                if (k == 0 || k > read_size)
                    std::abort();
                if (!p.shutdown_requested() && (in.size() & 7) == 3)
                    p.request_shutdown();
                std::size_t d = p.on_data(reinterpret_cast<const unsigned char*>(in.data()), k);
                if (d > k)
                    std::abort();
                in.remove_prefix(k);
            }
        }
        const std::string c = p.continuation();
        if (c.rfind(':') == std::string::npos)
            std::abort();
    } catch (const std::runtime_error&) {
    }
    return 0;
}
