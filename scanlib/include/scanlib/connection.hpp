#pragma once
#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <vector>

// A URI split into its five components. A component that the text does not
// have stays empty; the constructor accepts any text.
class uri {
public:
    explicit uri(const std::string& text);

    std::string scheme;
    std::string authority;
    std::string path;
    std::string query;
    std::string fragment;
};

namespace scanlib {

// Root of every connection; always inherited as a virtual base.
class basic_connection {
public:
    basic_connection();
    basic_connection(const basic_connection&) = delete;
    basic_connection& operator=(const basic_connection&) = delete;

    virtual void open();
    virtual void close();
    virtual void cancel();
    virtual ~basic_connection();

    // A label only: "UNNAMED_yymmdd_hhmmss" (UTC, time of construction) unless
    // the connection names itself.
    std::string name;
    // Set by a read connection's more_input once its source is exhausted.
    bool eof = false;
};

// A byte source. Every byte goes through readsome, which serves pushed-back
// bytes first, keeps the optional log copy of the raw input and runs the
// header override when the stream passes the header packet's id. An override
// that fails hands out the bytes up to the id and the packets it wrote, never
// what it only read, and then fails every read until a seek.
class basic_rconnection;
namespace detail {
struct override_state;
override_state& override_state_of(basic_rconnection& stream);
} // namespace detail

class basic_rconnection : public std::enable_shared_from_this<basic_rconnection>,
                          public virtual basic_connection {
public:
    // "file:" (or any text without a known scheme) opens a file; "quvo:" and
    // "quda:" open the network connections. Hold the result in a shared_ptr
    // before reading when it carries override text.
    static std::unique_ptr<basic_rconnection> create_impl(const std::string& uri,
                                                          const std::string& continuation,
                                                          const std::string& override_text);

    virtual std::size_t tellg() const;
    // Only connections that know their whole stream can seek; the base throws.
    virtual void seekg(std::size_t pos);
    // Resume token of a network stream; empty when the connection has none.
    virtual std::string continuation() const;
    // May be called from another thread.
    virtual void request_shutdown();
    ~basic_rconnection() override;

    // Delivers 0 to n bytes; 0 when the source has nothing (at its end eof is set).
    std::size_t readsome(void* buf, std::size_t n);
    // Reads until n bytes or until readsome delivers nothing; the count goes to gcount.
    basic_rconnection& read(void* buf, std::size_t n);
    // Sets the header override text; empty means no override.
    void initialize(const std::string& override_text);

    // Copies the raw input into name, name_001, name_002, ..., each holding
    // limit bytes except the last (a negative limit never splits).
    void open_logfile(const std::string& name, long limit);
    void flush_logfile();
    void close_logfile();

    std::size_t gcount = 0; // bytes delivered by the last read (or more_input)
    std::size_t size = 0;   // length of the whole stream where known, else 0

protected:
    explicit basic_rconnection(const std::string& override_text);

    // Up to n fresh bytes from the source; sets eof when the source is exhausted.
    virtual std::size_t more_input(void* buf, std::size_t n) = 0;

    // For seekg overrides: the stream continues at pos, so pushed-back bytes and
    // the header watch of the old position are dropped and eof is cleared.
    void restart_at(std::size_t pos);

    std::size_t position = 0;
    std::string override_text;

private:
    struct impl;
    std::unique_ptr<impl> impl_;

    std::size_t watch_header(char* buf, std::size_t k);
    void run_override(char* buf, std::size_t r, std::size_t k);
    void fail_pass(const std::vector<char>& out, const std::string& more, bool ends_packet,
                   std::exception_ptr error);
    [[noreturn]] void throw_pass_error();
    void log_input(const char* buf, std::size_t k);
    friend detail::override_state& detail::override_state_of(basic_rconnection& stream);
};

// A byte sink.
class basic_wconnection : public virtual basic_connection {
public:
    // Always a file: a text without the "file:" scheme is taken as a path.
    static std::unique_ptr<basic_wconnection> create_impl(const std::string& uri);

    // Takes all n bytes and returns n, or throws.
    virtual std::size_t write(const void* data, std::size_t n) = 0;
    virtual void shutdown();
    ~basic_wconnection() override;

protected:
    basic_wconnection();
};

// No read-write connection exists; its factory only refuses.
class basic_rwconnection {
public:
    basic_rwconnection() = delete;
    [[noreturn]] static std::unique_ptr<basic_rwconnection> create_impl(const std::string& uri);
};

} // namespace scanlib
