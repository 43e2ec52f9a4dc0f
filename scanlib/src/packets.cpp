#include <scanlib/packets.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include <scanlib/packet_view.hpp>
#include <scanlib/scanexcept.hpp>

namespace scanlib {

namespace {

using iterator = basic_packets::iterator;

constexpr std::size_t header_type = header<void>::packet_type;
constexpr std::size_t void_type = void_data<void>::packet_type;

// Id of every type, indexed by type.
struct type_id {
    unsigned int main, sub;
};
constexpr type_id type_ids[251] = {
    {0, 0},
#define SCANLIB_PACKET(type, name, main, sub) {main, sub},
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET
};

// The type of the layout one sub below a type's own, or 0 where there is none
// (sub 0, or a kind with a single layout).
constexpr std::array<unsigned char, 251> older_type = [] {
    std::array<unsigned char, 251> older{};
    for (std::size_t t = 1; t < 251; ++t)
        for (std::size_t u = 1; u < 251 && type_ids[t].sub > 0; ++u)
            if (type_ids[u].main == type_ids[t].main && type_ids[u].sub + 1 == type_ids[t].sub)
                older[t] = static_cast<unsigned char>(u);
    return older;
}();

// The type of an id, as package_id converts it, from a hash of the main ids:
// a few loads instead of a binary search over every kind, once per packet.
class type_index {
public:
    constexpr type_index()
    {
        // Rows ordered by (main, sub), so a kind's layouts are adjacent.
        std::array<unsigned char, 250> order{};
        for (std::size_t t = 1; t < 251; ++t)
            order[t - 1] = static_cast<unsigned char>(t);
        for (std::size_t i = 1; i < order.size(); ++i)
            for (std::size_t j = i; j > 0 && before(order[j], order[j - 1]); --j)
                std::swap(order[j], order[j - 1]);
        for (std::size_t i = 0; i < order.size();) {
            std::size_t n = 1;
            while (i + n < order.size() && type_ids[order[i + n]].main == type_ids[order[i]].main)
                ++n;
            unsigned int const main = type_ids[order[i]].main;
            std::size_t h = hash(main), probes = 1;
            while (slots_[h].main != 0) {
                h = (h + 1) % size;
                ++probes;
            }
            slots_[h] = {static_cast<std::uint16_t>(main), static_cast<std::uint8_t>(i),
                         static_cast<std::uint8_t>(n)};
            longest_ = probes > longest_ ? probes : longest_;
            i += n;
        }
        rows_ = order;
    }

    std::size_t operator()(unsigned int main, unsigned int sub) const
    {
        if (main - 1 >= 0xFFFF) // main 0 and mains beyond 16 bits have no layout
            return 0;
        for (std::size_t h = hash(main);; h = (h + 1) % size) {
            slot const& s = slots_[h];
            if (s.main == main)
                return rows_[s.first + (sub < s.count ? sub : s.count - 1u)];
            if (s.main == 0)
                return 0;
        }
    }

    constexpr std::size_t longest_probe() const { return longest_; }

private:
    static constexpr std::size_t size = 512;
    struct slot {
        std::uint16_t main; // 0: empty
        std::uint8_t first; // first row of the kind in rows_
        std::uint8_t count; // layouts of the kind
    };

    static constexpr std::size_t hash(unsigned int main) { return (main * 2654435769u) >> 23; }
    static constexpr bool before(std::size_t a, std::size_t b)
    {
        return type_ids[a].main < type_ids[b].main ||
               (type_ids[a].main == type_ids[b].main && type_ids[a].sub < type_ids[b].sub);
    }

