// The TCP data-transfer connection against a peer on 127.0.0.1 that answers
// with bytes the input chooses. Two kinds of input:
//  - raw: the first connection gets the input's bytes up to a cut, then a
//    close or a reset; a re-connect gets the rest; later ones an error status.
//  - scripted: the peer serves a payload as a well-formed stream (plain, or
//    chunks with continuation and acknowledgement tokens), cut at a chosen
//    byte by a close or a reset, and resumes where the client's request says:
//    with the rest of the stream, with a status line and a drop, or cut at
//    the same byte again. It may ask for an acknowledgement with every chunk,
//    with long tokens, and read none of them while the client takes data,
//    or none until it has sent the whole stream: then the client takes it
//    all when the acknowledgements fit its bound, else it fails once the
//    peer has taken none for the stall time.
//    What the client delivers must be that payload, or a prefix of it when
//    the stream could not be finished; read by whole words, every whole word
//    that reached the client before a failure; a resume must not ask for
//    bytes that were never sent; acknowledgements must name chunks in order;
//    the client must not hold more unsent acknowledgements than its bound
//    (lowered here, as is the stall time, so that the peers meet them soon),
//    nor re-connect more often in a row without data than its budget.
// Every input must leave no socket, descriptor or thread behind.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <scanlib/connection.hpp>
#include <scanlib/zpkmarker.hpp>

#include "../scanlib/src/quvoproto.hpp"
#include "leakcheck.hpp"

namespace {

// The stream text of a payload from `from` on: chunks whose sizes, tokens and
// acknowledgement requests follow the input's parameters.
struct script {
    struct chunk {
        std::size_t text_end;  // offset in text just past its data
        std::size_t payload_end;
        std::string ack;  // acknowledgement token asked for, or empty
    };
    std::string text;
    std::vector<chunk> chunks;
    std::vector<std::pair<std::string, std::size_t>> tokens;  // token, payload position it names

