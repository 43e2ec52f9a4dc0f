#pragma once
// Counts of what an input must give back: descriptors and threads of this
// process, read from /proc.
#include <dirent.h>

#include <chrono>
#include <thread>

namespace fuzzcheck {

inline int entries(const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

struct resources {
    int descriptors = entries("/proc/self/fd");
    int threads = entries("/proc/self/task");
    bool operator==(const resources& o) const { return descriptors == o.descriptors && threads == o.threads; }
    bool operator!=(const resources& o) const { return !(*this == o); }
};

// Whether the process is back at `before`. A joined thread can still be
// listed for a moment while the kernel reaps it: a difference must last
// before it counts.
inline bool back_to(const resources& before) {
    for (int i = 0; i < 200; ++i) {
        if (resources() == before) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace fuzzcheck
