// quda_rconnection fed by UDP senders on 127.0.0.1.
#include <gtest/gtest.h>

#include <scanlib/connection.hpp>
#include <scanlib/qudaconn.hpp>

#include <boost/asio/error.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "netpeers.hpp"
#include "zpk_support.hpp"

using namespace netpeers;
using scanlib::basic_rconnection;
using conn_ptr = std::shared_ptr<basic_rconnection>;

namespace {

const std::string preamble("\x10\0\0\0\0\0\0\x0BVantorix", 16);

struct udp_fixture {
    unsigned short port = free_udp_port();
    conn_ptr c{basic_rconnection::create_impl("quda://127.0.0.1:" + std::to_string(port), "ignored:5", "")};
    udp_fixture() { c->open(); }
};

std::string take(basic_rconnection& c, std::size_t n) {
    std::string s(n, '\0');
    s.resize(c.readsome(s.data(), n));
    return s;
}

// Cancels a connection that is still blocked after `limit`.
class watchdog {
public:
    explicit watchdog(conn_ptr c, ms limit = 10000ms)
        : thread_([this, c, limit] {
              if (!done_.wait(limit)) {
                  fired_ = true;
                  c->cancel();
              }
          }) {}
    ~watchdog() {
        done_.open();
        thread_.join();
        EXPECT_FALSE(fired_) << "watchdog cancelled a blocked connection";
    }

private:
    gate done_;
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

// Leaves a test's datagrams as a seed of fuzz_qudaconn: the read size, the
// datagram after which a shutdown (how 6) or a cancel (how 7) comes, then each
// datagram after its two-byte length.
void seed(const std::string& name, std::size_t read_size, const std::vector<std::string>& datagrams,
          unsigned stop_at = 0, unsigned how = 0) {
    std::vector<char> bytes{char(std::min<std::size_t>((read_size - 1) / 3, 63) | 64), char(stop_at | how << 5), 0};
    for (const std::string& d : datagrams) {
        bytes.push_back(char(d.size() >> 8));
        bytes.push_back(char(d.size() & 0xFF));
        bytes.insert(bytes.end(), d.begin(), d.end());
    }
    zpktest::write_seed("fuzz_qudaconn", name, bytes);
}

} // namespace

TEST(QudaStream, PreambleFirstInSmallReads) {
    udp_fixture f;
    watchdog dog(f.c);
    EXPECT_EQ(f.c->continuation(), "");
    std::string got = take(*f.c, 5);
    got += take(*f.c, 5);
    got += take(*f.c, 100);  // the rest of the preamble, no datagram needed
    EXPECT_EQ(got, preamble);
    udp_sender s;
    ASSERT_TRUE(s.send(f.port, "abc"));
    EXPECT_EQ(take(*f.c, 100), "abc");
}

TEST(QudaStream, DatagramsSplitAcrossReadsInArrivalOrder) {
    udp_fixture f;
    watchdog dog(f.c);
    take(*f.c, 16);
    udp_sender a, b;
    const std::string d1 = random_bytes(1000, 1), d2 = random_bytes(300, 2), d3 = random_bytes(10, 3);
    ASSERT_TRUE(a.send(f.port, d1));
    ASSERT_TRUE(b.send(f.port, d2));
    ASSERT_TRUE(a.send(f.port, d3));
    // A read never runs into the next datagram.
    EXPECT_EQ(take(*f.c, 600), d1.substr(0, 600));
    EXPECT_EQ(take(*f.c, 600), d1.substr(600));
    EXPECT_EQ(take(*f.c, 600), d2);
    EXPECT_EQ(take(*f.c, 600), d3);
    seed("three_datagrams", 600, {d1, d2, d3, ""});
}

TEST(QudaStream, LargestDatagramArrivesWhole) {
    udp_fixture f;
    watchdog dog(f.c);
    take(*f.c, 16);
    const std::string big = random_bytes(65507, 4);
    udp_sender s;
    ASSERT_TRUE(s.send(f.port, big));
    ASSERT_TRUE(s.send(f.port, "next"));
    std::string got(70000, '\0');
    f.c->read(got.data(), big.size());
    got.resize(f.c->gcount);
    EXPECT_EQ(got, big);
    EXPECT_EQ(take(*f.c, 100), "next");
}

TEST(QudaStream, EmptyDatagramEndsTheStream) {
    udp_fixture f;
    watchdog dog(f.c);
    take(*f.c, 16);
    char b[8];
    f.c->read(b, 0);  // asking for nothing is no end
    EXPECT_FALSE(f.c->eof);
    udp_sender s;
    ASSERT_TRUE(s.send(f.port, "xy"));
    ASSERT_TRUE(s.send(f.port, ""));
    EXPECT_EQ(take(*f.c, 8), "xy");
    EXPECT_EQ(take(*f.c, 8), "");
    EXPECT_TRUE(f.c->eof);
    EXPECT_THROW(f.c->read(b, 8), std::runtime_error);
    seed("empty_ends", 8, {"xy", "", "after"});
}

TEST(QudaShutdown, RestOfTheDatagramThenEnd) {
    udp_fixture f;
    watchdog dog(f.c);
    take(*f.c, 16);
    udp_sender s;
    ASSERT_TRUE(s.send(f.port, "0123456789"));
    ASSERT_TRUE(s.send(f.port, "later"));
    EXPECT_EQ(take(*f.c, 4), "0123");
    f.c->request_shutdown();
    EXPECT_EQ(take(*f.c, 100), "456789");
    EXPECT_EQ(take(*f.c, 100), "");
    EXPECT_TRUE(f.c->eof);
    seed("shutdown", 4, {"0123456789", "later"}, 0, 6);
}

TEST(QudaShutdown, FromAnotherThreadWhileWaiting) {
    udp_fixture f;
    watchdog dog(f.c);
    take(*f.c, 16);
    std::thread other([c = f.c] {
        std::this_thread::sleep_for(100ms);
        c->request_shutdown();
    });
    EXPECT_EQ(take(*f.c, 100), "");
    other.join();
    EXPECT_TRUE(f.c->eof);
}

TEST(QudaCancel, WhileWaitingAndBeforeOpen) {
    udp_fixture f;
    watchdog dog(f.c);
    take(*f.c, 16);
    std::thread other([c = f.c] {
        std::this_thread::sleep_for(100ms);
        c->cancel();
    });
    char b[8];
    // The cancel closes the socket: the receive waited for fails as such ...
    try {
        f.c->readsome(b, 8);
        ADD_FAILURE() << "a cancelled receive delivered data";
    } catch (const scanlib::cancelled&) {
        ADD_FAILURE() << "the aborted receive itself reported the cancel";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::operation_aborted);
        EXPECT_EQ(std::string(e.what()).rfind("handle_receive_from", 0), 0u) << e.what();
    }
    other.join();
    // ... and every later wait is cancelled.
    EXPECT_THROW(f.c->readsome(b, 8), scanlib::cancelled);
    EXPECT_THROW(f.c->readsome(b, 8), scanlib::cancelled);
    seed("cancel", 8, {"abc", "defgh", "ij"}, 1, 7);

