// Writes a large benchmark scan: scan_gen PATH SHOTS [--packed]
#include "scan_gen.hpp"

#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>

namespace {

// SHOTS as a whole decimal number; false for anything else (a sign, a
// suffix, an empty text), which strtoull would read as 0 or wrap.
bool parse_count(const char* text, std::uint64_t& count) {
    if (*text == '\0')
        return false;
    count = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        const unsigned digit = static_cast<unsigned>(*c - '0');
        if (count > (UINT64_MAX - digit) / 10)
            return false;
        count = count * 10 + digit;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const bool packed = argc == 4 && std::strcmp(argv[3], "--packed") == 0;
    std::uint64_t shots = 0;
    if (argc < 3 || argc > 4 || (argc == 4 && !packed) || !parse_count(argv[2], shots)) {
        std::cerr << "usage: scan_gen PATH SHOTS [--packed]\n";
        return 2;
    }
    try {
        scangen::options o;
        o.shots = shots;
        o.packed = packed;
        const auto t = scangen::write_scan(argv[1], o);
        std::cout << "shots " << t.shots << " echoes " << t.echoes << " bytes " << t.bytes << '\n';
    } catch (std::exception const& e) {
        std::cerr << "scan_gen: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
