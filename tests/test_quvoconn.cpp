// quvo_rconnection against scripted TCP servers on 127.0.0.1.
#include <gtest/gtest.h>

#include <scanlib/connection.hpp>
#include <scanlib/quvoconn.hpp>
#include <scanlib/zpkmarker.hpp>

#include <boost/asio/error.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <system_error>

#include <unistd.h>

#include "../scanlib/src/quvoproto.hpp"
#include "netpeers.hpp"
#include "zpk_support.hpp"

using namespace netpeers;
using scanlib::basic_rconnection;
using scanlib::cancelled;
using conn_ptr = std::shared_ptr<basic_rconnection>;

namespace {

conn_ptr make(const std::string& uri, const std::string& continuation = "") {
    return conn_ptr(basic_rconnection::create_impl(uri, continuation, ""));
}

// Cancels the connection if the test has not finished in time, so that a
// blocked read cannot hang the run.
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

// Reads until the connection reports the end, in request sizes from `sizes`.
std::string read_all(basic_rconnection& c, std::function<std::size_t()> sizes) {
    std::string out;
    std::vector<char> buf;
    for (int guard = 0; guard < 1000000; ++guard) {
        buf.resize(sizes());
        std::size_t k = c.readsome(buf.data(), buf.size());
        if (k == 0)
            break;
        out.append(buf.data(), k);
    }
    return out;
}

std::function<std::size_t()> random_sizes(unsigned seed, std::size_t max) {
    auto gen = std::make_shared<std::mt19937>(seed);
    return [gen, max] { return std::uniform_int_distribution<std::size_t>(1, max)(*gen); };
}

std::string chunk(std::string_view bytes, std::string_view items = "") {
    std::string h = std::to_string(bytes.size());
    if (!items.empty())
        h += ' ' + std::string(items);
    return h + '\n' + std::string(bytes);
}

std::string error_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

std::string le_words(std::initializer_list<std::uint32_t> words) {
    std::string s;
    for (auto w : words)
        for (int i = 0; i < 4; ++i)
            s += char((w >> (8 * i)) & 0xFF);
    return s;
}

// Re-connect delays in milliseconds instead of seconds while it lives.
struct short_seconds {
    short_seconds() { scanlib::quvo::retry_second_ms = 1; }
    ~short_seconds() { scanlib::quvo::retry_second_ms = 1000; }
};

// A bound on unsent acknowledgements that a peer meets soon, while it lives.
struct small_ack_bound {
    small_ack_bound() { scanlib::quvo::ack_backlog_limit = 256 * 1024; }
    ~small_ack_bound() { scanlib::quvo::ack_backlog_limit = scanlib::quvo::max_ack_backlog; }
};

// The acknowledgement stall time in milliseconds while it lives.
struct short_stall {
    explicit short_stall(unsigned ms) { scanlib::quvo::ack_stall_ms = ms; }
    ~short_stall() { scanlib::quvo::ack_stall_ms = scanlib::quvo::ack_stall_seconds * 1000; }
};

// A server that never reads after the request and never stops sending:
// 64-byte chunks of the words word(0), word(1), ..., each chunk asking for an
// acknowledgement with a token of `token_size` bytes.
tcp_server::script endless_unacknowledged(std::size_t token_size, std::function<std::uint32_t(std::uint32_t)> word) {
    return [token_size, word](tcp_peer& p) {
        p.read_line();
        p.send_line("FILE encoding=chunked; id=x");
        const std::string token(token_size, 't');
        std::string data(64, '\0');
        for (std::uint32_t i = 0;; ++i) {
            for (std::uint32_t k = 0; k < 16; ++k) {
                std::uint32_t w = word(16 * i + k);
                std::memcpy(&data[4 * k], &w, 4);
            }
            if (!p.send(chunk(data, "acknowledge-token=" + std::to_string(i) + token)))
                return;  // the client went away
        }
    };
}

// The bytes of the words word(0), word(1), ... that `got` should begin with.
bool words_in_order(const std::string& got, const std::function<std::uint32_t(std::uint32_t)>& word) {
    for (std::size_t i = 0; i + 4 <= got.size(); i += 4) {
        std::uint32_t w;
        std::memcpy(&w, got.data() + i, 4);
        if (w != word(std::uint32_t(i / 4)))
            return false;
    }
    return true;
}

// The largest resident size of this process while it lives, sampled.
class rss_sampler {
public:
    rss_sampler() : base_(resident()), peak_(base_), thread_([this] {
        while (!done_.wait(5ms))
            peak_ = std::max(peak_.load(), resident());
    }) {}
    ~rss_sampler() { stop(); }
    // Bytes above the resident size at the start.
    std::size_t growth() {
        stop();
        return peak_ > base_ ? peak_ - base_ : 0;
    }

private:
    static std::size_t resident() {
        unsigned long size = 0, pages = 0;
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%lu %lu", &size, &pages) != 2)
                pages = 0;
            std::fclose(f);
        }
        return pages * std::size_t(::sysconf(_SC_PAGESIZE));
    }
    void stop() {
        done_.open();
        if (thread_.joinable())
            thread_.join();
    }

    std::size_t base_;
    std::atomic<std::size_t> peak_;
    gate done_;
    std::thread thread_;
};

// Seeds of fuzz_quvoconn. Raw: the first connection gets `first`, then a close
// (or a reset); a re-connect gets `second`.
void raw_seed(const std::string& name, const std::string& first, const std::string& second = "",
              bool reset = false) {
    std::vector<char> bytes{char((reset ? 2 : 0) | 3 << 5), char(15), char(first.size() & 0xFF),
                            char(first.size() >> 8)};
    bytes.insert(bytes.end(), first.begin(), first.end());
    bytes.insert(bytes.end(), second.begin(), second.end());
    zpktest::write_seed("fuzz_quvoconn", name, bytes);
}

