#include <scanlib/quvoconn.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#if defined(__linux__)
#include <sys/ioctl.h>
#endif

#include "connection_internal.hpp"
#include "quvoproto.hpp"

namespace scanlib {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

cancelled::cancelled() : std::runtime_error("Operation canceled") {}

namespace {

std::string error_text(const std::string& context, int value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, ", code: %d", value);
    return context + buf;
}

bool is_os_error(const error_code& ec) { return ec.category() == boost::system::system_category(); }

// Operating-system errors leave the public operations as std::system_error,
// other Boost errors as plain Boost errors; everything else passes unchanged.
template <class F>
decltype(auto) converting(F&& f) {
    try {
        return f();
    } catch (const quvoconn_error& e) {
        if (is_os_error(e.code()))
            throw std::system_error(e.code().value(), std::system_category(), e.what());
        throw boost::system::system_error(e.code(), e.context());
    } catch (const boost::system::system_error& e) {
        if (is_os_error(e.code()))
            throw std::system_error(e.code().value(), std::system_category(), e.what());
        throw;
    }
}

} // namespace

quvoconn_error::quvoconn_error(const error_code& code, const std::string& context)
    : boost::system::system_error(code, context), context_(context), text_(error_text(context, code.value())) {}

quvoconn_error::~quvoconn_error() = default;

const char* quvoconn_error::what() const noexcept { return text_.c_str(); }

struct quvo_rconnection::impl {
    impl(quvo_rconnection& owner, const uri& u, const std::string& continuation);
    ~impl();

    std::size_t read(void* buf, std::size_t n);
    void open();
    void close();
    void retry_open(error_code last);

    void run();
    template <class Done>
    void run_until(Done done);
    void run_posted();
    void throw_send_error();
    void wait(unsigned seconds);
    void resolve();
    void connect(const tcp::endpoint& endpoint);
    void drop_connection();
    void send(const std::string& text);
    void send_async(const std::string& text);
    void send_ack(const std::string& text);
    bool hold_back(std::size_t need);
    bool server_took_more();
    void arm_stall_timer();
    void start_write();
    void flush_writes();
    std::string receive();
    void fill();
    std::size_t read_data(void* buf, std::size_t limit);
    void socket_read(void* buf, std::size_t n);

    void handle_cancel();

    quvo_rconnection& owner;
    std::string host = "127.0.0.1";
    std::string service = "20001";
    quvo::protocol proto;
    bool is_cancelled = false;
    std::atomic<bool> posted{false};  // a cancel or shutdown handler waits in the queue
    unsigned failures = 0;            // re-connect attempts since data last came

    asio::io_context io;  // declared before the objects that live on it
    tcp::resolver resolver{io};
    tcp::socket socket{io};
    asio::deadline_timer timer{io};
    tcp::resolver::results_type endpoints;

    // Result of the step being waited for, stored by its completion handler.
    error_code step_error;
    std::size_t step_count = 0;
    bool step_done = false;

    // Bytes received but not yet taken: lines are read through this buffer.
    static constexpr std::size_t rx_capacity = 16384;
    std::unique_ptr<char[]> rx{new char[rx_capacity]};
    std::size_t rx_begin = 0, rx_end = 0;

    // Outgoing lines: written from the front while more join at the back.
    quvo::send_queue out;
    bool writing = false;
    unsigned generation = 0;  // of the socket connection; stale write completions are ignored
    std::uint64_t handed_to_socket = 0;  // bytes written on this socket connection
    error_code send_error;

    // Holding back at the acknowledgement bound.
    using clock = std::chrono::steady_clock;
    asio::steady_timer stall_timer{io};
    clock::time_point ack_progress;  // when the server last took acknowledgement bytes
    std::uint64_t server_took = 0;   // of handed_to_socket, at that time or later
    bool holding = false;
    bool ack_stalled = false;   // it took none for the stall time: the read fails
    bool acks_stopped = false;  // a stall or a shutdown: no more acknowledgements are queued
};

