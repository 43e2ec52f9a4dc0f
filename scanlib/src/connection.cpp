#include <scanlib/connection.hpp>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <deque>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include <scanlib/fileconn.hpp>
#include <scanlib/memconn.hpp>
#include <scanlib/zpkmarker.hpp>

#include "connection_internal.hpp"
#include "fileio.hpp"
#include "header_ids.hpp"

// ---------------------------------------------------------------- uri

uri::uri(const std::string& s) {
    constexpr auto npos = std::string::npos;
    const std::size_t size = s.size();
    std::size_t i = 0;
    std::size_t p = s.find_first_of(":/?#");
    if (p != npos && s[p] == ':') {
        scheme = s.substr(0, p);
        i = p + 1;
        if (i >= size) return;
    } else if (s.empty()) {
        return;
    }
    std::size_t a = s.find("//", i);
    if (a != npos) {
        std::size_t j = a + 2;
        if (j >= size) return;
        std::size_t e = s.find_first_of("/?#", j);
        if (e == npos) e = size;
        authority = s.substr(j, e - j);
        i = e;
    }
    if (i >= size) return;
    std::size_t e2 = s.find_first_of("?#", i);
    if (e2 == npos) e2 = size;
    path = s.substr(i, e2 - i);
    if (e2 >= size) return;
    std::size_t k = e2;
    // A '?' inside the fragment does not start a query.
    if (s[e2] == '?') {
        const std::size_t q = e2;
        if (q + 1 >= size) return;
        std::size_t e3 = s.find('#', q + 1);
        if (e3 == npos) e3 = size;
        query = s.substr(q + 1, e3 - q - 1);
        k = e3;
    }
    if (k >= size) return;
    std::size_t h = s.find('#', k);
    if (h == npos || h + 1 >= size) return;
    fragment = s.substr(h + 1);
}

namespace scanlib {

namespace {

// The scheme of a text: everything before its first ':' when no '/', '?' or
// '#' comes earlier.
bool scheme_of(const std::string& text, std::string& scheme) {
    std::size_t p = text.find_first_of(":/?#");
    if (p == std::string::npos || text[p] != ':') return false;
    scheme = text.substr(0, p);
    return true;
}

std::string default_name() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[22] = "UNNAMED_";
    if (gmtime_r(&now, &utc) != nullptr) std::strftime(text, sizeof text, "UNNAMED_%y%m%d_%H%M%S", &utc);
    return text;
}

constexpr char header_id[8] = {'\xFF', '\xFF', '\xFF', '\xFF', '\x00', '\x00', '\x01', '\x00'};
constexpr std::size_t no_limit = 0x7fffffffffffffff;

detail::hreplace_function& hreplace_hook() {
    static detail::hreplace_function hook;
    return hook;
}

} // namespace

void detail::check_address(const std::string& host, const std::string& service) {
    // The resolver takes a number, after white space and a sign, modulo
    // 65536: a port nobody named. No service name holds white space or
    // begins with a sign.
    auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    bool bad_service = service.empty() || service.front() == '+' || service.front() == '-' ||
                       std::any_of(service.begin(), service.end(), is_space);
    if (!bad_service && std::all_of(service.begin(), service.end(), is_digit)) {
        unsigned long port = 0;
        for (char c : service) {
            port = port * 10 + static_cast<unsigned long>(c - '0');
            if (port > 65535) {
                bad_service = true;
                break;
            }
        }
    }
    if (host.empty() || bad_service)
        throw std::runtime_error("Invalid address/service syntax.");
}

detail::hreplace_function detail::set_hreplace_hook(hreplace_function hook) {
    hreplace_function previous = std::move(hreplace_hook());
    hreplace_hook() = std::move(hook);
    return previous;
}

// ---------------------------------------------------------------- basic_connection

basic_connection::basic_connection() : name(default_name()) {}
basic_connection::~basic_connection() = default;
void basic_connection::open() {}
void basic_connection::close() {}
void basic_connection::cancel() {}

