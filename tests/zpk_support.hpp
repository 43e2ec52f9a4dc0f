#pragma once
// Test doubles and an independent reference of the framed stream format.

#include <scanlib/connection.hpp>
#include <scanlib/zpkmarker.hpp>
#include <scanlib/zpkstream.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace zpktest {

using words = std::vector<unsigned int>;
using packets = std::vector<words>;

inline const unsigned char preamble_bytes[16] = {0x10, 0, 0, 0, 0, 0, 0, 0x0B, 'V', 'a', 'n', 't', 'o', 'r', 'i', 'x'};

// A read connection over a byte vector that hands out chunk(call) bytes per
// call (at least one), so any split of the stream can be exercised.
class chunked_rconnection : public scanlib::basic_rconnection {
public:
    using chunker = std::function<std::size_t(std::size_t call)>;

    explicit chunked_rconnection(std::vector<char> bytes, chunker chunk = {})
        : basic_rconnection(std::string()), bytes_(std::move(bytes)), chunk_(std::move(chunk)) {}

    void seekg(std::size_t pos) override {
        if (pos > bytes_.size())
            throw std::runtime_error("chunked_rconnection: seek beyond end");
        restart_at(pos);
        offset_ = pos;
        ended_ = eof = false;
    }
    std::size_t calls() const { return calls_; }
    std::size_t offset() const { return offset_; }

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        // Like a file, the source refuses to be read once it has reported its end.
        if (ended_)
            throw std::runtime_error("chunked_rconnection: read after the end");
        std::size_t k = std::min(n, bytes_.size() - offset_);
        if (chunk_)
            k = std::min(k, std::max<std::size_t>(1, chunk_(calls_)));
        ++calls_;
        if (k > 0)
            std::memcpy(buf, bytes_.data() + offset_, k);
        offset_ += k;
        if (k == 0)
            ended_ = eof = true;
        return k;
    }

private:
    std::vector<char> bytes_;
    chunker chunk_;
    std::size_t offset_ = 0;
    std::size_t calls_ = 0;
    bool ended_ = false;
};

// A write connection that collects bytes, taking at most `per_call` per call
// (0 = all; a negative value makes it take nothing at all).
class capture_wconnection : public scanlib::basic_wconnection {
public:
    explicit capture_wconnection(long per_call = 0) : per_call_(per_call) {}
    std::size_t write(const void* data, std::size_t n) override {
        if (per_call_ < 0)
            return 0;
        std::size_t k = per_call_ == 0 ? n : std::min<std::size_t>(n, static_cast<std::size_t>(per_call_));
        const char* c = static_cast<const char*>(data);
        bytes.insert(bytes.end(), c, c + k);
        ++writes;
        return k;
    }
    void close() override { ++closes; }
    std::vector<char> bytes;
    std::size_t writes = 0;
    std::size_t closes = 0;

private:
    long per_call_;
};

// The byte patterns a stream is fed through: everything at once, fixed sizes,
// and sizes that cycle 1, 2, 3, ... so that no split point is favoured.
inline std::vector<std::pair<std::string, chunked_rconnection::chunker>> chunk_patterns() {
    std::vector<std::pair<std::string, chunked_rconnection::chunker>> v;
    v.emplace_back("whole", nullptr);
    for (std::size_t k : {1, 2, 3, 5, 7, 13, 4096})
        v.emplace_back("fixed" + std::to_string(k), [k](std::size_t) { return k; });
    v.emplace_back("cycle1to9", [](std::size_t call) { return call % 9 + 1; });
    v.emplace_back("growing", [](std::size_t call) { return call + 1; });
    v.emplace_back("random", [](std::size_t call) {
        std::minstd_rand r(static_cast<unsigned>(call) * 2654435761u + 7);
        return std::size_t(r() % 3000 + 1);
    });
    return v;
}