    // Payload bytes wholly inside text[0, cut).
    std::size_t payload_before(std::size_t cut, std::size_t from) const {
        std::size_t done = from;
        for (const chunk& c : chunks) {
            std::size_t size = c.payload_end - done;
            if (c.text_end <= cut) done = c.payload_end;
            else if (c.text_end - size < cut) return done + (cut - (c.text_end - size));
            else return done;
        }
        return done;
    }
};

struct params {
    bool plain = false;
    unsigned scale = 1;            // chunk sizes up to 2 * scale
    unsigned token_mask = 0;       // chunk i carries a continuation token when bit i % 4 is set
    unsigned ack_mask = 0;         // ... an acknowledgement token, bit i % 4
    bool stall = false;            // every chunk asks for one, with a long token
    bool late = false;             // ... and the peer reads none before it has sent everything
    unsigned long_tokens = 0;      // stalling: how many chunks have long tokens
    std::uint32_t seed = 1;
};

// Stalling scripts: acknowledgements well beyond the client's bound and what
// the socket buffers of a tight peer take (about 90 KB). A late reading peer
// asks for long ones within the bound, beyond it but within what the socket
// buffers take as well, or far beyond both (15 MB).
constexpr std::size_t stall_token = 60000, stall_chunks = 8;
constexpr unsigned late_tokens[8] = {1, 2, 3, 4, 8, 32, 256, 256};
constexpr std::size_t ack_bound = 256 * 1024;
constexpr unsigned stall_ms = 500;

script make_script(std::string_view payload, std::size_t from, const params& p, const std::string& status,
                   unsigned first_index) {
    script s;
    s.text = status;
    if (p.plain) {
        s.text.append(payload.substr(from));
        s.chunks.push_back({s.text.size(), payload.size(), {}});
        return s;
    }
    std::size_t long_tokens = 0;
    auto add_chunk = [&](unsigned i, std::size_t n) {
        std::string header = std::to_string(n);
        const char* sep = " ";
        if (p.token_mask >> (i % 4) & 1) {
            std::string token = "K" + std::to_string(i);
            header += sep + ("continuation-token=" + token);
            s.tokens.emplace_back(token, from);
            sep = "; ";
        }
        std::string ack;
        if (p.stall || p.ack_mask >> (i % 4) & 1) {
            ack = "A" + std::to_string(i);
            if (p.stall && long_tokens < p.long_tokens) {
                ack.append(stall_token, 'x');
                ++long_tokens;
            }
            header += sep + ("acknowledge-token=" + ack);
        }
        s.text += header + '\n';
        s.text.append(payload.substr(from, n));
        from += n;
        s.chunks.push_back({s.text.size(), from, ack});
    };
    std::uint32_t r = p.seed;
    unsigned i = first_index;
    for (; from < payload.size() || i == first_index; ++i) {
        r = r * 1103515245u + 12345u;
        add_chunk(i, std::min<std::size_t>((r >> 16) % (2 * p.scale + 1), payload.size() - from));
    }
    // Empty chunks that only ask for acknowledgements.
    while (p.stall && long_tokens < p.long_tokens) add_chunk(i++, 0);
    s.text += "EOF\n";
    return s;
}

std::string item(const std::string& line, const std::string& key) {
    std::size_t at = line.find(key + '=');
    if (at == std::string::npos) return {};
    at += key.size() + 1;
    return line.substr(at, line.find(';', at) - at);
}

// How a scripted peer answers a re-connect: with the rest of the stream;
// the first few times cut where the first connection was cut; or always
// with a status line and a drop.
enum class resume { whole, cut_again, drop_after_status };
constexpr unsigned cut_resumes = 3;

// What the peer does for one input.
struct job {
    bool scripted = false;
    std::string first, second;    // raw: the bytes of the first two connections
    std::size_t cut = 0;          // the first connection ends after this many bytes
    bool reset = false;           // ... by a reset instead of a close
    std::size_t piece = 1;        // bytes per send
    std::string payload;          // scripted
    params par;
    resume resumes = resume::whole;
    script served;                // scripted: the first connection's stream
    // Scripted, over all connections so far: every continuation token served
    // and the payload position it names; every acknowledgement asked for; how
    // far the payload was sent; re-connects in a row that were sent no
    // payload byte.
    std::map<std::string, std::size_t> tokens;
    std::set<std::string> acks;
    std::size_t sent_until = 0;
    unsigned dataless = 0;
    bool unsure = false;          // a reset may have cut off bytes that were sent
    bool failed = false;          // the peer saw the client misbehave
    std::string why;
};

class peer {
public:
    // A tight peer takes small segments into a small receive buffer, so that
    // the client's socket buffers hold little of what it sends.
    explicit peer(bool tight) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        int one = 1, segment = 536, buffer = 4096;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (tight) {
            ::setsockopt(listener_, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
            ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 64) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
            ::pipe2(wake_, O_CLOEXEC) != 0)
            std::abort();
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~peer() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
            cv_.notify_all();
        }
        thread_.join();
        for (int fd : {listener_, wake_[0], wake_[1]}) ::close(fd);
    }

    unsigned short port() const { return port_; }

    void start(job& j) {
        std::lock_guard<std::mutex> lock(m_);
        job_ = &j;
        busy_ = true;
        cv_.notify_all();
    }
    // After the client is gone: the peer takes what is left and returns.
    void finish() {
        char b = 1;
        if (::write(wake_[1], &b, 1) != 1) std::abort();
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return !busy_; });
    }

