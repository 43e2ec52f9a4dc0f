// Packet streams through the network connections: what zpk_ostream writes,
// served over TCP in random chunks or sent as UDP datagrams, reads back
// through zpk_istream as the same packets.
#include <gtest/gtest.h>

#include <scanlib/connection.hpp>
#include <scanlib/memconn.hpp>
#include <scanlib/zpkstream.hpp>

#include "conn_testutil.hpp"
#include "netpeers.hpp"
#include "zpk_support.hpp"

using namespace netpeers;
using namespace zpktest;
using scanlib::package_id;
using scanlib::zpk_istream;
using scanlib::zpk_ostream;
using scanlib::zpk_packet;

namespace {

struct raw {
    unsigned int main, sub;
    words body;
    bool operator==(const raw&) const = default;
};

// Headers whose id lists give later packets one-word compact ids, explicit
// ids, and bodies full of words that need escapes.
std::vector<raw> random_stream(std::mt19937& r, std::size_t n) {
    std::vector<std::pair<unsigned, unsigned>> ids;
    for (int i = 0; i < 40; ++i)
        ids.emplace_back(2 + r() % 5000, r() % 4);
    std::vector<raw> ps;
    for (std::size_t k = 0; k < n; ++k) {
        if (k % 50 == 0) {
            raw h{1, 0, words(12)};  // three 16-byte texts, then the id list
            for (unsigned int& w : h.body)
                w = nasty_word(r);
            for (std::size_t i = 0, len = r() % ids.size(); i < len; ++i)
                h.body.push_back(ids[i].first << 16 | ids[i].second);
            ps.push_back(std::move(h));
            continue;
        }
        auto [m, s] = ids[r() % ids.size()];
        words body(r() % 10 == 0 ? r() % 700 : r() % 12);
        for (unsigned int& w : body)
            w = nasty_word(r);
        ps.push_back({m, s, std::move(body)});
    }
    return ps;
}

void write_all(zpk_ostream& out, const std::vector<raw>& ps) {
    for (const raw& r : ps) {
        zpk_packet p;
        p.storage = r.body;
        p.begin = p.storage.data();
        p.end = p.storage.data() + p.storage.size();
        p.main = r.main;
        p.sub = r.sub;
        out << p;
    }
}

std::vector<raw> read_all(zpk_istream& in) {
    std::vector<raw> out;
    zpktest::for_each_packet(in, [&](package_id, zpk_packet const& p) {
        out.push_back({p.main, p.sub, words(p.begin, p.end)});
    });
    return out;
}

// Cancels the stream's connection if it is still blocked after `limit`.
struct watchdog {
    explicit watchdog(std::shared_ptr<scanlib::basic_rconnection> c, ms limit = 15000ms)
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

TEST(NetStream, TcpChunksOfRandomSizeReadBackAsTheSamePackets) {
    std::mt19937 r(11);
    const std::vector<raw> ps = random_stream(r, 400);
    // A stream written to a file, preamble first.
    conntest::temp_dir dir;
    {
        zpk_ostream os(dir / "scan.zpk");
        write_all(os, ps);
        os.close();
    }
    const std::string bytes = conntest::read_file(dir / "scan.zpk");
    ASSERT_EQ(bytes.compare(0, 16, reinterpret_cast<const char*>(preamble_bytes), 16), 0);

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

    zpk_istream in(server.uri("/scan"));
    {
        watchdog dog(in.rdcon());
        EXPECT_EQ(read_all(in), ps);
        EXPECT_EQ(in.rdcon()->name, "e2e");
    }
    in.close();
    ASSERT_TRUE(server.wait_done());
    EXPECT_EQ(server.lines(), expected_lines);
}

TEST(NetStream, UdpDatagramsReadBackAsTheSamePackets) {
    std::mt19937 r(12);
    const std::vector<raw> ps = random_stream(r, 120);
    std::vector<char> out;  // datagrams carry no preamble
    {
        zpk_ostream os;
        os.wrcon(std::make_shared<scanlib::mem_wconnection>(out));
        write_all(os, ps);
        os.close();
    }
    const std::string bytes(out.begin(), out.end());
    // Small enough that the socket's receive queue holds it all even if the
    // reader stalls: UDP would drop what overflows.
    ASSERT_LT(bytes.size(), 64000u);

    const unsigned short port = free_udp_port();
    zpk_istream in("quda://127.0.0.1:" + std::to_string(port));
    watchdog dog(in.rdcon());
    std::thread sender([&] {
        udp_sender s;
        std::mt19937 g(13);
        for (std::size_t i = 0, n = 0; i < bytes.size(); i += n) {
            n = std::min(bytes.size() - i, std::size_t(g() % 3 == 0 ? g() % 6 + 1 : g() % 3000 + 1000));
            s.send(port, std::string_view(bytes).substr(i, n));
        }
        s.send(port, "");
    });
    std::vector<raw> got;
    try {
        got = read_all(in);
    } catch (...) {
        sender.join();
        throw;
    }
    sender.join();
    EXPECT_EQ(got, ps);
}
