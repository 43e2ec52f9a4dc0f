#include "jsontext.hpp"

#include <boost/property_tree/json_parser.hpp>

#include <sstream>

namespace scanlib::detail {

boost::property_tree::ptree read_json_text(std::string const& text, int max_depth) {
    int depth = 0;
    unsigned long line = 1;
    bool in_string = false, escaped = false;
    for (const char c : text) {
        if (c == '\n')
            ++line;
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth)
                throw boost::property_tree::json_parser_error("nesting too deep", "", line);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    std::istringstream in(text);
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(in, tree);
    return tree;
}

} // namespace scanlib::detail

namespace scanlib::detail {

json_writer::json_writer(std::string& out, bool pretty) : out(out), pretty(pretty), fmt(&buf) {
    buf.s = &digits;
    // The stream translator formats each value with the global locale.
    fmt.imbue(std::locale());
    levels.reserve(8);
}

json_writer::append_buf::int_type json_writer::append_buf::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof()))
        s->push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
}

std::streamsize json_writer::append_buf::xsputn(char const* p, std::streamsize n) {
    s->append(p, static_cast<std::size_t>(n));
    return n;
}

void json_writer::begin_object(char const* key) {
    if (!levels.empty())
        member(key);
    levels.push_back({false, false});
}

void json_writer::begin_array(char const* key) {
    if (!levels.empty())
        member(key);
    levels.push_back({true, false});
}

void json_writer::end() {
    const level l = levels.back();
    levels.pop_back();
    if (!l.open) {
        // The tree writer cannot tell an empty container from an empty text.
        if (levels.empty())
            out += pretty ? "{\n}" : "{}";
        else
            out += "\"\"";
        return;
    }
    if (pretty) {
        out += '\n';
        out.append(4 * levels.size(), ' ');
    }
    out += l.array ? ']' : '}';
}

void json_writer::text(char const* key, std::string const& s) {
    member(key);
    quoted(s);
}

void json_writer::member(char const* key) {
    level& l = levels.back();
    if (l.open) {
        out += ',';
    } else {
        out += l.array ? '[' : '{';
        l.open = true;
    }
    if (pretty) {
        out += '\n';
        out.append(4 * levels.size(), ' ');
    }
    if (!l.array) {
        quoted(key);
        out += ':';
        if (pretty)
            out += ' ';
    }
}

void json_writer::quoted(std::string const& s) {
    static const char hex[] = "0123456789ABCDEF";
    out += '"';
    bool readable = true;
    int trail = 0; // continuation bytes the reader still expects
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (trail > 0) {
            if ((c & 0xC0) != 0x80)
                readable = false;
            --trail;
        } else if (c >= 0x80) {
            // Lead bytes the reader takes: 110xxxxx, 1110xxxx, 11110xxx.
            if (c >= 0xC0 && c < 0xE0)
                trail = 1;
            else if (c >= 0xE0 && c < 0xF0)
                trail = 2;
            else if (c >= 0xF0 && c < 0xF8)
                trail = 3;
            else
                readable = false;
        }
        // The same escapes as the tree writer: control characters, quote,
        // slash and backslash; everything else, bytes above 0x7F too, as is.
        if (c == 0x20 || c == 0x21 || (c >= 0x23 && c <= 0x2E) || (c >= 0x30 && c <= 0x5B) || c >= 0x5D) {
            out += ch;
            continue;
        }
        out += '\\';
        switch (ch) {
        case '\b': out += 'b'; break;
        case '\f': out += 'f'; break;
        case '\n': out += 'n'; break;
        case '\r': out += 'r'; break;
        case '\t': out += 't'; break;
        case '/': out += '/'; break;
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        default:
            out += "u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    if (trail > 0 || !readable)
        ++unreadable_;
    out += '"';
}

void put_json_text(std::ostream& os, std::string const& text) {
    os.write(text.data(), static_cast<std::streamsize>(text.size()));
    os << std::endl;
    if (!os.good())
        throw boost::property_tree::json_parser_error("write error", "", 0);
}

} // namespace scanlib::detail
