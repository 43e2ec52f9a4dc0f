#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

#include <scanlib/connection.hpp>
#include <scanlib/fileconn.hpp>
#include <scanlib/memconn.hpp>

#include "../scanlib/src/connection_internal.hpp"
#include "conn_testutil.hpp"
#include "zpk_support.hpp"

using namespace conntest;
using scanlib::basic_rconnection;
using scanlib::basic_wconnection;
using scanlib::file_rconnection;

namespace {

const std::string header_id("\xFF\xFF\xFF\xFF\x00\x00\x01\x00", 8);

std::string part(const std::string& path, unsigned k) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03u", k);
    return path + suffix;
}

std::shared_ptr<basic_rconnection> open_file(const std::string& path, const std::string& override_text = "") {
    return std::make_shared<file_rconnection>("file:" + path, "", override_text);
}

std::string expect_runtime_error(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

// Records the override text that reaches the read path.
class recording_hook {
public:
    std::vector<std::string> texts;
    recording_hook() {
        previous_ = scanlib::detail::set_hreplace_hook(
            [this](std::shared_ptr<basic_rconnection> in, std::shared_ptr<basic_wconnection> out,
                   const std::string& text) {
                texts.push_back(text);
                char id[8];
                in->read(id, 8);
                out->write(id, in->gcount);
            });
    }
    ~recording_hook() { scanlib::detail::set_hreplace_hook(std::move(previous_)); }

private:
    scanlib::detail::hreplace_function previous_;
};

// Leaves a layout as a seed of fuzz_fileconn: `layout` names the main file
// (bits 0-2) and picks common.zpo (8), the stem's .zpo (16), .pxp (32) and
// .override.pxp (64); `parts` holds the part count (bits 0-1), a part after a
// gap (4), the read size (bits 3-5), a log copy (64) split every 4 * seek_at + 1
// bytes or (128) not at all; then come the files' bytes in that
// order, each after its length byte.
void seed(const std::string& name, unsigned layout, unsigned parts, unsigned seek_at,
          const std::vector<std::string>& files) {
    std::vector<char> bytes{char(layout), char(parts), char(seek_at)};
    for (const std::string& f : files) {
        bytes.push_back(char(std::min<std::size_t>(f.size(), 255)));
        bytes.insert(bytes.end(), f.begin(), f.begin() + std::min<std::ptrdiff_t>(f.size(), 255));
    }
    zpktest::write_seed("fuzz_fileconn", name, bytes);
}

} // namespace

TEST(FileRead, JoinsPrefixesMainFileAndParts) {
    temp_dir dir;
    const std::string main = dir / "scan.zpk";
    write_file(dir / "common.zpo", "COMMON");
    write_file(dir / "scan.zpo", "STEM");
    write_file(main, pattern(1000));
    write_file(part(main, 1), pattern(300, 1));
    write_file(part(main, 2), pattern(5, 2));
    auto c = open_file(main);
    EXPECT_EQ(c->name, dir / "scan");
    EXPECT_EQ(c->size, 6u + 4u + 1000u + 300u + 5u);
    const std::string expect = "COMMON" "STEM" + pattern(1000) + pattern(300, 1) + pattern(5, 2);
    for (std::size_t chunk : {1u, 3u, 64u, 0x40000u, 0x50000u}) {
        auto again = open_file(main);
        EXPECT_EQ(drain(*again, chunk), expect) << chunk;
        EXPECT_EQ(again->tellg(), expect.size());
    }
    // A call never mixes two files.
    char buf[100];
    EXPECT_EQ(c->readsome(buf, 100), 6u);
    EXPECT_EQ(c->readsome(buf, 100), 4u);
    EXPECT_EQ(c->gcount, 4u);
    seed("prefixes_and_parts", 0 | 8 | 16, 2 | 2 << 3, 128, {"COMMON", "STEM", pattern(200), pattern(100, 1)});
    seed("logged", 0 | 8, 1 | 4 << 3 | 64, 20, {"COMMON", pattern(200), pattern(100, 1)});
}

TEST(FileRead, EmptyOrMissingFilesAreSkipped) {
    temp_dir dir;
    const std::string main = dir / "scan.zpk";
    write_file(dir / "common.zpo", "");
    write_file(main, "");
    write_file(part(main, 1), "one");
    write_file(part(main, 2), ""); // an empty part does not end the stream
    write_file(part(main, 3), "three");
    write_file(part(main, 5), "five"); // after a gap: never read
    auto c = open_file(main);
    EXPECT_EQ(c->size, 8u);
    char buf[16];
    EXPECT_EQ(c->readsome(buf, 16), 3u);
    EXPECT_EQ(c->readsome(buf, 16), 5u); // straight over the empty part
    EXPECT_EQ(std::string(buf, 5), "three");
    EXPECT_FALSE(c->eof);
    EXPECT_EQ(c->readsome(buf, 16), 0u);
    EXPECT_TRUE(c->eof);
    EXPECT_EQ(expect_runtime_error([&] { c->readsome(buf, 16); }),
              "file_rconnection::more_input: Error reading from file!");
    seed("empty_files_and_gap", 0 | 8, 3 | 4 | 3 << 3, 40, {"", "", "one", "", "three"});
}