// ---------------------------------------------------------------- basic_rconnection

struct basic_rconnection::impl {
    std::string log_name;
    detail::file_writer log{0x10000};
    std::size_t log_limit = no_limit;
    std::size_t log_written = 0;
    std::uint32_t log_part = 1;

    bool override_active = false;
    detail::override_state overrides;
    // The override's nested reads met the end of the source: the reads that
    // follow deliver what it left and then report the end, as the source
    // itself would have, without asking the source again.
    bool ended_in_override = false;

    // What the running pass took from the source.
    struct pass_input {
        // The source failed under the pass; its reader may hold the failure
        // back behind words it has still to hand on.
        std::exception_ptr source_error;
        std::size_t taken = 0;
        char tail[3] = {}; // the last bytes taken
        void note(const char* p, std::size_t k) {
            taken += k;
            for (std::size_t i = k > 3 ? k - 3 : 0; i < k; ++i) {
                tail[0] = tail[1];
                tail[1] = tail[2];
                tail[2] = p[i];
            }
        }
    };
    pass_input* pass = nullptr;
    // A failed pass fails the stream, after what it wrote (left in pushback),
    // until a seek.
    std::exception_ptr pass_error;
    // What it wrote ends with a whole packet.
    bool failed_after_packet = false;

    std::deque<char> pushback;
};

basic_rconnection::basic_rconnection(const std::string& text) : impl_(std::make_unique<impl>()) {
    initialize(text);
}

basic_rconnection::~basic_rconnection() = default; // the log writer closes itself, dropping errors

std::size_t basic_rconnection::tellg() const { return position; }

void basic_rconnection::seekg(std::size_t) {
    throw std::runtime_error("basic_rconnection: stream is not seekable!");
}

std::string basic_rconnection::continuation() const { return std::string(); }

void basic_rconnection::request_shutdown() {}

void basic_rconnection::initialize(const std::string& text) { override_text = text; }

void basic_rconnection::restart_at(std::size_t pos) {
    // The new position meets its header afresh: no pass state survives.
    impl_->pushback.clear();
    impl_->overrides.delivered.restart();
    impl_->override_active = false;
    impl_->ended_in_override = false;
    impl_->pass_error = nullptr;
    impl_->failed_after_packet = false;
    position = pos;
    eof = false;
}

std::size_t basic_rconnection::readsome(void* buf, std::size_t n) {
    if (n == 0) return 0;
    impl& d = *impl_;
    char* out = static_cast<char*>(buf);
    std::size_t k;
    if (!d.pushback.empty()) {
        k = std::min(n, d.pushback.size());
        std::copy_n(d.pushback.begin(), k, out);
        d.pushback.erase(d.pushback.begin(), d.pushback.begin() + static_cast<std::ptrdiff_t>(k));
    } else if (d.pass_error) {
        throw_pass_error();
    } else if (d.ended_in_override && eof) {
        return 0;
    } else {
        try {
            k = more_input(buf, n);
            if (k > n) throw std::logic_error("basic_rconnection: more_input delivered more than asked");
            // The log holds the raw input: source bytes only, each once.
            if (k > 0 && d.log.is_open()) log_input(out, k);
        } catch (...) {
            // A failure under a pass is the pass's, even where its reader
            // holds it back.
            if (d.pass) d.pass->source_error = std::current_exception();
            throw;
        }
    }
    if (k > 0 && !override_text.empty()) {
        if (!d.override_active) k = watch_header(out, k);
        else if (d.pass) d.pass->note(out, k);
    }
    position += k;
    return k;
}

