#include "quvoproto.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace scanlib::quvo {

unsigned retry_second_ms = 1000;
unsigned retry_attempt_limit = retry_attempts;
std::size_t ack_backlog_limit = max_ack_backlog;
std::atomic<std::size_t> ack_backlog_peak{0};
unsigned ack_stall_ms = ack_stall_seconds * 1000;

std::string ack_stall_text(unsigned ms) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", ms / 1000.0);
    return std::string("Server took no acknowledgement for ") + seconds + " s!";
}

void send_queue::append(std::string_view bytes) {
    while (!bytes.empty()) {
        if (blocks_.empty() || tail_ == block_size) {
            blocks_.push_back(std::make_unique<char[]>(block_size));
            tail_ = 0;
        }
        std::size_t n = std::min(bytes.size(), block_size - tail_);
        std::memcpy(blocks_.back().get() + tail_, bytes.data(), n);
        tail_ += n;
        size_ += n;
        bytes.remove_prefix(n);
    }
}

std::string_view send_queue::front() const noexcept {
    if (size_ == 0)
        return {};
    std::size_t end = blocks_.size() == 1 ? tail_ : block_size;
    return {blocks_.front().get() + head_, end - head_};
}

void send_queue::consume(std::size_t n) noexcept {
    head_ += n;
    size_ -= n;
    if (size_ == 0) {
        // Keep one block for what comes next.
        if (blocks_.size() > 1)
            blocks_.erase(blocks_.begin() + 1, blocks_.end());
        head_ = tail_ = 0;
    } else if (head_ == block_size) {
        blocks_.pop_front();
        head_ = 0;
    }
}

void send_queue::clear() noexcept {
    blocks_.clear();
    head_ = tail_ = size_ = 0;
}

namespace {

constexpr bool is_sep(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
constexpr bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }
constexpr char upper(char c) noexcept { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }
constexpr char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string_view trim_blanks(std::string_view s) noexcept {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string value_of(const item_map& items, const char* key) {
    auto it = items.find(key);
    return it == items.end() ? std::string() : it->second;
}

} // namespace

std::string parse(std::string_view text, item_map& items) {
    std::size_t i = 0;
    while (i < text.size() && !is_sep(text[i]))
        ++i;
    std::string word(text.substr(0, i));
    for (char& c : word)
        c = upper(c);

    for (bool first = true;; first = false) {
        while (i < text.size() && (is_sep(text[i]) || (!first && text[i] == ';')))
            ++i;
        if (i == text.size())
            break;
        std::size_t k = i;
        while (k < text.size() && text[k] != '\n' && text[k] != '\r' && text[k] != '=' && text[k] != ';')
            ++k;
        std::string_view raw_key = text.substr(i, k - i);
        while (!raw_key.empty() && is_blank(raw_key.back()))
            raw_key.remove_suffix(1);
        std::string key(raw_key);
        for (char& c : key)
            c = lower(c);
        std::string value;
        if (k < text.size() && text[k] == '=') {
            std::size_t v = ++k;
            while (k < text.size() && text[k] != '\n' && text[k] != '\r' && text[k] != ';')
                ++k;
            value = trim_blanks(text.substr(v, k - v));
        }
        items[std::move(key)] = std::move(value);
        i = k;
    }
    return word;
}

std::string compose(std::string_view command, const item_map& items) {
    std::string out(command);
    bool first = true;
    for (const auto& [key, value] : items) {
        out += first ? " " : "; ";
        first = false;
        out += key;
        if (!value.empty()) {
            out += '=';
            out += value;
        }
    }
    return out;
}

bool from_string(std::uint64_t& target, std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && (is_sep(text[i]) || text[i] == '\v' || text[i] == '\f'))
        ++i;
    if (i < text.size() && text[i] == '+')
        ++i;
    if (i == text.size() || text[i] < '0' || text[i] > '9')
        return false;
    std::uint64_t v = 0;
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        unsigned d = unsigned(text[i] - '0');
        if (v > (top - d) / 10)
            return false;
        v = v * 10 + d;
    }
    target = v;
    return true;
}

