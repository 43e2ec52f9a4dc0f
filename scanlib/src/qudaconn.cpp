#include <scanlib/qudaconn.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>

#include <scanlib/zpkmarker.hpp>

#include "connection_internal.hpp"

namespace scanlib {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using boost::system::error_code;

namespace {

// Larger than any UDP payload, so the kernel never cuts a datagram.
constexpr std::size_t min_buffer = 65536;

} // namespace

struct quda_rconnection::impl {
    explicit impl(const uri& u);
    ~impl();

    void open();
    std::size_t read(void* buf, std::size_t n);
    void run();
    void run_posted();
    void handle_cancel();
    void handle_request_shutdown();

    bool is_cancelled = false;
    bool shutdown_requested = false;
    std::atomic<bool> posted{false};
    std::string host = "0.0.0.0";
    std::string service = "20001";

    asio::io_context io;  // declared before the objects that live on it
    udp::resolver resolver{io};
    udp::socket socket{io};
    udp::resolver::results_type endpoints;
    udp::endpoint sender;

    std::vector<unsigned char> buffer;
    std::size_t read_pos = 0, data_end = 0;

    error_code step_error;
    std::size_t step_count = 0;
};

quda_rconnection::impl::impl(const uri& u) {
    if (!u.authority.empty()) {
        auto colon = u.authority.find(':');
        if (colon == std::string::npos) {
            service = u.authority;
        } else {
            host = u.authority.substr(0, colon);
            service = u.authority.substr(colon + 1);
        }
    }
    detail::check_address(host, service);
}

quda_rconnection::impl::~impl() {
    error_code ignored;
    socket.close(ignored);
    resolver.cancel();
}

void quda_rconnection::impl::run() {
    run_posted();  // a cancel posted before this wait began ends it here
    io.restart();
    // Handlers only store results, so the step is complete here. A cancel
    // during this wait aborts the receive, which fails with its own error.
    io.run();
}

void quda_rconnection::impl::run_posted() {
    if (posted.exchange(false, std::memory_order_acquire)) {
        io.restart();
        io.poll();
    }
    if (is_cancelled)
        throw cancelled();
}

void quda_rconnection::impl::open() {
    resolver.async_resolve(host, service, udp::resolver::address_configured,
                           [this](const error_code& ec, udp::resolver::results_type r) {
                               step_error = ec;
                               if (!ec)
                                   endpoints = std::move(r);
                           });
    run();
    if (step_error)
        throw boost::system::system_error(step_error, "handle_resolve");
    if (endpoints.empty())
        throw boost::system::system_error(asio::error::host_not_found, "handle_resolve");

    socket.open(udp::v4());
    socket.bind(*endpoints.begin());
    udp::socket::receive_buffer_size option;
    socket.get_option(option);
    buffer.assign(std::max<std::size_t>(std::size_t(std::max(option.value(), 0)), min_buffer), 0);
    // The datagrams carry no stream preamble; the connection supplies it.
    std::memcpy(buffer.data(), basic_zpkmarker::preamble, sizeof basic_zpkmarker::preamble);
    read_pos = 0;
    data_end = sizeof basic_zpkmarker::preamble;
}

std::size_t quda_rconnection::impl::read(void* buf, std::size_t n) {
    run_posted();
    if (read_pos == data_end) {
        if (shutdown_requested)
            return 0;
        socket.async_receive_from(asio::buffer(buffer), sender, [this](const error_code& ec, std::size_t k) {
            step_error = ec;
            step_count = k;
        });
        run();
        if (step_error == asio::error::operation_aborted && shutdown_requested)
            return 0;  // the shutdown stopped the wait for a datagram
        if (step_error)
            throw boost::system::system_error(step_error, "handle_receive_from");
        read_pos = 0;
        data_end = step_count;
    }
    std::size_t k = std::min(n, data_end - read_pos);
    std::memcpy(buf, buffer.data() + read_pos, k);
    read_pos += k;
    return k;
}

void quda_rconnection::impl::handle_cancel() {
    if (is_cancelled)
        return;
    is_cancelled = true;
    resolver.cancel();
    error_code ignored;
    socket.close(ignored);
}

void quda_rconnection::impl::handle_request_shutdown() {
    shutdown_requested = true;
    error_code ignored;
    socket.cancel(ignored);  // a reader waiting for a datagram ends now
}

quda_rconnection::quda_rconnection(const std::string& text, const std::string&,
                                   const std::string& override_text)
    : basic_rconnection(override_text), impl_(std::make_unique<impl>(::uri(text))) {}

quda_rconnection::~quda_rconnection() = default;

void quda_rconnection::request_shutdown() {
    asio::post(impl_->io, [i = impl_.get()] { i->handle_request_shutdown(); });
    impl_->posted.store(true, std::memory_order_release);
}

void quda_rconnection::cancel() {
    asio::post(impl_->io, [i = impl_.get()] { i->handle_cancel(); });
    impl_->posted.store(true, std::memory_order_release);
}

void quda_rconnection::open() { impl_->open(); }

void quda_rconnection::close() { impl_->socket.close(); }

std::size_t quda_rconnection::more_input(void* buf, std::size_t n) {
    if (n == 0)  // asking for nothing says nothing about the end of the stream
        return 0;
    std::size_t k = impl_->read(buf, n);
    gcount = k;
    if (k == 0)
        eof = true;
    return k;
}

namespace detail {

std::unique_ptr<basic_rconnection> create_quda_rconnection(const std::string& uri,
                                                           const std::string& continuation,
                                                           const std::string& override_text) {
    return std::make_unique<quda_rconnection>(uri, continuation, override_text);
}

} // namespace detail
} // namespace scanlib
