#pragma once
// JSON text from outside (streams, override files) read into a property tree.

#include <boost/property_tree/ptree.hpp>

#include <string>

namespace scanlib::detail {

// Reads `text` as JSON. The reader recurses once per nesting level, so text
// nested deeper than `max_depth` is refused (json_parser_error "nesting too
// deep") before it can exhaust the stack.
boost::property_tree::ptree read_json_text(std::string const& text, int max_depth);

} // namespace scanlib::detail
