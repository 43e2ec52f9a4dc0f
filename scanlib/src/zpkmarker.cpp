#include <scanlib/zpkmarker.hpp>

#include <scanlib/connection.hpp>
#include <scanlib/scanexcept.hpp>

#include "connection_internal.hpp"

#include <bit>
#include <cstring>
#include <exception>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

static_assert(std::endian::native == std::endian::little,
              "stream words are stored little-endian and used in place");

namespace scanlib {

namespace {

constexpr char source[] = "scanlib/src/zpkmarker";
constexpr unsigned int escape_word = 0xFFFFFF00u;

// Line numbers are part of the framing layer's error texts.
constexpr unsigned int line_excess_size = 120;
constexpr unsigned int line_encoder_overflow = 311;
constexpr unsigned int line_encoder_start_missing = 321;
constexpr unsigned int line_invalid_seek = 371;
constexpr unsigned int line_cannot_seek = 373;
constexpr unsigned int line_bad_preamble = 513;
constexpr unsigned int line_beyond_end = 520;
constexpr unsigned int line_decoder_overflow = 573;
constexpr unsigned int line_start_missing = 593;
constexpr unsigned int line_headroom = 646;

[[noreturn, gnu::cold, gnu::noinline]] void fail(const char* msg, unsigned int line) {
    throw scanlib_exception(msg, source, line);
}

// First word in [p, e) that is an escape or start word, or e.
inline unsigned int* find_marker(unsigned int* p, unsigned int* e) {
#if defined(__SSE2__)
    const __m128i top = _mm_set1_epi32(0x00FFFFFF);
    while (e - p >= 8) {
        __m128i a = _mm_cmpeq_epi32(_mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 8), top);
        __m128i b =
            _mm_cmpeq_epi32(_mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4)), 8), top);
        int mask = _mm_movemask_ps(_mm_castsi128_ps(a)) | (_mm_movemask_ps(_mm_castsi128_ps(b)) << 4);
        if (mask)
            return p + std::countr_zero(static_cast<unsigned>(mask));
        p += 8;
    }
#endif
    while (p != e && *p < escape_word)
        ++p;
    return p;
}

// Bit i of `markers` set where p[i] is an escape or start word, of `escapes`
// where it is an escape word.
struct marker_masks {
    std::uint64_t markers = 0;
    std::uint64_t escapes = 0;
};

// For the first n words (n <= 64).
inline marker_masks find_markers(const unsigned int* p, std::size_t n) {
    marker_masks m;
    for (std::size_t i = 0; i < n; ++i) {
        m.markers |= std::uint64_t(p[i] >= escape_word) << i;
        m.escapes |= std::uint64_t(p[i] == escape_word) << i;
    }
    return m;
}

// For 64 words.
inline marker_masks find_markers(const unsigned int* p) {
#if defined(__SSE2__)
    const __m128i top = _mm_set1_epi32(0x00FFFFFF);
    const __m128i escape = _mm_set1_epi32(static_cast<int>(escape_word));
    marker_masks m;
    for (int i = 0; i < 64; i += 16) {
        __m128i w[4], mk[4], es[4];
        for (int k = 0; k < 4; ++k) {
            w[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 4 * k));
            mk[k] = _mm_cmpeq_epi32(_mm_srli_epi32(w[k], 8), top);
            es[k] = _mm_cmpeq_epi32(w[k], escape);
        }
        // Four words' all-ones lanes packed down to one bit per word.
        auto bits = [](const __m128i* v) {
            const __m128i b = _mm_packs_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3]));
            return std::uint64_t(static_cast<std::uint16_t>(_mm_movemask_epi8(b)));
        };
        m.markers |= bits(mk) << i;
        m.escapes |= bits(es) << i;
    }
    return m;
#else
    return find_markers(p, 64);
#endif
}

} // namespace

// "\x10\0\0\0", "\0\0\0\x0B", then the eight characters of the stream's signature.
const unsigned char basic_zpkmarker::preamble[16] = {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B,
                                                     'V',  'a',  'n',  't',  'o',  'r',  'i',  'x'};
