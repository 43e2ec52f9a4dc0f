#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <stdexcept>

#include <scanlib/connection.hpp>

#include "../scanlib/src/connection_internal.hpp"
#include "conn_testutil.hpp"

using namespace conntest;
using scanlib::basic_rconnection;
using scanlib::basic_wconnection;

namespace {

const std::string header_id("\xFF\xFF\xFF\xFF\x00\x00\x01\x00", 8);

// Stands in for the header override while a test runs: it takes the header id
// and `consume` more bytes from the connection and writes the header id, the
// override text and then `echo` of the consumed bytes back.
class override_stub {
public:
    std::size_t consume = 0;
    bool echo = false;
    int calls = 0;
    std::string last_text;

    override_stub() {
        previous_ = scanlib::detail::set_hreplace_hook(
            [this](std::shared_ptr<basic_rconnection> in, std::shared_ptr<basic_wconnection> out,
                   const std::string& text) {
                ++calls;
                last_text = text;
                std::string taken(8 + consume, '\0');
                in->read(taken.data(), taken.size());
                if (in->gcount != taken.size()) throw std::runtime_error("stub: short input");
                if (taken.compare(0, 8, header_id) != 0) throw std::runtime_error("stub: not at the header");
                out->write(header_id.data(), 8);
                if (echo) {
                    out->write(taken.data() + 8, consume);
                } else {
                    out->write(text.data(), text.size());
                }
            });
    }
    ~override_stub() { scanlib::detail::set_hreplace_hook(std::move(previous_)); }

private:
    scanlib::detail::hreplace_function previous_;
};

std::shared_ptr<mem_rconnection> make(const std::string& data, std::size_t chunk, const std::string& text) {
    return std::make_shared<mem_rconnection>(data, chunk, text);
}

} // namespace

TEST(HeaderTrigger, WithoutOverrideTextBytesPassUnchanged) {
    override_stub stub;
    const std::string data = pattern(16) + header_id + pattern(40, 1) + header_id;
    auto c = make(data, 5, "");
    EXPECT_EQ(drain(*c, 7), data);
    EXPECT_EQ(stub.calls, 0);
}

TEST(HeaderTrigger, AlignedHeaderSplicesOverrideOutput) {
    override_stub stub;
    stub.consume = 12;
    const std::string before = pattern(16), after = pattern(60, 2);
    const std::string data = before + header_id + after;
    const std::string expect = before + header_id + "REPLACED" + after.substr(12);
    for (std::size_t chunk : {1u, 3u, 4u, 5u, 7u, 13u, 24u, 1000u}) {
        SCOPED_TRACE(chunk);
        stub.calls = 0;
        auto c = make(data, chunk, "REPLACED");
        EXPECT_EQ(drain(*c, chunk), expect);
        EXPECT_EQ(stub.calls, 1);
        EXPECT_EQ(stub.last_text, "REPLACED");
    }
}

TEST(HeaderTrigger, TriggeringCallEndsAfterTheIdWord) {
    override_stub stub;
    const std::string data = pattern(12) + header_id + pattern(30, 3);
    auto c = make(data, 1000, "R");
    char buf[100];
    // The marker word ends the first call; the id word comes in the second.
    EXPECT_EQ(c->readsome(buf, 14), 14u);
    EXPECT_EQ(stub.calls, 0);
    EXPECT_EQ(c->readsome(buf, 100), 6u);
    EXPECT_EQ(stub.calls, 1);
    EXPECT_EQ(std::string(buf, 6), header_id.substr(2));
    // A call served from pushed-back bytes returns no more than they hold.
    EXPECT_EQ(c->readsome(buf, 100), 1u + 30u);
    EXPECT_EQ(std::string(buf, 31), "R" + pattern(30, 3));
}

TEST(HeaderTrigger, OffGridOrDisarmedIdsDoNotTrigger) {
    override_stub stub;
    const std::string ff(4, '\xFF'), id("\x00\x00\x01\x00", 4);
    const std::string cases[] = {
        pattern(2) + header_id + pattern(10),       // not on the word grid
        pattern(4) + ff + ff + id + pattern(8),     // a second marker word disarms
        pattern(4) + ff + pattern(4) + id,          // something between marker and id
        pattern(4) + std::string("\xFF\xFF\xFF\xFF\x00\x00\x01\x01", 8), // another id
    };
    for (const std::string& data : cases) {
        auto c = make(data, 3, "R");
        EXPECT_EQ(drain(*c, 5), data);
    }
    EXPECT_EQ(stub.calls, 0);
}

