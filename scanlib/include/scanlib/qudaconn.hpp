#pragma once
#include <memory>
#include <string>

#include <scanlib/connection.hpp>
#include <scanlib/quvoconn.hpp>

namespace scanlib {

// Reads a stream from UDP datagrams: quda://host:service binds the local
// address (by default 0.0.0.0 and 20001; quda://port binds that port). The
// stream preamble comes first, then the datagram payloads in arrival order; an
// empty datagram ends the stream. cancel and request_shutdown may be called
// from any thread.
class quda_rconnection : public basic_rconnection {
public:
    quda_rconnection(const std::string& uri, const std::string& continuation,
                     const std::string& override_text);
    ~quda_rconnection() override;

    // Ends the stream at the end of the datagram being read.
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
