#include <scanlib/fileconn.hpp>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include <boost/filesystem.hpp>

#include "fileio.hpp"

namespace scanlib {

namespace {

constexpr std::size_t main_buffer_size = 0x40000;
constexpr std::size_t prefix_buffer_size = 0x2000;
constexpr std::size_t none = static_cast<std::size_t>(-1);

const char* const read_error = "file_rconnection::more_input: Error reading from file!";

std::string check_file_scheme(const std::string& text) {
    uri u(text);
    if (u.scheme != "file") throw std::runtime_error("Expected \"file:\" scheme, got \"" + u.scheme + ":\".");
    return text.substr(5);
}

// Reads a whole file as text; false when it does not open.
bool read_text(const std::string& path, std::string& text) {
    detail::file_reader in(prefix_buffer_size);
    if (!in.open(path)) return false;
    text.clear();
    char chunk[4096];
    for (;;) {
        std::size_t got = 0;
        if (!in.read(chunk, sizeof chunk, got)) throw std::runtime_error("Could not read \"" + path + "\"!");
        if (got == 0) return true;
        text.append(chunk, got);
    }
}

} // namespace

// ---------------------------------------------------------------- file_rconnection

struct file_rconnection::impl {
    struct file {
        std::string path;
        std::uint64_t size;
    };

    std::string path;                             // the main file
    std::vector<file> files;                      // prefix files, main file, known parts
    std::size_t prefixes = 0;                     // how many of files are prefix files
    std::vector<detail::file_reader> prefix_in;   // one per prefix file
    detail::file_reader main_in{main_buffer_size}; // main file and parts, one at a time
    std::size_t main_index = none;                // which file main_in holds
    std::size_t current = 0;                      // file being read
    std::uint32_t next_part = 1;                  // first part number not in files
    bool closed = false;                          // nothing left to read from

    detail::file_reader& reader(std::size_t i) { return i < prefixes ? prefix_in[i] : main_in; }

    bool open(std::size_t i) {
        if (i < prefixes) return prefix_in[i].is_open() || prefix_in[i].open(files[i].path);
        if (main_index == i && main_in.is_open()) return true;
        main_index = i;
        return main_in.open(files[i].path);
    }
};

file_rconnection::file_rconnection(const std::string& text, const std::string& /*continuation*/,
                                   const std::string& override)
    : basic_rconnection(override), impl_(std::make_unique<impl>()) {
    impl& d = *impl_;
    d.path = check_file_scheme(text);

    // Only a '.' in the file name starts an extension.
    const std::size_t sep = d.path.find_last_of("/\\");
    const std::size_t dot = d.path.rfind('.');
    const std::string stem = dot != std::string::npos && (sep == std::string::npos || dot > sep)
                                 ? d.path.substr(0, dot)
                                 : d.path;
    const std::string dir = sep == std::string::npos ? std::string() : d.path.substr(0, sep + 1);
    name = stem;

    if (override.empty()) {
        std::string text_found;
        if (read_text(stem + ".pxp", text_found) || read_text(stem + ".override.pxp", text_found))
            initialize(text_found);
    }

    if (!d.main_in.open(d.path)) throw std::runtime_error("Could not open \"" + d.path + "\" for reading!");

    // A prefix file that is the main file itself, or the other prefix, is read once only.
    std::vector<const detail::file_reader*> seen{&d.main_in};
    d.prefix_in.reserve(2);
    for (const std::string& p : {dir + "common.zpo", stem + ".zpo"}) {
        detail::file_reader in(prefix_buffer_size);
        if (!in.open(p)) continue;
        bool duplicate = false;
        for (const detail::file_reader* other : seen) duplicate = duplicate || in.same_file(*other);
        if (duplicate) continue;
        d.files.push_back({p, in.length()});
        d.prefix_in.push_back(std::move(in));
        seen.push_back(&d.prefix_in.back());
    }
    d.prefixes = d.files.size();
    d.files.push_back({d.path, d.main_in.length()});
    d.main_index = d.prefixes;
    d.current = 0;

    namespace fs = boost::filesystem;
    for (;; ++d.next_part) {
        const std::string p = detail::part_name(d.path, d.next_part);
        if (!fs::exists(fs::status(p))) break;
        d.files.push_back({p, static_cast<std::uint64_t>(fs::file_size(p))});
    }
    for (const impl::file& f : d.files) size += f.size;
}

file_rconnection::~file_rconnection() = default;

std::size_t file_rconnection::more_input(void* buf, std::size_t n) {
    if (cancel_requested.load()) throw std::runtime_error("file_rconnection::more_input: Operation canceled!");
    gcount = 0;
    impl& d = *impl_;
    if (d.closed) throw std::runtime_error(read_error);
    for (;;) {
        if (!d.open(d.current)) throw std::runtime_error(read_error);
        detail::file_reader& in = d.reader(d.current);
        std::size_t got = 0;
        if (!in.read(buf, n, got)) throw std::runtime_error(read_error);
        if (got > 0) {
            gcount = got;
            return got;
        }
        // This file is done; an empty one is simply passed over.
        in.close();
        if (d.current + 1 < d.files.size()) {
            ++d.current;
            continue;
        }
        const std::string p = detail::part_name(d.path, d.next_part);
        if (d.main_in.open(p)) {
            d.files.push_back({p, d.main_in.length()});
            size += d.files.back().size;
            ++d.next_part;
            d.main_index = ++d.current;
            continue;
        }
        d.main_index = none;
        d.closed = true;
        eof = true;
        return 0;
    }
}

void file_rconnection::seekg(std::size_t pos) {
    if (pos > size) throw std::runtime_error("trying to seek beyond eof");
    impl& d = *impl_;
    std::size_t t = d.files.size() - 1;
    std::uint64_t start = size - d.files.back().size;
    std::uint64_t cum = 0;
    for (std::size_t i = 0; i < d.files.size(); ++i) {
        if (pos < cum + d.files[i].size) {
            t = i;
            start = cum;
            break;
        }
        cum += d.files[i].size;
    }
    // Files before the target are done, files after it start from their beginning.
    for (std::size_t i = 0; i < d.prefixes; ++i)
        if (i != t) d.prefix_in[i].close();
    if (t < d.prefixes) {
        d.main_in.close();
        d.main_index = none;
    }
    d.current = t;
    d.closed = !(d.open(t) && d.reader(t).seek(pos - start));
    restart_at(pos);
}

void file_rconnection::request_shutdown() { cancel_requested.store(1); }

void file_rconnection::cancel() { cancel_requested.store(1); }

std::locale file_connection_imbue(const std::locale& loc) { return boost::filesystem::path::imbue(loc); }

// ---------------------------------------------------------------- file_wconnection

struct file_wconnection::impl {
    detail::file_writer file{0x40000};
};

file_wconnection::file_wconnection(const std::string& text) : impl_(std::make_unique<impl>()) {
    const std::string path = check_file_scheme(text);
    if (!impl_->file.open(path)) throw std::runtime_error("Could not open \"" + path + "\" for writing!");
}

file_wconnection::~file_wconnection() = default; // the writer closes itself, dropping errors

std::size_t file_wconnection::write(const void* data, std::size_t n) {
    if (n == 0) return 0;
    if (!impl_->file.write(data, n)) throw std::runtime_error("Error writing to file!");
    return n;
}

void file_wconnection::close() {
    if (!impl_->file.close()) throw std::runtime_error("Error writing to file!");
}

} // namespace scanlib