const std::size_t basic_zpkmarker::preamble_size = 4;

// The ring is left unfilled: every word is written before it is read, and
// zeroing half a megabyte per encoder showed in every short stream.
basic_zpkmarker::basic_zpkmarker(std::uint64_t size_, std::uint64_t reserve_, bool preamble_)
    : size(size_), reserve(reserve_), storage(nullptr), write_pos(nullptr), read_pos(nullptr),
      preamble_pending(preamble_), capacity_(size_), owned_(new unsigned int[size_]) {
    storage = owned_.get();
    write_pos = read_pos = storage;
}

basic_zpkmarker::~basic_zpkmarker() = default;

void basic_zpkmarker::attempt_to_resize(unsigned long new_size, unsigned long new_reserve,
                                        std::initializer_list<unsigned int**> moved) {
    if (new_size > max_words || new_reserve > max_words)
        fail("basic_zpkmarker::attempt_to_resize: excess packet size", line_excess_size);
    const std::uint64_t old_ring = size - reserve;
    if (new_reserve < reserve || new_size < new_reserve || new_size - new_reserve < old_ring)
        return;
    const std::uint64_t new_ring = new_size - new_reserve;
    if (new_ring == old_ring && new_size <= capacity_) {
        // The headroom was allocated ahead: nothing moves.
        size = new_size;
        reserve = new_reserve;
        return;
    }
    // Headroom is allocated geometrically (within the cap) so that a long
    // packet costs linear time; the limits above stay those of the exact sizes.
    const std::uint64_t old_room = capacity_ - old_ring;
    std::uint64_t room = new_reserve > old_room ? std::max<std::uint64_t>(new_reserve, 2 * old_room) : old_room;
    room = std::min<std::uint64_t>(room, max_words > new_ring ? max_words - new_ring : 0);
    room = std::max<std::uint64_t>(room, new_reserve);
    const std::uint64_t new_capacity = new_ring + room;

    std::unique_ptr<unsigned int[]> fresh(new unsigned int[new_capacity]);
    unsigned int* const ns = fresh.get();
    unsigned int* const old_end = ring_end();
    unsigned int* const new_end = ns + new_ring;
    // Headroom to the new headroom, ring tail from read_pos to the new ring
    // end, ring head to the same offsets: the gap opens between write_pos and read_pos.
    std::copy(old_end, old_end + reserve, new_end);
    std::copy(read_pos, old_end, new_end - (old_end - read_pos));
    std::copy(storage, read_pos, ns);
    auto move = [&](unsigned int* p) { return p < read_pos ? ns + (p - storage) : new_end - (old_end - p); };
    for (unsigned int** pp : moved)
        *pp = move(*pp);
    write_pos = move(write_pos);
    read_pos = move(read_pos);
    owned_ = std::move(fresh);
    storage = ns;
    size = new_size;
    reserve = new_reserve;
    capacity_ = new_capacity;
}

// ---------------------------------------------------------------------------
// decoder

namespace {
constexpr std::uint64_t decoder_size = 1024;
constexpr std::uint64_t decoder_reserve = 340;
} // namespace

decoder_zpkmarker::decoder_zpkmarker(basic_rconnection& c, bool check)
    : basic_zpkmarker(decoder_size, decoder_reserve, check), connection(&c), scan_pos(storage) {}

decoder_zpkmarker::decoder_zpkmarker(std::shared_ptr<basic_rconnection> c, bool check)
    : basic_zpkmarker(decoder_size, decoder_reserve, check), connection(c.get()), owner(std::move(c)),
      scan_pos(storage) {}

decoder_zpkmarker::~decoder_zpkmarker() = default;

void decoder_zpkmarker::throw_start_missing() { fail("Start escape missing!", line_start_missing); }