namespace {

std::string command_text(const uri& u) {
    std::string_view path = u.path;
    if (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    return std::string(path) + ' ' + u.query;
}

} // namespace

quvo_rconnection::impl::impl(quvo_rconnection& owner_, const uri& u, const std::string& continuation)
    : owner(owner_), proto(command_text(u), continuation) {
    if (!u.authority.empty()) {
        auto colon = u.authority.find(':');
        if (colon == std::string::npos) {
            host = u.authority;
        } else {
            host = u.authority.substr(0, colon);
            service = u.authority.substr(colon + 1);
        }
    }
    detail::check_address(host, service);
}

quvo_rconnection::impl::~impl() {
    error_code ec;
    socket.close(ec);
    timer.cancel(ec);
    stall_timer.cancel(ec);
    resolver.cancel();
}

// Runs the event loop on this thread until the step waited for is complete.
// An acknowledgement still being written does not hold the step up: its
// completion is handled in a later wait.
template <class Done>
void quvo_rconnection::impl::run_until(Done done) {
    run_posted();  // a cancel posted before this wait began ends it here
    io.restart();
    while (!done() && io.run_one() != 0) {
    }
    // A cancel that arrives during this wait aborts the step, which fails with
    // its own error; only the next wait throws `cancelled`.
}

// A failed write surfaces at the next wait that brings no data, so that what
// the server sent before the connection broke is delivered first.
void quvo_rconnection::impl::throw_send_error() {
    if (send_error) {
        error_code ec = send_error;
        send_error = {};
        throw quvoconn_error(ec, "handle_send");
    }
}

// The steps: each starts one operation whose handler stores its result and
// sets step_done.
void quvo_rconnection::impl::run() {
    run_until([this] { return step_done; });
    throw_send_error();
}

// Runs the cancel and shutdown handlers that another thread posted, also when
// the next bytes come from the buffer and no wait would run them.
void quvo_rconnection::impl::run_posted() {
    if (posted.exchange(false, std::memory_order_acquire)) {
        io.restart();
        io.poll();
    }
    if (is_cancelled)
        throw cancelled();
}

void quvo_rconnection::impl::wait(unsigned seconds) {
    timer.expires_from_now(boost::posix_time::milliseconds(std::int64_t(seconds) * quvo::retry_second_ms));
    step_done = false;
    timer.async_wait([this](const error_code& ec) {
        step_error = ec;
        step_done = true;
    });
    run();
    if (step_error)
        throw quvoconn_error(step_error, "handle_wait");
}

void quvo_rconnection::impl::resolve() {
    step_done = false;
    resolver.async_resolve(host, service, tcp::resolver::address_configured,
                           [this](const error_code& ec, tcp::resolver::results_type r) {
                               step_error = ec;
                               if (!ec)
                                   endpoints = std::move(r);
                               step_done = true;
                           });
    run();
    if (step_error)
        throw quvoconn_error(step_error, "handle_resolve");
    if (endpoints.empty())
        throw quvoconn_error(asio::error::host_not_found, "handle_resolve");
}

void quvo_rconnection::impl::connect(const tcp::endpoint& endpoint) {
    if (!socket.is_open())
        socket.open(endpoint.protocol());
    step_done = false;
    socket.async_connect(endpoint, [this](const error_code& ec) {
        step_error = ec;
        step_done = true;
    });
    run();
    if (step_error)
        throw quvoconn_error(step_error, "handle_connect");
}

// Forgets the socket connection: what it buffered and what it still had to send.
void quvo_rconnection::impl::drop_connection() {
    error_code ignored;
    socket.close(ignored);
    rx_begin = rx_end = 0;
    out.clear();
    writing = false;
    send_error = {};
    handed_to_socket = 0;
    server_took = 0;
    ++generation;
}

void quvo_rconnection::impl::send_async(const std::string& text) {
    out.append(text);
    if (writing)
        flush_writes();
    if (!writing)
        start_write();
}

// Handles the completions of writes that are already done, so that queued
// lines follow at once instead of at the next wait.
void quvo_rconnection::impl::flush_writes() {
    io.restart();
    io.poll();
}

// Writes by parts, so that the bytes the server takes are seen as they go.
void quvo_rconnection::impl::start_write() {
    writing = true;
    std::string_view next = out.front();
    socket.async_write_some(asio::buffer(next.data(), next.size()),
                            [this, gen = generation](const error_code& ec, std::size_t n) {
                                if (gen != generation)
                                    return;
                                writing = false;
                                if (ec) {
                                    if (!send_error)
                                        send_error = ec;
                                    return;
                                }
                                out.consume(n);
                                handed_to_socket += n;
                                if (holding)
                                    ack_progress = clock::now();
                                if (!out.empty())
                                    start_write();
                            });
}

// A socket write completes only once the kernel has room for a good part of
// its buffer, which a slowly reading server frees long after it began to
// read: what the peer took is what left the socket's unsent queue.
bool quvo_rconnection::impl::server_took_more() {
#if defined(__linux__) && defined(TIOCOUTQ)
    int unsent = 0;
    if (::ioctl(socket.native_handle(), TIOCOUTQ, &unsent) != 0 || unsent < 0 ||
        std::uint64_t(unsent) > handed_to_socket)
        return false;
    std::uint64_t took = handed_to_socket - std::uint64_t(unsent);
    if (took <= server_took)
        return false;
    server_took = took;
    return true;
#else
    return false;
#endif
}

// Ticks while holding back, so that a server that takes acknowledgements
// slowly is seen to take them.
void quvo_rconnection::impl::arm_stall_timer() {
    const auto stall = std::chrono::milliseconds(quvo::ack_stall_ms);
    const auto tick = std::chrono::milliseconds(std::clamp(quvo::ack_stall_ms / 10, 1u, 100u));
    stall_timer.expires_at(std::min(clock::now() + tick, ack_progress + stall));
    stall_timer.async_wait([this, stall](const error_code& ec) {
        if (ec || !holding)
            return;
        const auto now = clock::now();
        if (server_took_more())
            ack_progress = now;
        if (now - ack_progress >= stall)
            ack_stalled = true;
        else
            arm_stall_timer();
    });
}

// At the bound: waits, reading nothing, until `need` more bytes fit. False
// when the waiting ended otherwise: a failed write, a cancel, a shutdown, or
// a server that took no acknowledgement byte for the stall time.
bool quvo_rconnection::impl::hold_back(std::size_t need) {
    auto room = [&] { return out.size() + need <= quvo::ack_backlog_limit; };
    holding = true;
    ack_progress = clock::now();
    server_took_more();  // counts from what the server had taken so far
    arm_stall_timer();
    struct release {
        impl& i;
        ~release() {
            i.holding = false;
            error_code ignored;
            i.stall_timer.cancel(ignored);
        }
    } released{*this};
    run_until([&] { return room() || send_error || is_cancelled || ack_stalled || proto.shutdown_requested(); });
    return room();
}

// An acknowledgement joins the others only within the bound. At the bound
// nothing more is read until it fits, as a full socket buffer would hold the
// server back. When the holding back ends otherwise, the data are read on
// without further acknowledgements. A connection whose writes failed takes
// no more acknowledgements either; its data are still read.
void quvo_rconnection::impl::send_ack(const std::string& text) {
    if (acks_stopped)
        return;
    if (writing && out.size() + text.size() > quvo::ack_backlog_limit)
        flush_writes();
    if (out.size() + text.size() > quvo::ack_backlog_limit && !send_error && !hold_back(text.size()))
        acks_stopped = !send_error;
    if (send_error || acks_stopped)
        return;
    send_async(text);
    std::size_t held = out.size();
    std::size_t peak = quvo::ack_backlog_peak.load(std::memory_order_relaxed);
    while (held > peak && !quvo::ack_backlog_peak.compare_exchange_weak(peak, held, std::memory_order_relaxed)) {
    }
}

void quvo_rconnection::impl::send(const std::string& text) {
    send_async(text);
    run_until([this] { return !writing; });
    throw_send_error();
}

void quvo_rconnection::impl::socket_read(void* buf, std::size_t n) {
    // What was received before the stall is delivered; the server reads nothing.
    if (ack_stalled)
        proto.fail(quvo::ack_stall_text(quvo::ack_stall_ms).c_str());
    step_done = false;
    socket.async_read_some(asio::buffer(buf, n), [this](const error_code& ec, std::size_t k) {
        step_error = ec;
        step_count = k;
        step_done = true;
    });
    run_until([this] { return step_done; });
    if (!step_error && step_count != 0)
        return;
    throw_send_error();
    if (step_error == asio::error::eof)
        step_count = 0;
    else if (step_error)
        throw quvoconn_error(step_error, "handle_async_read_some");
}

void quvo_rconnection::impl::fill() {
    socket_read(rx.get(), rx_capacity);
    rx_begin = 0;
    rx_end = step_count;
}

// The next line, line feed included. A connection that ends inside a line is
// broken: the line cannot be trusted.
std::string quvo_rconnection::impl::receive() {
    std::string line;
    for (;;) {
        if (rx_begin == rx_end) {
            fill();
            if (rx_end == 0)
                throw quvoconn_error(asio::error::eof, "handle_async_read_some");
        }
        const char* b = rx.get() + rx_begin;
        std::size_t avail = rx_end - rx_begin;
        const void* lf = std::memchr(b, '\n', avail);
        std::size_t take = lf ? std::size_t(static_cast<const char*>(lf) - b) + 1 : avail;
        if (line.size() + take > quvo::max_line)
            proto.fail("Protocol line too long!");
        line.append(b, take);
        rx_begin += take;
        if (lf)
            return line;
    }
}

std::size_t quvo_rconnection::impl::read_data(void* buf, std::size_t limit) {
    if (rx_begin == rx_end) {
        if (limit >= rx_capacity) {  // large reads go straight into the caller's buffer
            socket_read(buf, limit);
            return step_count;
        }
        fill();
    }
    std::size_t k = std::min(limit, rx_end - rx_begin);
    std::memcpy(buf, rx.get() + rx_begin, k);
    rx_begin += k;
    return k;
}

void quvo_rconnection::impl::open() {
    resolve();
    connect(*endpoints.begin());
    proto.restart();
    send(proto.request());
    std::string id;
    proto.on_status(receive(), id);
    owner.name = id;
}

void quvo_rconnection::impl::close() {
    if (writing)
        flush_writes();
    socket.close();
    drop_connection();
}

void quvo_rconnection::impl::retry_open(error_code last) {
    for (;;) {
        // Attempts count from the last data received: a server that accepts,
        // answers and drops every connection cannot keep the client forever.
        if (failures >= quvo::retry_attempt_limit)
            throw quvoconn_error(last, "quvo_connection retry_open");
        unsigned delay = quvo::retry_delay(failures++);
        try {
            drop_connection();
            wait(delay);
            resolve();
            connect(*endpoints.begin());
            proto.restart();
            send(proto.request());
            return;
        } catch (const boost::system::system_error& e) {
            last = e.code();
            if (!is_os_error(last))
                throw quvoconn_error(last, "quvo_connection retry_open");
        }
    }
}

std::size_t quvo_rconnection::impl::read(void* buf, std::size_t n) {
    run_posted();
    proto.check();
    if (proto.state() == quvo::protocol::ended)
        return 0;
    std::size_t k = 0;
    for (;;) {
        try {
            while (proto.line_due()) {
                bool status = proto.state() == quvo::protocol::awaiting_status;
                std::string id;
                std::string reply = proto.on_line(receive(), id);
                if (status)
                    owner.name = id;
                if (!reply.empty())
                    send_ack(reply);
            }
            if (proto.state() == quvo::protocol::ended)
                return 0;
            k = read_data(buf, proto.data_limit(n));
            if (k == 0) {
                if (proto.on_end_of_data())
                    return 0;
                // The server went away inside a chunk: truncation, not an end.
                throw quvoconn_error(asio::error::eof, "handle_async_read_some");
            }
            failures = 0;  // only data renews the re-connect budget
            break;
        } catch (const boost::system::system_error& e) {
            error_code ec = e.code();
            bool broken = is_os_error(ec) || ec == asio::error::eof;
            if (!proto.has_token() || !broken)
                throw quvoconn_error(ec, "quvo_connection read");
            retry_open(ec);
        }
    }
    return proto.on_data(static_cast<const unsigned char*>(buf), k);
}

void quvo_rconnection::impl::handle_cancel() {
    if (is_cancelled)
        return;
    is_cancelled = true;
    resolver.cancel();
    error_code ignored;
    socket.cancel(ignored);
    socket.close(ignored);
    timer.cancel(ignored);
}

quvo_rconnection::quvo_rconnection(const std::string& text, const std::string& continuation,
                                   const std::string& override_text)
    : basic_rconnection(override_text) {
    converting([&] { impl_ = std::make_unique<impl>(*this, ::uri(text), continuation); });
}

quvo_rconnection::~quvo_rconnection() = default;

std::string quvo_rconnection::continuation() const {
    return converting([&] { return impl_->proto.continuation(); });
}

void quvo_rconnection::request_shutdown() {
    converting([&] {
        asio::post(impl_->io, [i = impl_.get()] { i->proto.request_shutdown(); });
        impl_->posted.store(true, std::memory_order_release);
    });
}

void quvo_rconnection::cancel() {
    converting([&] {
        asio::post(impl_->io, [i = impl_.get()] { i->handle_cancel(); });
        impl_->posted.store(true, std::memory_order_release);
    });
}

void quvo_rconnection::open() {
    converting([&] { impl_->open(); });
}

void quvo_rconnection::close() {
    converting([&] { impl_->close(); });
}

std::size_t quvo_rconnection::more_input(void* buf, std::size_t n) {
    if (n == 0)  // asking for nothing says nothing about the end of the stream
        return 0;
    return converting([&] {
        std::size_t k = impl_->read(buf, n);
        gcount = k;
        if (k == 0)
            eof = true;
        return k;
    });
}

namespace detail {

std::unique_ptr<basic_rconnection> create_quvo_rconnection(const std::string& uri,
                                                           const std::string& continuation,
                                                           const std::string& override_text) {
    return std::make_unique<quvo_rconnection>(uri, continuation, override_text);
}

} // namespace detail
} // namespace scanlib