// Scripted: the peer serves `payload` in chunks of up to 2 * scale bytes,
// with continuation and acknowledgement tokens on the chunks that the masks
// pick, and cuts the first connection after `cut` bytes of its text by a
// close or, with `how` 2, a reset; `how` 16 serves it plain. A stalling peer
// asks for an acknowledgement with every chunk and reads none while the
// client takes data. `resumes` holds the seed of the chunk sizes (0 to 15),
// 16 to read by whole words, and how re-connects are answered: 6 << 5 cut
// like the first connection, 7 << 5 with a status line and a drop.
void scripted_seed(const std::string& name, const std::string& payload, unsigned scale, unsigned token_mask,
                   unsigned ack_mask, std::size_t cut, unsigned how = 0, bool stall = false, unsigned resumes = 7) {
    std::vector<char> bytes{char(1 | how | 2 << 5), char(3),           char(cut & 0xFF),
                            char(cut >> 8),         char((scale - 1) | (stall ? 0xC0 : 0)),
                            char(token_mask | ack_mask << 4), char(resumes)};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    zpktest::write_seed("fuzz_quvoconn", name, bytes);
}

} // namespace

// ---------------------------------------------------------------- transfers

TEST(QuvoConnTransfer, PlainStreamUntilServerCloses) {
    const std::string payload = random_bytes(100000, 1);
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send_line("file encoding=plain; id=Scan 7");
        for (std::size_t i = 0; i < payload.size(); i += 7777)
            p.send(payload.substr(i, 7777));
    }});
    auto c = make(server.uri("/stream?encoding=plain"));
    watchdog dog(c);
    c->open();
    EXPECT_EQ(c->name, "Scan 7");
    EXPECT_EQ(read_all(*c, random_sizes(2, 20000)), payload);
    EXPECT_TRUE(c->eof);
    EXPECT_EQ(c->tellg(), payload.size());
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"STREAM encoding=plain; format=zpk"}));
    raw_seed("plain", "file encoding=plain; id=Scan 7\n" + payload.substr(0, 500));
    scripted_seed("scripted_plain", payload.substr(0, 500), 1, 0, 0, 200, 16);
}

TEST(QuvoConnTransfer, ChunkedWithSplitWordsAndEmptyChunks) {
    const std::string payload = random_bytes(60000, 3);
    std::string script;
    std::mt19937 gen(4);
    for (std::size_t i = 0; i < payload.size();) {
        std::size_t n = std::min(payload.size() - i, std::size_t(gen() % 3000 + 1));
        if (gen() % 4 == 0)
            n = std::min(payload.size() - i, std::size_t(gen() % 3 + 1));  // cuts words apart
        if (gen() % 10 == 0)
            script += chunk("", "pong");  // an empty chunk does not end the stream
        script += chunk(payload.substr(i, n));
        i += n;
    }
    script += "EOF\n";
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send_line("CURRENT encoding=chunked; id=live");
        for (std::size_t i = 0; i < script.size(); i += 1000)
            p.send(script.substr(i, 1000));
        p.wait_closed();
    }});
    auto c = make(server.uri("/stream"));
    watchdog dog(c);
    c->open();
    EXPECT_EQ(read_all(*c, random_sizes(5, 40000)), payload);
    EXPECT_TRUE(c->eof);
    // After the end every read delivers nothing.
    char b[4];
    EXPECT_EQ(c->readsome(b, 4), 0u);
}

TEST(QuvoConnTransfer, ByteByByteReads) {
    const std::string payload = random_bytes(3000, 6);
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send(std::string("ACTUAL encoding=chunked\n") + chunk(payload.substr(0, 1001)) + chunk("") +
               chunk(payload.substr(1001)) + "EOF\n");
        p.wait_closed();
    }});
    auto c = make(server.uri("/"));
    watchdog dog(c);
    c->open();
    EXPECT_EQ(read_all(*c, [] { return std::size_t(1); }), payload);
    // The path "/" leaves the command word empty.
    EXPECT_EQ(server.lines(), (std::vector<std::string>{" encoding=chunked; format=zpk"}));
}

TEST(QuvoConnTransfer, ZeroByteReadIsNoEnd) {
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk("abcd") + "EOF\n");
        p.wait_closed();
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    char b[4];
    c->read(b, 0);
    EXPECT_FALSE(c->eof);
    c->read(b, 4);
    EXPECT_EQ(std::string(b, 4), "abcd");
}

// ---------------------------------------------------------------- request line

TEST(QuvoConnRequest, QueryItemsAndContinuationReachTheServer) {
    tcp_server server({[&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=plain\n");
                       },
                       [&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=plain; continuation-token=tok:a; continuation-offset=4096\n"
                                  "data");
                       }});
    {
        auto c = make(server.uri("/Stream?Format=X; Extra ;encoding=plain"));
        watchdog dog(c);
        c->open();
        EXPECT_EQ(c->continuation(), ":0");
    }
    {
        // The offset follows the last ':'.
        auto c = make(server.uri("/stream"), "tok:a:4096");
        watchdog dog(c);
        c->open();
        EXPECT_EQ(read_all(*c, [] { return std::size_t(100); }), "data");
        EXPECT_EQ(c->continuation(), "tok:a:4100");
    }
    EXPECT_EQ(server.lines(),
              (std::vector<std::string>{
                  "STREAM encoding=plain; extra; format=X",
                  "STREAM continuation-offset=4096; continuation-token=tok:a; encoding=chunked; format=zpk"}));
}

TEST(QuvoConnRequest, AddressesAndTokensRefused) {
    EXPECT_EQ(error_text([] { make("quvo://:20002/x"); }), "Invalid address/service syntax.");
    EXPECT_EQ(error_text([] { make("quvo://h:/x"); }), "Invalid address/service syntax.");
    EXPECT_NO_THROW(make("quvo://"));  // 127.0.0.1:20001, nothing is connected yet
    EXPECT_NO_THROW(make("quvo://scanner/"));
    // A token that would inject into the request line is refused.
    for (const char* token : {"t\n:1", "t\r:1", "t;encoding=plain:1"})
        EXPECT_THROW(make("quvo://127.0.0.1:1/s", token), std::invalid_argument);
}

