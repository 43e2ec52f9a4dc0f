#pragma once
// Packet ids and types, the id header of a packet and the stream's compact-id
// table, and the text form of an id with its per-stream words.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <istream>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace scanlib {

// Number of packet types, the unknown type 0 included.
inline constexpr std::size_t package_type_count = 251;

// A packet's id: its kind (main) and the layout version (sub).
struct package_id {
    // 0 for ids without a layout, then one value per packet type, named as the packet.
    enum type : unsigned int {
        unknown = 0,
#define SCANLIB_PACKET(type_no, name, main_id, sub_id) name = type_no,
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET
    };

    unsigned int main = 0;
    unsigned int sub = 0;

    constexpr package_id() = default;
    constexpr package_id(unsigned int main_, unsigned int sub_) : main(main_), sub(sub_) {}

    // The type of the id: 0 for an unknown main, the newest layout for a sub
    // above the newest known one. Never fails, never allocates.
    operator type() const;
    // The name of the id's type.
    std::string string() const;

    friend constexpr bool operator==(const package_id&, const package_id&) = default;

    static const std::pair<const std::string, package_id> name_from_type[package_type_count];
    static const std::map<std::string, package_id> id_from_name;
};

// ---------------------------------------------------------------------------
// Id header and compact-id table

class lookup_table {
public:
    struct id {
        unsigned int main = 0;
        unsigned int sub = 0;
        friend constexpr bool operator==(const id&, const id&) = default;
        friend constexpr bool operator<(const id& a, const id& b) {
            return a.main < b.main || (a.main == b.main && a.sub < b.sub);
        }
    };

    lookup_table() = default;
    lookup_table(const lookup_table&) = default;
    lookup_table(lookup_table&&) noexcept = default;
    lookup_table& operator=(const lookup_table&) = default;
    lookup_table& operator=(lookup_table&&) noexcept = default;
    ~lookup_table();

    // Adds the ids of one header packet's id list, read in order through the
    // sequence view. Its elements expose either the fields `main` and `sub`
    // or the whole id word as `id` (main in bits 16-31, sub in bits 0-15).
    // Slot n mod 256 takes the n-th id; key 255 is never given.
    template <class Sequence>
    void load(const Sequence& ids);

    // The id of compact key k (1..252) or (0, k) when the table has no such key.
    package_id key_to_id(unsigned char k) const {
        if (k != 0 && k <= key2id.size()) {
            const id& i = key2id[k - 1u];
            return package_id(i.main, i.sub);
        }
        return package_id(0, k);
    }
    // The one-word key under which `i` can be written: 1..252, and only when
    // the key's slot holds that very id; 0 otherwise.
    unsigned char compact_key(const id& i) const;

    std::vector<id> key2id;
    std::map<id, unsigned char> id2key;

private:
    void add(unsigned long n, const id& i);
};

template <class Sequence>
void lookup_table::load(const Sequence& ids) {
    const auto count = ids.size();
    // Keys run from 1 to 254: the id list grows at most that far.
    key2id.reserve(std::min<std::size_t>(static_cast<std::size_t>(count), 254));
    for (decltype(+count) k = 0; k < count; ++k) {
        const auto element = ids[static_cast<std::size_t>(k)];
        if constexpr (requires { element.main; element.sub; }) {
            add(static_cast<unsigned long>(k) + 1,
                id{static_cast<unsigned int>(element.main) & 0xFFFFu, static_cast<unsigned int>(element.sub) & 0xFFFFu});
        } else {
            const std::uint32_t word = element.id;
            add(static_cast<unsigned long>(k) + 1, id{word >> 16, word & 0xFFFFu});
        }
    }
}

// Read view of one packet [begin, end): its id and where its body begins. A
// packet too short for its header never has words read beyond its end: an
// empty range is (0, 0) and a lone explicit-form word (0, 255), both with an
// empty body.
template <class Iter>
class basic_package {
public:
    basic_package(Iter begin, Iter end, const lookup_table& table);

    package_id id;
    Iter begin;
    Iter body_begin;
    Iter end;
};

// Writes an id header at `begin` (room for two words is needed) and sets
// body_begin after it; `end` is only stored.
class write_package {
public:
    // Table-less: the explicit two-word form, void_data in one word.
    write_package(unsigned int main, unsigned int sub, unsigned int* begin, unsigned int* end);
    // Keyed: crc32_check and void_data in one word, an id whose key slot
    // holds it as its one-word key, anything else in the explicit form.
    write_package(unsigned int main, unsigned int sub, const lookup_table& table, unsigned int* begin,
                  unsigned int* end);

    unsigned int* begin;
    unsigned int* body_begin;
    unsigned int* end;
};

namespace header_key {
inline constexpr unsigned int explicit_id = 255;
inline constexpr unsigned int void_data = 254;
inline constexpr unsigned int crc32_check = 253;
inline constexpr unsigned int last_compact = 252;
} // namespace header_key

template <class Iter>
basic_package<Iter>::basic_package(Iter b, Iter e, const lookup_table& table)
    : begin(b), body_begin(b), end(e) {
    if (b == e)
        return;
    const unsigned int key = static_cast<std::uint32_t>(*b) & 0xFFu;
    body_begin = b + 1;
    switch (key) {
    case header_key::explicit_id:
        if (e - b < 2) {
            id = package_id(0, key);
            break;
        }
        {
            const std::uint32_t w = static_cast<std::uint32_t>(b[1]);
            id = package_id(w >> 16, w & 0xFFFFu);
            body_begin = b + 2;
        }
        break;
    case header_key::void_data:
        id = package_id(65535, 65535);
        break;
    case header_key::crc32_check:
        id = package_id(50, 0);
        break;
    default:
        id = table.key_to_id(static_cast<unsigned char>(key));
        break;
    }
}

// ---------------------------------------------------------------------------
// Text form of an id and the stream words it leaves behind

extern const int stream_id_main_idx;
extern const int stream_id_sub_idx;
extern const int stream_unknown_idx;
extern const int stream_zpk_flags;

std::ios_base& set_zpk_braceless(std::ios_base& s);
std::ios_base& reset_zpk_braceless(std::ios_base& s);
bool is_zpk_braceless(std::ios_base& s);

// Output guard for packet text: decimal integers, scientific floats with 16
// digits; the stream's flags and precision are restored afterwards.
class package_ostream_entry {
public:
    explicit package_ostream_entry(std::ostream& os);
    ~package_ostream_entry();
    package_ostream_entry(const package_ostream_entry&) = delete;
    package_ostream_entry& operator=(const package_ostream_entry&) = delete;
    explicit operator bool() const { return ok_; }

private:
    std::ostream::sentry sentry_;
    std::ostream& os_;
    std::ios_base::fmtflags flags_{};
    std::streamsize precision_ = 0;
    bool ok_;
};

// "header (1.0)", or "1, 0" on a brace-less stream.
std::ostream& operator<<(std::ostream& os, const package_id& id);
std::istream& operator>>(std::istream& is, package_id& id);

} // namespace scanlib