void decoder_zpkmarker::check_preamble() {
    unsigned int words[4];
    for (unsigned int& w : words) {
        if (scan_pos == write_pos) {
            fill();
            if (scan_pos == write_pos)
                fail("Bad preamble.", line_bad_preamble);
        }
        w = *scan_pos;
        scan_pos = ring_next(scan_pos);
    }
    if (std::memcmp(words, preamble, sizeof words) != 0)
        fail("Bad preamble.", line_bad_preamble);
    byte_pos += sizeof words;
    preamble_pending = false;
}

void decoder_zpkmarker::get(basic_buffer<unsigned int*>& out) {
    // After a long packet the next is likely long too: it is found word by
    // word rather than by a block of words that holds none of its ends. So
    // is a packet known to hold an escape.
    if (run_next == run_size && (long_packet || !plan_run())) [[unlikely]] {
        get_collect(out);
        return;
    }
    // The next packet of the run: in place, already known to end at a start word.
    unsigned int* const p = scan_pos;
    unsigned int* const e = run[run_next++];
    read_pos = p;
    out = {p, e, e};
    byte_pos += 4 * static_cast<std::uint64_t>(e - p);
    scan_pos = e;
}

// Finds the ends of the packets that follow scan_pos in place: each ends at a
// start word inside the words buffered, with no escape before it. Locating
// them a block at a time keeps get from waiting on one packet's end to find
// the next. False when the next packet needs the full loop of get_collect.
bool decoder_zpkmarker::plan_run() {
    run_next = run_size = 0;
    clean_until = nullptr;
    unsigned int* const p = scan_pos;
    unsigned int* const stop = write_pos > p ? write_pos : ring_end();
    if (p == write_pos || p == stop || preamble_pending || end_reported || *p <= escape_word)
        return false;
    static_assert(run_capacity == 64, "one mask bit per word");
    unsigned int* const from = p + 1;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(stop - from), run_capacity);
    const marker_masks m = n == run_capacity ? find_markers(from) : find_markers(from, n);
    // Start words before the first escape end packets in place.
    std::uint64_t ends = m.markers & ((m.escapes & (0 - m.escapes)) - 1);
    if (ends == 0) {
        // The packet at p is long, holds an escape or runs past the words
        // buffered: get_collect takes it, from the first word not yet known
        // to be a plain data word.
        clean_until = from + (m.markers != 0 ? std::countr_zero(m.markers) : n);
        return false;
    }
    std::uint32_t k = 0;
    for (; ends != 0; ends &= ends - 1)
        run[k++] = from + std::countr_zero(ends);
    run_size = k;
    if (m.escapes != 0) {
        // The run's last packet holds the escape: get_collect takes it next.
        long_packet = true;
        clean_until = from + std::countr_zero(m.escapes);
    }
    return true;
}

