// Stand-in for the header override while it is not part of the build. It is
// weak, so the real scanlib::hreplace takes its place; delete this file then.
#include <stdexcept>

#include "connection_internal.hpp"

namespace scanlib {

__attribute__((weak)) void hreplace(std::shared_ptr<basic_rconnection>, std::shared_ptr<basic_wconnection>,
                                    const std::string&) {
    throw std::runtime_error("header override is not available in this build");
}

} // namespace scanlib