// Follows the delivered bytes as the framing decoder reads them and runs the
// override right after a header's explicit id (FF FF FF FF 00 00 01 00 at a
// packet start); words the decoder takes as data never run it.
std::size_t basic_rconnection::watch_header(char* buf, std::size_t k) {
    impl& d = *impl_;
    detail::key_tracker& delivered = d.overrides.delivered;
    // Without an owner the override cannot be handed this connection: look
    // before the tracker moves, so that its state stays as it was.
    if (weak_from_this().expired() && delivered.header_id_end(buf, k) != detail::key_tracker::no_header_id) {
        // Nothing has been handed out yet: keep every byte for a later call.
        d.pushback.insert(d.pushback.begin(), buf, buf + k);
        throw std::bad_weak_ptr();
    }
    const std::size_t r = delivered.feed(buf, k);
    if (r == detail::key_tracker::no_header_id) return k;
    run_override(buf, r, k);
    return r;
}

void basic_rconnection::run_override(char* buf, std::size_t r, std::size_t k) {
    impl& d = *impl_;
    d.override_active = true;
    d.pushback.insert(d.pushback.begin(), buf + r, buf + k);
    d.pushback.insert(d.pushback.begin(), header_id, header_id + sizeof header_id);

    std::vector<char> out;
    impl::pass_input pass;
    d.pass = &pass;
    try {
        std::shared_ptr<basic_wconnection> sink = std::make_shared<mem_wconnection>(out);
        std::shared_ptr<basic_rconnection> self = shared_from_this();
        const detail::hreplace_function& hook = hreplace_hook();
        if (hook) hook(self, sink, override_text);
        else ::hreplace(self, sink, override_text);
    } catch (...) {
        d.pass = nullptr;
        // The pass stopped between packets: its output holds whole packets.
        fail_pass(out, std::string(), true, std::current_exception());
        return;
    }
    d.pass = nullptr;
    if (pass.source_error) {
        // The source failed after words the pass's reader still handed on:
        // the output, then the bytes of a word the source left unfinished, as
        // the source gave them, then the failure.
        const std::size_t part = pass.taken % 4;
        fail_pass(out, std::string(pass.tail + 3 - part, part), false, pass.source_error);
        return;
    }
    if (out.size() < sizeof header_id) {
        fail_pass(out, std::string(), false,
                  std::make_exception_ptr(std::runtime_error("internal error: parameter replacement 1")));
        return;
    }
    if (!std::equal(header_id, header_id + sizeof header_id, out.begin())) {
        fail_pass(out, std::string(), false,
                  std::make_exception_ptr(std::runtime_error("internal error: parameter replacement 2")));
        return;
    }
    d.pushback.insert(d.pushback.begin(), out.begin() + sizeof header_id, out.end());
    d.ended_in_override = eof;
    d.override_active = false;
}

// A failed pass hands out what it wrote and never what it only read: the
// caller of the call that met the header's id has the bytes up to it; the
// rest of the pass's output follows (nothing when it does not begin with the
// id, as it cannot stand for the header), then `more`, then the failure, with
// every later read until a seek.
void basic_rconnection::fail_pass(const std::vector<char>& out, const std::string& more, bool ends_packet,
                                  std::exception_ptr error) {
    impl& d = *impl_;
    d.pushback.clear();
    if (out.size() >= sizeof header_id && std::equal(header_id, header_id + sizeof header_id, out.begin())) {
        d.pushback.assign(out.begin() + sizeof header_id, out.end());
        d.pushback.insert(d.pushback.end(), more.begin(), more.end());
    }
    d.failed_after_packet = ends_packet && !d.pushback.empty();
    d.pass_error = std::move(error);
    d.ended_in_override = false;
}

namespace {
// The pass failure this thread is throwing, when what came before it ends
// with a whole packet. Connections that hand the failure on unchanged keep
// it recognisable to the framing reader above them.
thread_local std::exception_ptr failure_after_packet;
} // namespace

void basic_rconnection::throw_pass_error() {
    impl& d = *impl_;
    failure_after_packet = d.failed_after_packet ? d.pass_error : nullptr;
    std::rethrow_exception(d.pass_error);
}

bool detail::failure_ends_packet(const std::exception_ptr& error) {
    return error && error == failure_after_packet;
}

