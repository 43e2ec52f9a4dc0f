#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>

#include <scanlib/connection.hpp>
#include <scanlib/fileconn.hpp>
#include <scanlib/memconn.hpp>
#include <scanlib/qudaconn.hpp>
#include <scanlib/quvoconn.hpp>

#include "../scanlib/src/connection_internal.hpp"
#include "conn_testutil.hpp"

using namespace conntest;
using scanlib::basic_rconnection;
using scanlib::basic_wconnection;

namespace {

struct uri_parts {
    const char* text;
    const char* scheme;
    const char* authority;
    const char* path;
    const char* query;
    const char* fragment;
};

} // namespace

TEST(Uri, SplitsComponents) {
    const uri_parts cases[] = {
        {"quvo://host:20001/stream?a=1;b=2#x", "quvo", "host:20001", "/stream", "a=1;b=2", "x"},
        {"file:/data/scan.zpk", "file", "", "/data/scan.zpk", "", ""},
        {"file:/a//b", "file", "b", "", "", ""}, // the "//" need not follow the colon
        {"scan.zpk", "", "", "scan.zpk", "", ""},
        {"D:\\data\\scan.zpk", "D", "", "\\data\\scan.zpk", "", ""},
        {"FILE:x", "FILE", "", "x", "", ""},
        {"a?", "", "", "a", "", ""},
        {"x:", "x", "", "", "", ""},
        {":x", "", "", "x", "", ""},
        {"", "", "", "", "", ""},
        {"quvo://", "quvo", "", "", "", ""},
        {"quvo://h", "quvo", "h", "", "", ""},
        {"quvo://h?q", "quvo", "h", "", "q", ""},
        {"quvo://h#f", "quvo", "h", "", "", "f"},
        {"p?#f", "", "", "p", "", "f"},
        {"p#f?x", "", "", "p", "", "f?x"},
        {"p##", "", "", "p", "", "#"},
        {"/a:b", "", "", "/a:b", "", ""}, // a '/' before the ':' means no scheme
        {"a:b:c", "a", "", "b:c", "", ""},
    };
    for (const auto& c : cases) {
        uri u(c.text);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(u.scheme, c.scheme);
        EXPECT_EQ(u.authority, c.authority);
        EXPECT_EQ(u.path, c.path);
        EXPECT_EQ(u.query, c.query);
        EXPECT_EQ(u.fragment, c.fragment);
    }
}

TEST(Connection, DefaultNameIsUtcConstructionTime) {
    std::vector<char> sink;
    std::time_t before = std::time(nullptr);
    scanlib::mem_wconnection c(sink);
    std::time_t after = std::time(nullptr);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(c.name, m, std::regex("UNNAMED_(\\d{6})_(\\d{6})"))) << c.name;
    EXPECT_FALSE(c.eof);
    bool matched = false;
    for (std::time_t t = before; t <= after && !matched; ++t) {
        std::tm utc{};
        gmtime_r(&t, &utc);
        char expect[32];
        std::strftime(expect, sizeof expect, "UNNAMED_%y%m%d_%H%M%S", &utc);
        matched = c.name == expect;
    }
    EXPECT_TRUE(matched) << c.name;
}

TEST(ReadPath, BaseOperations) {
    mem_rconnection c("abcdef");
    EXPECT_EQ(c.continuation(), "");
    EXPECT_NO_THROW(c.request_shutdown());
    try {
        c.seekg(0);
        FAIL() << "seekg on a plain connection";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "basic_rconnection: stream is not seekable!");
    }
}

TEST(ReadPath, ReadsomeZeroLeavesSourceAlone) {
    mem_rconnection c("abc");
    char b[4];
    EXPECT_EQ(c.readsome(b, 0), 0u);
    EXPECT_EQ(c.source_calls, 0u);
    EXPECT_FALSE(c.eof);
    EXPECT_EQ(c.tellg(), 0u);
}