TEST(QuvoConnRequest, PortsAboveTheRangeAreRefused) {
    // Taken modulo 65536 the number would reach this server; nothing may.
    auto refuse = [](tcp_peer& p) { p.close(); };
    tcp_server server({refuse, refuse, refuse, refuse, refuse});
    const std::string wrapped = std::to_string(server.port() + 65536u);
    const std::string negated = std::to_string(0 - std::uint64_t(server.port()));  // -that wraps to the port
    for (const std::string& service : {wrapped, "+" + wrapped, " " + wrapped, "\t" + wrapped, "-" + negated})
        EXPECT_EQ(error_text([&] { make("quvo://127.0.0.1:" + service + "/x")->open(); }),
                  "Invalid address/service syntax.")
            << service;
    EXPECT_EQ(server.accepted(), 0u);
    for (const char* service : {"65536", "99999", "4294967297", "000000000000000000065536", "99999999999999999999999",
                                "+85617", " 85617", "\t85617", "-18446744073709531535", "+99999", "+80", "80 ", "-1"})
        EXPECT_EQ(error_text([&] { make(std::string("quvo://h:") + service + "/x"); }),
                  "Invalid address/service syntax.")
            << service;
    // Ports in range, leading zeros included, and service names stay.
    for (const char* service : {"0", "65535", "0065535", "0000065535", "http", "http-alt", "x99999", "99999x"})
        EXPECT_NO_THROW(make(std::string("quvo://h:") + service + "/x")) << service;
}

// ---------------------------------------------------------------- status and chunk errors

TEST(QuvoConnStatus, EveryVariantOverTheWire) {
    struct variant {
        std::string status;
        std::string error;
    };
    const std::vector<variant> variants = {
        {"ERROR error-text=No such scan", "No such scan"},
        {"ERROR", ""},
        {"HELLO encoding=plain", "Unexpected server status: HELLO"},
        {"FILE id=a", "Unknown encoding!"},
        {"FILE encoding=deflate", "Unknown encoding!"},
        {std::string(70000, 'F'), "Protocol line too long!"},
    };
    std::vector<tcp_server::script> scripts;
    for (const auto& v : variants)
        scripts.push_back([&v](tcp_peer& p) {
            p.read_line();
            p.send_line(v.status);
            p.wait_closed(2000ms);
        });
    tcp_server server(scripts);
    for (const auto& v : variants) {
        auto c = make(server.uri("/s"));
        watchdog dog(c);
        EXPECT_EQ(error_text([&] { c->open(); }), v.error) << v.status.substr(0, 40);
    }
}

TEST(QuvoConnStatus, EncodingAndContinuationFailuresStay) {
    tcp_server server({[&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=zip\n" + chunk("abcd") + "EOF\n");
                           p.wait_closed(2000ms);
                       },
                       [&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=plain; continuation-token=T; continuation-offset=08\nabcd");
                           p.wait_closed(2000ms);
                       }});
    for (const char* expected : {"Unknown encoding!", "Required continuation missing!"}) {
        auto c = make(server.uri("/s"), expected[0] == 'U' ? "" : "T:8");
        watchdog dog(c);
        EXPECT_EQ(error_text([&] { c->open(); }), expected);
        char b[4];
        // Bytes from an unchecked stream are never delivered.
        EXPECT_EQ(error_text([&] { c->readsome(b, 4); }), expected);
        EXPECT_EQ(error_text([&] { c->readsome(b, 4); }), expected);
    }
}

TEST(QuvoConnStatus, ChunkHeaderErrors) {
    tcp_server server({[&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=chunked\n" + chunk("ab") + "ERROR error-text=disk gone\n");
                           p.wait_closed(2000ms);
                       },
                       [&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=chunked\nDATA 5\n");
                           p.wait_closed(2000ms);
                       }});
    for (const char* expected : {"disk gone", "Unexpected server status: DATA"}) {
        auto c = make(server.uri("/s"));
        watchdog dog(c);
        c->open();
        char b[8];
        if (expected[0] == 'd') {
            EXPECT_EQ(c->readsome(b, 8), 2u);
        }
        EXPECT_EQ(error_text([&] { c->readsome(b, 8); }), expected);
    }
}

// ---------------------------------------------------------------- acknowledgements

TEST(QuvoConnAcknowledge, SentAfterTheNextHeaderNeverAtTheEnd) {
    gate first_chunk_read;
    bool quiet_before_next_header = false;
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk("1234", "acknowledge-token=A1"));
        first_chunk_read.wait();
        // The whole chunk was taken in, but no acknowledgement yet.
        quiet_before_next_header = p.quiet_for(200ms);
        p.send(chunk("5678", "acknowledge-token=A2"));
        p.read_line();
        p.send("EOF\n");
        p.wait_closed(2000ms);
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    char b[4];
    c->read(b, 4);
    EXPECT_EQ(std::string(b, 4), "1234");
    first_chunk_read.open();
    c->read(b, 4);
    EXPECT_EQ(std::string(b, 4), "5678");
    EXPECT_EQ(c->readsome(b, 4), 0u);
    c->close();
    ASSERT_TRUE(server.wait_done());
    EXPECT_TRUE(quiet_before_next_header);
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"S encoding=chunked; format=zpk",
                                                        "ACKNOWLEDGE acknowledge-token=A1"}));
    raw_seed("acknowledge", "FILE encoding=chunked\n" + chunk("1234", "acknowledge-token=A1") +
                                chunk("5678", "acknowledge-token=A2") + "EOF\n");
}