TEST(FileRead, PartGoneSinceOpeningIsAnError) {
    temp_dir dir;
    const std::string main = dir / "scan.zpk";
    write_file(main, "abc");
    write_file(part(main, 1), "def");
    write_file(part(main, 2), "ghi");
    auto c = open_file(main);
    fs::remove(part(main, 1));
    char buf[8];
    EXPECT_EQ(c->readsome(buf, 8), 3u);
    // Ending quietly here would cut the stream short.
    EXPECT_EQ(expect_runtime_error([&] { c->readsome(buf, 8); }),
              "file_rconnection::more_input: Error reading from file!");
    EXPECT_FALSE(c->eof);
}

TEST(FileRead, PartsBeyondNineHundredNinetyNine) {
    temp_dir dir;
    const std::string main = dir / "big.zpk";
    write_file(main, "m");
    std::string expect = "m";
    for (unsigned k = 1; k <= 1001; ++k) {
        const std::string bytes = std::to_string(k) + ",";
        write_file(part(main, k), bytes);
        expect += bytes;
    }
    ASSERT_TRUE(fs::exists(dir / "big.zpk_1000"));
    auto c = open_file(main);
    EXPECT_EQ(c->size, expect.size());
    EXPECT_EQ(drain(*c), expect);
}

TEST(FileRead, PartsThatAppearLaterAreRead) {
    temp_dir dir;
    const std::string main = dir / "live.zpk";
    write_file(main, "abc");
    auto c = open_file(main);
    write_file(part(main, 1), "def");
    EXPECT_EQ(drain(*c), "abcdef");
    EXPECT_EQ(c->size, 6u);
}

TEST(FileRead, StemIsCutOnlyInTheFileName) {
    temp_dir dir;
    fs::create_directory(dir / "run.1");
    write_file(dir / "run.1/scan", "data");
    write_file(dir / "run.1/scan.zpo", "STEM;");
    write_file(dir / "run.1/common.zpo", "COMMON;");
    write_file(dir / "run.zpo", "WRONG;"); // what a cut in the directory name would find
    auto c = open_file(dir / "run.1/scan");
    EXPECT_EQ(c->name, dir / "run.1/scan");
    EXPECT_EQ(drain(*c), "COMMON;STEM;data");
    seed("dot_in_folder", 4 | 8 | 16, 0, 200, {"COMMON;", "STEM;", "data"});
}

TEST(FileRead, PrefixThatIsTheMainFileIsReadOnce) {
    temp_dir dir;
    write_file(dir / "common.zpo", "C");
    write_file(dir / "x.zpo", "X");
    EXPECT_EQ(drain(*open_file(dir / "x.zpo")), "CX");
    EXPECT_EQ(drain(*open_file(dir / "common.zpo")), "C");
    write_file(dir / "common", "M"); // its stem prefix is the common prefix
    EXPECT_EQ(drain(*open_file(dir / "common")), "CM");
    seed("main_is_a_prefix", 6 | 8 | 16, 1 | 1 << 3, 1, {"C", "X", "M", "P"});
}

TEST(FileRead, OpenErrors) {
    temp_dir dir;
    EXPECT_EQ(expect_runtime_error([] { file_rconnection("quvo://h/x", "", ""); }),
              "Expected \"file:\" scheme, got \"quvo:\".");
    EXPECT_EQ(expect_runtime_error([] { file_rconnection("scan.zpk", "", ""); }),
              "Expected \"file:\" scheme, got \":\".");
    const std::string missing = dir / "missing.zpk";
    EXPECT_EQ(expect_runtime_error([&] { open_file(missing); }),
              "Could not open \"" + missing + "\" for reading!");
    EXPECT_EQ(expect_runtime_error([&] { open_file(dir.path().string()); }),
              "Could not open \"" + dir.path().string() + "\" for reading!");
    write_file(dir / "scan.zpk", "x");
    fs::create_directory(dir / "scan.zpk_001"); // a part that is no file
    EXPECT_THROW(open_file(dir / "scan.zpk"), fs::filesystem_error);
}

TEST(FileRead, ReadErrorIsNotEndOfInput) {
    // Reading the start of a process's memory file fails with an I/O error.
    if (!fs::exists("/proc/self/mem")) GTEST_SKIP();
    auto c = open_file("/proc/self/mem");
    char buf[16];
    EXPECT_EQ(expect_runtime_error([&] { c->readsome(buf, sizeof buf); }),
              "file_rconnection::more_input: Error reading from file!");
    EXPECT_FALSE(c->eof);
}

