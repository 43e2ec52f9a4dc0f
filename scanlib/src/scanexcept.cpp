#include <scanlib/scanexcept.hpp>
#include <scanlib/generated/buildinfo.hpp>
#include <scanlib/package.hpp>

// default_msg_arg is defined with the library's other static data (package.cpp).

namespace scanlib {

namespace {
std::string compose(const std::string& msg, const std::string& file, unsigned int line) {
    if (file.empty())
        return msg;
    return std::string(SCANLIB_VERSION_TEXT) + " : " + SCANLIB_PLATFORM_TEXT + " : " + file + " : " +
           std::to_string(line) + " : " + msg;
}
} // namespace

scanlib_exception::scanlib_exception(const std::string& msg, const std::string& file, unsigned int line)
    : msg_(compose(msg, file, line)) {}

scanlib_exception::~scanlib_exception() = default;

const char* scanlib_exception::what() const noexcept { return msg_.c_str(); }

packet_error::packet_error(unsigned int main, unsigned int sub, const std::string& msg, const std::string& file,
                           unsigned int line)
    : scanlib_exception(std::string(), file, line) {
    msg_ += package_id(main, sub).string();
    msg_ += ": ";
    msg_ += msg;
}

packet_error::~packet_error() = default;

} // namespace scanlib
