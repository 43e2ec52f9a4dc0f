#pragma once
// Shared by the benchmarks: scratch files that live as long as the process,
// and the count of global operator new calls.

#include <cstdint>
#include <string>

#include <boost/filesystem.hpp>

namespace bench {

// Calls of the global operator new (every form) in this process so far. The
// counting operator new is defined once, in bench_file_to_shots.cpp.
std::uint64_t allocations();

// A path in a directory of its own under the system's temp directory; the
// directory and everything in it is removed when the process exits.
inline std::string scratch_path(const std::string& name) {
    namespace fs = boost::filesystem;
    struct scratch_dir {
        fs::path path = fs::temp_directory_path() / fs::unique_path("scanlib-bench-%%%%-%%%%-%%%%");
        scratch_dir() { fs::create_directories(path); }
        ~scratch_dir() {
            boost::system::error_code ec;
            fs::remove_all(path, ec);
        }
    };
    static const scratch_dir dir;
    return (dir.path / name).string();
}

} // namespace bench