TEST(HeaderTrigger, OnlyIdsAtAPacketStartTrigger) {
    // An escape word makes the next word data, whatever it is: only a marker
    // outside an escape starts the header's id.
    auto le = [](std::initializer_list<std::uint32_t> ws) {
        std::string s;
        for (std::uint32_t w : ws)
            for (int k = 0; k < 4; ++k) s += static_cast<char>(w >> (8 * k));
        return s;
    };
    const std::uint32_t start = 0xFFFFFF05u, esc = 0xFFFFFF00u, marker = 0xFFFFFFFFu, id = 0x00010000u;
    const std::pair<std::string, int> cases[] = {
        {le({start, esc, marker, id, 7, 7}), 0},                   // an escaped marker
        {le({start, esc, esc, esc, marker, id, 7, 7}), 0},         // the same after an escaped escape
        {le({start, 1, esc, esc, marker, id, 7, 7}), 1},           // an escaped escape is data
        {le({start, esc, 5, marker, id, 7, 7}), 1},                // an escape takes one word
        {le({start, esc, marker, id, marker, id, 7, 7}), 1},       // the marker after the data
        {le({marker, id, esc, marker, id, marker, id, 7, 7}), 2},  // the escape goes on past a pass
    };
    const fs::path seeds =
        fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "fuzz-seeds/fuzz_readpath";
    fs::create_directories(seeds);
    override_stub stub;
    stub.echo = true;
    int n = 0;
    for (const auto& [data, passes] : cases) {
        write_file((seeds / ("escapes_" + std::to_string(++n))).string(), std::string("\x02\x04\x04", 3) + data);
        for (std::size_t consume : {0u, 4u}) {
            for (std::size_t chunk = 1; chunk <= 13; ++chunk) {
                SCOPED_TRACE(testing::Message() << "case " << n << " consume " << consume << " chunk " << chunk);
                stub.calls = 0;
                stub.consume = consume;
                auto c = make(data, chunk, "R");
                EXPECT_EQ(drain(*c, chunk), data);
                EXPECT_EQ(stub.calls, passes);
            }
        }
    }

    // Without an owner an escaped marker passes, and a real header id
    // refuses the read as often as it is asked, on the same grid.
    stub.calls = 0;
    const std::string escaped = le({start, esc, marker, id, 7});
    mem_rconnection through(escaped, 3, "R");
    EXPECT_EQ(drain(through, 5), escaped);
    const std::string real = le({start, esc, esc, marker, id}) + "\x07\x07";
    mem_rconnection refuses(real, 1000, "R");
    char buf[64];
    EXPECT_EQ(refuses.readsome(buf, 10), 10u);
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_THROW(refuses.readsome(buf, 64), std::bad_weak_ptr);
    EXPECT_EQ(refuses.tellg(), 10u);
    refuses.initialize("");
    EXPECT_EQ(drain(refuses), real.substr(10));
    EXPECT_EQ(stub.calls, 0);
}

TEST(HeaderTrigger, IdentityOverrideKeepsStreamAndCountsNestedReads) {
    override_stub stub;
    stub.consume = 20;
    stub.echo = true;
    const std::string data = pattern(8) + header_id + pattern(50, 4);
    auto c = make(data, 1000, "R");
    EXPECT_EQ(drain(*c), data);
    // Seed for fuzz_readpath: chunk, step and override length bytes, then the stream.
    const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
    fs::create_directories(build / "fuzz-seeds/fuzz_readpath");
    write_file((build / "fuzz-seeds/fuzz_readpath/header").string(), std::string("\x05\x06\x14") + data);
    EXPECT_EQ(stub.calls, 1);
    // The nested reads took the header id again plus 20 bytes.
    EXPECT_EQ(c->tellg(), data.size() + 8 + 20);
}

TEST(HeaderTrigger, LaterHeaderRunsOverrideAgain) {
    override_stub stub;
    const std::string data = header_id + pattern(16) + header_id + pattern(4);
    auto c = make(data, 6, "AB");
    // The replacement keeps the grid when its length is a multiple of 4.
    c->initialize("ABCD");
    EXPECT_EQ(drain(*c, 6), header_id + "ABCD" + pattern(16) + header_id + "ABCD" + pattern(4));
    EXPECT_EQ(stub.calls, 2);
}

