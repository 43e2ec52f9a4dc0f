#pragma once
// The quvo data-transfer protocol without any socket: line syntax, the request
// line, status and chunk header handling, the byte accounting of the data and
// the re-connect schedule. The connection feeds it lines and data and sends
// what it returns.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace scanlib::quvo {

using item_map = std::map<std::string, std::string>;

// Longest line accepted from a server, line feed included.
inline constexpr std::size_t max_line = 65536;

// Acknowledgements not yet sent are held up to this many bytes: far more
// than a server that takes them late, even after a whole scan of short
// chunks with long tokens, lets pile up. At the bound the connection reads
// no more until the server takes some.
inline constexpr std::size_t max_ack_backlog = 64 * 1024 * 1024;
// One acknowledgement carries a token of at most one line.
static_assert(max_ack_backlog >= max_line + 64);
// The bound in force, max_ack_backlog; tests and the fuzz target lower it
// (not below max_line + 64) so that their peers meet it soon.
extern std::size_t ack_backlog_limit;
// The most acknowledgement bytes any connection has held at once; tests
// reset and read it.
extern std::atomic<std::size_t> ack_backlog_peak;

// A server that takes no acknowledgement byte for this long while the
// connection holds back at the bound does not read them at all: the read
// fails once the data already received are delivered.
inline constexpr unsigned ack_stall_seconds = 30;
// That time in milliseconds; only tests shorten it.
extern unsigned ack_stall_ms;
// The failure's text for a stall time of `ms` milliseconds.
std::string ack_stall_text(unsigned ms);

// Bytes waiting to be written, kept in blocks of fixed size: unsent bytes
// never move while a write of them is in flight, and the memory held is
// the unsent bytes and at most two blocks more.
class send_queue {
public:
    static constexpr std::size_t block_size = 64 * 1024;

    void append(std::string_view bytes);
    // The first unsent bytes, as far as they lie in one block.
    std::string_view front() const noexcept;
    // The first n bytes of front() were written.
    void consume(std::size_t n) noexcept;
    void clear() noexcept;
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t blocks() const noexcept { return blocks_.size(); }

private:
    std::deque<std::unique_ptr<char[]>> blocks_;
    std::size_t head_ = 0;  // first unsent byte in the first block
    std::size_t tail_ = 0;  // bytes used in the last block
    std::size_t size_ = 0;
};

// Re-connect attempts in a row without data before the read fails ...
inline constexpr unsigned retry_attempts = 52;
// ... waiting this many seconds before attempt number `attempt` (from 0).
constexpr unsigned retry_delay(unsigned attempt) noexcept { return attempt < 5 ? attempt + 1 : 6; }
// Length of one of those seconds in milliseconds; only tests shorten it.
extern unsigned retry_second_ms;
// The attempts in a row actually allowed, retry_attempts; only the fuzz
// target lowers it, so that a dropping peer costs it a few connections.
extern unsigned retry_attempt_limit;

// The word of a line (upper-cased); its items are merged into `items`.
std::string parse(std::string_view text, item_map& items);
// The command followed by the items: "CMD k1=v1; k2; k3=v3".
std::string compose(std::string_view command, const item_map& items);
// Leading blanks skipped, then decimal digits up to the first other character.
// False when there is no digit or the number does not fit.
bool from_string(std::uint64_t& target, std::string_view text) noexcept;

// Byte index of the first start word (a little-endian 0xFFFFFF01..0xFFFFFFFF)
// on the stream's word grid, or n when there is none. `phase` is the number of
// stream bytes before `data`, modulo 4; words that do not lie wholly inside
// [data, data + n) are not tested.
std::size_t find_start_word(const unsigned char* data, std::size_t n, unsigned phase) noexcept;

class protocol {
public:
    enum state_type : std::uint32_t { awaiting_status = 0, streaming = 1, ended = 2 };

    // `command_text` is the URI path without its leading '/', a blank and the
    // query; `continuation` is "token:offset" or empty. Throws
    // std::invalid_argument for a token that could break the request line.
    protocol(std::string_view command_text, std::string_view continuation);

    // The request line for a (new) connection, line feed included.
    std::string request() const;
    // A new connection was made and its request sent: a status line is due.
    void restart() noexcept { state_ = awaiting_status; }

    // Throws the error that made the stream unusable, if any.
    void check() const;
    // True when the next thing to read from the socket is a line.
    bool line_due() const noexcept {
        return state_ == awaiting_status || (state_ == streaming && chunked_ && chunk_remaining_ == 0);
    }
    // Handles the line that line_due() asked for. Returns the text to send
    // back (an acknowledgement) or an empty text. A status line stores the
    // server's stream id in `id`.
    std::string on_line(std::string_view line, std::string& id);
    std::string on_status(std::string_view line, std::string& id);
    std::string on_chunk_header(std::string_view line);

    // How many of n bytes the next socket read may ask for.
    std::size_t data_limit(std::size_t n) const noexcept {
        return chunked_ && chunk_remaining_ < n ? static_cast<std::size_t>(chunk_remaining_) : n;
    }
    // k bytes were received into buf: account for them and apply a shutdown
    // cut. Returns how many of them are delivered.
    std::size_t on_data(const unsigned char* buf, std::size_t k) noexcept;
    // The server closed the connection where data was due. In plain mode this
    // ends the stream; in chunked mode it is a broken connection (returns false).
    bool on_end_of_data() noexcept {
        if (chunked_)
            return false;
        state_ = ended;
        return true;
    }

    void request_shutdown() noexcept { shutdown_ = true; }
    bool shutdown_requested() const noexcept { return shutdown_; }

    std::string continuation() const;
    bool has_token() const noexcept { return !token_.empty(); }
    const std::string& token() const noexcept { return token_; }
    std::uint64_t offset() const noexcept { return offset_; }
    state_type state() const noexcept { return state_; }
    bool chunked() const noexcept { return chunked_; }
    std::uint64_t chunk_remaining() const noexcept { return chunk_remaining_; }
    const std::string& command() const noexcept { return command_; }
    const item_map& items() const noexcept { return items_; }

    // Marks the stream as unusable: this and every later check() throws `text`.
    [[noreturn]] void fail(const char* text);

private:

    std::string command_;
    item_map items_;
    std::string token_;
    std::uint64_t offset_ = 0;
    std::string pending_ack_;
    std::string failure_;
    std::uint64_t chunk_remaining_ = 0;
    state_type state_ = awaiting_status;
    unsigned phase_ = 0;
    bool chunked_ = false;
    bool shutdown_ = false;
};

} // namespace scanlib::quvo
