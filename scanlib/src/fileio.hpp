#pragma once
// Buffered POSIX file access for the file connections and the log copy. Unlike
// the standard file streams, these report a failed read or write as such
// instead of folding it into end-of-file or a silently set stream state.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace scanlib::detail {

// A buffer's bytes, allocated on first use and never zero-filled: a
// connection that never logs costs nothing, and every byte is written before
// it is read.
class lazy_bytes {
public:
    explicit lazy_bytes(std::size_t n) : size_(n) {}
    std::size_t size() const noexcept { return size_; }
    char* data() {
        if (!bytes_) bytes_.reset(new char[size_]);
        return bytes_.get();
    }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

// base followed by the part number as "_%03d": part 1 of x is x_001, part 1000 x_1000.
std::string part_name(const std::string& base, std::uint32_t part);

class file_reader {
public:
    explicit file_reader(std::size_t buffer_size);
    file_reader(file_reader&& other) noexcept;
    file_reader& operator=(file_reader&&) = delete;
    file_reader(const file_reader&) = delete;
    ~file_reader();

    // False when the file does not open or is a directory.
    bool open(const std::string& path);
    void close() noexcept;
    bool is_open() const noexcept { return fd_ >= 0; }
    // Length of the open file.
    std::uint64_t length() const;
    // Up to n bytes, fewer only at the end of the file; false on a read error.
    bool read(void* dst, std::size_t n, std::size_t& got);
    // Positions the open file at offset from its start.
    bool seek(std::uint64_t offset);
    // Whether both have the same file open.
    bool same_file(const file_reader& other) const noexcept;

private:
    int fd_ = -1;
    std::uint64_t device_ = 0, inode_ = 0;
    lazy_bytes buffer_;
    std::size_t begin_ = 0; // unread bytes are buffer_[begin_, end_)
    std::size_t end_ = 0;
};

class file_writer {
public:
    explicit file_writer(std::size_t buffer_size);
    file_writer(const file_writer&) = delete;
    file_writer& operator=(const file_writer&) = delete;
    ~file_writer(); // closes, dropping any error

    // Creates or truncates the file; false when it does not open.
    bool open(const std::string& path);
    bool is_open() const noexcept { return fd_ >= 0; }
    // False when the bytes cannot all be written.
    bool write(const void* data, std::size_t n);
    bool flush();
    // Writes out the buffer and closes; false when anything failed on the way.
    bool close();

private:
    bool write_through(const char* data, std::size_t n);

    int fd_ = -1;
    lazy_bytes buffer_;
    std::size_t used_ = 0;
    bool failed_ = false;
};

} // namespace scanlib::detail