TEST(ReadPath, ReadCollectsUntilCountOrEnd) {
    const std::string data = pattern(100);
    mem_rconnection c(data, 7);
    char buf[64];
    c.read(buf, 30);
    EXPECT_EQ(c.gcount, 30u);
    EXPECT_EQ(std::string(buf, 30), data.substr(0, 30));
    EXPECT_EQ(c.tellg(), 30u);
    c.read(buf, 64);
    EXPECT_EQ(c.gcount, 64u);
    c.read(buf, 64); // only 6 left
    EXPECT_EQ(c.gcount, 6u);
    EXPECT_EQ(std::string(buf, 6), data.substr(94));
    EXPECT_TRUE(c.eof);
    EXPECT_EQ(c.tellg(), 100u);
    try {
        c.read(buf, 1);
        FAIL() << "read past the end";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "basic_rconnection: attempt to read beyond end of input!");
    }
}

TEST(ReadPath, ReadOfZeroBytesAsksOnce) {
    mem_rconnection c("ab");
    char b[1];
    c.read(b, 0);
    EXPECT_EQ(c.gcount, 0u);
    EXPECT_EQ(c.source_calls, 0u); // readsome(_, 0) does not reach the source
}

TEST(Factory, ReadSchemes) {
    temp_dir dir;
    write_file(dir / "scan.zpk", "0123");
    write_file(dir / "scan.zpo", "stem,");
    write_file(dir / "common.zpo", "common,");
    write_file(dir / "scan.zpk_001", "45");
    cwd_guard cwd(dir.path());

    // A relative path: prefix files and parts come from the working directory.
    auto plain = basic_rconnection::create_impl("scan.zpk", "", "");
    EXPECT_NE(dynamic_cast<scanlib::file_rconnection*>(plain.get()), nullptr);
    EXPECT_EQ(plain->name, "scan");
    EXPECT_EQ(drain(*plain), "common,stem,012345");
    auto with_scheme = basic_rconnection::create_impl("file:scan.zpk", "tok:12", "");
    EXPECT_EQ(drain(*with_scheme), "common,stem,012345");

    // Unknown schemes, a drive letter and a differently cased "file" all become paths.
    write_file(dir / "FILE:x", "xx");
    auto upper = basic_rconnection::create_impl("FILE:x", "", "");
    EXPECT_EQ(drain(*upper), "common,xx");
    try {
        basic_rconnection::create_impl("D:\\data\\scan.zpk", "", "");
        FAIL() << "no such file";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not open \"D:\\data\\scan.zpk\" for reading!");
    }
    std::shared_ptr<basic_rconnection> shared = basic_rconnection::create_impl("scan.zpk", "", "");
    EXPECT_EQ(shared->shared_from_this(), shared);
}

TEST(Factory, NetworkSchemesBuildNetworkConnections) {
    // Construction does not touch the network; the scheme test is exact.
    auto tcp = basic_rconnection::create_impl("quvo://127.0.0.1:1/stream?a=1;b=2#x", "", "");
    EXPECT_NE(dynamic_cast<scanlib::quvo_rconnection*>(tcp.get()), nullptr);
    auto udp = basic_rconnection::create_impl("quda://127.0.0.1:1", "", "");
    EXPECT_NE(dynamic_cast<scanlib::quda_rconnection*>(udp.get()), nullptr);
    try {
        basic_rconnection::create_impl("QUVO://127.0.0.1:1/stream", "", "");
        FAIL() << "an upper-case scheme is a file path";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not open \"QUVO://127.0.0.1:1/stream\" for reading!");
    }
}

TEST(Factory, WriteAndReadWrite) {
    temp_dir dir;
    cwd_guard cwd(dir.path());
    write_file(dir / "out.zpk", "old contents");
    {
        auto w = basic_wconnection::create_impl("out.zpk");
        EXPECT_EQ(w->write("new", 3), 3u);
        w->close();
    }
    EXPECT_EQ(read_file(dir / "out.zpk"), "new");
    {
        auto w = basic_wconnection::create_impl("file:out2.zpk");
        w->write("x", 1);
    }
    EXPECT_EQ(read_file(dir / "out2.zpk"), "x");
    try {
        basic_wconnection::create_impl("quvo://h/x");
        FAIL() << "a network uri is a path in a missing directory";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not open \"quvo://h/x\" for writing!");
    }
    try {
        scanlib::basic_rwconnection::create_impl("file:x");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot create read-write connection from uri: file:x");
    }
}
