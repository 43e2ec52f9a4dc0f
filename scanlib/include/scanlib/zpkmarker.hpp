#pragma once
// Framing of a scan stream: a sixteen-byte preamble, then packets that each
// begin with a start word (> 0xFFFFFF00); later words >= 0xFFFFFF00 travel as
// the escape word 0xFFFFFF00 followed by their complement.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <stdexcept>

namespace scanlib {

class basic_rconnection;
class basic_wconnection;

// A region of words owned by someone else: [begin, end) in use, room up to limit.
template <class It>
struct basic_buffer {
    It begin{};
    It end{};
    It limit{};

    basic_buffer() = default;
    basic_buffer(It b, It e, It l) : begin(b), end(e), limit(l) {}

    std::size_t size() const { return static_cast<std::size_t>(end - begin); }
    std::size_t capacity() const { return static_cast<std::size_t>(limit - begin); }
    bool empty() const { return begin == end; }

    // New end at begin + n; words added by growing are zeroed.
    void resize(std::size_t n) {
        if (n > capacity())
            throw std::out_of_range("basic_buffer::resize");
        It e = begin + n;
        if (e > end)
            std::fill(end, e, 0u);
        end = e;
    }
};

// Storage shared by both framing directions: a ring of size - reserve words
// followed by reserve words of headroom.
class basic_zpkmarker {
public:
    static const unsigned char preamble[16];
    static const std::size_t preamble_size; // in words

    basic_zpkmarker(const basic_zpkmarker&) = delete;
    basic_zpkmarker& operator=(const basic_zpkmarker&) = delete;
    virtual ~basic_zpkmarker();

    virtual void get(basic_buffer<unsigned int*>& region) = 0;
    virtual void put(basic_buffer<unsigned int*>& region) = 0;

    // Largest size or reserve, in words, that storage may grow to.
    static constexpr std::uint64_t max_words = 0x100000;

protected:
    basic_zpkmarker(std::uint64_t size, std::uint64_t reserve, bool preamble);

    // Grows the ring and/or the headroom to the given totals (never shrinks).
    // Ring words keep their ring order; the pointers listed in `moved` are
    // relocated with them, as are read_pos and write_pos.
    void attempt_to_resize(unsigned long new_size, unsigned long new_reserve,
                           std::initializer_list<unsigned int**> moved = {});

    unsigned int* ring_end() const { return storage + (size - reserve); }
    unsigned int* storage_end() const { return storage + size; }
    unsigned int* ring_next(unsigned int* p) const { return ++p == ring_end() ? storage : p; }

    std::uint64_t size;
    std::uint64_t reserve;
    unsigned int* storage;
    unsigned int* write_pos;
    unsigned int* read_pos;
    std::uint64_t eot_flag = 0;
    bool preamble_pending;

private:
    // Words actually allocated: the headroom is allocated ahead of need so a
    // long packet is not copied once per word it adds.
    std::uint64_t capacity_;
    std::unique_ptr<unsigned int[]> owned_;
};

// Turns the bytes of a read connection into contiguous, unescaped packets.
class decoder_zpkmarker : public basic_zpkmarker {
public:
    // The caller keeps the connection alive.
    decoder_zpkmarker(basic_rconnection& connection, bool check_preamble);
    // The decoder shares ownership of the connection (null: no connection).
    decoder_zpkmarker(std::shared_ptr<basic_rconnection> connection, bool check_preamble);
    ~decoder_zpkmarker() override;

    // The next packet, first word included, or an empty region at end of
    // input. Valid until the next get, put, seekg or drain.
    void get(basic_buffer<unsigned int*>& out) override;
    // Commits the words read into the last offered region; offers the next.
    void put(basic_buffer<unsigned int*>& region) override;

    void fill();
    // Up to n whole words into dst; bytes of an unfinished last word are dropped.
    // A source that fails after whole words came hands them out first and
    // throws at the next read.
    unsigned long read(unsigned int* dst, unsigned long n);
    void seekg(unsigned long pos);
    // Copies at most n bytes of whole, still undecoded framed words to dst.
    unsigned short drain(void* dst, unsigned short n);

    // Byte offset in the stream of the next word to decode.
    std::uint64_t tellg() const { return byte_pos; }

    bool input_ended = false;

private:
    void check_preamble();
    bool plan_run();
    // get for every packet that a run does not hand out.
    [[gnu::noinline]] void get_collect(basic_buffer<unsigned int*>& out);
    [[noreturn]] void throw_start_missing();
    // fill for a packet under way; false when the source failed where the
    // packet ends (may_end: its words so far can end it), the failure
    // deferred to the next read.
    [[gnu::noinline]] bool fill_in_packet(bool may_end);

    basic_rconnection* connection;
    std::shared_ptr<basic_rconnection> owner;
    basic_buffer<unsigned int*> fill_region;
    bool end_reported = false;
    bool source_ended = false; // a read delivered nothing
    // A failure of the source that came after whole words of the same read;
    // the next read throws it.
    std::exception_ptr deferred_error;
    unsigned int* scan_pos;
    std::uint64_t byte_pos = 0;
    // Ends of the packets ahead of scan_pos that get hands out in place;
    // run[run_next] ends the packet at scan_pos.
    static constexpr std::size_t run_capacity = 64;
    unsigned int* run[run_capacity];
    std::uint32_t run_next = 0;
    std::uint32_t run_size = 0;
    // Set by plan_run for the packet that get_collect takes next: the words
    // after its start word up to here hold no marker.
    unsigned int* clean_until = nullptr;
    // Find the next packet word by word: the last packet that get_collect
    // handed out was longer than short_packet words, or the packet after the
    // run holds an escape.
    static constexpr std::ptrdiff_t short_packet = 16;
    bool long_packet = false;
};

// Frames packets into an output ring and writes whole packets to a connection.
class encoder_zpkmarker : public basic_zpkmarker {
public:
    // The caller keeps the connection alive.
    encoder_zpkmarker(basic_wconnection& connection, unsigned long size, unsigned long reserve,
                      bool write_preamble);
    // The encoder shares ownership of the connection (null: nothing is written).
    encoder_zpkmarker(std::shared_ptr<basic_wconnection> connection, unsigned long size,
                      unsigned long reserve, bool write_preamble);
    // Writes what is still committed, closing the connection; errors are dropped.
    ~encoder_zpkmarker() override;

    // Frames [begin, end) as one packet; hands out the scratch region.
    void put(basic_buffer<unsigned int*>& region) override;
    // Releases the window given back; offers the next window of framed words.
    void get(basic_buffer<unsigned int*>& window) override;

    unsigned long write(unsigned int const* words, unsigned long n);
    // Writes every committed word; after eot() also closes the connection.
    void flush();
    void eot();

private:
    void write_out();
    void make_room(unsigned int*& cursor_ref);

    basic_wconnection* connection;
    basic_buffer<unsigned int*> out_window;
    std::shared_ptr<basic_wconnection> owner;
    unsigned int* cursor;
    unsigned int preamble_words[4];
    bool closed_ = false; // flush closed the connection and nothing was committed since
};

} // namespace scanlib