void basic_rconnection::log_input(const char* buf, std::size_t k) {
    impl& d = *impl_;
    const char* p = buf;
    std::size_t left = k;
    auto fail = [&](const char* what) {
        d.log.close();
        d.log_limit = no_limit;
        // The bytes came from the source: keep them for the next call.
        d.pushback.insert(d.pushback.begin(), buf, buf + k);
        throw std::runtime_error(what);
    };
    for (;;) {
        std::size_t rem = d.log_limit - d.log_written;
        if (left <= rem) {
            if (!d.log.write(p, left)) fail("Error writing to logfile!");
            d.log_written += left;
            return;
        }
        if (!d.log.write(p, rem)) fail("Error writing to logfile!");
        d.log_written += rem;
        p += rem;
        left -= rem;
        if (!d.log.close()) fail("Error writing to logfile!");
        if (!d.log.open(detail::part_name(d.log_name, d.log_part))) fail("cannot create logfile extension");
        ++d.log_part;
        d.log_written = 0;
    }
}

void basic_rconnection::open_logfile(const std::string& name, long limit) {
    namespace fs = boost::filesystem;
    // A zero limit would leave no room for any byte in any part.
    if (limit == 0) throw std::invalid_argument("open_logfile: the size limit must not be 0");
    impl& d = *impl_;
    if (d.log.is_open() && !d.log.close()) {
        d.log_limit = no_limit;
        throw std::runtime_error("Error writing to logfile!");
    }
    d.log_limit = no_limit;
    if (!d.log.open(name)) throw std::runtime_error("cannot create logfile");
    try {
        fs::path full = fs::absolute(name);
        d.log_name = full.string();
        // Parts of an earlier log of that name would be read back as continuations.
        const std::string stem = full.filename().string() + "_";
        std::vector<fs::path> stale;
        for (fs::directory_iterator it(full.parent_path()), end; it != end; ++it) {
            const std::string f = it->path().filename().string();
            if (f.size() == stem.size() + 3 && f.compare(0, stem.size(), stem) == 0 &&
                std::all_of(f.begin() + static_cast<std::ptrdiff_t>(stem.size()), f.end(),
                            [](char c) { return c >= '0' && c <= '9'; }))
                stale.push_back(it->path());
        }
        for (const fs::path& p : stale) fs::remove(p);
    } catch (...) {
        d.log.close();
        throw;
    }
    d.log_part = 1;
    d.log_limit = static_cast<std::size_t>(limit);
    d.log_written = 0;
}

void basic_rconnection::flush_logfile() {
    impl& d = *impl_;
    if (d.log.is_open() && !d.log.flush()) throw std::runtime_error("Error writing to logfile!");
}

void basic_rconnection::close_logfile() {
    impl& d = *impl_;
    d.log_limit = no_limit;
    if (!d.log.close()) throw std::runtime_error("Error writing to logfile!");
}

basic_rconnection& basic_rconnection::read(void* buf, std::size_t n) {
    // Bytes an override pushed back are still input, even when its nested
    // reads met the end of the source.
    if (eof && impl_->pushback.empty() && !impl_->pass_error)
        throw std::runtime_error("basic_rconnection: attempt to read beyond end of input!");
    char* out = static_cast<char*>(buf);
    std::size_t total = 0;
    std::size_t got;
    do {
        got = readsome(out + total, n - total);
        total += got;
    } while (got > 0 && total < n);
    gcount = total;
    return *this;
}

std::unique_ptr<basic_rconnection> basic_rconnection::create_impl(const std::string& text,
                                                                  const std::string& continuation,
                                                                  const std::string& override) {
    std::string scheme;
    bool has_scheme = scheme_of(text, scheme);
    if (has_scheme && scheme == "file")
        return std::make_unique<file_rconnection>(text, continuation, override);
    if (has_scheme && scheme == "quvo") return detail::create_quvo_rconnection(text, continuation, override);
    if (has_scheme && scheme == "quda") return detail::create_quda_rconnection(text, continuation, override);
    return std::make_unique<file_rconnection>("file:" + text, continuation, override);
}

// ---------------------------------------------------------------- basic_wconnection

