// The header override through the read path: any override text over any
// stream that starts at the header's id. Only the library's documented
// failures may leave: std::runtime_error (the property tree's errors and
// std::range_error among them) and scanlib_exception from the packet streams.
//
// Input: chunk byte, read-size byte, override text length (two bytes, little
// endian), the text, then the stream after the header's id words. Without a
// text the override is "{}": a reader then gets the packets and the error
// that it gets without an override (a context end's body is cut to its one
// word, and one of a later sub fails the pass, so streams with such ones are
// not compared). With a text, a failing pass hands out no byte it did not
// write, and the stream stays failed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <scanlib/connection.hpp>
#include <scanlib/memconn.hpp>
#include <scanlib/package.hpp>
#include <scanlib/scanexcept.hpp>
#include <scanlib/zpkstream.hpp>

#include "../scanlib/src/connection_internal.hpp"

namespace {

class source : public scanlib::basic_rconnection {
public:
    source(std::string data, std::size_t chunk, const std::string& text)
        : basic_rconnection(text), data_(std::move(data)), chunk_(chunk) {}

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        const std::size_t k = std::min({n, chunk_, data_.size() - next_});
        std::memcpy(buf, data_.data() + next_, k);
        next_ += k;
        if (k == 0) eof = true;
        return k;
    }

private:
    std::string data_;
    std::size_t chunk_;
    std::size_t next_ = 0;
};

// Hands a connection's bytes on in calls of at most `step` bytes.
class cut : public scanlib::basic_rconnection {
public:
    cut(std::shared_ptr<scanlib::basic_rconnection> from, std::size_t step)
        : basic_rconnection(std::string()), from_(std::move(from)), step_(step) {}

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        const std::size_t k = from_->readsome(buf, std::min(n, step_));
        eof = k == 0 && from_->eof;
        return k;
    }

private:
    std::shared_ptr<scanlib::basic_rconnection> from_;
    std::size_t step_;
};

// What a reader of a stream without preamble gets: ids, bodies one after
// the other, and the error that ended the stream.
struct packets {
    std::vector<unsigned> ids, words;
    std::vector<std::size_t> ends;
    std::string error;
    bool operator==(const packets&) const = default;
};

packets decode(const std::string& bytes, std::size_t chunk, std::size_t step, const std::string& text) {
    packets out;
    try {
        scanlib::zpk_istream in;
        in.rdcon(std::make_shared<cut>(std::make_shared<source>(bytes, chunk, text), step));
        for (;;) {
            scanlib::package_id id;
            in >> id;
            if (in.at_end) return out;
            scanlib::zpk_packet p;
            in >> p;
            out.ids.push_back(id.main << 16 | id.sub);
            out.words.insert(out.words.end(), p.begin, p.end);
            out.ends.push_back(out.words.size());
        }
    } catch (const std::runtime_error& e) {
        out.error = e.what();
    } catch (const scanlib::scanlib_exception& e) {
        out.error = e.what();
    }
    return out;
}

constexpr char header_id[8] = {'\xFF', '\xFF', '\xFF', '\xFF', '\x00', '\x00', '\x01', '\x00'};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::size_t chunk = std::size_t(data[0]) * 16 + 1, step = std::size_t(data[1]) * 8 + 1;
    const std::size_t length = std::min<std::size_t>(data[2] | std::size_t(data[3]) << 8, size - 4);
    std::string text(reinterpret_cast<const char*>(data) + 4, length);
    const bool identity = text.empty();
    if (identity) text = "{}"; // an empty text would mean no override at all
    std::string stream(header_id, sizeof header_id);
    stream.append(reinterpret_cast<const char*>(data) + 4 + length, size - 4 - length);

    if (identity) {
        const packets before = decode(stream, chunk, step, std::string());
        for (std::size_t i = 0; i < before.ids.size(); ++i) {
            const std::size_t length = before.ends[i] - (i ? before.ends[i - 1] : 0);
            const unsigned sub = before.ids[i] & 0xFFFF;
            if (before.ids[i] >> 16 == 21 && sub >= 1 && (length != 1 || sub >= 2)) return 0;
        }
        if (!(decode(stream, chunk, step, text) == before)) std::abort();
        return 0;
    }

    // The pass's own output, kept to compare with what the reader gets.
    std::vector<char> written;
    bool pass_failed = false;
    scanlib::detail::set_hreplace_hook([&](std::shared_ptr<scanlib::basic_rconnection> in,
                                           std::shared_ptr<scanlib::basic_wconnection> out, const std::string& t) {
        written.clear();
        try {
            ::hreplace(in, std::make_shared<scanlib::mem_wconnection>(written), t);
        } catch (...) {
            pass_failed = true;
            out->write(written.data(), written.size());
            throw;
        }
        out->write(written.data(), written.size());
    });
    auto c = std::make_shared<source>(stream, chunk, text);
    std::string buf(step, '\0'), all, error;
    auto read = [&] {
        try {
            const std::size_t k = c->readsome(buf.data(), step);
            all.append(buf.data(), k);
            return k != 0 || !c->eof;
        } catch (const std::runtime_error& e) {
            error = e.what();
        } catch (const scanlib::scanlib_exception& e) {
            error = e.what();
        }
        return false;
    };
    // Bounded: every call delivers bytes or the source's end is near.
    for (std::size_t calls = 0; calls < 4 * stream.size() + 64 && read(); ++calls) {
    }
    scanlib::detail::set_hreplace_hook(nullptr);
    if (error.empty()) return 0;
    // A failed pass hands out no byte that it did not write: its output
    // after the header's id ends what the reader got, or nothing does when
    // that output does not begin with the id.
    const std::string id(header_id, sizeof header_id), out(written.begin(), written.end());
    const std::string last = out.compare(0, id.size(), id) == 0 ? out : id;
    if (pass_failed && (all.size() < last.size() || all.compare(all.size() - last.size(), last.size(), last) != 0))
        std::abort();
    // The failure stays, whatever fails the stream.
    const std::string first = error;
    const std::size_t got = all.size();
    if (read() || error != first || all.size() != got) std::abort();
    return 0;
}
