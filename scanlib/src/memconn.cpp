#include <scanlib/memconn.hpp>

namespace scanlib {

mem_wconnection::mem_wconnection(std::vector<char>& target) : target_(target) {}
mem_wconnection::~mem_wconnection() = default;

std::size_t mem_wconnection::write(const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    target_.insert(target_.end(), p, p + n);
    return n;
}

} // namespace scanlib