    conn_ptr c(basic_rconnection::create_impl("quda://127.0.0.1:" + std::to_string(free_udp_port()), "", ""));
    c->cancel();
    EXPECT_THROW(c->open(), scanlib::cancelled);
}

TEST(QudaAddress, SyntaxAndBindFailure) {
    auto error_of = [](const std::string& uri) -> std::string {
        try {
            conn_ptr c(basic_rconnection::create_impl(uri, "", ""));
            c->open();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "<no error>";
    };
    EXPECT_EQ(error_of("quda://10.0.0.5:"), "Invalid address/service syntax.");
    EXPECT_EQ(error_of("quda://:20002"), "Invalid address/service syntax.");

    // A port that another socket holds cannot be bound.
    int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    conn_ptr c(basic_rconnection::create_impl("quda://127.0.0.1:" + std::to_string(ntohs(a.sin_port)), "", ""));
    try {
        c->open();
        ADD_FAILURE() << "bound a port that is in use";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::address_in_use);
        EXPECT_NE(std::string(e.what()).find("bind"), std::string::npos) << e.what();
    }
    ::close(holder);
    // Opening twice fails: the socket is already open.
    udp_fixture f;
    try {
        f.c->open();
        ADD_FAILURE() << "opened an open socket";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::already_open);
        EXPECT_EQ(std::string(e.what()).rfind("open", 0), 0u) << e.what();
    }
}

TEST(QudaAddress, PortsAboveTheRangeAreRefused) {
    // Taken modulo 65536 the number would bind this port; it stays free for
    // a socket of the test.
    const unsigned short port = free_udp_port();
    const std::string wrapped = std::to_string(port + 65536u);
    const std::string negated = std::to_string(0 - std::uint64_t(port));  // -that wraps to the port
    for (const std::string& service : {wrapped, "+" + wrapped, " " + wrapped, "\t" + wrapped, "-" + negated}) {
        conn_ptr c;
        std::string error = "<no error>";
        try {
            c = conn_ptr(basic_rconnection::create_impl("quda://127.0.0.1:" + service, "", ""));
            c->open();
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error, "Invalid address/service syntax.") << service;
    }
    int listener = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "the wrapped port is taken";
    ::close(listener);
    for (const char* authority : {"65536", "0.0.0.0:99999", "127.0.0.1:4294967297", "00000000000065536", "+99999",
                                  "127.0.0.1:+99999", "127.0.0.1:+85617", "127.0.0.1: 85617", "127.0.0.1:\t85617",
                                  "127.0.0.1:-18446744073709531535", "127.0.0.1:+80", "127.0.0.1:80\n"})
        EXPECT_THROW(basic_rconnection::create_impl(std::string("quda://") + authority, "", ""), std::runtime_error)
            << authority;
    for (const char* authority : {"0", "65535", "127.0.0.1:0065535", "127.0.0.1:domain", "127.0.0.1:http-alt"})
        EXPECT_NO_THROW(basic_rconnection::create_impl(std::string("quda://") + authority, "", "")) << authority;
}

TEST(NetFactory, SchemesBuildTheNetworkConnections) {
    conn_ptr q(basic_rconnection::create_impl("quvo://host:20001/stream?a=1;b=2#x", "", ""));
    EXPECT_NE(dynamic_cast<scanlib::quvo_rconnection*>(q.get()), nullptr);
    EXPECT_EQ(q->name.rfind("UNNAMED_", 0), 0u);
    EXPECT_FALSE(q->eof);
    conn_ptr u(basic_rconnection::create_impl("quda://20002", "", ""));
    EXPECT_NE(dynamic_cast<scanlib::quda_rconnection*>(u.get()), nullptr);
    // Scheme words are case-sensitive: anything else is a file path.
    try {
        basic_rconnection::create_impl("QUVO://h/x", "", "");
        ADD_FAILURE() << "opened a file named QUVO://h/x";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Could not open"), std::string::npos) << e.what();
    }
}
