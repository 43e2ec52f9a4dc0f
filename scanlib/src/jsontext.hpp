#pragma once
// JSON text from outside (streams, override files) read into a property tree,
// and JSON written straight to text in the property tree writer's layout.

#include <boost/property_tree/ptree.hpp>

#include <cstddef>
#include <iosfwd>
#include <limits>
#include <locale>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace scanlib {

class scanmech;

namespace detail {

// Reads `text` as JSON. The reader recurses once per nesting level, so text
// nested deeper than `max_depth` is refused (json_parser_error "nesting too
// deep") before it can exhaust the stack.
boost::property_tree::ptree read_json_text(std::string const& text, int max_depth);

// Appends JSON to a string exactly as Boost.PropertyTree's writer lays out
// the equivalent tree, without building one: every value is a quoted text,
// an object or array left empty below the top is written "", and the pretty
// form indents four spaces a level. The top is an object. Numbers take the
// stream translator's form: the global locale, max_digits10 significant
// digits for floating point.
class json_writer {
public:
    json_writer(std::string& out, bool pretty);
    json_writer(json_writer const&) = delete;
    json_writer& operator=(json_writer const&) = delete;

    // `key` names the member; it is ignored inside arrays and at the top.
    void begin_object(char const* key = nullptr);
    void begin_array(char const* key = nullptr);
    void end();
    void text(char const* key, std::string const& s);
    template <class T>
    void number(char const* key, T v) {
        member(key);
        digits.clear();
        if (std::numeric_limits<T>::is_specialized && !std::numeric_limits<T>::is_exact)
            fmt.precision(std::numeric_limits<T>::max_digits10);
        fmt << v;
        quoted(digits);
    }

    // How many texts written so far the JSON reader refuses (bytes that are
    // no UTF-8 sequence it accepts).
    std::size_t unreadable() const { return unreadable_; }

private:
    struct level {
        bool array;
        bool open;
    };
    // Appends to `digits`; the number's characters go through no other buffer.
    struct append_buf : std::streambuf {
        std::string* s = nullptr;
        int_type overflow(int_type c) override;
        std::streamsize xsputn(char const* p, std::streamsize n) override;
    };

    void member(char const* key);
    void quoted(std::string const& s);

    std::string& out;
    const bool pretty;
    std::size_t unreadable_ = 0;
    std::vector<level> levels;
    std::string digits;
    append_buf buf;
    std::ostream fmt;
};

// Writes `text` and a line feed and flushes, as the property tree's writer
// ends a document; a stream left bad throws json_parser_error "write error".
void put_json_text(std::ostream& os, std::string const& text);

// The scan mechanism's JSON form as member `key` of the writer's current
// object (or as the top object when nothing is open yet). std::bad_cast for a
// model whose class does not match its kind.
void write_scanmech(json_writer& w, char const* key, scanmech const& m);

} // namespace detail
} // namespace scanlib