namespace {

// Runs `pass` for the header override while it lives.
class hook_guard {
public:
    explicit hook_guard(scanlib::detail::hreplace_function pass)
        : previous_(scanlib::detail::set_hreplace_hook(std::move(pass))) {}
    ~hook_guard() { scanlib::detail::set_hreplace_hook(std::move(previous_)); }

private:
    scanlib::detail::hreplace_function previous_;
};

// Bytes in memory in calls of at most `chunk` bytes; it seeks, and it fails
// whenever it is asked for the byte at `fail_at`.
class seekable_source : public basic_rconnection {
public:
    seekable_source(std::string data, std::size_t chunk, const std::string& text, std::size_t fail_at)
        : basic_rconnection(text), data_(std::move(data)), chunk_(chunk), fail_at_(fail_at) {}
    void seekg(std::size_t pos) override {
        restart_at(pos);
        next_ = pos;
    }
    std::size_t source_calls = 0;

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        ++source_calls;
        if (next_ == fail_at_) throw std::runtime_error("source failed");
        const std::size_t k = std::min({n, chunk_, data_.size() - next_, fail_at_ - next_});
        std::memcpy(buf, data_.data() + next_, k);
        next_ += k;
        eof = k == 0;
        return k;
    }

private:
    std::string data_;
    std::size_t chunk_, fail_at_, next_ = 0;
};

} // namespace

TEST(HeaderTrigger, AFailedPassHandsOutWhatItWroteThenFailsUntilASeek) {
    const std::string data = pattern(12) + header_id + pattern(40, 8);
    const std::size_t id_end = 20, never = std::string::npos;
    const std::string other_id("\xFF\xFF\xFF\xFF\x00\x00\x02\x00", 8);
    // Each pass writes its output, reads beyond it and fails or returns.
    struct failing {
        const char* name;
        std::size_t fail_at, reads;
        std::string writes;
        bool throws;
        std::string after_id, error;
    };
    // Only what the pass wrote comes out, and nothing when its output cannot
    // stand for the header; a source failure is the pass's.
    const failing cases[] = {
        {"wrote", never, 16, header_id + "WRITTEN!", true, "WRITTEN!", "bad override"},
        {"wrote_nothing", never, 12, "", true, "", "bad override"},
        {"not_the_header", never, 12, other_id + "WRITTEN!", true, "", "bad override"},
        {"short_output", never, 16, header_id.substr(0, 7), false, "", "internal error: parameter replacement 1"},
        {"other_output", never, 16, other_id + "WRITTEN!", false, "", "internal error: parameter replacement 2"},
        {"source_fails", id_end + 6, 28, header_id + "WRITTEN!", false, "WRITTEN!", "source failed"},
    };
    for (const failing& f : cases) {
        hook_guard hook([&f](std::shared_ptr<basic_rconnection> in, std::shared_ptr<basic_wconnection> out,
                             const std::string&) {
            out->write(f.writes.data(), f.writes.size());
            std::string b(f.reads, '\0');
            in->read(b.data(), b.size());
            if (f.throws) throw std::runtime_error("bad override");
        });
        for (std::size_t step : {1u, 5u, 1000u}) {
            SCOPED_TRACE(testing::Message() << f.name << " step " << step);
            auto c = std::make_shared<seekable_source>(data, 7, "R", f.fail_at);
            for (int round = 0; round < 2; ++round) {
                std::string got, error = "<none>";
                std::vector<char> buf(step);
                for (std::size_t calls = 0; error == "<none>" && calls < 2 * data.size(); ++calls)
                    error = error_of([&] { got.append(buf.data(), c->readsome(buf.data(), step)); });
                EXPECT_EQ(got, data.substr(0, id_end) + f.after_id);
                EXPECT_EQ(error, f.error);
                // The stream stays failed, without asking the source again.
                const std::size_t calls = c->source_calls;
                EXPECT_EQ(error_of([&] { c->readsome(buf.data(), step); }), f.error);
                EXPECT_EQ(error_of([&] { c->read(buf.data(), step); }), f.error);
                EXPECT_EQ(c->source_calls, calls);
                // A seek drops the failure and meets the header again.
                c->seekg(0);
            }
        }
    }
}

TEST(HeaderTrigger, UnownedConnectionKeepsItsBytes) {
    override_stub stub;
    const std::string data = pattern(12) + header_id + pattern(9, 7);
    mem_rconnection c(data, 1000, "R"); // not owned by a shared_ptr
    char buf[100];
    EXPECT_THROW(c.readsome(buf, 100), std::bad_weak_ptr);
    EXPECT_EQ(c.tellg(), 0u);
    EXPECT_THROW(c.readsome(buf, 100), std::bad_weak_ptr); // same place, same error
    c.initialize("");
    EXPECT_EQ(drain(c), data);
    EXPECT_EQ(stub.calls, 0);
}

TEST(HeaderTrigger, WithoutTheOverrideUnitTheTriggerFailsClearly) {
    auto previous = scanlib::detail::set_hreplace_hook(nullptr);
    const std::string data = header_id + pattern(8);
    auto c = make(data, 1000, "{}");
    char buf[64];
    EXPECT_EQ(c->readsome(buf, 64), 8u);
    EXPECT_THROW(drain(*c, 64), std::exception);
    scanlib::detail::set_hreplace_hook(std::move(previous));
}

