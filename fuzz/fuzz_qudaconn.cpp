// The UDP connection fed datagrams cut from the input, each one read before
// the next is sent so that the socket never drops one. The stream must be the
// preamble and then the payloads exactly, in reads of an input-chosen size; an
// empty datagram, a shutdown or a cancel ends it where they say; and no
// socket, descriptor or thread may stay behind.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <scanlib/connection.hpp>
#include <scanlib/quvoconn.hpp>
#include <scanlib/zpkmarker.hpp>

#include "../tests/netpeers.hpp"
#include "leakcheck.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const unsigned short port = netpeers::free_udp_port();
    static netpeers::udp_sender out;
    static const std::string uri = "quda://127.0.0.1:" + std::to_string(port);
    static const std::string preamble(reinterpret_cast<const char*>(scanlib::basic_zpkmarker::preamble),
                                      sizeof scanlib::basic_zpkmarker::preamble);
    const fuzzcheck::resources before;
    if (size < 3) return 0;

    const std::size_t read_size = std::size_t(data[0] & 63) * 3 + 1;
    const bool wide = data[0] & 64;  // two-byte datagram lengths
    const unsigned stop_at = data[1] & 31;  // datagram after which a shutdown or cancel comes
    const unsigned stop_how = data[1] >> 5;  // 0-5 none, 6 shutdown, 7 cancel
    const bool split_preamble = data[2] & 1;
    std::string_view in(reinterpret_cast<const char*>(data) + 3, size - 3);

    std::vector<std::string_view> datagrams;
    while (!in.empty() && datagrams.size() < 512) {
        std::size_t n = std::uint8_t(in[0]);
        in.remove_prefix(1);
        if (wide && !in.empty()) {
            n = n << 8 | std::uint8_t(in[0]);
            in.remove_prefix(1);
        }
        n = std::min(n, in.size());
        datagrams.push_back(in.substr(0, n));
        in.remove_prefix(n);
    }

    {
        std::shared_ptr<scanlib::basic_rconnection> c(
            scanlib::basic_rconnection::create_impl(uri, "ignored:1", ""));
        c->open();
        std::vector<char> buf(read_size);
        auto take = [&](std::size_t n) {
            std::string got;
            while (got.size() < n) {
                std::size_t k = c->readsome(buf.data(), std::min(buf.size(), n - got.size()));
                if (k == 0) std::abort();  // ended inside what was sent
                got.append(buf.data(), k);
            }
            return got;
        };
        if (split_preamble) {
            if (take(5) + take(preamble.size() - 5) != preamble) std::abort();
        } else if (take(preamble.size()) != preamble) {
            std::abort();
        }
        bool ended = false;
        for (std::size_t i = 0; i < datagrams.size() && !ended; ++i) {
            if (!out.send(port, datagrams[i])) std::abort();
            if (datagrams[i].empty()) {
                // An empty datagram ends the stream, and every read after it.
                if (c->readsome(buf.data(), buf.size()) != 0 || !c->eof) std::abort();
                ended = true;
                break;
            }
            std::string got = take(std::min(datagrams[i].size(), buf.size()));
            if (i == stop_at && stop_how == 6) {
                c->request_shutdown();
                got += take(datagrams[i].size() - got.size());
                if (c->readsome(buf.data(), buf.size()) != 0 || !c->eof) std::abort();
                ended = true;
            } else if (i == stop_at && stop_how == 7) {
                c->cancel();
                try {
                    c->readsome(buf.data(), buf.size());
                    std::abort();
                } catch (const scanlib::cancelled&) {
                }
                break;
            } else {
                got += take(datagrams[i].size() - got.size());
            }
            if (got != datagrams[i]) std::abort();
        }
        if (!ended) {
            try {
                c->close();
                c->readsome(buf.data(), buf.size());
                std::abort();  // a closed socket delivers nothing more
            } catch (const std::runtime_error&) {
            }
        }
    }
    if (!fuzzcheck::back_to(before)) {
        std::fprintf(stderr, "descriptors or threads left behind\n");
        std::abort();
    }
    return 0;
}
