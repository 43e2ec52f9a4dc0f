#include <scanlib/zpkstream.hpp>

#include <scanlib/connection.hpp>
#include <scanlib/scanexcept.hpp>

#include "header_ids.hpp"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>

namespace scanlib {

namespace {

constexpr unsigned int header_main = 1;
constexpr unsigned int header_sub = 0;
using detail::header_fixed_words;

bool is_header(unsigned int main, unsigned int sub) { return main == header_main && sub == header_sub; }

[[noreturn]] void missing_sequence_data() { throw std::range_error("Missing data for sequence."); }

// The id of the packet [begin, end) and where its body begins.
package_id decode_id(unsigned int const* begin, unsigned int const* end, const lookup_table& table,
                     unsigned int const*& body) {
    basic_package<unsigned int const*> pkg(begin, end, table);
    body = pkg.body_begin;
    return pkg.id;
}

// Writes the shortest id header the table allows; returns its length in words.
std::size_t write_id(unsigned int main, unsigned int sub, const lookup_table& table, unsigned int (&head)[2]) {
    write_package w(main, sub, table, head, head + 2);
    return static_cast<std::size_t>(w.body_begin - head);
}

} // namespace

// ---------------------------------------------------------------------------
// zpk_packet

namespace {
// A copy's pointers into the source's own storage move to the copy's storage.
void rebase(zpk_packet& to, const zpk_packet& from) {
    if (from.storage.empty())
        return;
    const unsigned int* b = from.storage.data();
    const unsigned int* e = b + from.storage.size();
    const std::less_equal<const unsigned int*> le; // a total order, also for unrelated pointers
    if (le(b, from.begin) && le(from.begin, e) && le(b, from.end) && le(from.end, e)) {
        to.begin = to.storage.data() + (from.begin - b);
        to.end = to.storage.data() + (from.end - b);
    }
}
} // namespace

zpk_packet::zpk_packet(const zpk_packet& o)
    : begin(o.begin), end(o.end), storage(o.storage), main(o.main), sub(o.sub) {
    rebase(*this, o);
}

zpk_packet& zpk_packet::operator=(const zpk_packet& o) {
    if (this != &o) {
        storage = o.storage;
        begin = o.begin;
        end = o.end;
        main = o.main;
        sub = o.sub;
        rebase(*this, o);
    }
    return *this;
}

// ---------------------------------------------------------------------------
// zpk_istream

struct zpk_istream::impl {
    std::shared_ptr<basic_rconnection> connection;
    std::shared_ptr<decoder_zpkmarker> decoder;
};

zpk_istream::zpk_istream() : impl_(std::make_unique<impl>()) {}
zpk_istream::zpk_istream(const char* uri) : zpk_istream() { open(uri); }
zpk_istream::zpk_istream(const std::string& uri) : zpk_istream() { open(uri); }
zpk_istream::~zpk_istream() = default;

void zpk_istream::open(const char* uri) { init(uri); }
void zpk_istream::open(const std::string& uri) { init(uri.c_str()); }

void zpk_istream::init(const char* uri) {
    try {
        std::string text(uri);
        if (text.find(':') == std::string::npos)
            text = "file:" + text;
        std::shared_ptr<basic_rconnection> c = basic_rconnection::create_impl(text, "", "");
        impl_->decoder.reset();
        impl_->connection = c;
        c->open();
        impl_->decoder = std::make_shared<decoder_zpkmarker>(c, true);
        at_end = false;
    } catch (...) {
        // A connection that failed to open is not kept.
        impl_->connection.reset();
        impl_->decoder.reset();
        at_end = true;
        throw;
    }
}

std::shared_ptr<basic_rconnection> zpk_istream::rdcon() const { return impl_->connection; }

std::shared_ptr<basic_rconnection> zpk_istream::rdcon(std::shared_ptr<basic_rconnection> c) {
    std::swap(c, impl_->connection);
    if (impl_->connection) {
        impl_->decoder = std::make_shared<decoder_zpkmarker>(impl_->connection, false);
        at_end = false;
    } else {
        at_end = true;
    }
    return c;
}

bool zpk_istream::is_open() const { return impl_->connection != nullptr; }

void zpk_istream::close() {
    at_end = true;
    if (impl_->connection) {
        impl_->connection->close();
        impl_->connection.reset();
    }
}

zpk_istream& zpk_istream::operator>>(package_id& id) {
    if (at_end)
        return *this;
    impl_->decoder->get(packet_region);
    if (packet_region.empty()) {
        at_end = true;
        return *this;
    }
    unsigned int const* const end = packet_region.end;
    current_id = decode_id(packet_region.begin, end, table, body_begin);
    body_begin = std::min(body_begin, end);
    body_end = end;
    id = current_id;
    if (is_header(current_id.main, current_id.sub)) {
        if (static_cast<std::size_t>(end - body_begin) < header_fixed_words)
            missing_sequence_data();
        detail::load_header_ids(table, body_begin, end);
    }
    return *this;
}

zpk_istream& zpk_istream::operator>>(zpk_packet& p) {
    if (at_end)
        return *this;
    p.main = current_id.main;
    p.sub = current_id.sub;
    p.begin = body_begin;
    p.end = body_end;
    return *this;
}

unsigned long zpk_istream::drain(void* dst, unsigned long n) {
    at_end = true;
    if (!impl_->decoder)
        return 0;
    // The decoder copies at most 65535 bytes a call; a larger n means "as much as you can".
    return impl_->decoder->drain(dst, static_cast<unsigned short>(std::min<unsigned long>(n, 0xFFFF)));
}

std::uint64_t zpk_istream::tellg() const { return impl_->decoder ? impl_->decoder->tellg() : 0; }

zpk_istream& zpk_istream::seekg(unsigned long pos) {
    if (!impl_->decoder)
        throw scanlib_exception("Cannot seek.", "scanlib/src/zpkmarker", 373);
    impl_->decoder->seekg(pos);
    return *this;
}

// ---------------------------------------------------------------------------
// zpk_ostream

namespace {
constexpr unsigned long encoder_size = 0x20000;
constexpr unsigned long encoder_reserve = 0x10000;
} // namespace

struct zpk_ostream::impl {
    basic_buffer<unsigned int*> scratch;
    lookup_table table;
    // What a reader that saw every header written so far holds: readers add
    // each header to their table, and for lists of 256 ids and more that can
    // give a key another id than the last header alone does.
    lookup_table seen;
    package_id expected_id;
    std::shared_ptr<basic_wconnection> connection;
    std::shared_ptr<encoder_zpkmarker> encoder;
    std::string path;

