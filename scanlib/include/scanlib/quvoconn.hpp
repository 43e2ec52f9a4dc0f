#pragma once
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/system/system_error.hpp>

#include <scanlib/connection.hpp>

namespace scanlib {

// Thrown by a network connection at its next wait once it was cancelled.
class cancelled : public std::runtime_error {
public:
    cancelled();
};

// A failed network step: the Boost error code, the step (the context) and the
// text "context, code: value".
class quvoconn_error : public boost::system::system_error {
public:
    quvoconn_error(const boost::system::error_code& code, const std::string& context);
    ~quvoconn_error() override;
    const char* what() const noexcept override;
    const std::string& context() const noexcept { return context_; }

private:
    std::string context_;
    std::string text_;
};

// Reads a stream from a quvo data-transfer server:
// quvo://host:service/path?query, by default 127.0.0.1 and 20001. A broken
// connection is resumed from the continuation token that the server gave.
// cancel and request_shutdown may be called from any thread; everything else
// belongs to the reading thread.
class quvo_rconnection : public basic_rconnection {
public:
    quvo_rconnection(const std::string& uri, const std::string& continuation,
                     const std::string& override_text);
    ~quvo_rconnection() override;

    // "token:offset": offset counts the bytes delivered since the token's point.
    std::string continuation() const override;
    // Ends the stream in front of the next packet.
    void request_shutdown() override;
    void open() override;
    void close() override;
    void cancel() override;

protected:
    std::size_t more_input(void* buf, std::size_t n) override;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace scanlib
