// The quvo protocol core, driven line by line without sockets.
#include <gtest/gtest.h>

#include "../scanlib/src/quvoproto.hpp"
#include "zpk_support.hpp"

#include <numeric>
#include <stdexcept>

using namespace scanlib::quvo;

namespace {

std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no error>";
}

// A protocol that has accepted a chunked status line.
protocol chunked_stream(std::string_view continuation = "") {
    protocol p("stream ", continuation);
    std::string id;
    std::string line = "FILE encoding=chunked";
    if (p.has_token())
        line += "; continuation-token=" + p.token() + "; continuation-offset=" + std::to_string(p.offset());
    p.on_status(line + "\n", id);
    return p;
}

} // namespace

TEST(QuvoProtoLineSyntax, WordsAndItems) {
    item_map m;
    EXPECT_EQ(parse("file encoding=chunked; id=Scan 7\n", m), "FILE");
    EXPECT_EQ(m, (item_map{{"encoding", "chunked"}, {"id", "Scan 7"}}));

    m.clear();
    EXPECT_EQ(parse("x a = 1 ;b=2", m), "X");
    EXPECT_EQ(m, (item_map{{"a", "1"}, {"b", "2"}}));

    m.clear();  // bare key, '=' inside a value, keys lower-cased, values keep their case
    EXPECT_EQ(parse("4096 Pong; Key=a=B\r\n", m), "4096");
    EXPECT_EQ(m, (item_map{{"key", "a=B"}, {"pong", ""}}));

    m.clear();  // the word alone, or followed by separators only
    EXPECT_EQ(parse("EOF", m), "EOF");
    EXPECT_EQ(parse("eof \t\r\n", m), "EOF");
    EXPECT_TRUE(m.empty());

    m = {{"a", "old"}};  // merge: a later item replaces the value
    parse("W a=new; a=newer; inner key = v w ", m);
    EXPECT_EQ(m, (item_map{{"a", "newer"}, {"inner key", "v w"}}));

    m.clear();  // a ';' right after the word starts an item with an empty key
    parse("W ;k=v", m);
    EXPECT_EQ(m, (item_map{{"", ""}, {"k", "v"}}));
}

TEST(QuvoProtoLineSyntax, ComposeRoundTrip) {
    item_map m{{"encoding", "chunked"}, {"format", "zpk"}};
    EXPECT_EQ(compose("STREAM", m), "STREAM encoding=chunked; format=zpk");
    EXPECT_EQ(compose("X", {{"pong", ""}}), "X pong");
    EXPECT_EQ(compose("X", {}), "X");

    item_map back;
    EXPECT_EQ(parse(compose("STREAM", m), back), "STREAM");
    EXPECT_EQ(back, m);
}

TEST(QuvoProtoLineSyntax, DecimalNumbers) {
    std::uint64_t v = 7;
    EXPECT_TRUE(from_string(v, "12ABC"));
    EXPECT_EQ(v, 12u);
    EXPECT_TRUE(from_string(v, "  0"));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(from_string(v, "18446744073709551615"));
    EXPECT_EQ(v, 18446744073709551615ull);
    v = 7;
    EXPECT_FALSE(from_string(v, "18446744073709551616"));
    EXPECT_FALSE(from_string(v, ""));
    EXPECT_FALSE(from_string(v, "EOF"));
    EXPECT_FALSE(from_string(v, "-5"));  // a negative size must not wrap to a huge chunk
    EXPECT_EQ(v, 7u);
}

TEST(QuvoProtoRequest, DefaultsQueryOverridesAndContinuation) {
    EXPECT_EQ(protocol("stream ", "").request(), "STREAM encoding=chunked; format=zpk\n");
    // The path "/" alone leaves the command word empty.
    EXPECT_EQ(protocol(" ", "").request(), " encoding=chunked; format=zpk\n");
    // Query items override the defaults and add others; keys lower-cased.
    EXPECT_EQ(protocol("stream Format=X;Encoding=plain;Extra", "").request(),
              "STREAM encoding=plain; extra; format=X\n");
    // ":0" is what an untouched connection reports: no token, no items.
    EXPECT_EQ(protocol("stream ", ":0").request(), "STREAM encoding=chunked; format=zpk\n");
    EXPECT_EQ(protocol("stream ", "T1:4096").request(),
              "STREAM continuation-offset=4096; continuation-token=T1; encoding=chunked; format=zpk\n");
    // Without ':' the text is ignored; an unreadable offset counts as 0.
    EXPECT_FALSE(protocol("stream ", "T1").has_token());
    EXPECT_EQ(protocol("stream ", "T1:x").offset(), 0u);
}

