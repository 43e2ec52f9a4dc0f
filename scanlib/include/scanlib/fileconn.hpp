#pragma once
#include <atomic>
#include <cstddef>
#include <locale>
#include <memory>
#include <string>

#include <scanlib/connection.hpp>

namespace scanlib {

// Reads a stream stored in files as one byte sequence: "common.zpo" from the
// main file's directory, stem + ".zpo", the main file, then its continuation
// parts path_001, path_002, ... up to the first one missing. Positions
// (tellg, seekg, size) count every byte of that sequence. Header override text
// comes from stem + ".pxp", else stem + ".override.pxp", unless given.
class file_rconnection : public basic_rconnection {
public:
    file_rconnection(const std::string& uri, const std::string& continuation, const std::string& override_text);
    ~file_rconnection() override;

    void seekg(std::size_t pos) override;
    // Both may be called from another thread; the next read then throws.
    void request_shutdown() override;
    void cancel() override;

protected:
    std::size_t more_input(void* buf, std::size_t n) override;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
    std::atomic<int> cancel_requested{0};
};

// Writes to a file, created or truncated. close() writes out the buffer and
// reports a failure; the destructor closes too but can only drop one.
class file_wconnection : public basic_wconnection {
public:
    explicit file_wconnection(const std::string& uri);
    ~file_wconnection() override;

    std::size_t write(const void* data, std::size_t n) override;
    void close() override;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// Sets the locale that file-system paths are converted with; returns the old one.
std::locale file_connection_imbue(const std::locale& loc);

} // namespace scanlib