basic_wconnection::basic_wconnection() = default;
basic_wconnection::~basic_wconnection() = default;
void basic_wconnection::shutdown() {}

std::unique_ptr<basic_wconnection> basic_wconnection::create_impl(const std::string& text) {
    std::string scheme;
    if (scheme_of(text, scheme) && scheme == "file") return std::make_unique<file_wconnection>(text);
    return std::make_unique<file_wconnection>("file:" + text);
}

std::unique_ptr<basic_rwconnection> basic_rwconnection::create_impl(const std::string& text) {
    throw std::runtime_error("Cannot create read-write connection from uri: " + text);
}

} // namespace scanlib

namespace scanlib::detail {

override_state& override_state_of(basic_rconnection& stream) { return stream.impl_->overrides; }

namespace {

// Hands each whole word of the bytes, little-endian and on the grid that
// `carried` bytes of an unfinished word give, to on_word until it returns
// true; returns the bytes taken then, or key_tracker::no_header_id.
template <class OnWord>
std::size_t each_word(std::uint32_t& carry, unsigned& carried, const char* bytes, std::size_t n, OnWord on_word) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(bytes);
    const unsigned char* const end = begin + n;
    const unsigned char* p = begin;
    while (p != end) {
        if (carried == 0 && end - p >= 4) {
            const std::uint32_t w = p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24;
            p += 4;
            if (on_word(w)) return static_cast<std::size_t>(p - begin);
            continue;
        }
        carry |= std::uint32_t(*p++) << (8 * carried);
        if (++carried < 4) continue;
        const std::uint32_t w = carry;
        carry = 0;
        carried = 0;
        if (on_word(w)) return static_cast<std::size_t>(p - begin);
    }
    return key_tracker::no_header_id;
}

} // namespace

// True when w completes a header's explicit id.
// Inlined into feed: the watch runs it on every delivered word.
[[gnu::always_inline]] inline bool key_tracker::word(std::uint32_t w) {
    bool header_id = false;
    switch (framing_.take(w, header_id)) {
    case word_framing::kind::start: start(w); break;
    case word_framing::kind::data: data(w); break;
    default: break;
    }
    return header_id;
}

std::size_t key_tracker::feed(const char* bytes, std::size_t n) {
    return each_word(carry_, carried_, bytes, n, [this](std::uint32_t w) { return word(w); });
}

std::size_t key_tracker::header_id_end(const char* bytes, std::size_t n) const {
    std::uint32_t carry = carry_;
    unsigned carried = carried_;
    word_framing framing = framing_;
    return each_word(carry, carried, bytes, n, [&framing](std::uint32_t w) {
        bool header_id = false;
        framing.take(w, header_id);
        return header_id;
    });
}

void key_tracker::restart() {
    carry_ = 0;
    carried_ = 0;
    framing_ = word_framing();
    packet_ = in::nothing;
    header_body_.clear();
}

// A packet begins, so the one before it has ended: a header's list is loaded
// now, as a reader loads it on reaching the header's end.
void key_tracker::start(std::uint32_t w) {
    if (packet_ == in::header && header_body_.size() >= header_fixed_words)
        load_header_ids(keys_, header_body_.data(), header_body_.data() + header_body_.size());
    header_body_.clear();
    const package_id header(1, 0);
    if (w == 0xFFFFFFFFu)
        packet_ = in::id_word;
    else if ((w & 0xFFu) <= header_key::last_compact && keys_.key_to_id(w & 0xFFu) == header)
        packet_ = in::header;
    else
        packet_ = in::other_packet;
}

void key_tracker::data(std::uint32_t w) {
    if (packet_ == in::id_word) {
        packet_ = w == 0x00010000u ? in::header : in::other_packet;
    } else if (packet_ == in::header) {
        // No reader takes a packet beyond the framing's cap.
        if (header_body_.size() < basic_zpkmarker::max_words)
            header_body_.push_back(w);
        else
            packet_ = in::other_packet;
    }
}

} // namespace scanlib::detail