TEST(QuvoProtoRequest, ContinuationTokens) {
    // The offset follows the last ':', so tokens may hold ':'.
    protocol p("stream ", "host:7:abc:123");
    EXPECT_EQ(p.token(), "host:7:abc");
    EXPECT_EQ(p.offset(), 123u);
    EXPECT_EQ(p.continuation(), "host:7:abc:123");
    EXPECT_EQ(protocol("s ", "").continuation(), ":0");
    // Tokens that would break the request line are refused.
    for (const char* bad : {"a\nEVIL x:1", "a\r:1", "a;format=raw:1"})
        EXPECT_THROW(protocol("stream ", bad), std::invalid_argument) << bad;
    EXPECT_NO_THROW(protocol("stream ", "a=b c:1"));
}

TEST(QuvoProtoStatus, AcceptedWordsAndEncodings) {
    for (const char* word : {"FILE", "current", "Actual"}) {
        protocol p("s ", "");
        std::string id = "old";
        p.on_status(std::string(word) + " encoding=plain; id=S1\n", id);
        EXPECT_EQ(p.state(), protocol::streaming);
        EXPECT_FALSE(p.chunked());
        EXPECT_FALSE(p.line_due());
        EXPECT_EQ(id, "S1");
    }
    protocol p("s ", "");
    std::string id = "old";
    p.on_status("FILE encoding=chunked\n", id);
    EXPECT_TRUE(p.chunked());
    EXPECT_TRUE(p.line_due());
    EXPECT_EQ(id, "");  // a missing id gives an empty name
}

TEST(QuvoProtoStatus, Errors) {
    std::string id;
    EXPECT_EQ(error_of([&] { protocol("s ", "").on_status("ERROR error-text=No such scan; code=4\n", id); }),
              "No such scan");
    EXPECT_EQ(error_of([&] { protocol("s ", "").on_status("ERROR\n", id); }), "");
    EXPECT_EQ(error_of([&] { protocol("s ", "").on_status("busy encoding=plain\n", id); }),
              "Unexpected server status: BUSY");
    EXPECT_EQ(error_of([&] { protocol("s ", "").on_status("\n", id); }), "Unexpected server status: ");
    EXPECT_EQ(error_of([&] { protocol("s ", "").on_status("FILE id=a\n", id); }), "Unknown encoding!");
    EXPECT_EQ(error_of([&] { protocol("s ", "").on_status("FILE encoding=gzip\n", id); }), "Unknown encoding!");
    // The comparison of the echoed continuation is textual.
    EXPECT_EQ(error_of([&] {
                  protocol("s ", "T:4096").on_status(
                      "FILE encoding=chunked; continuation-token=T; continuation-offset=04096\n", id);
              }),
              "Required continuation missing!");
    EXPECT_EQ(error_of([&] {
                  protocol("s ", "T:4096").on_status("FILE encoding=chunked; continuation-offset=4096\n", id);
              }),
              "Required continuation missing!");
    EXPECT_NO_THROW(protocol("s ", "T:4096").on_status(
        "FILE encoding=chunked; continuation-token=T; continuation-offset=4096\n", id));
}

TEST(QuvoProtoStatus, StreamStaysFailedAfterEncodingOrContinuationError) {
    for (const char* line : {"FILE encoding=zip\n", "FILE encoding=plain\n"}) {
        protocol p("s ", "T:5");
        std::string id;
        std::string first = error_of([&] { p.on_status(line, id); });
        EXPECT_NE(first, "<no error>");
        EXPECT_FALSE(p.line_due());  // no second status line is read ...
        EXPECT_EQ(error_of([&] { p.check(); }), first);  // ... every further read fails alike
        EXPECT_EQ(error_of([&] { p.check(); }), first);
    }
    protocol ok("s ", "");
    EXPECT_NO_THROW(ok.check());
}