// Reference framer, written from the format alone: first word unchanged,
// later words >= 0xFFFFFF00 as the escape word and their complement.
inline words ref_frame(const packets& ps) {
    words out;
    for (const words& p : ps) {
        for (std::size_t i = 0; i < p.size(); ++i) {
            if (i > 0 && p[i] >= 0xFFFFFF00u) {
                out.push_back(0xFFFFFF00u);
                out.push_back(~p[i]);
            } else {
                out.push_back(p[i]);
            }
        }
    }
    return out;
}

// Reference deframer: packets of a framed word sequence (no preamble). Throws
// std::runtime_error where a packet must start and no start word stands.
inline packets ref_deframe(const words& w) {
    packets out;
    std::size_t i = 0;
    while (i < w.size()) {
        if (w[i] <= 0xFFFFFF00u)
            throw std::runtime_error("no start word");
        words p{w[i++]};
        while (i < w.size() && w[i] <= 0xFFFFFF00u) {
            if (w[i] == 0xFFFFFF00u) {
                if (i + 1 == w.size()) {
                    ++i; // a dangling escape is dropped
                    break;
                }
                p.push_back(~w[i + 1]);
                i += 2;
            } else {
                p.push_back(w[i++]);
            }
        }
        out.push_back(std::move(p));
    }
    return out;
}

inline std::vector<char> to_bytes(const words& w, bool with_preamble) {
    const std::size_t head = with_preamble ? 16 : 0;
    std::vector<char> b(head + 4 * w.size());
    if (with_preamble)
        std::memcpy(b.data(), preamble_bytes, 16);
    for (std::size_t i = 0; i < w.size(); ++i)
        for (std::size_t k = 0; k < 4; ++k)
            b[head + 4 * i + k] = static_cast<char>((w[i] >> (8 * k)) & 0xFF);
    return b;
}

inline words from_bytes(const std::vector<char>& b, std::size_t skip = 0) {
    words w;
    for (std::size_t i = skip; i + 4 <= b.size(); i += 4) {
        unsigned int x = 0;
        for (int k = 0; k < 4; ++k)
            x |= static_cast<unsigned int>(static_cast<unsigned char>(b[i + k])) << (8 * k);
        w.push_back(x);
    }
    return w;
}

// A word that is an escape candidate about half of the time.
inline unsigned int nasty_word(std::mt19937& r) {
    switch (r() % 4) {
    case 0: return 0xFFFFFF00u + (r() % 256);
    case 1: return r() % 256;
    default: return static_cast<unsigned int>(r());
    }
}

// Random packets: start words of every form, many escapes, lengths from one
// word to longer than the decoder's initial ring, a few very long ones.
inline packets random_packets(std::mt19937& r, std::size_t count, std::size_t long_len = 3000) {
    packets ps;
    for (std::size_t n = 0; n < count; ++n) {
        std::size_t len;
        switch (r() % 10) {
        case 0: len = 1; break;
        case 1: len = 2 + r() % 1200; break;
        case 2: len = r() % 40 == 0 ? long_len : 2 + r() % 20; break;
        default: len = 2 + r() % 10;
        }
        words p(len);
        p[0] = 0xFFFFFF01u + r() % 255;
        for (std::size_t i = 1; i < len; ++i)
            p[i] = nasty_word(r);
        ps.push_back(std::move(p));
    }
    return ps;
}

// Directory the tests leave fuzz seeds in: <build>/fuzz-seeds/<target>.
inline std::filesystem::path seed_dir(const std::string& target) {
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
    std::filesystem::path dir = exe.parent_path().parent_path() / "fuzz-seeds" / target;
    std::filesystem::create_directories(dir);
    return dir;
}

inline void write_seed(const std::string& target, const std::string& name, const std::vector<char>& bytes) {
    std::ofstream f(seed_dir(target) / name, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Calls f(id, packet) for every packet left in `in`.
template <class F>
void for_each_packet(scanlib::zpk_istream& in, F&& f) {
    for (;;) {
        scanlib::package_id id;
        in >> id;
        if (in.at_end)
            return;
        scanlib::zpk_packet p;
        in >> p;
        f(id, p);
    }
}

} // namespace zpktest