// ---------------------------------------------------------------- log copy

TEST(LogCopy, SplitsIntoNumberedPartsAtTheLimit) {
    temp_dir dir;
    const std::size_t L = 1000;
    const std::string data = pattern(L * 5 / 2);
    for (std::size_t chunk : {1u, 7u, 999u, 1000u, 1001u, 2500u}) {
        SCOPED_TRACE(chunk);
        const std::string log = dir / ("log" + std::to_string(chunk));
        mem_rconnection c(data, chunk);
        c.open_logfile(log, static_cast<long>(L));
        EXPECT_EQ(drain(c, chunk), data);
        c.close_logfile();
        EXPECT_EQ(read_file(log), data.substr(0, L));
        EXPECT_EQ(read_file(log + "_001"), data.substr(L, L));
        EXPECT_EQ(read_file(log + "_002"), data.substr(2 * L));
        EXPECT_FALSE(fs::exists(log + "_003"));
    }
}

TEST(LogCopy, NegativeLimitNeverSplitsAndZeroIsRejected) {
    temp_dir dir;
    const std::string data = pattern(5000);
    mem_rconnection c(data, 333);
    c.open_logfile(dir / "log", -1);
    EXPECT_EQ(drain(c), data);
    c.flush_logfile();
    EXPECT_EQ(read_file(dir / "log"), data);
    EXPECT_FALSE(fs::exists(dir / "log_001"));
    EXPECT_THROW(c.open_logfile(dir / "other", 0), std::invalid_argument);
    try {
        c.open_logfile(dir / "missing/log", 10);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "cannot create logfile");
    }
}

TEST(LogCopy, OpeningRemovesOldPartsOnly) {
    temp_dir dir;
    for (const char* f : {"log_001", "log_999", "log_000", "log_1234", "log_12", "log_12a", "log.bak", "xlog_001"})
        write_file(dir / f, "old");
    mem_rconnection c("abc");
    cwd_guard cwd(dir.path());
    c.open_logfile("log", 100); // relative to the working directory
    for (const char* gone : {"log_001", "log_999", "log_000"}) EXPECT_FALSE(fs::exists(dir / gone)) << gone;
    for (const char* kept : {"log_1234", "log_12", "log_12a", "log.bak", "xlog_001"})
        EXPECT_TRUE(fs::exists(dir / kept)) << kept;
    EXPECT_EQ(drain(c), "abc");
    c.close_logfile();
    EXPECT_EQ(read_file(dir / "log"), "abc");
}

TEST(LogCopy, HoldsRawInputOnceAcrossOverride) {
    override_stub stub;
    stub.consume = 8;
    temp_dir dir;
    const std::string data = pattern(24) + header_id + pattern(40, 8);
    auto c = make(data, 6, "REPLACEMENT!");
    c->open_logfile(dir / "log", 16);
    const std::string out = drain(*c, 5);
    EXPECT_EQ(stub.calls, 1);
    EXPECT_NE(out, data);
    c->close_logfile();
    std::string logged = read_file(dir / "log");
    for (int part = 1; fs::exists(dir / ("log_00" + std::to_string(part))); ++part)
        logged += read_file(dir / ("log_00" + std::to_string(part)));
    EXPECT_EQ(logged, data);
}

TEST(LogCopy, FailedPartKeepsTheBytes) {
    temp_dir dir;
    const std::string data = pattern(300);
    mem_rconnection c(data, 64);
    c.open_logfile(dir / "log", 100);
    fs::create_directory(dir / "log_001"); // the part cannot be created
    std::string got;
    char buf[64];
    got.append(buf, c.readsome(buf, 64));
    try {
        c.readsome(buf, 64);
        FAIL() << "the part cannot be created";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "cannot create logfile extension");
    }
    EXPECT_EQ(c.tellg(), 64u);
    got += drain(c, 64); // the log is closed now; nothing is lost
    EXPECT_EQ(got, data);
    EXPECT_EQ(read_file(dir / "log"), data.substr(0, 100));
}

TEST(LogCopy, WriteFailureIsReportedAndKeepsTheBytes) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::string data = pattern(200000);
    mem_rconnection c(data, 150000);
    c.open_logfile("/dev/full", -1);
    char buf[150000];
    std::string got;
    try {
        for (;;) {
            std::size_t k = c.readsome(buf, sizeof buf);
            if (k == 0) break;
            got.append(buf, k);
        }
        c.close_logfile();
        FAIL() << "a full disk must not pass silently";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error writing to logfile!");
    }
    got += drain(c);
    EXPECT_EQ(got, data);
}
