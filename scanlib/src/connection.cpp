#include <scanlib/connection.hpp>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <deque>
#include <stdexcept>
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
    std::uint32_t trigger_word = 0;
    std::uint32_t trigger_count = 0;
    bool trigger_disarmed = true;

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
    impl_->pushback.clear();
    impl_->trigger_word = 0;
    impl_->trigger_count = 0;
    impl_->trigger_disarmed = true;
    impl_->overrides.delivered.restart();
    impl_->ended_in_override = false;
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
    } else if (d.ended_in_override && eof) {
        return 0;
    } else {
        k = more_input(buf, n);
        if (k > n) throw std::logic_error("basic_rconnection: more_input delivered more than asked");
        // The log holds the raw input: source bytes only, each once.
        if (k > 0 && d.log.is_open()) log_input(out, k);
    }
    if (k > 0 && !override_text.empty() && !d.override_active) k = watch_header(out, k);
    position += k;
    return k;
}

// Looks for the header's explicit id (FF FF FF FF 00 00 01 00) on the word grid
// of the delivered bytes and runs the override right after it.
std::size_t basic_rconnection::watch_header(char* buf, std::size_t k) {
    impl& d = *impl_;
    const std::uint32_t saved_word = d.trigger_word, saved_count = d.trigger_count;
    const bool saved_disarmed = d.trigger_disarmed;
    const auto* p = reinterpret_cast<const unsigned char*>(buf);
    // One aligned word: true when it completes the header id.
    auto on_word = [&d](std::uint32_t word) {
        if (d.trigger_disarmed) {
            d.trigger_disarmed = word != 0xFFFFFFFFu;
            return false;
        }
        d.trigger_disarmed = true;
        return word == 0x00000100u;
    };
    std::size_t i = 0;
    bool hit = false;
    while (i < k && !hit) {
        if (d.trigger_count == 0 && k - i >= 4) {
            // Whole words straight from the buffer.
            const std::uint32_t word = std::uint32_t(p[i]) << 24 | std::uint32_t(p[i + 1]) << 16 |
                                       std::uint32_t(p[i + 2]) << 8 | p[i + 3];
            i += 4;
            hit = on_word(word);
            continue;
        }
        d.trigger_word = (d.trigger_word << 8) | p[i++];
        if (++d.trigger_count < 4) continue;
        d.trigger_count = 0;
        hit = on_word(d.trigger_word);
        d.trigger_word = 0;
    }
    if (!hit) {
        d.overrides.delivered.feed(buf, k);
        return k;
    }
    std::shared_ptr<basic_rconnection> self;
    try {
        self = shared_from_this();
    } catch (...) {
        // Nothing has been handed out yet: keep every byte for a later call.
        d.pushback.insert(d.pushback.begin(), buf, buf + k);
        d.trigger_word = saved_word;
        d.trigger_count = saved_count;
        d.trigger_disarmed = saved_disarmed;
        throw;
    }
    self.reset();
    d.overrides.delivered.feed(buf, i);
    run_override(buf, i, k);
    return i;
}

void basic_rconnection::run_override(char* buf, std::size_t r, std::size_t k) {
    impl& d = *impl_;
    d.override_active = true;
    d.pushback.insert(d.pushback.begin(), buf + r, buf + k);
    d.pushback.insert(d.pushback.begin(), header_id, header_id + sizeof header_id);

    std::vector<char> out;
    {
        std::shared_ptr<basic_wconnection> sink = std::make_shared<mem_wconnection>(out);
        std::shared_ptr<basic_rconnection> self = shared_from_this();
        const detail::hreplace_function& hook = hreplace_hook();
        if (hook) hook(self, sink, override_text);
        else ::hreplace(self, sink, override_text);
    }
    if (out.size() < sizeof header_id) throw std::runtime_error("internal error: parameter replacement 1");
    if (!std::equal(header_id, header_id + sizeof header_id, out.begin()))
        throw std::runtime_error("internal error: parameter replacement 2");
    d.pushback.insert(d.pushback.begin(), out.begin() + sizeof header_id, out.end());
    d.ended_in_override = eof;
    d.override_active = false;
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
    if (eof && impl_->pushback.empty())
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

void key_tracker::feed(const char* bytes, std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    const unsigned char* const end = p + n;
    while (p != end) {
        if (carried_ == 0 && end - p >= 4) {
            word(p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24);
            p += 4;
            continue;
        }
        carry_ |= std::uint32_t(*p++) << (8 * carried_);
        if (++carried_ < 4) continue;
        word(carry_);
        carry_ = 0;
        carried_ = 0;
    }
}

void key_tracker::restart() {
    carry_ = 0;
    carried_ = 0;
    packet_ = in::nothing;
    escaped_ = false;
    header_body_.clear();
}

// As the framing decoder reads: a start word outside an escape begins a
// packet, an escape word makes the next word a complemented packet word.
void key_tracker::word(std::uint32_t w) {
    if (escaped_) {
        escaped_ = false;
        data(~w);
    } else if (w > 0xFFFFFF00u) {
        start(w);
    } else if (packet_ != in::nothing) {
        if (w == 0xFFFFFF00u)
            escaped_ = true;
        else
            data(w);
    }
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