TEST(QuvoConnAcknowledge, HeldWithinABoundWhileTheServerDoesNotRead) {
    using scanlib::quvo::ack_backlog_peak;
    small_ack_bound bound;
    const std::size_t max_ack_backlog = scanlib::quvo::ack_backlog_limit;
    // Four-byte chunks, each asking for an acknowledgement with a long token:
    // many times what the socket buffers and the bound hold.
    const std::size_t chunks = 200, token_size = 60000;
    const std::string payload = random_bytes(4 * chunks, 11);
    std::string script;
    std::vector<std::string> expected = {"S encoding=chunked; format=zpk"};
    for (std::size_t i = 0; i < chunks; ++i) {
        std::string token = std::to_string(i) + std::string(token_size, char('a' + i % 26));
        script += chunk(payload.substr(4 * i, 4), "acknowledge-token=" + token);
        if (i + 1 < chunks)  // the last chunk's is never due
            expected.push_back("ACKNOWLEDGE acknowledge-token=" + token);
    }
    script += "EOF\n";
    ack_backlog_peak = 0;
    std::atomic<std::size_t> delivered{0};
    std::size_t peak_unread = 0, settled = 0, later = 0;
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send_line("FILE encoding=chunked");
        std::thread sender([&] { p.send(script); });
        // No line is read until the client holds about as much as it may.
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (ack_backlog_peak + token_size + 100 < max_ack_backlog && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);
        peak_unread = ack_backlog_peak;
        settled = delivered;
        std::this_thread::sleep_for(100ms);
        later = delivered;
        p.wait_closed(10000ms);
        sender.join();
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    std::string got;
    char b[4096];
    while (std::size_t k = c->readsome(b, sizeof b)) {
        got.append(b, k);
        delivered += k;
    }
    c->close();
    ASSERT_TRUE(server.wait_done());
    EXPECT_EQ(got, payload);  // nothing is lost by waiting
    // The client came to the bound, then read nothing more until the server
    // took acknowledgements.
    EXPECT_GE(peak_unread + token_size + 100, max_ack_backlog);
    EXPECT_LE(ack_backlog_peak, max_ack_backlog);
    EXPECT_EQ(settled, later);
    EXPECT_LT(later, payload.size());
    EXPECT_EQ(server.lines(), expected);
    scripted_seed("scripted_stall", payload.substr(0, 100), 4, 0, 0, 0, 0, true);
}

TEST(QuvoConnAcknowledge, ServerThatTakesThemOnlyAfterSendingEverything) {
    // A scan of 55,708 bytes in 64-byte chunks, each asking for an
    // acknowledgement with a 60,000-byte token: about 52 MB of them, which
    // the server reads only once it has sent the whole scan.
    const std::size_t scan_size = 55708, chunk_size = 64, token_size = 60000;
    const std::size_t chunks = (scan_size + chunk_size - 1) / chunk_size;
    const std::string scan = random_bytes(scan_size, 15);
    auto token = [&](std::size_t i) { return std::to_string(i) + std::string(token_size, char('a' + i % 26)); };
    bool all_sent = false;
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send_line("FILE encoding=chunked; id=x");
        bool ok = true;
        for (std::size_t i = 0; i < chunks && ok; ++i)
            ok = p.send(chunk(scan.substr(i * chunk_size, chunk_size), "acknowledge-token=" + token(i)));
        all_sent = ok && p.send("EOF\n");
        p.wait_closed(10000ms);
    }});
    std::string got;
    {
        auto c = make(server.uri("/s"));
        watchdog dog(c, 20000ms);
        c->open();
        EXPECT_EQ(c->name, "x");
        got = read_all(*c, random_sizes(16, 5000));
        EXPECT_TRUE(c->eof);
        c->close();
    }
    ASSERT_TRUE(server.wait_done(10000ms));
    EXPECT_TRUE(all_sent);
    EXPECT_EQ(got, scan);
    // What the server took before the client closed: acknowledgements of
    // the chunks in order, each whole.
    const auto lines = server.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), chunks);
    for (std::size_t i = 1; i < lines.size(); ++i)
        ASSERT_EQ(lines[i], "ACKNOWLEDGE acknowledge-token=" + token(i - 1)) << i;
    scripted_seed("scripted_late", scan.substr(0, 200), 4, 0, 0, 0, 0, true, 7 | 5 << 5);
    scripted_seed("scripted_late_fits", scan.substr(0, 200), 4, 0, 0, 0, 0, true, 3 | 5 << 5);
}

TEST(QuvoConnAcknowledge, ServerThatTakesThemSlowlyGetsTheWholeStream) {
    // 64-byte chunks, each asking for an acknowledgement with a 60,000-byte
    // token, and a server that takes 32 KiB of them every 100 ms: the
    // client holds back at the bound for several stall times, and its socket
    // writes complete only after much of the socket buffer drained. Then the
    // server reads on at full speed and ends the stream.
    using scanlib::quvo::ack_backlog_peak;
    const unsigned stall_ms = 1000;
    short_stall stall(stall_ms);
    small_ack_bound bound;
    const std::size_t token_size = 60000;
    auto word = [](std::uint32_t i) { return i * 2654435761u; };
    std::atomic<bool> slow_phase_over{false};
    std::atomic<std::uint32_t> chunks{0};
    ack_backlog_peak = 0;
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send_line("FILE encoding=chunked; id=x");
        std::thread sender([&] {
            const std::string token(token_size, 't');
            std::string data(64, '\0');
            for (std::uint32_t i = 0; !slow_phase_over; ++i) {
                for (std::uint32_t k = 0; k < 16; ++k) {
                    std::uint32_t w = word(16 * i + k);
                    std::memcpy(&data[4 * k], &w, 4);
                }
                if (!p.send(chunk(data, "acknowledge-token=" + std::to_string(i) + token)))
                    return;
                ++chunks;
            }
            p.send("EOF\n");
        });
        // Slowly from the start, until the client has held back for three
        // stall times.
        std::optional<std::chrono::steady_clock::time_point> held;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!held && ack_backlog_peak + token_size + 100 >= scanlib::quvo::ack_backlog_limit)
                held = std::chrono::steady_clock::now();
            if (held && std::chrono::steady_clock::now() - *held > 3 * ms(stall_ms))
                break;
            p.take(32 * 1024);
            std::this_thread::sleep_for(100ms);
        }
        slow_phase_over = true;
        p.wait_closed(20000ms);
        sender.join();
    }});
    std::string got, error;
    {
        auto c = make(server.uri("/s"));
        watchdog dog(c, 40000ms);
        c->open();
        error = error_text([&] {
            char b[4096];
            while (std::size_t k = c->readsome(b, sizeof b))
                got.append(b, k);
        });
        c->close();
    }
    ASSERT_TRUE(server.wait_done(20000ms));
    EXPECT_EQ(error, "<no error>");
    EXPECT_GE(ack_backlog_peak + token_size + 100, scanlib::quvo::ack_backlog_limit);  // it held back
    EXPECT_EQ(got.size(), 64u * chunks);
    EXPECT_TRUE(words_in_order(got, word));
}

