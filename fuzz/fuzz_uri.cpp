// The uri splitter takes any text; its components are pieces of the text in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <scanlib/connection.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string s(reinterpret_cast<const char*>(data), size);
    uri u(s);
    std::size_t at = 0;
    for (const std::string* part : {&u.scheme, &u.authority, &u.path, &u.query, &u.fragment}) {
        if (part->empty()) continue;
        std::size_t found = s.find(*part, at);
        if (found == std::string::npos) std::abort();
        at = found + part->size();
    }
    if (!u.scheme.empty() && s.compare(0, u.scheme.size() + 1, u.scheme + ":") != 0) std::abort();
    return 0;
}
