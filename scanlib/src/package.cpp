#include <scanlib/package.hpp>
#include <scanlib/qodataspec.hpp>
#include <scanlib/scanexcept.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <bitset>
#include <iterator>

namespace scanlib {

// ---------------------------------------------------------------------------
// All static data of the library is defined in this one translation unit, in
// this order: selectors, name table, name map, stream word slots, default
// exception text. Nothing here depends on another unit's statics.

const std::bitset<package_type_count> select_none;
const std::bitset<package_type_count> select_all = std::bitset<package_type_count>().set();
#define SCANLIB_SELECTOR(cls, bits)                                                                   \
    static_assert(sizeof(bits) == package_type_count + 1, "a selector text has one character a type"); \
    const std::bitset<package_type_count> select_##cls(bits);
#include <scanlib/generated/selectors.inc>
#undef SCANLIB_SELECTOR

const std::pair<const std::string, package_id> package_id::name_from_type[package_type_count] = {
    {"unknown", package_id(0, 0)},
#define SCANLIB_PACKET(type_no, name, main_id, sub_id) {#name, package_id(main_id, sub_id)},
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET
};

const std::map<std::string, package_id> package_id::id_from_name(std::begin(package_id::name_from_type),
                                                                 std::end(package_id::name_from_type));

const int stream_id_main_idx = std::ios_base::xalloc();
const int stream_id_sub_idx = std::ios_base::xalloc();
const int stream_unknown_idx = std::ios_base::xalloc();
const int stream_zpk_flags = std::ios_base::xalloc();

std::string scanlib_exception::default_msg_arg = "scanlib_exception";

// ---------------------------------------------------------------------------
// Id to type: a binary search over the sorted distinct mains, then the sub
// clamped to the kind's newest layout. The tables are built at compile time.

namespace {

struct row {
    unsigned int main, sub, type;
};

constexpr row rows_in_type_order[] = {
#define SCANLIB_PACKET(type_no, name, main_id, sub_id) {main_id, sub_id, type_no},
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET
};
constexpr std::size_t row_count = std::size(rows_in_type_order);
static_assert(row_count + 1 == package_type_count);

constexpr bool types_in_order() {
    for (std::size_t i = 0; i < row_count; ++i)
        if (rows_in_type_order[i].type != i + 1)
            return false;
    return true;
}
static_assert(types_in_order(), "the type list runs 1..250 in order");

constexpr auto sorted_rows = [] {
    std::array<row, row_count> r{};
    std::copy(std::begin(rows_in_type_order), std::end(rows_in_type_order), r.begin());
    std::sort(r.begin(), r.end(),
              [](const row& a, const row& b) { return a.main < b.main || (a.main == b.main && a.sub < b.sub); });
    return r;
}();

constexpr std::size_t count_mains() {
    std::size_t n = 0;
    for (std::size_t i = 0; i < row_count; ++i)
        if (i == 0 || sorted_rows[i].main != sorted_rows[i - 1].main)
            ++n;
    return n;
}

struct kind {
    unsigned int main;
    unsigned short first; // index of its sub 0 row in sorted_rows
    unsigned short count;
};

constexpr std::size_t main_count = count_mains();

constexpr auto kinds = [] {
    std::array<kind, main_count> k{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < row_count; ++i) {
        if (i == 0 || sorted_rows[i].main != sorted_rows[i - 1].main)
            k[n++] = kind{sorted_rows[i].main, static_cast<unsigned short>(i), 0};
        ++k[n - 1].count;
    }
    return k;
}();

// Kinds with several layouts number them 0..n-1; no kind is main 0.
constexpr bool kinds_sound() {
    for (const kind& k : kinds) {
        if (k.main == 0)
            return false;
        if (k.count > 1)
            for (unsigned s = 0; s < k.count; ++s)
                if (sorted_rows[k.first + s].sub != s)
                    return false;
    }
    return true;
}
static_assert(kinds_sound(), "multi-layout kinds must have subs 0..n-1 and no kind may be main 0");

constexpr auto types_by_sorted_row = [] {
    std::array<unsigned char, row_count> t{};
    for (std::size_t i = 0; i < row_count; ++i)
        t[i] = static_cast<unsigned char>(sorted_rows[i].type);
    return t;
}();

// The sorted mains, padded to a power of two with the largest value so that
// the search below runs a fixed number of steps without branches.
constexpr std::size_t search_size = std::bit_ceil(main_count);
constexpr auto sorted_mains = [] {
    std::array<unsigned int, search_size> m{};
    for (std::size_t i = 0; i < search_size; ++i)
        m[i] = i < main_count ? kinds[i].main : ~0u;
    return m;
}();

} // namespace

package_id::operator type() const {
    std::size_t i = 0; // number of mains below `main`
    for (std::size_t step = search_size / 2; step > 0; step /= 2)
        i += sorted_mains[i + step - 1] < main ? step : 0;
    if (sorted_mains[i] < main)
        ++i;
    if (i >= main_count || kinds[i].main != main)
        return unknown;
    const kind& k = kinds[i];
    const unsigned int s = sub < k.count ? sub : k.count - 1u;
    return static_cast<type>(types_by_sorted_row[k.first + s]);
}

std::string package_id::string() const { return name_from_type[static_cast<type>(*this)].first; }

// ---------------------------------------------------------------------------
// Compact-id table and header writers

lookup_table::~lookup_table() = default;

void lookup_table::add(unsigned long n, const id& i) {
    unsigned long k = n % 256;
    if (k == 0) {
        const auto it = id2key.find(i);
        if (it != id2key.end())
            k = it->second;
        else if (key2id.size() < 255)
            k = key2id.size() + 1;
        else
            return;
    }
    if (k == 255)
        return;
    if (key2id.size() < k)
        key2id.resize(k);
    key2id[k - 1] = i;
    id2key[i] = static_cast<unsigned char>(k);
}

unsigned char lookup_table::compact_key(const id& i) const {
    const auto it = id2key.find(i);
    if (it == id2key.end())
        return 0;
    const unsigned int k = it->second;
    // Keys 253 and 254 read back as crc32_check and void_data, and a stale
    // key whose slot a later header gave to another id reads back as that id.
    if (k == 0 || k > header_key::last_compact || k > key2id.size() || !(key2id[k - 1] == i))
        return 0;
    return static_cast<unsigned char>(k);
}

write_package::write_package(unsigned int main, unsigned int sub, unsigned int* b, unsigned int* e)
    : begin(b), end(e) {
    if (main == 65535 && sub == 65535) {
        b[0] = 0xFFFFFF00u | header_key::void_data;
        body_begin = b + 1;
    } else {
        b[0] = 0xFFFFFF00u | header_key::explicit_id;
        b[1] = (main & 0xFFFFu) << 16 | (sub & 0xFFFFu);
        body_begin = b + 2;
    }
}

write_package::write_package(unsigned int main, unsigned int sub, const lookup_table& table, unsigned int* b,
                             unsigned int* e)
    : begin(b), end(e) {
    unsigned int key;
    if (main == 50 && sub == 0)
        key = header_key::crc32_check;
    else if (main == 65535 && sub == 65535)
        key = header_key::void_data;
    else
        key = table.compact_key(lookup_table::id{main, sub});
    if (key != 0) {
        b[0] = 0xFFFFFF00u | key;
        body_begin = b + 1;
    } else {
        b[0] = 0xFFFFFF00u | header_key::explicit_id;
        b[1] = (main & 0xFFFFu) << 16 | (sub & 0xFFFFu);
        body_begin = b + 2;
    }
}

// ---------------------------------------------------------------------------
// Text form of an id

std::ios_base& set_zpk_braceless(std::ios_base& s) {
    s.iword(stream_zpk_flags) |= 1;
    return s;
}

std::ios_base& reset_zpk_braceless(std::ios_base& s) {
    s.iword(stream_zpk_flags) &= ~1L;
    return s;
}

bool is_zpk_braceless(std::ios_base& s) { return (s.iword(stream_zpk_flags) & 1) != 0; }

package_ostream_entry::package_ostream_entry(std::ostream& os) : sentry_(os), os_(os), ok_(bool(sentry_)) {
    if (ok_) {
        flags_ = os.flags();
        os.setf(std::ios_base::dec | std::ios_base::scientific,
                std::ios_base::basefield | std::ios_base::floatfield);
        precision_ = os.precision(16);
    }
}

package_ostream_entry::~package_ostream_entry() {
    if (ok_) {
        os_.flags(flags_);
        os_.precision(precision_);
    }
}

std::ostream& operator<<(std::ostream& os, const package_id& id) {
    package_ostream_entry entry(os);
    if (!entry)
        return os;
    if (is_zpk_braceless(os))
        os << id.main << ", " << id.sub;
    else
        os << id.string() << " (" << id.main << '.' << id.sub << ')';
    os.iword(stream_id_main_idx) = static_cast<long>(id.main);
    os.iword(stream_id_sub_idx) = static_cast<long>(id.sub);
    return os;
}

namespace {
// Skips white space and takes one character, which must be c.
void expect(std::istream& is, char c) {
    std::istream::sentry s(is);
    if (!s)
        return;
    char got;
    if (is.get(got) && got != c)
        is.setstate(std::ios_base::failbit);
}
} // namespace

std::istream& operator>>(std::istream& is, package_id& id) {
    std::istream::sentry s(is);
    if (!s)
        return is;
    unsigned int main = 0, sub = 0;
    std::string name;
    const bool braceless = is_zpk_braceless(is);
    if (braceless) {
        is >> main;
        expect(is, ',');
        is >> sub;
    } else {
        is >> name;
        expect(is, '(');
        is >> main;
        expect(is, '.');
        is >> sub;
        expect(is, ')');
    }
    if (is.rdstate() != std::ios_base::goodbit) {
        is.setstate(std::ios_base::failbit);
        return is;
    }
    const package_id read(main, sub);
    const std::string own = read.string();
    long unknown_word;
    if (braceless || name == own) {
        id = read;
        unknown_word = 0;
    } else if (name == package_id::name_from_type[package_id::unknown].first) {
        id = package_id(0, 0);
        unknown_word = 1;
    } else {
        is.setstate(std::ios_base::failbit);
        return is;
    }
    is.iword(stream_id_main_idx) = static_cast<long>(main);
    is.iword(stream_id_sub_idx) = static_cast<long>(sub);
    is.iword(stream_unknown_idx) = unknown_word;
    return is;
}

} // namespace scanlib
