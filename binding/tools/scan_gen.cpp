// Writes a large benchmark scan: scan_gen PATH SHOTS [--packed]
#include "scan_gen.hpp"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    const bool packed = argc == 4 && std::strcmp(argv[3], "--packed") == 0;
    if (argc < 3 || argc > 4 || (argc == 4 && !packed)) {
        std::cerr << "usage: scan_gen PATH SHOTS [--packed]\n";
        return 2;
    }
    try {
        scangen::options o;
        o.shots = std::strtoull(argv[2], nullptr, 10);
        o.packed = packed;
        const auto t = scangen::write_scan(argv[1], o);
        std::cout << "shots " << t.shots << " echoes " << t.echoes << " bytes " << t.bytes << '\n';
    } catch (std::exception const& e) {
        std::cerr << "scan_gen: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