    void attach(std::shared_ptr<basic_wconnection> c, bool preamble) {
        auto enc = std::make_shared<encoder_zpkmarker>(c, encoder_size, encoder_reserve, preamble);
        basic_buffer<unsigned int*> s;
        enc->put(s);
        // The previous encoder writes out what it holds as it goes.
        encoder = std::move(enc);
        connection = std::move(c);
        scratch = s;
    }
};

zpk_ostream::zpk_ostream() : impl_(std::make_unique<impl>()) {}

zpk_ostream::zpk_ostream(const char* uri, bool keep_) : zpk_ostream() {
    keep = keep_;
    open(uri);
}

zpk_ostream::zpk_ostream(const std::string& uri, bool keep_) : zpk_ostream(uri.c_str(), keep_) {}

zpk_ostream::~zpk_ostream() {
    if (!impl_->connection)
        return;
    try {
        close();
    } catch (...) {
        return; // the file is not removed after a failed close
    }
    // Only a plain path names the file; a "file:" uri is left alone.
    const std::string& path = impl_->path;
    if (!keep && !path.empty() && path.rfind("file:", 0) != 0)
        std::remove(path.c_str());
}

void zpk_ostream::open(const char* uri) { init(uri); }
void zpk_ostream::open(const std::string& uri) { init(uri.c_str()); }

void zpk_ostream::init(const char* uri) {
    std::string path(uri);
    std::shared_ptr<basic_wconnection> c = basic_wconnection::create_impl(path);
    c->open();
    impl_->attach(std::move(c), true);
    impl_->path = std::move(path);
    // A new stream: its readers start with no keys, whatever this stream's table holds.
    impl_->seen = lookup_table();
}

std::shared_ptr<basic_wconnection> zpk_ostream::wrcon() const { return impl_->connection; }

std::shared_ptr<basic_wconnection> zpk_ostream::wrcon(std::shared_ptr<basic_wconnection> c) {
    std::shared_ptr<basic_wconnection> previous = impl_->connection;
    if (c) {
        impl_->attach(std::move(c), false);
    } else {
        // Nothing to write to: the stream is closed for writing.
        impl_->encoder.reset();
        impl_->connection.reset();
        impl_->scratch = {};
    }
    return previous;
}

bool zpk_ostream::is_open() const { return impl_->connection != nullptr; }

void zpk_ostream::close() {
    impl& d = *impl_;
    if (!d.connection)
        return;
    d.encoder->eot();
    d.encoder->flush();
    d.connection->close();
    d.encoder.reset();
    d.connection.reset();
}

zpk_ostream& zpk_ostream::operator<<(const package_id& id) {
    impl_->expected_id = id;
    return *this;
}

void zpk_ostream::reader_keys(lookup_table k) { impl_->seen = std::move(k); }

zpk_ostream& zpk_ostream::operator<<(const zpk_packet& p) {
    impl& d = *impl_;
    if (!d.encoder)
        throw std::logic_error("zpk_ostream: no connection attached");
    if ((d.expected_id.main != 0 || d.expected_id.sub != 0) &&
        (d.expected_id.main != p.main || d.expected_id.sub != p.sub))
        throw std::runtime_error("zpk_ostream: id mismatch: expected " + std::to_string(d.expected_id.main) + "." +
                                 std::to_string(d.expected_id.sub) + " got " + std::to_string(p.main) + "." +
                                 std::to_string(p.sub));
    const std::size_t body = static_cast<std::size_t>(p.end - p.begin);
    basic_buffer<unsigned int*>& s = d.scratch;
    if (is_header(p.main, p.sub)) {
        if (body < header_fixed_words)
            missing_sequence_data();
        if (s.capacity() < 2 + header_fixed_words)
            missing_sequence_data();
        // The whole id list must fit before anything is written.
        if (s.capacity() < 2 + body)
            throw std::out_of_range("basic_buffer::resize");
        s.end = s.begin + 2 + body; // fits: checked above
        write_package(header_main, header_sub, s.begin, s.end);
        std::copy(p.begin, p.end, s.begin + 2);
        d.encoder->put(s);
        // Only a header that was written names the keys.
        d.table = lookup_table();
        detail::load_header_ids(d.table, p.begin, p.end);
        detail::load_header_ids(d.seen, p.begin, p.end);
        return *this;
    }
    unsigned int head[2];
    std::size_t head_len = write_id(p.main, p.sub, d.table, head);
    if (head_len == 1 && head[0] <= 0xFFFFFFFCu) {
        // A compact key must mean this id to every reader.
        unsigned int const* body_at = nullptr;
        const package_id read_back = decode_id(head, head + 1, d.seen, body_at);
        if (read_back.main != p.main || read_back.sub != p.sub)
            head_len = write_id(p.main, p.sub, lookup_table(), head);
    }
    if (s.capacity() < head_len + body)
        throw std::out_of_range("basic_buffer::resize");
    s.end = s.begin + head_len + body;
    std::copy(head, head + head_len, s.begin);
    std::copy(p.begin, p.end, s.begin + head_len);
    d.encoder->put(s);
    return *this;
}

} // namespace scanlib
