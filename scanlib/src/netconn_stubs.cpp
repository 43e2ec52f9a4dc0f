// Stand-ins for the network connections while they are not part of the build.
// They are weak, so the real definitions in quvoconn.cpp and qudaconn.cpp take
// their place; delete this file once both exist.
#include <stdexcept>

#include "connection_internal.hpp"

namespace scanlib::detail {

__attribute__((weak)) std::unique_ptr<basic_rconnection>
create_quvo_rconnection(const std::string& uri, const std::string&, const std::string&) {
    throw std::runtime_error("quvo connections are not available in this build: " + uri);
}

__attribute__((weak)) std::unique_ptr<basic_rconnection>
create_quda_rconnection(const std::string& uri, const std::string&, const std::string&) {
    throw std::runtime_error("quda connections are not available in this build: " + uri);
}

} // namespace scanlib::detail