TEST(QuvoConnAcknowledge, ServerThatNeverTakesThemEndsTheReadAfterTheStallTime) {
    using scanlib::quvo::ack_backlog_peak;
    using scanlib::quvo::max_ack_backlog;
    const unsigned stall_ms = 1000;
    short_stall stall(stall_ms);
    auto word = [](std::uint32_t i) { return i; };
    ack_backlog_peak = 0;
    tcp_server server({endless_unacknowledged(4000, word)});
    std::string got, error, again;
    std::chrono::steady_clock::duration took{};
    std::size_t growth = 0;
    {
        auto c = make(server.uri("/s"));
        watchdog dog(c, ms(stall_ms) + 25000ms);
        rss_sampler rss;
        auto start = std::chrono::steady_clock::now();
        c->open();
        scanlib::decoder_zpkmarker reader(*c, false);
        std::vector<unsigned int> words(1024);
        try {
            while (unsigned long k = reader.read(words.data(), words.size()))
                got.append(reinterpret_cast<const char*>(words.data()), 4 * k);
            error = "<the stream ended>";
        } catch (const std::system_error& e) {
            error = std::string("system error: ") + e.what();
        } catch (const boost::system::system_error& e) {
            error = std::string("Boost error: ") + e.what();
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        took = std::chrono::steady_clock::now() - start;
        growth = rss.growth();
        again = error_text([&] { reader.read(words.data(), words.size()); });
    }
    EXPECT_EQ(error, "Server took no acknowledgement for 1 s!");
    EXPECT_EQ(again, error);  // the connection stays failed
    EXPECT_GE(took, ms(stall_ms));
    EXPECT_LT(took, ms(stall_ms) + 15000ms);
    // The client held as much as it may, and no more.
    EXPECT_LE(ack_backlog_peak, max_ack_backlog);
    EXPECT_GT(ack_backlog_peak + 4100, max_ack_backlog);
    // Everything it took came in order, by whole words.
    EXPECT_GT(got.size(), 64u * (max_ack_backlog / 4100));
    EXPECT_TRUE(words_in_order(got, word));
#ifndef __SANITIZE_ADDRESS__  // the sanitizer keeps freed memory
    EXPECT_LT(growth, max_ack_backlog + 64'000'000u);
#endif
    ASSERT_TRUE(server.wait_done());
}

// ---------------------------------------------------------------- broken connections

TEST(QuvoConnBroken, TruncatedChunkedStreamIsAnErrorNotAnEnd) {
    std::vector<std::string> cuts = {
        "FILE encoding=chunked\n" + chunk("abcd") + "10\nabc",  // inside a chunk
        "FILE encoding=chunked\n" + chunk("abcd"),               // before the EOF header
        "FILE encoding=chunked\n" + chunk("abcd") + "EO",         // inside the EOF header
    };
    std::vector<tcp_server::script> scripts;
    for (const auto& s : cuts)
        scripts.push_back([&s](tcp_peer& p) {
            p.read_line();
            p.send(s);
        });
    tcp_server server(scripts);
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        auto c = make(server.uri("/s"));
        watchdog dog(c);
        c->open();
        std::string got;
        std::string error;
        try {
            got = read_all(*c, [] { return std::size_t(64); });
        } catch (const boost::system::system_error& e) {
            error = e.what();
            EXPECT_EQ(e.code(), boost::asio::error::eof);
        }
        EXPECT_NE(error.find("quvo_connection read"), std::string::npos) << i << ": " << error;
        EXPECT_FALSE(c->eof) << i;
    }
}

TEST(QuvoConnBroken, ResetWithoutTokenFails) {
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk("abcd") + "100\nxy");
        p.reset();
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    try {
        read_all(*c, [] { return std::size_t(64); });
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(ECONNRESET, std::system_category()));
        EXPECT_NE(std::string(e.what()).find("quvo_connection read, code: 104"), std::string::npos) << e.what();
    }
}

