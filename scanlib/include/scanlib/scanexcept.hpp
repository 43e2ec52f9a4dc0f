#pragma once
#include <exception>
#include <string>

namespace scanlib {

// The library's own error. With a source file the text carries the library's
// version and platform, the file and the line in front of the message.
class scanlib_exception : public std::exception {
public:
    static std::string default_msg_arg;

    explicit scanlib_exception(const std::string& msg = default_msg_arg,
                               const std::string& file = std::string(), unsigned int line = 0);
    ~scanlib_exception() override;
    const char* what() const noexcept override;

protected:
    std::string msg_;
};

// An error in one packet: the text names the packet's type, then ": " and the
// message, after the location prefix when a source file is given.
class packet_error : public scanlib_exception {
public:
    packet_error(unsigned int main, unsigned int sub, const std::string& msg, const std::string& file,
                 unsigned int line);
    ~packet_error() override;
};

} // namespace scanlib
