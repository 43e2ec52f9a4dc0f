// Writes the sample scan: sample_scan PATH [SHOTS]
#include "sample_scan.hpp"

#include <cstdlib>
#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: sample_scan PATH [SHOTS]\n";
        return 2;
    }
    try {
        const unsigned shots = argc == 3 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 40;
        sample::write_scan(sample::make_scan(shots), argv[1]);
    } catch (std::exception const& e) {
        std::cerr << "sample_scan: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
