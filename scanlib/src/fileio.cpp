#include "fileio.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace scanlib::detail {

std::string part_name(const std::string& base, std::uint32_t part) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03u", static_cast<unsigned>(part));
    return base + suffix;
}

file_reader::file_reader(std::size_t buffer_size) : buffer_(buffer_size) {}

file_reader::file_reader(file_reader&& other) noexcept
    : fd_(other.fd_), device_(other.device_), inode_(other.inode_), buffer_(std::move(other.buffer_)), begin_(other.begin_), end_(other.end_) {
    other.fd_ = -1;
    other.begin_ = other.end_ = 0;
}

file_reader::~file_reader() { close(); }

bool file_reader::open(const std::string& path) {
    close();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

bool file_reader::same_file(const file_reader& other) const noexcept {
    return fd_ >= 0 && other.fd_ >= 0 && device_ == other.device_ && inode_ == other.inode_;
}

void file_reader::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    begin_ = end_ = 0;
}

std::uint64_t file_reader::length() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

static bool read_some(int fd, char* dst, std::size_t n, std::size_t& got) {
    for (;;) {
        ssize_t r = ::read(fd, dst, n);
        if (r >= 0) {
            got = static_cast<std::size_t>(r);
            return true;
        }
        if (errno != EINTR) return false;
    }
}

bool file_reader::read(void* dst, std::size_t n, std::size_t& got) {
    char* out = static_cast<char*>(dst);
    got = 0;
    if (fd_ < 0) return false;
    while (got < n) {
        if (begin_ < end_) {
            std::size_t k = std::min(n - got, end_ - begin_);
            std::memcpy(out + got, buffer_.data() + begin_, k);
            begin_ += k;
            got += k;
            continue;
        }
        std::size_t r = 0;
        if (n - got >= buffer_.size()) {
            // Large requests bypass the buffer.
            if (!read_some(fd_, out + got, n - got, r)) return false;
            if (r == 0) break;
            got += r;
        } else {
            if (!read_some(fd_, buffer_.data(), buffer_.size(), r)) return false;
            if (r == 0) break;
            begin_ = 0;
            end_ = r;
        }
    }
    return true;
}

bool file_reader::seek(std::uint64_t offset) {
    begin_ = end_ = 0;
    return fd_ >= 0 && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

file_writer::file_writer(std::size_t buffer_size) : buffer_(buffer_size) {}

file_writer::~file_writer() { close(); }

bool file_writer::open(const std::string& path) {
    close();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    fd_ = fd;
    used_ = 0;
    failed_ = false;
    return true;
}

bool file_writer::write_through(const char* data, std::size_t n) {
    while (n > 0) {
        ssize_t r = ::write(fd_, data, n);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool file_writer::write(const void* data, std::size_t n) {
    if (fd_ < 0 || failed_) return false;
    const char* in = static_cast<const char*>(data);
    if (used_ + n <= buffer_.size()) {
        std::memcpy(buffer_.data() + used_, in, n);
        used_ += n;
        return true;
    }
    if (!flush()) return false;
    if (n >= buffer_.size()) {
        failed_ = !write_through(in, n);
        return !failed_;
    }
    std::memcpy(buffer_.data(), in, n);
    used_ = n;
    return true;
}

bool file_writer::flush() {
    if (fd_ < 0 || failed_) return false;
    failed_ = !write_through(buffer_.data(), used_);
    used_ = 0;
    return !failed_;
}

bool file_writer::close() {
    if (fd_ < 0) return true;
    bool ok = flush();
    if (::close(fd_) != 0) ok = false;
    fd_ = -1;
    used_ = 0;
    failed_ = false;
    return ok;
}

} // namespace scanlib::detail
