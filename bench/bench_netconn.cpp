// Throughput of quvo_rconnection over loopback: plain streams and chunked
// streams with small and large chunks, read in small and large calls. The
// server is a plain POSIX thread that repeats one prepared block forever.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <scanlib/connection.hpp>

namespace {

class endless_server {
public:
    // `head` is sent once after the request line, then `block` over and over.
    endless_server(std::string head, std::string block) : head_(std::move(head)), block_(std::move(block)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 1);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~endless_server() {
        thread_.join();
        ::close(listener_);
    }
    std::string uri() const { return "quvo://127.0.0.1:" + std::to_string(port_) + "/bench"; }

private:
    void serve() {
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0)
            return;
        char c;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\n') {
        }
        bool ok = ::send(fd, head_.data(), head_.size(), MSG_NOSIGNAL) == ssize_t(head_.size());
        while (ok)  // until the client goes away
            ok = ::send(fd, block_.data(), block_.size(), MSG_NOSIGNAL) > 0;
        ::close(fd);
    }

    std::string head_, block_;
    int listener_;
    unsigned short port_ = 0;
    std::thread thread_;
};

void quvo_read(benchmark::State& state, bool chunked) {
    const std::size_t chunk = static_cast<std::size_t>(state.range(0));
    const std::size_t read_size = static_cast<std::size_t>(state.range(1));
    std::string block;
    if (chunked) {
        // Every chunk has a header, and every fourth asks for an acknowledgement.
        for (int i = 0; i < 4; ++i)
            block += std::to_string(chunk) + (i == 0 ? " acknowledge-token=t" : "") + "\n" +
                     std::string(chunk, char(0x5A));
    } else {
        block.assign(1 << 18, char(0x5A));
    }
    std::string head = chunked ? "FILE encoding=chunked\n" : "FILE encoding=plain\n";
    endless_server server(head, block);
    std::vector<char> buf(read_size);
    std::size_t total = 0;
    {
        std::shared_ptr<scanlib::basic_rconnection> c(
            scanlib::basic_rconnection::create_impl(server.uri(), "", ""));
        c->open();
        for (auto _ : state)
            total += c->readsome(buf.data(), buf.size());
        c->close();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(total));
}

BENCHMARK_CAPTURE(quvo_read, plain, false)->Args({0, 4096})->Args({0, 65536})->UseRealTime();
BENCHMARK_CAPTURE(quvo_read, chunked, true)
    ->Args({1024, 4096})
    ->Args({65536, 4096})
    ->Args({65536, 65536})
    ->UseRealTime();

} // namespace