TEST(FileRead, OverrideFileDiscovery) {
    recording_hook hook;
    temp_dir dir;
    const std::string data = header_id + pattern(8);
    write_file(dir / "a.zpk", data);
    write_file(dir / "a.pxp", "{\"from\":\"pxp\"}");
    write_file(dir / "a.override.pxp", "{\"from\":\"override\"}");
    write_file(dir / "b.zpk", data);
    write_file(dir / "b.override.pxp", "{\"b\":1}");
    write_file(dir / "c.zpk", data);
    write_file(dir / "c.pxp", ""); // empty: no override, and the fallback is not read
    write_file(dir / "c.override.pxp", "{\"c\":1}");
    write_file(dir / "d.zpk", data);

    EXPECT_EQ(drain(*open_file(dir / "a.zpk")), data);
    EXPECT_EQ(drain(*open_file(dir / "b.zpk")), data);
    EXPECT_EQ(drain(*open_file(dir / "c.zpk")), data);
    EXPECT_EQ(drain(*open_file(dir / "d.zpk")), data);
    EXPECT_EQ(drain(*open_file(dir / "a.zpk", "given")), data); // a given text wins
    EXPECT_EQ(hook.texts, (std::vector<std::string>{"{\"from\":\"pxp\"}", "{\"b\":1}", "given"}));
    seed("override_files", 5 | 32 | 64, 4 << 3, 3, {data, "{\"from\":\"pxp\"}", "{\"from\":\"override\"}"});
    seed("empty_pxp", 7 | 16 | 32 | 64, 1 | 2 << 3, 9, {"S", data, data, "", "{\"c\":1}"});
}

TEST(FileRead, SeekAcrossParts) {
    temp_dir dir;
    const std::string main = dir / "scan.zpk";
    const std::string m = pattern(100), p1 = pattern(50, 1);
    write_file(main, m);
    write_file(part(main, 1), p1);
    write_file(part(main, 3), "never");
    auto c = open_file(main);
    EXPECT_EQ(c->size, 150u);
    const std::string all = m + p1;
    for (std::size_t pos : {100u, 150u, 101u, 0u, 99u, 149u, 37u}) {
        c->seekg(pos);
        EXPECT_EQ(c->tellg(), pos);
        EXPECT_EQ(drain(*c, 13), all.substr(pos)) << pos;
    }
    EXPECT_TRUE(c->eof);
    EXPECT_EQ(expect_runtime_error([&] { c->seekg(151); }), "trying to seek beyond eof");
    // Readable again after the end, by read as well.
    c->seekg(0);
    EXPECT_FALSE(c->eof);
    char buf[10];
    c->read(buf, 10);
    EXPECT_EQ(c->gcount, 10u);
    EXPECT_EQ(std::string(buf, 10), m.substr(0, 10));
    c->seekg(150);
    EXPECT_EQ(c->readsome(buf, 10), 0u);
    EXPECT_TRUE(c->eof);
}

TEST(FileRead, SeekPositionsMatchTellgWithPrefixes) {
    temp_dir dir;
    const std::string main = dir / "scan.zpk";
    write_file(dir / "common.zpo", "0123");
    write_file(dir / "scan.zpo", "4567");
    write_file(main, "89abcdef");
    write_file(part(main, 1), "ghij");
    const std::string all = "0123456789abcdefghij";
    auto c = open_file(main);
    EXPECT_EQ(c->size, all.size());
    char buf[6];
    for (std::size_t step : {1u, 3u, 4u, 6u}) {
        c->seekg(0);
        std::string got;
        for (;;) {
            const std::size_t here = c->tellg();
            std::size_t k = c->readsome(buf, step);
            if (k == 0) break;
            got.append(buf, k);
            // Going back to a tellg value delivers the same bytes again.
            c->seekg(here);
            char again[6];
            std::size_t k2 = c->readsome(again, step);
            ASSERT_EQ(std::string(again, k2), std::string(buf, k)) << "at " << here;
        }
        EXPECT_EQ(got, all) << step;
    }
    for (std::size_t pos = 0; pos <= all.size(); ++pos) {
        c->seekg(pos);
        EXPECT_EQ(drain(*c, 5), all.substr(pos)) << pos;
    }
}

TEST(FileRead, SeekDropsSplicedBytes) {
    recording_hook hook;
    temp_dir dir;
    const std::string data = header_id + pattern(16);
    write_file(dir / "s.zpk", data);
    auto c = open_file(dir / "s.zpk", "T");
    char buf[8];
    EXPECT_EQ(c->readsome(buf, 8), 8u); // pushback now holds what the override wrote
    c->seekg(4);
    EXPECT_EQ(drain(*c, 5), data.substr(4));
    c->seekg(0);
    EXPECT_EQ(drain(*c, 5), data);
    EXPECT_EQ(hook.texts.size(), 2u);
}