TEST(QuvoProtoChunks, HeadersSizesAndEnd) {
    protocol p = chunked_stream();
    EXPECT_EQ(p.on_chunk_header("10 pong\n"), "");
    EXPECT_EQ(p.chunk_remaining(), 10u);
    EXPECT_FALSE(p.line_due());
    EXPECT_EQ(p.data_limit(100), 10u);
    EXPECT_EQ(p.data_limit(4), 4u);
    unsigned char data[10] = {};
    EXPECT_EQ(p.on_data(data, 4), 4u);
    EXPECT_EQ(p.on_data(data, 6), 6u);
    EXPECT_TRUE(p.line_due());

    // A chunk of size 0 does not end the stream: another header is due.
    p.on_chunk_header("0\n");
    EXPECT_EQ(p.state(), protocol::streaming);
    EXPECT_TRUE(p.line_due());

    EXPECT_EQ(error_of([&] { p.on_chunk_header("ERROR error-text=disk gone\n"); }), "disk gone");
    EXPECT_EQ(error_of([&] { p.on_chunk_header("DATA 5\n"); }), "Unexpected server status: DATA");
    EXPECT_EQ(error_of([&] { p.on_chunk_header("-5\n"); }), "Unexpected server status: -5");
    p.on_chunk_header("eof\n");
    EXPECT_EQ(p.state(), protocol::ended);
    EXPECT_FALSE(p.line_due());
}

TEST(QuvoProtoChunks, AcknowledgementFollowsTheNextHeader) {
    protocol p = chunked_stream();
    unsigned char data[8] = {};
    EXPECT_EQ(p.on_chunk_header("8 acknowledge-token=A1\n"), "");
    p.on_data(data, 8);
    EXPECT_EQ(p.on_chunk_header("8\n"), "ACKNOWLEDGE acknowledge-token=A1\n");
    p.on_data(data, 8);
    EXPECT_EQ(p.on_chunk_header("0 acknowledge-token=A2\n"), "");
    EXPECT_EQ(p.on_chunk_header("8 acknowledge-token=A3\n"), "ACKNOWLEDGE acknowledge-token=A2\n");
    p.on_data(data, 8);
    p.on_chunk_header("EOF\n");  // the end sends no pending acknowledgement
    EXPECT_EQ(p.state(), protocol::ended);
}

TEST(QuvoProtoChunks, ContinuationOffsetCountsBytesSinceToken) {
    protocol p = chunked_stream();
    unsigned char data[16] = {};
    p.on_chunk_header("16\n");
    p.on_data(data, 16);
    EXPECT_EQ(p.continuation(), ":16");
    p.on_chunk_header("16 continuation-token=C:1\n");
    EXPECT_EQ(p.continuation(), "C:1:0");
    p.on_data(data, 5);
    p.on_data(data, 6);
    EXPECT_EQ(p.continuation(), "C:1:11");
    EXPECT_EQ(p.request(),
              "STREAM continuation-offset=11; continuation-token=C:1; encoding=chunked; format=zpk\n");
    // A new connection awaits its status line, which must echo the continuation.
    p.restart();
    EXPECT_TRUE(p.line_due());
    std::string id;
    p.on_status("FILE encoding=chunked; continuation-token=C:1; continuation-offset=11\n", id);
    EXPECT_EQ(p.chunk_remaining(), 0u);
    EXPECT_TRUE(p.line_due());
}

