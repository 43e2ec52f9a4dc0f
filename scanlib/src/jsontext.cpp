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