void decoder_zpkmarker::get_collect(basic_buffer<unsigned int*>& out) {
    // Words may be unescaped in place or move: the run found ahead is void.
    run_next = run_size = 0;
    unsigned int* const clean = clean_until;
    clean_until = nullptr;
    if (preamble_pending)
        check_preamble();
    if (end_reported)
        fail("Attempt to read beyond end of input.", line_beyond_end);
    if (scan_pos == ring_end())
        scan_pos = storage;
    out = {scan_pos, scan_pos, scan_pos};
    if (scan_pos == write_pos && eot_flag) {
        end_reported = true;
        return;
    }
    read_pos = scan_pos; // everything before the packet is released

    unsigned int* ring_stop = ring_end();
    unsigned int* p = scan_pos; // next framed word
    unsigned int* dst = p;      // where the next packet word goes
    bool first = true;          // the start word is still expected
    bool copying = false;       // dst lags behind p (escape seen, or wrapped)
    bool escape = false;        // the next word is a complement

    // Keeps scan_pos and byte_pos in step with p.
    auto sync = [&] {
        byte_pos += 4 * static_cast<std::uint64_t>(p >= scan_pos ? p - scan_pos : (ring_stop - scan_pos) + (p - storage));
        scan_pos = p == ring_stop ? storage : p;
    };
    auto finish = [&] {
        sync();
        out.end = out.limit = dst;
        long_packet = dst - out.begin > short_packet;
    };

    for (;;) {
        if (p == ring_stop) {
            p = storage;
            copying = true;
        }
        if (p == write_pos) {
            sync();
            if (ring_next(p) == read_pos) {
                // One packet fills the ring: double it.
                if (!connection)
                    fail("Buffer overflow!", line_decoder_overflow);
                attempt_to_resize(2 * size - reserve, reserve, {&scan_pos, &dst, &out.begin});
                fill_region = {};
                ring_stop = ring_end();
                p = scan_pos;
                if (ring_next(p) == read_pos)
                    fail("Buffer overflow!", line_decoder_overflow);
            }
            if (!fill_in_packet(!first && !escape)) {
                finish();
                return;
            }
            if (p == write_pos) {
                input_ended = true;
                out.end = out.limit = dst;
                return;
            }
        }
        unsigned int* const chunk = write_pos > p ? write_pos : ring_stop;

        if (first) {
            // Never copying here: a packet starts inside the ring, in place.
            if (*p <= escape_word) {
                sync();
                throw_start_missing();
            }
            first = false;
            dst = ++p;
            // plan_run has already found no marker up to here.
            if (clean > p)
                dst = p = clean;
            if (p == chunk)
                continue;
        }

        if (!copying) {
            p = find_marker(p, chunk);
            dst = p;
            if (p == chunk)
                continue;
            if (*p != escape_word) {
                finish();
                return;
            }
            escape = copying = true;
            ++p;
            continue;
        }

        // Copying: dst trails p, or runs from the ring end into the headroom.
        while (p != chunk) {
            if (escape) {
                *dst++ = ~*p++;
                escape = false;
            } else {
                unsigned int* const dst_stop = storage_end();
                const std::size_t n =
                    std::min<std::size_t>(chunk - p, dst >= p ? dst_stop - dst : chunk - p);
                unsigned int* const stop = p + n;
                while (p != stop && *p < escape_word)
                    *dst++ = *p++;
                if (p != stop) {
                    if (*p != escape_word) {
                        finish();
                        return;
                    }
                    escape = true;
                    ++p;
                    continue;
                }
            }
            if (dst == storage_end()) {
                // A wrapped packet has filled the headroom: make room for one
                // more word than collected so far.
                sync();
                const std::uint64_t collected = static_cast<std::uint64_t>(dst - out.begin);
                if (!connection)
                    fail("Max headroom exhausted!", line_headroom);
                attempt_to_resize((size - reserve) + collected + 1, collected + 1, {&scan_pos, &dst, &out.begin});
                fill_region = {};
                ring_stop = ring_end();
                p = scan_pos;
                if (dst == storage_end())
                    fail("Max headroom exhausted!", line_headroom);
                // chunk may have moved with the storage
                break;
            }
        }
    }
}

void decoder_zpkmarker::put(basic_buffer<unsigned int*>& region) {
    unsigned int* offer_end;
    auto compute_offer = [&] {
        if (read_pos > write_pos)
            offer_end = read_pos - 1;
        else
            offer_end = read_pos == storage ? ring_end() - 1 : ring_end();
    };
    if (region.limit > region.begin) {
        if (region.end > region.begin) {
            compute_offer();
            if (region.begin != write_pos || region.end > offer_end)
                throw std::logic_error("decoder_zpkmarker::put: region was not offered");
            write_pos = region.end;
            if (write_pos == ring_end())
                write_pos = storage;
        } else {
            eot_flag = 1;
        }
    }
    compute_offer();
    region = {write_pos, offer_end, offer_end};
}

bool decoder_zpkmarker::fill_in_packet(bool may_end) {
    try {
        fill();
        return true;
    } catch (...) {
        // A failed header override hands out whole packets before its
        // failure: the packet under way is complete.
        if (!may_end || !detail::failure_ends_packet(std::current_exception()))
            throw;
        deferred_error = std::current_exception();
        return false;
    }
}

