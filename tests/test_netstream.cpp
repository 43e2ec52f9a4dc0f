// Framed packet streams through the network connections: what the encoder
// writes, served over TCP in random chunks or sent as UDP datagrams, decodes
// to the same packets.
#include <gtest/gtest.h>

#include <scanlib/connection.hpp>
#include <scanlib/zpkmarker.hpp>

#include "netpeers.hpp"
#include "zpk_support.hpp"

using namespace netpeers;
using namespace zpktest;
using scanlib::basic_rconnection;
using scanlib::decoder_zpkmarker;
using scanlib::encoder_zpkmarker;
using region = scanlib::basic_buffer<unsigned int*>;

namespace {

std::string encode(packets ps, bool with_preamble) {
    capture_wconnection sink;
    {
        encoder_zpkmarker enc(sink, 0x2000, 0x1000, with_preamble);
        for (words& p : ps) {
            region r(p.data(), p.data() + p.size(), p.data() + p.size());
            enc.put(r);
        }
    }
    return std::string(sink.bytes.begin(), sink.bytes.end());
}

packets decode(std::shared_ptr<basic_rconnection> c) {
    decoder_zpkmarker d(c, true);
    packets out;
    region r;
    for (;;) {
        d.get(r);
        if (r.empty())
            return out;
        out.emplace_back(r.begin, r.end);
    }
}

// Cancels a connection that is still blocked after `limit`.
struct watchdog {
    explicit watchdog(std::shared_ptr<basic_rconnection> c, ms limit = 15000ms)
        : thread([this, c, limit] {
              if (!done.wait(limit)) {
                  fired = true;
                  c->cancel();
              }
          }) {}
    ~watchdog() {
        done.open();
        thread.join();
        EXPECT_FALSE(fired) << "watchdog cancelled a blocked connection";
    }
    gate done;
    std::atomic<bool> fired{false};
    std::thread thread;
};

} // namespace

TEST(NetStream, TcpChunksOfRandomSizeDecodeToTheSamePackets) {
    std::mt19937 r(11);
    const packets ps = random_packets(r, 400);
    const std::string bytes = encode(ps, true);
    std::string script = "FILE encoding=chunked; id=e2e\n";
    // A chunk's acknowledgement comes back once the next chunk's header was read.
    std::vector<std::string> expected_lines = {"SCAN encoding=chunked; format=zpk"};
    std::string last_token;
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t n = std::min(bytes.size() - i, std::size_t(r() % 2 ? r() % 7 + 1 : r() % 5000 + 1));
        if (!last_token.empty())
            expected_lines.push_back("ACKNOWLEDGE acknowledge-token=" + last_token);
        last_token = r() % 8 == 0 ? "A" + std::to_string(i) : "";
        script += std::to_string(n) + (last_token.empty() ? "" : " acknowledge-token=" + last_token) + "\n" +
                  bytes.substr(i, n);
        i += n;
    }
    script += "EOF\n";
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        for (std::size_t i = 0; i < script.size(); i += 1500)
            p.send(script.substr(i, 1500));
        p.wait_closed();
    }});
    std::shared_ptr<basic_rconnection> c(basic_rconnection::create_impl(server.uri("/scan"), "", ""));
    watchdog dog(c);
    c->open();
    EXPECT_EQ(decode(c), ps);
    EXPECT_TRUE(c->eof);
    c->close();
    ASSERT_TRUE(server.wait_done());
    EXPECT_EQ(server.lines(), expected_lines);
}

TEST(NetStream, UdpDatagramsDecodeToTheSamePackets) {
    std::mt19937 r(12);
    const packets ps = random_packets(r, 120, 1000);
    const std::string bytes = encode(ps, false);  // datagrams carry no preamble
    // Small enough that the socket's receive queue holds it all even if the
    // reader stalls: UDP would drop what overflows.
    ASSERT_LT(bytes.size(), 64000u);

    const unsigned short port = free_udp_port();
    std::shared_ptr<basic_rconnection> c(
        basic_rconnection::create_impl("quda://127.0.0.1:" + std::to_string(port), "", ""));
    c->open();
    watchdog dog(c);
    std::thread sender([&] {
        udp_sender s;
        std::mt19937 g(13);
        for (std::size_t i = 0, n = 0; i < bytes.size(); i += n) {
            n = std::min(bytes.size() - i, std::size_t(g() % 3 == 0 ? g() % 6 + 1 : g() % 3000 + 1000));
            s.send(port, std::string_view(bytes).substr(i, n));
        }
        s.send(port, "");
    });
    packets got;
    try {
        got = decode(c);
    } catch (...) {
        sender.join();
        throw;
    }
    sender.join();
    EXPECT_EQ(got, ps);
}