private:
    void serve() {
        for (;;) {
            job* j;
            {
                std::unique_lock<std::mutex> lock(m_);
                cv_.wait(lock, [this] { return busy_ || stop_; });
                if (stop_) return;
                j = job_;
            }
            unsigned index = 0;
            for (;;) {
                pollfd p[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
                if (::poll(p, 2, -1) < 0) continue;
                if (p[0].revents & POLLIN) {
                    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0) talk(fd, *j, index++);
                    continue;
                }
                if (p[1].revents & POLLIN) {
                    char b;
                    if (::read(wake_[0], &b, 1) != 1) std::abort();
                    // Connections that the client made and gave up on.
                    for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) ::close(fd);
                    break;
                }
            }
            std::lock_guard<std::mutex> lock(m_);
            busy_ = false;
            cv_.notify_all();
        }
    }

    static bool readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

    // The client's next line (line feed removed); false when it closed.
    static bool read_line(int fd, std::string& pending, std::string& line) {
        for (;;) {
            std::size_t lf = pending.find('\n');
            if (lf != std::string::npos) {
                line = pending.substr(0, lf);
                pending.erase(0, lf + 1);
                return true;
            }
            if (!readable(fd, 5000)) return false;
            char buf[4096];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            pending.append(buf, std::size_t(n));
        }
    }

    // Takes the lines the client has sent; false when it closed.
    static bool take_lines(int fd, std::string& pending, std::vector<std::string>& lines) {
        char buf[65536];
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
        if (n > 0) pending.append(buf, std::size_t(n));
        for (std::size_t lf; (lf = pending.find('\n')) != std::string::npos; pending.erase(0, lf + 1))
            lines.push_back(pending.substr(0, lf));
        return true;
    }

    // At most 32 sends: tiny pieces of a long text would cost one wake-up
    // of the client each. Returns the bytes sent. A stalling peer reads
    // nothing until the client holds about as many acknowledgements as it
    // may and adds no more; then it reads the client's lines while it sends
    // the rest.
    static std::size_t send_all(job& j, int fd, std::string_view bytes, std::size_t piece, bool stall,
                                std::string& pending, std::vector<std::string>& lines) {
        piece = std::max(piece, bytes.size() / 32);
        std::size_t sent = 0;
        bool reading = !stall, open = true;
        std::size_t last_peak = 0;
        int steady = 0, waited = 0;  // milliseconds without a change, without reading
        while (sent < bytes.size() || !reading) {
            if (stall) {
                short events = short((sent < bytes.size() ? POLLOUT : 0) | (reading && open ? POLLIN : 0) | POLLRDHUP);
                pollfd p{fd, events, 0};
                int r = ::poll(&p, 1, reading ? 2000 : 1);
                if (r < 0) continue;
                if (r == 0) {
                    if (reading) {
                        fail(j, "the client takes no data although its acknowledgements are read");
                        return sent;
                    }
                    const std::size_t peak = scanlib::quvo::ack_backlog_peak;
                    steady = peak == last_peak ? steady + 1 : 0;
                    last_peak = peak;
                    const bool full = peak + stall_token + 100 >= scanlib::quvo::ack_backlog_limit;
                    reading = (full && steady >= 5) || ++waited > 2000;
                    continue;
                }
                if (p.revents & (POLLERR | POLLHUP)) return sent;
                if (p.revents & POLLIN) open = take_lines(fd, pending, lines);
                if ((p.revents & POLLRDHUP) && (!reading || !open)) return sent;  // the client went away
                if (!(p.revents & POLLOUT)) continue;
            }
            ssize_t n = ::send(fd, bytes.data() + sent, std::min(piece, bytes.size() - sent),
                               MSG_NOSIGNAL | (stall ? MSG_DONTWAIT : 0));
            if (n < 0 && stall && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            if (n <= 0) return sent;  // the client went away
            sent += std::size_t(n);
        }
        return sent;
    }

    // Before a reset: true once every byte sent has left for the client, so
    // that it can read them before it learns of the reset.
    static bool transmitted(int fd) {
        for (int i = 0; i < 200; ++i) {
            int unsent = 0;
            if (::ioctl(fd, SIOCOUTQNSD, &unsent) != 0) return false;
            if (unsent == 0) return true;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return false;
    }

    static void fail(job& j, std::string why) {
        if (!j.failed) j.why = std::move(why);
        j.failed = true;
    }

    // Acknowledgements must name chunks of this connection that asked for
    // one, in order, each once. A resumed connection may first carry the one
    // still pending from the connection before.
    static void check_acks(job& j, const script& s, const std::vector<std::string>& lines, bool resumed) {
        std::size_t next = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string& l = lines[i];
            if (l.rfind("ACKNOWLEDGE acknowledge-token=", 0) != 0) {
                fail(j, "unexpected line " + l.substr(0, 100));
                continue;
            }
            std::string token = l.substr(30);
            if (resumed && i == 0 && j.acks.count(token)) continue;
            while (next < s.chunks.size() && s.chunks[next].ack != token) ++next;
            if (next == s.chunks.size()) fail(j, "acknowledgement out of order: " + token.substr(0, 100));
            else ++next;
        }
    }

    void talk(int fd, job& j, unsigned index) {
        std::string pending, request;
        const bool too_many = index > 0 && j.scripted && ++j.dataless > scanlib::quvo::retry_attempt_limit;
        if (too_many) fail(j, "re-connected " + std::to_string(j.dataless) + " times in a row without data");
        if (!read_line(fd, pending, request)) {
            ::close(fd);
            return;
        }
        std::string bytes;
        script resumed;
        const script* served = nullptr;
        std::size_t from = 0;
        bool cut_here = false;
        if (too_many) {
            bytes = "ERROR error-text=too many\n";  // ends the client's attempts
        } else if (!j.scripted) {
            bytes = index == 0 ? j.first : index == 1 ? j.second : "ERROR error-text=no more\n";
            cut_here = index == 0;
        } else if (index == 0) {
            served = &j.served;
            bytes = j.served.text.substr(0, j.cut);
            cut_here = true;
        } else {
            const std::string token = item(request, "continuation-token");
            const std::string offset = item(request, "continuation-offset");
            auto known = j.tokens.find(token);
            if (known == j.tokens.end() || offset.empty()) {
                fail(j, "re-connect without a known token: " + request);
                bytes = "ERROR error-text=unknown\n";
            } else {
                from = known->second + std::stoull(offset);
                if (from > j.sent_until) fail(j, "resume past the sent bytes: " + request);
                from = std::min(from, j.payload.size());
                const std::string status = "FILE encoding=chunked; id=resumed; continuation-token=" + token +
                                           "; continuation-offset=" + offset + "\n";
                // Only the first connection stalls: one of those costs the
                // client a few hundred kilobytes of lines.
                params par = j.par;
                par.stall = false;
                resumed = make_script(j.payload, from, par, status, 1000 * index);
                served = &resumed;
                switch (j.resumes) {
                case resume::drop_after_status:
                    bytes = status;
                    cut_here = true;
                    break;
                case resume::cut_again:
                    if (index > cut_resumes) {
                        bytes = resumed.text;
                        break;
                    }
                    bytes = resumed.text.substr(0, j.cut);
                    cut_here = true;
                    break;
                default:
                    bytes = resumed.text;
                }
            }
        }
        std::vector<std::string> lines;
        const bool stall = j.par.stall && !j.par.late && index == 0;
        const std::size_t sent = send_all(j, fd, bytes, j.piece, stall, pending, lines);
        if (served) {
            const std::size_t reached = served->payload_before(sent, from);
            j.sent_until = std::max(j.sent_until, reached);
            if (reached > from) j.dataless = 0;
            j.tokens.insert(served->tokens.begin(), served->tokens.end());
        }
        if (sent < bytes.size()) j.unsure = true;
        if (cut_here && j.reset) {
            if (!transmitted(fd)) j.unsure = true;
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(fd);
        } else {
            // Close our side, then take the client's lines until it closes too.
            ::shutdown(fd, SHUT_WR);
            std::string line;
            while (read_line(fd, pending, line)) lines.push_back(line);
            ::close(fd);
            if (served) check_acks(j, *served, lines, index > 0);
        }
        if (served)
            for (const auto& c : served->chunks)
                if (!c.ack.empty()) j.acks.insert(c.ack);
    }

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    unsigned short port_ = 0;
    std::mutex m_;
    std::condition_variable cv_;
    job* job_ = nullptr;
    bool busy_ = false;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static peer loose(false), tight(true);
    static const std::string loose_uri = "quvo://127.0.0.1:" + std::to_string(loose.port()) + "/stream";
    static const std::string tight_uri = "quvo://127.0.0.1:" + std::to_string(tight.port()) + "/stream";
    scanlib::quvo::retry_second_ms = 0;      // re-connect at once
    scanlib::quvo::retry_attempt_limit = 4;  // and give up soon
    scanlib::quvo::ack_backlog_limit = ack_bound;
    scanlib::quvo::ack_stall_ms = stall_ms;
    scanlib::quvo::ack_backlog_peak = 0;
    const fuzzcheck::resources before;
    if (size < 4) return 0;

    const std::uint8_t flags = data[0];
    const std::size_t read_size = std::size_t(data[1]) * 4 + 1;
    const std::size_t cut = std::size_t(data[2]) | std::size_t(data[3]) << 8;
    static const std::size_t pieces[] = {1, 2, 5, 64, 1000, 1 << 16, 1 << 16, 1 << 16};
    job j;
    j.scripted = flags & 1;
    j.reset = flags & 2;
    const bool held = flags & 4, shutdown = flags & 8;
    j.piece = pieces[flags >> 5];
    bool words = false;  // read through the framing decoder, by whole words
    std::string_view rest(reinterpret_cast<const char*>(data) + 4, size - 4);
    if (!j.scripted) {
        j.cut = std::min(cut, rest.size());
        j.first = std::string(rest.substr(0, j.cut));
        j.second = std::string(rest.substr(j.cut));
    } else {
        if (rest.size() < 3) return 0;
        j.par.plain = flags & 16;
        j.payload = std::string(rest.substr(3));
        // Each chunk costs the client a line and perhaps an acknowledgement:
        // keep their number small for long payloads.
        j.par.scale = std::max<unsigned>((rest[0] & 63) + 1u, unsigned(j.payload.size() / 32));
        // The stalling and dropping peers cost many times more than the
        // others: one setting of two or three bits each.
        j.par.stall = (rest[0] & 0xC0) == 0xC0 && !j.par.plain;
        j.par.token_mask = std::uint8_t(rest[1]) & 15;
        j.par.ack_mask = std::uint8_t(rest[1]) >> 4;
        j.par.seed = std::uint8_t(rest[2]) & 15;
        words = rest[2] & 16;
        const unsigned how = std::uint8_t(rest[2]) >> 5;
        j.resumes = how == 6 ? resume::cut_again : how == 7 ? resume::drop_after_status : resume::whole;
        j.par.late = j.par.stall && how == 5;
        j.par.long_tokens = j.par.late ? late_tokens[j.par.seed % 8] : j.par.stall ? stall_chunks : 0;
        j.served = make_script(j.payload, 0, j.par,
                               j.par.plain ? "FILE encoding=plain; id=x\n" : "CURRENT encoding=chunked; id=x\n", 0);
        // A stalling stream is served whole: the pressure comes at its end.
        j.cut = j.par.stall ? j.served.text.size() : std::min(cut, j.served.text.size());
    }

    std::string got, error;
    bool completed = false;
    peer& server = j.par.stall ? tight : loose;
    const std::string& uri = j.par.stall ? tight_uri : loose_uri;
    server.start(j);
    {
        std::shared_ptr<scanlib::basic_rconnection> c(
            scanlib::basic_rconnection::create_impl(uri, held && !j.scripted ? "T0:0" : "", ""));
        try {
            if (shutdown) c->request_shutdown();
            c->open();
            if (words) {
                scanlib::decoder_zpkmarker reader(*c, false);
                std::vector<unsigned int> buf(read_size / 4 + 1);
                while (unsigned long k = reader.read(buf.data(), buf.size())) {
                    if (k > buf.size()) std::abort();
                    got.append(reinterpret_cast<const char*>(buf.data()), 4 * k);
                }
            } else {
                std::vector<char> buf(read_size);
                for (;;) {
                    std::size_t k = c->readsome(buf.data(), buf.size());
                    if (k > buf.size()) std::abort();
                    if (k == 0) break;
                    got.append(buf.data(), k);
                }
            }
            completed = c->eof;
        } catch (const std::runtime_error& e) {
            // Boost, system and protocol errors alike: the stream could not be had.
            error = e.what();
        }
    }
    server.finish();

    if (j.failed) {
        std::fprintf(stderr, "peer: %s\n", j.why.c_str());
        std::abort();
    }
    if (scanlib::quvo::ack_backlog_peak > scanlib::quvo::ack_backlog_limit) {
        std::fprintf(stderr, "%zu bytes of acknowledgements held\n", scanlib::quvo::ack_backlog_peak.load());
        std::abort();
    }
    if (j.scripted) {
        // Never a byte that was not sent, never one out of place.
        if (j.payload.compare(0, got.size(), got) != 0) std::abort();
        // A reader by words gets the whole words of what the client had.
        auto whole = [&](std::size_t n) { return words ? n / 4 * 4 : n; };
        const bool all_sent = j.cut == j.served.text.size() && !j.reset;
        if (completed && !shutdown && !j.par.plain && got.size() != whole(j.payload.size())) std::abort();
        if (completed && !shutdown && j.par.plain && got.size() != whole(j.served.payload_before(j.cut, 0)))
            std::abort();
        if (all_sent && !shutdown && !completed && !j.par.late) std::abort();
        // A peer that reads late gets everything when the acknowledgements
        // fit the bound; else the client may give up on it, and only so.
        if (j.par.late && !j.reset && !completed) {
            std::size_t acks = 0;
            for (const auto& c : j.served.chunks)
                if (!c.ack.empty()) acks += c.ack.size() + 31;
            if (shutdown || acks <= ack_bound || error != scanlib::quvo::ack_stall_text(stall_ms)) {
                std::fprintf(stderr, "late reading peer, %zu bytes of acknowledgements: %s\n", acks, error.c_str());
                std::abort();
            }
        }
        // A failure comes only after every whole word that reached the client.
        if (words && !completed && !shutdown && !j.par.stall && !j.unsure && got.size() != whole(j.sent_until)) {
            std::fprintf(stderr, "%zu bytes read by words, %zu sent\n", got.size(), j.sent_until);
            std::abort();
        }
    } else {
        if (got.size() > rest.size()) std::abort();
    }
    if (!fuzzcheck::back_to(before)) {
        std::fprintf(stderr, "descriptors or threads left behind\n");
        std::abort();
    }
    return 0;
}