void decoder_zpkmarker::fill() {
    if (!connection)
        return;
    if (fill_region.empty())
        put(fill_region);
    // A source that has ended is not asked again (some sources refuse that).
    const unsigned long n = source_ended ? 0 : read(fill_region.begin, fill_region.size());
    fill_region.resize(n);
    put(fill_region);
}

unsigned long decoder_zpkmarker::read(unsigned int* dst, unsigned long n) {
    if (n == 0 || !connection)
        return 0;
    if (deferred_error)
        std::rethrow_exception(std::exchange(deferred_error, nullptr));
    char* const bytes = reinterpret_cast<char*>(dst);
    const std::size_t want = static_cast<std::size_t>(n) * 4;
    std::size_t got = 0;
    do {
        std::size_t k;
        try {
            k = connection->readsome(bytes + got, want - got);
        } catch (...) {
            // The source failed inside a word: the whole words before it are
            // handed out first, the failure comes with the next read.
            if (got < 4)
                throw;
            deferred_error = std::current_exception();
            break;
        }
        if (k == 0) {
            // The input ended, possibly inside a word: keep the whole words.
            source_ended = true;
            break;
        }
        got += std::min(k, want - got);
    } while (got % 4 != 0);
    return got / 4;
}

void decoder_zpkmarker::seekg(unsigned long pos) {
    if (!connection)
        fail("Cannot seek.", line_cannot_seek);
    if (pos % 4 != 0)
        fail("Invalid seek position.", line_invalid_seek);
    connection->seekg(pos);
    run_next = run_size = 0;
    clean_until = nullptr;
    // The buffered words belong to the old position.
    scan_pos = read_pos = write_pos;
    fill_region = {};
    source_ended = false;
    deferred_error = nullptr;
    byte_pos = pos;
    if (pos == 0)
        preamble_pending = true;
}

unsigned short decoder_zpkmarker::drain(void* dst, unsigned short n) {
    run_next = run_size = 0;
    clean_until = nullptr;
    const std::size_t want = n / 4;
    std::size_t done = 0;
    char* const out = static_cast<char*>(dst);
    while (done < want && scan_pos != write_pos) {
        unsigned int* const chunk = write_pos > scan_pos ? write_pos : ring_end();
        const std::size_t k = std::min<std::size_t>(chunk - scan_pos, want - done);
        std::memcpy(out + 4 * done, scan_pos, 4 * k);
        done += k;
        scan_pos += k;
        if (scan_pos == ring_end())
            scan_pos = storage;
    }
    read_pos = scan_pos;
    return static_cast<unsigned short>(4 * done);
}

// ---------------------------------------------------------------------------
// encoder

namespace {
unsigned long checked_size(unsigned long size, unsigned long reserve) {
    if (reserve > size || size - reserve < 2)
        throw std::invalid_argument("encoder_zpkmarker: the ring needs at least two words");
    return size;
}
} // namespace

encoder_zpkmarker::encoder_zpkmarker(basic_wconnection& c, unsigned long size_, unsigned long reserve_,
                                     bool write_preamble)
    : basic_zpkmarker(checked_size(size_, reserve_), reserve_, write_preamble), connection(&c),
      cursor(storage) {
    std::memcpy(preamble_words, preamble, sizeof preamble_words);
}

encoder_zpkmarker::encoder_zpkmarker(std::shared_ptr<basic_wconnection> c, unsigned long size_,
                                     unsigned long reserve_, bool write_preamble)
    : basic_zpkmarker(checked_size(size_, reserve_), reserve_, write_preamble), connection(c.get()),
      owner(std::move(c)), cursor(storage) {
    std::memcpy(preamble_words, preamble, sizeof preamble_words);
}

encoder_zpkmarker::~encoder_zpkmarker() {
    // Everything committed is written, also when eot() came earlier.
    try {
        if (!closed_) {
            eot();
            flush();
        }
    } catch (...) {
    }
}