TEST(QuvoConnBroken, ReconnectAfterResetResumesAtTheExactOffset) {
    const std::string payload = random_bytes(40, 7);
    gate read_before_reset;
    tcp_server server({[&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=chunked; id=first\n" + chunk(payload.substr(0, 10)) +
                                  chunk(payload.substr(10, 16), "continuation-token=K:7") + "14\n" +
                                  payload.substr(26, 5));
                           read_before_reset.wait();
                           p.reset();
                       },
                       [&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=chunked; id=second; continuation-token=K:7; "
                                  "continuation-offset=21\n" +
                                  chunk(payload.substr(31)) + "EOF\n");
                           p.wait_closed();
                       }});
    auto c = make(server.uri("/stream"));
    watchdog dog(c);
    c->open();
    std::string got(31, '\0');
    c->read(got.data(), 31);
    ASSERT_EQ(c->gcount, 31u);
    EXPECT_EQ(c->continuation(), "K:7:21");
    read_before_reset.open();
    auto start = std::chrono::steady_clock::now();
    got += read_all(*c, [] { return std::size_t(7); });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got, payload);
    EXPECT_EQ(c->name, "second");
    EXPECT_GE(waited, 900ms);  // one second before the first attempt
    EXPECT_LT(waited, 5000ms);
    EXPECT_EQ(server.lines(),
              (std::vector<std::string>{
                  "STREAM encoding=chunked; format=zpk",
                  "STREAM continuation-offset=21; continuation-token=K:7; encoding=chunked; format=zpk"}));
    raw_seed("resumed",
             "FILE encoding=chunked; id=first\n" + chunk(payload.substr(0, 10)) +
                 chunk(payload.substr(10, 16), "continuation-token=K:7") + "14\n" + payload.substr(26, 5),
             "FILE encoding=chunked; id=second; continuation-token=K:7; continuation-offset=21\n" +
                 chunk(payload.substr(31)) + "EOF\n");
    const std::string longer = random_bytes(600, 8);
    scripted_seed("scripted_resumed", longer, 20, 5, 10, 300);
    scripted_seed("scripted_reset", longer, 3, 15, 15, 500, 2);
}

TEST(QuvoConnBroken, ReconnectAfterAStreamThatEndsBeforeItsEofHeader) {
    tcp_server server({[&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=chunked\n" + chunk("abcd", "continuation-token=T"));
                       },
                       [&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=chunked; continuation-token=T; continuation-offset=4\n" +
                                  chunk("efgh") + "EOF\n");
                           p.wait_closed();
                       }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    EXPECT_EQ(read_all(*c, [] { return std::size_t(3); }), "abcdefgh");
    EXPECT_EQ(server.accepted(), 2u);
}

// ---------------------------------------------------------------- cancel and shutdown

TEST(QuvoConnCancel, WhileBlockedInRead) {
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk("ab"));
        p.wait_closed();
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    char b[8];
    EXPECT_EQ(c->readsome(b, 8), 2u);
    std::thread other([c] {
        std::this_thread::sleep_for(100ms);
        c->cancel();
    });
    // Without a token the aborted read is a read failure; the next wait is cancelled.
    try {
        c->readsome(b, 8);
        ADD_FAILURE() << "a cancelled read delivered data";
    } catch (const cancelled&) {
        ADD_FAILURE() << "the aborted read itself reported the cancel";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ECANCELED);
        EXPECT_EQ(std::string(e.what()).rfind("quvo_connection read, code: " + std::to_string(ECANCELED), 0), 0u)
            << e.what();
    }
    other.join();
    EXPECT_THROW(c->readsome(b, 8), cancelled);
    EXPECT_THROW(c->readsome(b, 8), cancelled);
    EXPECT_STREQ(cancelled().what(), "Operation canceled");
}

TEST(QuvoConnCancel, WhileBlockedInReadWithAToken) {
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk("ab", "continuation-token=T"));
        p.wait_closed();
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    char b[8];
    EXPECT_EQ(c->readsome(b, 8), 2u);
    std::thread other([c] {
        std::this_thread::sleep_for(100ms);
        c->cancel();
    });
    // The aborted read leads to a re-connect, whose first wait is cancelled.
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(c->readsome(b, 8), cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    other.join();
    EXPECT_EQ(server.accepted(), 1u);
    EXPECT_EQ(c->continuation(), "T:2");
}

TEST(QuvoConnCancel, DuringTheReconnectWait) {
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk("abcd", "continuation-token=T") + "9\n");
        p.reset();
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    char b[8];
    EXPECT_EQ(c->readsome(b, 8), 4u);
    std::thread other([c] {
        std::this_thread::sleep_for(200ms);
        c->cancel();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(c->readsome(b, 8), cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);  // the one second wait was cut short
    other.join();
    EXPECT_EQ(server.accepted(), 1u);
}

TEST(QuvoConnCancel, ShutdownOrCancelEndsAReadHeldAtTheBound) {
    small_ack_bound bound;
    const std::size_t limit = scanlib::quvo::ack_backlog_limit;
    // Packets of 1600 words, 100 chunks each: a shutdown reads on through
    // chunks that ask for acknowledgements up to the next packet start.
    auto word = [](std::uint32_t i) { return i % 1600 == 0 ? 0xFFFFFF01u : i; };
    for (bool shutdown : {true, false}) {
        SCOPED_TRACE(shutdown ? "request_shutdown" : "cancel");
        scanlib::quvo::ack_backlog_peak = 0;
        tcp_server server({endless_unacknowledged(4000, word)});
        auto c = make(server.uri("/s"));
        auto dog = std::make_unique<watchdog>(c);
        c->open();
        std::atomic<std::int64_t> asked{0};
        std::thread other([&] {
            // Once the client has held as much as it may for a while.
            auto deadline = std::chrono::steady_clock::now() + 5s;
            while (scanlib::quvo::ack_backlog_peak + 4100 < limit && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(200ms);
            asked = std::chrono::steady_clock::now().time_since_epoch().count();
            if (shutdown)
                c->request_shutdown();
            else
                c->cancel();
        });
        std::string got, error;
        try {
            got = read_all(*c, [] { return std::size_t(4096); });
        } catch (const cancelled& e) {
            error = e.what();
        } catch (const std::exception& e) {
            error = std::string("other error: ") + e.what();
        }
        auto ended = std::chrono::steady_clock::now();
        other.join();
        EXPECT_LT(ended - std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(asked.load())),
                  3000ms);
        EXPECT_GT(scanlib::quvo::ack_backlog_peak + 4100, limit);
        EXPECT_LE(scanlib::quvo::ack_backlog_peak, limit);
        if (shutdown) {
            // No further acknowledgement was queued, and the stream ends in
            // front of a packet.
            EXPECT_EQ(error, "");
            EXPECT_TRUE(c->eof);
            EXPECT_GT(got.size(), 0u);
            EXPECT_EQ(got.size() % (4 * 1600), 0u);
            EXPECT_TRUE(words_in_order(got, word));
        } else {
            EXPECT_EQ(error, "Operation canceled");
        }
        dog.reset();
        c.reset();  // the server sees the client go away
        EXPECT_TRUE(server.wait_done());
    }
}

TEST(QuvoConnCancel, BeforeOpen) {
    tcp_server server({});
    auto c = make(server.uri("/s"));
    c->cancel();
    EXPECT_THROW(c->open(), cancelled);
    EXPECT_EQ(server.accepted(), 0u);
}

TEST(QuvoConnShutdown, CutsInFrontOfTheNextPacket) {
    // Two data words, then packets starting with start words on the grid.
    const std::string data = le_words({0x11111111, 0x22222222, 0xFFFFFF05, 0x33333333, 0xFFFFFFFF, 0x44444444});
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk(data, "continuation-token=S") + "EOF\n");
        p.wait_closed();
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    char b[64];
    EXPECT_EQ(c->readsome(b, 6), 6u);
    c->request_shutdown();
    EXPECT_EQ(c->readsome(b, 64), 2u);  // the rest of the data words, not the packet
    EXPECT_EQ(std::string(b, 2), data.substr(6, 2));
    EXPECT_EQ(c->readsome(b, 64), 0u);
    EXPECT_TRUE(c->eof);
    // A resume starts at the held-back start word.
    EXPECT_EQ(c->continuation(), "S:8");
}