TEST(FileRead, CancelStopsTheNextRead) {
    temp_dir dir;
    write_file(dir / "s.zpk", pattern(100));
    for (int how = 0; how < 3; ++how) {
        auto c = open_file(dir / "s.zpk");
        char buf[10];
        EXPECT_EQ(c->readsome(buf, 10), 10u);
        if (how == 0) c->cancel();
        if (how == 1) c->request_shutdown();
        if (how == 2) std::thread([&] { c->cancel(); }).join();
        EXPECT_EQ(expect_runtime_error([&] { c->readsome(buf, 10); }),
                  "file_rconnection::more_input: Operation canceled!");
        EXPECT_THROW(c->readsome(buf, 10), std::runtime_error); // never cleared
    }
}

TEST(FileRead, LogCopyReadsBackAsTheSameStream) {
    temp_dir dir;
    const std::string data = pattern(10000);
    mem_rconnection c(data, 777);
    c.open_logfile(dir / "copy.zpk", 1024);
    EXPECT_EQ(drain(c, 777), data);
    c.close_logfile();
    EXPECT_TRUE(fs::exists(dir / "copy.zpk_009"));
    auto back = open_file(dir / "copy.zpk");
    EXPECT_EQ(back->size, data.size());
    EXPECT_EQ(drain(*back), data);
}

// ---------------------------------------------------------------- write connections

TEST(FileWrite, WritesTruncatesAndReportsOnClose) {
    temp_dir dir;
    const std::string path = dir / "out.zpk";
    write_file(path, "previous contents that are longer");
    scanlib::file_wconnection w("file:" + path);
    EXPECT_EQ(w.write("ab", 2), 2u);
    const std::string big = pattern(0x50000);
    EXPECT_EQ(w.write(big.data(), big.size()), big.size());
    EXPECT_EQ(w.write("cd", 2), 2u);
    EXPECT_EQ(w.write(nullptr, 0), 0u);
    w.close();
    EXPECT_EQ(read_file(path), "ab" + big + "cd"); // complete once closed
    EXPECT_NO_THROW(w.close());                    // a second close is harmless
    EXPECT_EQ(expect_runtime_error([&] { w.write("x", 1); }), "Error writing to file!");
    EXPECT_EQ(read_file(path), "ab" + big + "cd");
}

TEST(FileWrite, ContentsCompleteAfterDestruction) {
    temp_dir dir;
    const std::string path = dir / "out.zpk";
    {
        auto w = basic_wconnection::create_impl(path);
        w->write("xyz", 3);
        EXPECT_EQ(read_file(path), ""); // still buffered
    }
    EXPECT_EQ(read_file(path), "xyz");
}

TEST(FileWrite, FullDiskIsAnError) {
    if (!fs::exists("/dev/full")) GTEST_SKIP();
    {
        scanlib::file_wconnection w("file:/dev/full");
        w.write("abc", 3);
        EXPECT_EQ(expect_runtime_error([&] { w.close(); }), "Error writing to file!");
    }
    {
        scanlib::file_wconnection w("file:/dev/full");
        const std::string big = pattern(0x50000);
        EXPECT_EQ(expect_runtime_error([&] { w.write(big.data(), big.size()); }), "Error writing to file!");
    }
}

TEST(FileWrite, OpenErrors) {
    temp_dir dir;
    EXPECT_EQ(expect_runtime_error([] { scanlib::file_wconnection w("quvo://h/x"); }),
              "Expected \"file:\" scheme, got \"quvo:\".");
    const std::string missing = dir / "missing/out.zpk";
    EXPECT_EQ(expect_runtime_error([&] { scanlib::file_wconnection w("file:" + missing); }),
              "Could not open \"" + missing + "\" for writing!");
    cwd_guard cwd(dir.path());
    EXPECT_EQ(expect_runtime_error([] { basic_wconnection::create_impl("missing/out.zpk"); }),
              "Could not open \"missing/out.zpk\" for writing!");
}

TEST(MemWrite, AppendsToTheCallersVector) {
    std::vector<char> v{'x'};
    scanlib::mem_wconnection w(v);
    EXPECT_EQ(w.write("", 0), 0u);
    EXPECT_EQ(v, std::vector<char>{'x'});
    EXPECT_EQ(w.write("ab", 2), 2u);
    EXPECT_EQ(w.write("cd", 2), 2u);
    w.close();
    EXPECT_EQ(std::string(v.begin(), v.end()), "xabcd");
}
