// The UDP connection fed datagrams cut from the input, each one read before
// the next is sent so that the socket never drops one. The stream must be the
// preamble and then the payloads exactly, in reads of an input-chosen size; an
// empty datagram, a shutdown or a cancel ends it where they say; and no
// socket, descriptor or thread may stay behind.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

namespace {

int count_entries(const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

sockaddr_in loopback(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A UDP port on 127.0.0.1 for the connection to bind, and a socket to send from.
struct sender {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unsigned short port = 0;

    sender() {
        int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        if (fd < 0 || probe < 0 || ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            std::abort();
        port = ntohs(a.sin_port);
        ::close(probe);
    }
    void send(std::string_view payload) const {
        sockaddr_in a = loopback(port);
        if (::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) !=
            ssize_t(payload.size()))
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const sender out;
    static const std::string uri = "quda://127.0.0.1:" + std::to_string(out.port);
    static const std::string preamble(reinterpret_cast<const char*>(scanlib::basic_zpkmarker::preamble),
                                      sizeof scanlib::basic_zpkmarker::preamble);
    const int fds_before = count_entries("/proc/self/fd");
    const int threads_before = count_entries("/proc/self/task");
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
            out.send(datagrams[i]);
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
    if (count_entries("/proc/self/fd") != fds_before || count_entries("/proc/self/task") != threads_before) {
        std::fprintf(stderr, "descriptors or threads left behind\n");
        std::abort();
    }
    return 0;
}