void encoder_zpkmarker::put(basic_buffer<unsigned int*>& region) {
    if (!region.empty()) {
        if (*region.begin <= escape_word)
            fail("Start escape missing!", line_encoder_start_missing);
        // Words past write_pos are uncommitted: a packet that fails leaves no trace.
        unsigned int* c = cursor = write_pos;
        const unsigned int* s = region.begin;
        const unsigned int* const se = region.end;
        bool first = true;
        bool complement_due = false;
        unsigned int complement = 0;
        for (;;) {
            if (s == se && !complement_due)
                break;
            if (c == ring_end())
                c = storage;
            const std::size_t room = read_pos > c ? static_cast<std::size_t>(read_pos - 1 - c)
                                                  : static_cast<std::size_t>(ring_end() - c) - (read_pos == storage);
            if (room == 0) {
                if (write_pos == read_pos)
                    fail("Buffer overflow.", line_encoder_overflow);
                cursor = c;
                write_out();
                continue;
            }
            unsigned int* const stop = c + room;
            if (complement_due) {
                *c++ = complement;
                complement_due = false;
                continue;
            }
            if (first) {
                *c++ = *s++;
                first = false;
                continue;
            }
            while (s != se && stop - c >= 2) {
                const unsigned int w = *s++;
                if (w >= escape_word) {
                    c[0] = escape_word;
                    c[1] = ~w;
                    c += 2;
                } else {
                    *c++ = w;
                }
            }
            if (s != se && c != stop) {
                const unsigned int w = *s++;
                if (w >= escape_word) {
                    *c++ = escape_word;
                    complement = ~w;
                    complement_due = true;
                } else {
                    *c++ = w;
                }
            }
        }
        if (c == ring_end())
            c = storage;
        write_pos = cursor = c; // committed only now
        closed_ = false;
    }
    region = {ring_end(), storage_end(), storage_end()};
}

void encoder_zpkmarker::get(basic_buffer<unsigned int*>& window) {
    if (preamble_pending) {
        if (window.begin != preamble_words || window.end != preamble_words + preamble_size) {
            window = {preamble_words, preamble_words + preamble_size, preamble_words + preamble_size};
            return;
        }
        preamble_pending = false;
    } else if (window.end > window.begin && window.begin == read_pos) {
        const unsigned int* const offered_end = read_pos <= write_pos ? write_pos : ring_end();
        if (window.end <= offered_end) {
            read_pos = window.end;
            if (read_pos == ring_end())
                read_pos = storage;
        }
    }
    unsigned int* const e = read_pos <= write_pos ? write_pos : ring_end();
    window = {read_pos, e, e};
}

unsigned long encoder_zpkmarker::write(unsigned int const* words, unsigned long n) {
    if (!connection)
        throw std::logic_error("encoder_zpkmarker::write: no connection");
    const char* const bytes = reinterpret_cast<const char*>(words);
    const std::size_t total = static_cast<std::size_t>(n) * 4;
    std::size_t done = 0;
    while (done < total) {
        const std::size_t k = connection->write(bytes + done, total - done);
        if (k == 0)
            throw scanlib_exception("encoder_zpkmarker: the connection accepted no data.");
        done += std::min(k, total - done);
    }
    return n;
}

void encoder_zpkmarker::write_out() {
    if (!connection) {
        // Nowhere to write: what is committed is dropped.
        read_pos = write_pos;
        preamble_pending = false;
        out_window = {};
        return;
    }
    for (;;) {
        get(out_window);
        if (out_window.empty())
            break;
        unsigned int* const b = out_window.begin;
        const std::size_t n = out_window.size();
        out_window.end = b; // nothing counts as written until write returns
        write(b, n);
        out_window.end = b + n;
    }
}

void encoder_zpkmarker::flush() {
    if (!connection)
        return;
    write_out();
    if (eot_flag) {
        connection->close();
        closed_ = true;
    }
}

void encoder_zpkmarker::eot() { eot_flag = 1; }

} // namespace scanlib