std::size_t find_start_word(const unsigned char* data, std::size_t n, unsigned phase) noexcept {
    for (std::size_t i = (4 - phase % 4) % 4; i + 4 <= n; i += 4)
        if (data[i] != 0 && data[i + 1] == 0xFF && data[i + 2] == 0xFF && data[i + 3] == 0xFF)
            return i;
    return n;
}

protocol::protocol(std::string_view command_text, std::string_view continuation) {
    items_["format"] = "zpk";
    items_["encoding"] = "chunked";
    command_ = parse(command_text, items_);

    // The offset follows the last ':', so a token may itself hold ':'.
    auto colon = continuation.rfind(':');
    if (!continuation.empty() && colon != std::string_view::npos) {
        std::string_view token = continuation.substr(0, colon);
        if (token.find_first_of("\r\n;") != std::string_view::npos)
            throw std::invalid_argument("Invalid continuation token!");
        token_ = token;
        std::uint64_t offset = 0;
        if (from_string(offset, continuation.substr(colon + 1)))
            offset_ = offset;
    }
}

std::string protocol::request() const {
    if (token_.empty())
        return compose(command_, items_) + '\n';
    item_map items = items_;
    items["continuation-token"] = token_;
    items["continuation-offset"] = std::to_string(offset_);
    return compose(command_, items) + '\n';
}

void protocol::check() const {
    if (!failure_.empty())
        throw std::runtime_error(failure_);
}

void protocol::fail(const char* text) {
    failure_ = text;
    throw std::runtime_error(failure_);
}

std::string protocol::on_line(std::string_view line, std::string& id) {
    if (state_ == awaiting_status)
        return on_status(line, id);
    return on_chunk_header(line);
}

std::string protocol::on_status(std::string_view line, std::string& id) {
    item_map items;
    std::string word = parse(line, items);
    if (word == "ERROR")
        throw std::runtime_error(value_of(items, "error-text"));
    if (word != "FILE" && word != "CURRENT" && word != "ACTUAL")
        throw std::runtime_error("Unexpected server status: " + word);

    state_ = streaming;
    chunk_remaining_ = 0;
    auto enc = items.find("encoding");
    if (enc != items.end() && enc->second == "chunked")
        chunked_ = true;
    else if (enc != items.end() && enc->second == "plain")
        chunked_ = false;
    else
        fail("Unknown encoding!");
    if (!token_.empty()) {
        auto tok = items.find("continuation-token");
        auto off = items.find("continuation-offset");
        if (tok == items.end() || off == items.end() || tok->second != token_ ||
            off->second != std::to_string(offset_))
            fail("Required continuation missing!");
    }
    id = value_of(items, "id");
    return {};
}

std::string protocol::on_chunk_header(std::string_view line) {
    item_map items;
    std::string word = parse(line, items);
    std::uint64_t size = 0;
    if (from_string(size, word)) {
        std::string reply;
        if (!pending_ack_.empty()) {
            reply = "ACKNOWLEDGE acknowledge-token=" + pending_ack_ + '\n';
            pending_ack_.clear();
        }
        if (auto it = items.find("acknowledge-token"); it != items.end())
            pending_ack_ = it->second;
        if (auto it = items.find("continuation-token"); it != items.end()) {
            token_ = it->second;
            offset_ = 0;
        }
        chunk_remaining_ = size;
        return reply;
    }
    if (word == "EOF") {
        state_ = ended;
        return {};
    }
    if (word == "ERROR")
        throw std::runtime_error(value_of(items, "error-text"));
    throw std::runtime_error("Unexpected server status: " + word);
}

std::size_t protocol::on_data(const unsigned char* buf, std::size_t k) noexcept {
    if (chunked_)
        chunk_remaining_ -= k;
    std::size_t delivered = k;
    if (shutdown_) {
        delivered = find_start_word(buf, k, phase_);
        if (delivered < k)
            state_ = ended;
    }
    // Bytes withheld by a cut are not counted: a resume starts with them.
    offset_ += delivered;
    phase_ = unsigned((phase_ + delivered) % 4);
    return delivered;
}

std::string protocol::continuation() const { return token_ + ':' + std::to_string(offset_); }

} // namespace scanlib::quvo