TEST(QuvoProtoShutdown, StartWordSearchOnTheGrid) {
    const unsigned char s[] = {1, 2, 3, 4, 0x01, 0xFF, 0xFF, 0xFF, 9, 9};
    EXPECT_EQ(find_start_word(s, sizeof s, 0), 4u);
    EXPECT_EQ(find_start_word(s, sizeof s, 1), sizeof s);  // off the grid
    EXPECT_EQ(find_start_word(s + 1, sizeof s - 1, 1), 3u);
    EXPECT_EQ(find_start_word(s, 8, 0), 4u);  // a start word that ends the data counts
    EXPECT_EQ(find_start_word(s, 7, 0), 7u);  // one cut short does not
    const unsigned char escape[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(find_start_word(escape, 8, 0), 4u);  // 0xFFFFFF00 is no start word
}

TEST(QuvoProtoShutdown, CutWithholdsThePacketAndItsBytesFromTheOffset) {
    protocol p("s ", "T:100");
    std::string id;
    p.on_status("FILE encoding=plain; continuation-token=T; continuation-offset=100\n", id);
    // Two bytes first, so the grid starts two bytes into the next read.
    const unsigned char head[] = {0xAA, 0xBB};
    EXPECT_EQ(p.on_data(head, 2), 2u);
    p.request_shutdown();
    const unsigned char rest[] = {0xCC, 0xDD, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2};
    EXPECT_EQ(p.on_data(rest, sizeof rest), 2u);
    EXPECT_EQ(p.state(), protocol::ended);
    // The resume starts exactly at the start word that was held back.
    EXPECT_EQ(p.continuation(), "T:104");
}

TEST(QuvoProtoRetry, ScheduleOfOneReconnect) {
    std::vector<unsigned> delays;
    for (unsigned a = 0; a < retry_attempts; ++a)
        delays.push_back(retry_delay(a));
    ASSERT_EQ(delays.size(), 52u);
    EXPECT_EQ(std::vector<unsigned>(delays.begin(), delays.begin() + 7),
              (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 6}));
    EXPECT_EQ(delays.back(), 6u);
    EXPECT_EQ(std::accumulate(delays.begin(), delays.end(), 0u), 297u);
}

// Feeds a server's bytes to the protocol as the connection does, reading data
// in calls of `read_size`; returns the delivered bytes and the replies.
struct exchange {
    std::string delivered, replies, error;
    protocol::state_type state;
    std::string continuation;
};

exchange drive(std::string_view in, bool held, std::size_t read_size) {
    exchange x;
    protocol p("stream ", held ? "T:8" : "");
    std::string id;
    try {
        while (!in.empty() && p.state() != protocol::ended) {
            if (p.line_due()) {
                std::size_t lf = in.find('\n');
                std::string_view line = in.substr(0, lf == std::string_view::npos ? in.size() : lf + 1);
                in.remove_prefix(line.size());
                x.replies += p.on_line(line, id);
            } else {
                std::size_t k = std::min(p.data_limit(read_size), in.size());
                x.delivered.append(in.data(), p.on_data(reinterpret_cast<const unsigned char*>(in.data()), k));
                in.remove_prefix(k);
            }
        }
    } catch (const std::runtime_error& e) {
        x.error = e.what();
    }
    x.state = p.state();
    x.continuation = p.continuation();
    return x;
}

TEST(QuvoProtoChunks, WholeExchangesAlsoSeedTheFuzzer) {
    struct seed {
        std::string name, server;
        bool held;
        std::size_t read_size;
        std::string delivered, replies, error, continuation;
    };
    const std::vector<seed> seeds = {
        {"plain", "FILE encoding=plain; id=x\n" + std::string(40, 'z'), false, 17, std::string(40, 'z'), "", "",
         ":40"},
        {"chunked", "FILE encoding=chunked\n5 acknowledge-token=a\nhello0\n3 continuation-token=c\nabcEOF\n",
         false, 4, "helloabc", "ACKNOWLEDGE acknowledge-token=a\n", "", "c:3"},
        {"resumed",
         "CURRENT encoding=chunked; continuation-token=T; continuation-offset=8\n4\nwxyzEOF\n", true, 3, "wxyz",
         "", "", "T:12"},
        {"errors", "FILE encoding=chunked\n2\nabERROR error-text=x\n", false, 2, "ab", "", "x", ":2"},
    };
    for (const auto& s : seeds) {
        exchange x = drive(s.server, s.held, s.read_size);
        EXPECT_EQ(x.delivered, s.delivered) << s.name;
        EXPECT_EQ(x.replies, s.replies) << s.name;
        EXPECT_EQ(x.error, s.error) << s.name;
        EXPECT_EQ(x.continuation, s.continuation) << s.name;
        // The fuzzer's first byte: bit 0 = continuation held, the rest = read size - 1.
        std::string bytes(1, char((s.held ? 1 : 0) | ((s.read_size - 1) << 1)));
        bytes += s.server;
        zpktest::write_seed("fuzz_quvoproto", s.name, std::vector<char>(bytes.begin(), bytes.end()));
    }
}
