#pragma once
// Library-internal seams of the connection layer: the network connections'
// constructors as the read factory calls them, and the header override hook.
#include <functional>
#include <memory>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include <scanlib/connection.hpp>
#include <scanlib/package.hpp>

// The header override: reads the header section from `in` and writes its
// replacement, then every byte it read ahead, to `out`.
void hreplace(std::shared_ptr<scanlib::basic_rconnection> in, std::shared_ptr<scanlib::basic_wconnection> out,
              const std::string& override_text);

namespace scanlib {
namespace detail {

std::unique_ptr<basic_rconnection> create_quvo_rconnection(const std::string& uri,
                                                           const std::string& continuation,
                                                           const std::string& override_text);
std::unique_ptr<basic_rconnection> create_quda_rconnection(const std::string& uri,
                                                           const std::string& continuation,
                                                           const std::string& override_text);

using hreplace_function = std::function<void(std::shared_ptr<basic_rconnection>,
                                             std::shared_ptr<basic_wconnection>, const std::string&)>;

// Installs the function the read path runs at the header trigger and returns
// the previous one; an empty function restores ::hreplace.
hreplace_function set_hreplace_hook(hreplace_function hook);

// What a stream's override passes hand on. The key tables they read and
// write with: each pass starts from those the passes before it left, since a
// packet after a later header may still carry a key that only an earlier
// header gave. And the override document, parsed by the first pass of its text.
struct override_state {
    lookup_table in, out;
    std::string text;
    std::shared_ptr<const boost::property_tree::ptree> document;
};
override_state& override_state_of(basic_rconnection& stream);

} // namespace detail
} // namespace scanlib
