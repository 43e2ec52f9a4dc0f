#pragma once
// Helpers shared by the connection tests: a scratch directory that is removed
// again, file helpers, and a read connection over bytes held in memory.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include <scanlib/connection.hpp>

namespace conntest {

namespace fs = boost::filesystem;

// What f throws, or "<none>".
inline std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<none>";
}

class temp_dir {
public:
    temp_dir() : path_(fs::temp_directory_path() / fs::unique_path("scanlib-conn-%%%%-%%%%-%%%%")) {
        fs::create_directories(path_);
    }
    ~temp_dir() {
        boost::system::error_code ec;
        fs::remove_all(path_, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs a scope with another working directory.
class cwd_guard {
public:
    explicit cwd_guard(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
    ~cwd_guard() { fs::current_path(old_); }

private:
    fs::path old_;
};

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Distinct bytes so that order and duplication show.
inline std::string pattern(std::size_t n, unsigned seed = 0) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed * 31 + i / 251) & 0xFF);
    return s;
}

// Everything a connection delivers through readsome, in calls of at most `chunk` bytes.
inline std::string drain(scanlib::basic_rconnection& c, std::size_t chunk = 4096) {
    std::string all;
    std::vector<char> buf(chunk);
    for (;;) {
        std::size_t k = c.readsome(buf.data(), buf.size());
        if (k == 0) {
            if (c.eof) return all;
            continue; // an empty read without eof: the source goes on
        }
        all.append(buf.data(), k);
    }
}

// A read connection over bytes in memory, delivering at most `chunk` bytes per call.
class mem_rconnection : public scanlib::basic_rconnection {
public:
    explicit mem_rconnection(std::string data, std::size_t chunk = static_cast<std::size_t>(-1),
                             const std::string& override_text = std::string())
        : basic_rconnection(override_text), data_(std::move(data)), chunk_(chunk) {}

    std::size_t source_calls = 0;
    std::size_t consumed() const { return next_; }

protected:
    std::size_t more_input(void* buf, std::size_t n) override {
        ++source_calls;
        std::size_t k = std::min({n, chunk_, data_.size() - next_});
        std::memcpy(buf, data_.data() + next_, k);
        next_ += k;
        if (k == 0) eof = true;
        return k;
    }

private:
    std::string data_;
    std::size_t chunk_;
    std::size_t next_ = 0;
};

} // namespace conntest