TEST(QuvoConnShutdown, DataWithoutStartWordPassUnchanged) {
    const std::string data = le_words({0x11111111, 0xFFFFFF00, 0x000000FF, 0x44444444});
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=plain\n" + data);
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    c->request_shutdown();
    EXPECT_EQ(read_all(*c, [] { return std::size_t(64); }), data);
}

// ---------------------------------------------------------------- errors at the surface

TEST(QuvoConnErrors, ConversionAtThePublicOperations) {
    {
        scanlib::quvoconn_error e(boost::system::error_code(111, boost::system::system_category()),
                                  "handle_connect");
        EXPECT_STREQ(e.what(), "handle_connect, code: 111");
        EXPECT_EQ(e.code().value(), 111);
    }
    // Connection refused: an operating-system error becomes std::system_error.
    auto c = make("quvo://127.0.0.1:" + std::to_string(free_tcp_port()) + "/s");
    try {
        c->open();
        ADD_FAILURE() << "connected to a closed port";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::error_code(ECONNREFUSED, std::system_category()));
        EXPECT_NE(std::string(e.what()).find("handle_connect, code: 111"), std::string::npos) << e.what();
    }
    // A service that does not resolve stays a Boost error of its own category.
    auto d = make("quvo://127.0.0.1:no-such-service-name/s");
    try {
        d->open();
        ADD_FAILURE() << "resolved a missing service";
    } catch (const std::system_error&) {
        ADD_FAILURE() << "resolver error converted to std::system_error";
    } catch (const boost::system::system_error& e) {
        EXPECT_NE(e.code().category(), boost::system::system_category());
        EXPECT_NE(std::string(e.what()).find("handle_resolve"), std::string::npos) << e.what();
    }
}