    std::array<slot, size> slots_{};
    std::array<unsigned char, 250> rows_{};
    std::size_t longest_ = 0;
};

constexpr type_index type_of{};
static_assert(type_of.longest_probe() <= 4);

// Source lines of the strict checks: counted up the types from 1221, five per
// type without a sequence, nine per sequence type, ten for the header.
struct check_line {
    unsigned int size;
    unsigned int count;
};
constexpr std::array<check_line, 251> check_lines = [] {
    std::array<check_line, 251> lines{};
    unsigned int line = 1221;
    for (std::size_t t = 1; t < 251; ++t) {
        if (t == header_type) {
            lines[t] = {line + 1, line + 4};
            line += 10;
        } else if (packet_sizes[t].has_sequence()) {
            lines[t] = {line, line + 3};
            line += 9;
        } else {
            lines[t] = {line, 0};
            line += 5;
        }
    }
    return lines;
}();
static_assert(check_lines[1].size == 1221 && check_lines[8].count == 1259 &&
              check_lines[46].size == 1530 && check_lines[header_type].size == 1642 &&
              check_lines[header_type].count == 1645 && check_lines[void_type].size == 2716 &&
              check_lines[250].size == 2739 && check_lines[250].count == 2742);

using package = basic_package<iterator>;

// Words of a packet's body; the header view never puts its begin past its end.
inline std::size_t body_words(package const& p)
{
    return static_cast<std::size_t>(p.end - p.body_begin);
}

// Errors name the packet's own id, whatever layout was being tried.
[[noreturn, gnu::noinline, gnu::cold]] void missing_data(package const& p, std::size_t type)
{
    throw packet_error(p.id.main, p.id.sub, "missing packet data", "qodataspec",
                       check_lines[type].size);
}

[[noreturn, gnu::noinline, gnu::cold]] void too_long(package const& p, std::size_t type,
                                                     std::int64_t count)
{
    throw packet_error(p.id.main, p.id.sub, "sequence too long " + std::to_string(count),
                       "qodataspec", check_lines[type].count);
}

// Strict size and count check of a sequence from its read marks: the body
// must reach the sequence start, or hold the highest element read.
template<class Sequence>
void check_sequence(package const& p, std::size_t type, Sequence const& seq, std::int64_t count,
                    std::uint64_t max)
{
    std::uint64_t bits = Sequence::position;
    if (seq.accessed())
        bits += std::uint64_t(Sequence::width) * (seq.highest() + 1);
    if (body_words(p) < (bits + 31) / 32)
        missing_data(p, type);
    if (static_cast<std::uint64_t>(count) > max)
        too_long(p, type, count);
}

// A body shorter than its fixed layout: rejected when strict, else handed out
// as a zero-filled copy so that no field reads past the packet.
template<class View, auto Handler>
[[gnu::noinline]] void short_body(basic_packets& self, package const& p)
{
    if (self.strict)
        missing_data(p, View::packet_type);
    padded_body const padded(View::packet_type, p.body_begin, p.end);
    (self.*Handler)(View(padded.begin(), padded.end()));
}

template<class View, auto Handler>
void run_case(basic_packets& self, package const& p)
{
    constexpr packet_size size = View::size_info;
    if constexpr (View::packet_type == header_type) {
        // The header's keys are in the table before any check and before its
        // own handler; they stay even when a check then fails.
        View const view(p.body_begin, p.end);
        self.table.load(view.ids);
        if (self.strict)
            check_sequence(p, View::packet_type, view.ids, view.count, size.max_count);
        (self.*Handler)(view);
    } else if constexpr (View::has_sequence) {
        View const view(p.body_begin, p.end);
        auto const& seq = view.*View::sequence_member;
        // As if every element had been read: the check covers the whole run.
        seq.preset(static_cast<std::uint64_t>(view.count) - 1);
        if (self.strict)
            check_sequence(p, View::packet_type, seq, view.count, size.max_count);
        (self.*Handler)(view);
    } else {
        if (body_words(p) < size.fixed_words) [[unlikely]]
            short_body<View, Handler>(self, p);
        else
            (self.*Handler)(View(p.body_begin, p.end));
    }
}

// The view and handler of each type.
template<std::size_t Type>
struct type_case;
#define SCANLIB_PACKET(type, name, main, sub)                                                      \
    template<>                                                                                     \
    struct type_case<type> {                                                                       \
        using view = name<iterator>;                                                               \
        static constexpr auto handler = &basic_packets::on_##name;                                 \
    };
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET

// Offers a packet of type Type and then, while not handled, as each older
// layout of its kind: the whole chain of one type in one call, with the
// types, ids and selector bits of the chain known at compile time.
template<std::size_t Type>
void offer(basic_packets& self, package const& p)
{
    if constexpr (Type == void_type) {
        self.not_handled = false;
        if (!std::as_const(self.selector)[Type])
            return;
        self.on_id(self.current_id, p);
        self.on_void_data(void_data<iterator>(p.body_begin, p.end));
    } else {
        if (std::as_const(self.selector)[Type]) {
            self.on_id(self.current_id, p);
            if constexpr (Type == 0)
                self.on_unknown(p.id.main, p.id.sub, p.body_begin, p.end);
            else
                run_case<typename type_case<Type>::view, type_case<Type>::handler>(self, p);
        }
        if constexpr (Type != 0 && older_type[Type] != 0) {
            if (!self.not_handled)
                return;
            self.current_id.main = p.id.main;
            self.current_id.sub = type_ids[older_type[Type]].sub;
            offer<older_type[Type]>(self, p);
        }
    }
}

using offer_function = void (*)(basic_packets&, package const&);

// One entry per type, indexed by type; type 0 is a packet without a layout.
constexpr std::array<offer_function, 251> offers{{
    &offer<0>,
#define SCANLIB_PACKET(type, name, main, sub) &offer<type>,
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET
}};

} // namespace

basic_packets::basic_packets() : basic_packets(select_all) {}

basic_packets::basic_packets(std::bitset<package_type_count> const& selector_)
    : selector(selector_), table(), current_id{0, 0}, dispatch_count(0), strict(false),
      not_handled(false), result(false)
{
}

basic_packets::~basic_packets() = default;

bool basic_packets::on_dispatch(iterator const& begin, iterator const& end)
{
    // The framing decoder hands out an empty range at the end of its input.
    if (!(begin < end))
        return result;
    package const p(begin, end, table);
    // Read apart: the view's id was just stored in halves.
    unsigned int const main = p.id.main, sub = p.id.sub;
    not_handled = true;
    ++dispatch_count;

    // Offers the packet as its own id and then, while not handled, as each
    // older layout of its kind. Ids that convert to the type just offered are
    // not offered again, so a kind with one layout is offered once whatever
    // its sub, and the chain ends after at most one offer per layout.
    current_id.main = main;
    current_id.sub = sub;
    offer_entry& cached = offer_cache[static_cast<unsigned char>(*begin)];
    if (cached.main != main || cached.sub != sub) [[unlikely]]
        cached = {main, sub, offers[type_of(main, sub)]};
    cached.offers(*this, p);
    return result;
}

void basic_packets::on_id(package_id const&, basic_package<iterator> const&) {}

#define SCANLIB_PACKET(type, name, main, sub) \
    void basic_packets::on_##name(name<iterator> const&) {}
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET

void basic_packets::on_unknown(unsigned int, unsigned int, iterator const&, iterator const&) {}

} // namespace scanlib
