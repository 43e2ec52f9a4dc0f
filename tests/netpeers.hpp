#pragma once
// Peers for the network tests, written on plain POSIX sockets so that they
// share no code with the connections under test. Everything listens on or
// sends to 127.0.0.1 only, and every wait is bounded.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace netpeers {

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

// A one-shot signal between a test and a peer script.
class gate {
public:
    void open();
    bool wait(ms timeout = 5000ms);

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

class tcp_server;

// One accepted connection, handed to a script.
class tcp_peer {
public:
    tcp_peer(int fd, tcp_server& server) : fd_(fd), server_(server) {}
    ~tcp_peer();
    tcp_peer(const tcp_peer&) = delete;
    tcp_peer& operator=(const tcp_peer&) = delete;

    bool send(std::string_view bytes);
    bool send_line(std::string_view line) { return send(std::string(line) + '\n'); }
    // The next line (line feed removed), recorded in the server's log; empty
    // optional on timeout or when the client closed.
    std::optional<std::string> read_line(ms timeout = 5000ms);
    // Reads what has arrived, up to `max` bytes, without waiting; whole lines
    // are recorded. Returns the count read.
    std::size_t take(std::size_t max);
    // True when no byte arrives within `timeout` (the client stays silent).
    bool quiet_for(ms timeout);
    // True when the client closes its end within `timeout`.
    bool wait_closed(ms timeout = 5000ms);
    void close();  // orderly close (FIN)
    void reset();  // abortive close (RST)

private:
    int fd_;
    tcp_server& server_;
    std::string pending_;
};

// Accepts connections on 127.0.0.1 and runs script i on the i-th one. The
// connection is closed (FIN) when its script returns.
class tcp_server {
public:
    using script = std::function<void(tcp_peer&)>;
    explicit tcp_server(std::vector<script> scripts);
    ~tcp_server();
    tcp_server(const tcp_server&) = delete;
    tcp_server& operator=(const tcp_server&) = delete;

    unsigned short port() const { return port_; }
    // "quvo://127.0.0.1:PORT" followed by `rest` (path and query).
    std::string uri(std::string_view rest = "/") const;
    std::vector<std::string> lines() const;
    unsigned accepted() const { return accepted_; }
    // True when every script ran to its end within `timeout`.
    bool wait_done(ms timeout = 5000ms);
    bool stopping() const { return stop_; }

private:
    friend class tcp_peer;
    void record(std::string line);
    void serve();

    std::vector<script> scripts_;
    int listener_ = -1;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> accepted_{0};
    mutable std::mutex m_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::vector<std::string> lines_;
    std::thread thread_;
};

// A port on 127.0.0.1 that no socket holds right now.
unsigned short free_udp_port();
unsigned short free_tcp_port();

class udp_sender {
public:
    udp_sender();
    ~udp_sender();
    udp_sender(const udp_sender&) = delete;
    udp_sender& operator=(const udp_sender&) = delete;
    bool send(unsigned short port, std::string_view payload);

private:
    int fd_;
};

// A random byte string of length n.
std::string random_bytes(std::size_t n, unsigned seed);

} // namespace netpeers
