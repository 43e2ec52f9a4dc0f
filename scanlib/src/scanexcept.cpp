#include <scanlib/scanexcept.hpp>
#include <scanlib/generated/buildinfo.hpp>

namespace scanlib {

std::string scanlib_exception::default_msg_arg = "scanlib_exception";

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

} // namespace scanlib