TEST(QuvoConnBroken, ReadAfterCloseResumesWithAToken) {
    tcp_server server({[&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=chunked\n" + chunk("abcdef", "continuation-token=R") + "EOF\n");
                           p.wait_closed();
                       },
                       [&](tcp_peer& p) {
                           p.read_line();
                           p.send("FILE encoding=chunked; continuation-token=R; continuation-offset=2\n" +
                                  chunk("cdef") + "EOF\n");
                           p.wait_closed();
                       }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    char b[2];
    c->read(b, 2);
    c->close();
    // Nothing buffered from the closed connection is delivered; the resume
    // asks for exactly the bytes not yet taken.
    EXPECT_EQ(read_all(*c, [] { return std::size_t(3); }), "cdef");
    EXPECT_EQ(server.lines().back(), "S continuation-offset=2; continuation-token=R; encoding=chunked; format=zpk");
}

TEST(QuvoConnBroken, GivesUpAfter52AttemptsInARow) {
    // The whole schedule (297 seconds) in milliseconds.
    short_seconds shortened;
    // The first server connection breaks the stream; every later one is taken
    // and reset before a status line, which counts as a failed attempt too.
    std::vector<tcp_server::script> scripts = {[](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk("abcd", "continuation-token=G") + "9\n");
        p.reset();
    }};
    for (int i = 0; i < 60; ++i)
        scripts.push_back([](tcp_peer& p) { p.reset(); });
    tcp_server server(scripts);
    auto c = make(server.uri("/s"));
    watchdog dog(c, 20000ms);
    c->open();
    char b[8];
    EXPECT_EQ(c->readsome(b, 8), 4u);
    auto start = std::chrono::steady_clock::now();
    std::string error = error_text([&] { read_all(*c, [] { return std::size_t(8); }); });
    EXPECT_GE(std::chrono::steady_clock::now() - start, 297ms);
    EXPECT_NE(error.find("quvo_connection retry_open"), std::string::npos) << error;
    EXPECT_EQ(server.accepted(), 1u + 52u);
}

TEST(QuvoConnBroken, WholeWordsBeforeAFailureReachTheReader) {
    // Plain and chunked, closed or reset after 4k + 1, 4k + 2 and 4k + 3 bytes;
    // the reader takes whole words.
    struct variant {
        bool chunked, reset;
        std::size_t sent;
    };
    const std::string payload = random_bytes(1003, 12);
    std::vector<variant> variants;
    for (bool chunked : {false, true})
        for (bool reset : {false, true})
            for (std::size_t extra : {1, 2, 3})
                variants.push_back({chunked, reset, 1000 + extra});
    std::vector<tcp_server::script> scripts;
    for (const auto& v : variants)
        scripts.push_back([&v, &payload](tcp_peer& p) {
            p.read_line();
            const std::string bytes = payload.substr(0, v.sent);
            // A chunk announced longer than what comes.
            p.send(v.chunked ? "FILE encoding=chunked\n" + std::to_string(v.sent + 100) + "\n" + bytes
                             : "FILE encoding=plain\n" + bytes);
            if (v.reset)
                p.reset();
            else
                p.close();
        });
    tcp_server server(scripts);
    for (const auto& v : variants) {
        SCOPED_TRACE(std::string(v.chunked ? "chunked" : "plain") + (v.reset ? ", reset after " : ", closed after ") +
                     std::to_string(v.sent));
        auto c = make(server.uri("/s"));
        watchdog dog(c);
        c->open();
        scanlib::decoder_zpkmarker reader(*c, false);
        std::vector<unsigned int> words(1024);
        std::string got, error;
        boost::system::error_code code;
        try {
            while (unsigned long k = reader.read(words.data(), words.size()))
                got.append(reinterpret_cast<const char*>(words.data()), 4 * k);
        } catch (const std::system_error& e) {
            error = e.what();
            code = boost::system::error_code(e.code().value(), boost::system::system_category());
        } catch (const boost::system::system_error& e) {
            error = e.what();
            code = e.code();
        }
        EXPECT_EQ(got, payload.substr(0, v.sent / 4 * 4));
        if (v.reset) {
            EXPECT_EQ(code.value(), ECONNRESET) << error;
            EXPECT_NE(error.find("quvo_connection read"), std::string::npos) << error;
        } else if (v.chunked) {
            EXPECT_EQ(code, boost::asio::error::eof) << error;
            EXPECT_NE(error.find("quvo_connection read"), std::string::npos) << error;
        } else {
            EXPECT_EQ(error, "");  // a plain stream ends where the server closes
        }
    }
    scripted_seed("scripted_words_reset", payload.substr(0, 600), 8, 0, 0, 301, 2, false, 7 | 16);
    scripted_seed("scripted_words_close", payload.substr(0, 600), 8, 0, 0, 302, 0, false, 7 | 16);
}

TEST(QuvoConnBroken, AFailedAcknowledgementComesAfterTheDataReceived) {
    // The server resets after its data. The client's acknowledgement, written
    // after the reset, fails while most of the data still wait in the socket.
    const std::string payload = random_bytes(4 + 40002, 14);
    gate reset;
    tcp_server server({[&](tcp_peer& p) {
        p.read_line();
        p.send("FILE encoding=chunked\n" + chunk(payload.substr(0, 4), "acknowledge-token=A") +
               std::to_string(payload.size()) + "\n" + payload.substr(4));
        p.reset();
        reset.open();
    }});
    auto c = make(server.uri("/s"));
    watchdog dog(c);
    c->open();
    ASSERT_TRUE(reset.wait());
    scanlib::decoder_zpkmarker reader(*c, false);
    std::vector<unsigned int> words(1024);
    std::string got, error;
    int code = 0;
    try {
        while (unsigned long k = reader.read(words.data(), words.size()))
            got.append(reinterpret_cast<const char*>(words.data()), 4 * k);
    } catch (const std::system_error& e) {
        error = e.what();
        code = e.code().value();
    }
    EXPECT_EQ(got, payload.substr(0, payload.size() / 4 * 4));
    EXPECT_TRUE(code == ECONNRESET || code == EPIPE) << error;
    EXPECT_NE(error.find("quvo_connection read"), std::string::npos) << error;
}

TEST(QuvoConnBroken, OnlyDataRenewsTheAttemptBudget) {
    short_seconds shortened;
    // The first connection and 60 resumes each deliver four bytes and break
    // inside a chunk; then every connection answers the resume and closes.
    const std::size_t with_data = 61;
    const std::string payload = random_bytes(4 * with_data, 13);
    auto resumed = [](std::size_t offset) {
        return "FILE encoding=chunked; continuation-token=D; continuation-offset=" + std::to_string(offset) + "\n";
    };
    std::vector<tcp_server::script> scripts;
    for (std::size_t i = 0; i < with_data; ++i)
        scripts.push_back([&, i](tcp_peer& p) {
            p.read_line();
            p.send((i == 0 ? std::string("FILE encoding=chunked\n") : resumed(4 * i)) +
                   chunk(payload.substr(4 * i, 4), i == 0 ? "continuation-token=D" : "") + "9\n");
        });
    for (int i = 0; i < 60; ++i)
        scripts.push_back([&](tcp_peer& p) {
            p.read_line();
            p.send(resumed(payload.size()));
        });
    tcp_server server(scripts);
    auto c = make(server.uri("/s"));
    watchdog dog(c, 20000ms);
    c->open();
    std::string got;
    try {
        char b[64];
        while (std::size_t k = c->readsome(b, sizeof b))
            got.append(b, k);
        ADD_FAILURE() << "the stream ended";
    } catch (const std::system_error& e) {
        ADD_FAILURE() << e.what();
    } catch (const boost::system::system_error& e) {
        // The last cause: the server closed where a chunk header was due.
        EXPECT_EQ(e.code(), boost::asio::error::eof);
        EXPECT_NE(std::string(e.what()).find("quvo_connection retry_open"), std::string::npos) << e.what();
    }
    EXPECT_EQ(got, payload);
    EXPECT_EQ(server.accepted(), with_data + scanlib::quvo::retry_attempts);
    EXPECT_EQ(c->continuation(), "D:" + std::to_string(payload.size()));
    scripted_seed("scripted_drop", payload, 2, 15, 0, 100, 0, false, 7 | 7 << 5);
    scripted_seed("scripted_cut_again", payload, 2, 15, 0, 100, 2, false, 7 | 6 << 5);
}
