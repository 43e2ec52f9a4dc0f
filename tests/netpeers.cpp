#include "netpeers.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <stdexcept>

namespace netpeers {

namespace {

sockaddr_in loopback(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

unsigned short bound_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("netpeers: getsockname");
    return ntohs(a.sin_port);
}

// Waits for input on fd in short slices so that a stopping server is noticed.
// 1 = readable, 0 = timeout or stop.
int wait_readable(int fd, ms timeout, const std::atomic<bool>* stop) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (stop && *stop)
            return 0;
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return 0;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, int(std::min<long long>(left.count(), 20)));
        if (r > 0)
            return 1;
        if (r < 0 && errno != EINTR)
            return 0;
    }
}

unsigned short free_port(int type) {
    int fd = ::socket(AF_INET, type, 0);
    auto a = loopback(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("netpeers: cannot bind a free port");
    unsigned short port = bound_port(fd);
    ::close(fd);
    return port;
}

} // namespace

void gate::open() {
    std::lock_guard lock(m_);
    open_ = true;
    cv_.notify_all();
}

bool gate::wait(ms timeout) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return open_; });
}

tcp_peer::~tcp_peer() { close(); }

bool tcp_peer::send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return fd_ >= 0;
}

std::optional<std::string> tcp_peer::read_line(ms timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0) {
        if (auto lf = pending_.find('\n'); lf != std::string::npos) {
            std::string line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            server_.record(line);
            return line;
        }
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        if (wait_readable(fd_, left, &server_.stop_) != 1)
            return std::nullopt;
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            return std::nullopt;
        pending_.append(buf, std::size_t(n));
    }
    return std::nullopt;
}

std::size_t tcp_peer::take(std::size_t max) {
    std::size_t taken = 0;
    char buf[4096];
    while (fd_ >= 0 && taken < max) {
        ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, max - taken), MSG_DONTWAIT);
        if (n <= 0)
            break;
        taken += std::size_t(n);
        pending_.append(buf, std::size_t(n));
    }
    for (auto lf = pending_.find('\n'); lf != std::string::npos; lf = pending_.find('\n')) {
        server_.record(pending_.substr(0, lf));
        pending_.erase(0, lf + 1);
    }
    return taken;
}

bool tcp_peer::quiet_for(ms timeout) {
    if (fd_ < 0 || !pending_.empty())
        return pending_.empty();
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, int(timeout.count())) == 0;
}

bool tcp_peer::wait_closed(ms timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0) {
        auto left = std::chrono::duration_cast<ms>(deadline - std::chrono::steady_clock::now());
        if (wait_readable(fd_, left, &server_.stop_) != 1)
            return false;
        char buf[4096];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
        pending_.append(buf, std::size_t(n));
        // Lines that arrive meanwhile are recorded all the same.
        for (auto lf = pending_.find('\n'); lf != std::string::npos; lf = pending_.find('\n')) {
            server_.record(pending_.substr(0, lf));
            pending_.erase(0, lf + 1);
        }
    }
    return true;
}

void tcp_peer::close() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_WR);
        ::close(fd_);
        fd_ = -1;
    }
}

void tcp_peer::reset() {
    if (fd_ >= 0) {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd_);
        fd_ = -1;
    }
}

tcp_server::tcp_server(std::vector<script> scripts) : scripts_(std::move(scripts)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    auto a = loopback(0);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 8) != 0)
        throw std::runtime_error("netpeers: cannot listen on 127.0.0.1");
    port_ = bound_port(listener_);
    thread_ = std::thread([this] { serve(); });
}

tcp_server::~tcp_server() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

std::string tcp_server::uri(std::string_view rest) const {
    return "quvo://127.0.0.1:" + std::to_string(port_) + std::string(rest);
}

std::vector<std::string> tcp_server::lines() const {
    std::lock_guard lock(m_);
    return lines_;
}

void tcp_server::record(std::string line) {
    std::lock_guard lock(m_);
    lines_.push_back(std::move(line));
}

bool tcp_server::wait_done(ms timeout) {
    std::unique_lock lock(m_);
    return done_cv_.wait_for(lock, timeout, [&] { return done_; });
}

void tcp_server::serve() {
    for (auto& s : scripts_) {
        // A script waits at most 20 s for its client; the test is bounded anyway.
        if (wait_readable(listener_, 20000ms, &stop_) != 1)
            return;
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0)
            return;
        ++accepted_;
        tcp_peer peer(fd, *this);
        s(peer);
    }
    std::lock_guard lock(m_);
    done_ = true;
    done_cv_.notify_all();
}

unsigned short free_udp_port() { return free_port(SOCK_DGRAM); }
unsigned short free_tcp_port() { return free_port(SOCK_STREAM); }

udp_sender::udp_sender() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    if (fd_ < 0)
        throw std::runtime_error("netpeers: udp socket");
    int size = 1 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

udp_sender::~udp_sender() { ::close(fd_); }

bool udp_sender::send(unsigned short port, std::string_view payload) {
    auto a = loopback(port);
    return ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           ssize_t(payload.size());
}

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = char(gen() & 0xFF);
    return s;
}

} // namespace netpeers
