#pragma once
// Packet-level reading and writing of a framed scan stream.

#include <scanlib/package.hpp>
#include <scanlib/zpkmarker.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace scanlib {

class basic_rconnection;
class basic_wconnection;

// One raw packet: its id and its body words. A packet read from a zpk_istream
// points into the stream's buffer; one built elsewhere owns its words in
// `storage` (copies then point into their own storage).
struct zpk_packet {
    unsigned int const* begin = nullptr;
    unsigned int const* end = nullptr;
    std::vector<unsigned int> storage;
    unsigned int main = 0;
    unsigned int sub = 0;

    zpk_packet() = default;
    zpk_packet(const zpk_packet& other);
    zpk_packet(zpk_packet&& other) noexcept = default;
    zpk_packet& operator=(const zpk_packet& other);
    zpk_packet& operator=(zpk_packet&& other) noexcept = default;
};

// Reads packets from a uri (after checking the preamble) or from a connection
// positioned at a packet start, keeping the stream's compact-id table.
class zpk_istream {
public:
    zpk_istream();
    explicit zpk_istream(const char* uri);
    explicit zpk_istream(const std::string& uri);
    zpk_istream(const zpk_istream&) = delete;
    zpk_istream& operator=(const zpk_istream&) = delete;
    ~zpk_istream();

    void open(const char* uri);
    void open(const std::string& uri);
    // A uri without ':' names a file.
    void init(const char* uri);

    std::shared_ptr<basic_rconnection> rdcon() const;
    // Continues a stream from c, which must be at a packet start (no preamble).
    std::shared_ptr<basic_rconnection> rdcon(std::shared_ptr<basic_rconnection> c);
    bool is_open() const;
    void close();

    // Reads the next packet; at the end of input sets at_end and leaves id alone.
    zpk_istream& operator>>(package_id& id);
    // The packet last read, valid until the next read, seekg, drain, rdcon or open.
    zpk_istream& operator>>(zpk_packet& p);

    // Stops reading and copies the framed bytes the decoder still holds (at
    // most n, and at most 65535, in whole words); returns the count.
    unsigned long drain(void* dst, unsigned long n);
    // Byte offset of the next packet.
    std::uint64_t tellg() const;
    zpk_istream& seekg(unsigned long pos);

    // Continues a stream whose earlier headers were read elsewhere: a reader
    // of it holds these keys.
    void reader_keys(lookup_table k) { table = std::move(k); }

    // No (further) packet: test after each read.
    bool at_end = true;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
    basic_buffer<unsigned int*> packet_region;
    lookup_table table;
    unsigned int const* body_begin = nullptr;
    unsigned int const* body_end = nullptr;
    package_id current_id;
};

// Writes packets with the shortest id header the compact-id table of the last
// header packet allows; opened on a uri it writes the preamble first.
class zpk_ostream {
public:
    zpk_ostream();
    explicit zpk_ostream(const char* uri, bool keep = false);
    explicit zpk_ostream(const std::string& uri, bool keep = false);
    zpk_ostream(const zpk_ostream&) = delete;
    zpk_ostream& operator=(const zpk_ostream&) = delete;
    // Closes a stream still open; unless keep is set its file is then removed.
    ~zpk_ostream();

    void open(const char* uri);
    void open(const std::string& uri);
    void init(const char* uri);

    std::shared_ptr<basic_wconnection> wrcon() const;
    // Continues a stream on c (no preamble); returns the previous connection.
    std::shared_ptr<basic_wconnection> wrcon(std::shared_ptr<basic_wconnection> c);
    bool is_open() const;
    // Writes everything, then closes the connection.
    void close();

    // Every following packet must have this id ((0, 0): any).
    zpk_ostream& operator<<(const package_id& id);
    zpk_ostream& operator<<(const zpk_packet& p);

    // Continues a stream whose earlier headers went out elsewhere: a reader
    // of it holds these keys.
    void reader_keys(lookup_table k);

    // false: a stream destroyed while open removes its output file.
    bool keep = false;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

} // namespace scanlib
