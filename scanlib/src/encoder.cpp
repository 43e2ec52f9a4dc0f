#include <scanlib/encoder.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

#include <scanlib/packet_view.hpp>

namespace scanlib {

namespace {

constexpr unsigned header_type = header<void>::packet_type;

// The key of the one-word id header that write_package puts down for
// (Main, Sub), or 0 where it writes the explicit two-word form.
template <unsigned Main, unsigned Sub>
unsigned int id_key(lookup_table const& table)
{
    if constexpr (Main == 50 && Sub == 0)
        return header_key::crc32_check;
    else if constexpr (Main == 65535 && Sub == 65535)
        return header_key::void_data;
    else
        return table.compact_key(lookup_table::id{Main, Sub});
}

// The body's first word: where every member of a view is counted from.
template <class View>
unsigned int const* first_word(View const& view)
{
    unsigned int const* first = nullptr;
    View::for_each_member(view, [&](char const*, auto const& member) {
        if (first == nullptr)
            first = member.words();
    });
    return first;
}

[[noreturn]] void missing_sequence_data()
{
    throw std::range_error("Missing data for sequence.");
}

} // namespace

encoder_packets::encoder_packets(basic_zpkmarker* marker_, std::bitset<package_type_count> const& selector_)
    : basic_packets(selector_), marker(marker_), buffer(), table()
{
    if (marker != nullptr)
        marker->put(buffer);
}

encoder_packets::~encoder_packets() = default;

template <class View>
void encoder_packets::encode(View const& packet)
{
    // Taken: the dispatcher does not offer the packet as an older layout.
    not_handled = false;
    if constexpr (View::packet_type == header_type) {
        // The first header that brings ids fixes the output's keys for good.
        if (table.key2id.empty())
            table = basic_packets::table;
    }
    if (marker == nullptr)
        return;

    constexpr unsigned main = View::main_id, sub = View::sub_id;
    constexpr packet_size size = View::size_info;
    auto const room = buffer.end - buffer.begin;

    if constexpr (View::packet_type == header_type) {
        // Always the explicit form, and the fixed texts followed by our own id
        // list, so that a reader derives exactly the keys used below.
        constexpr std::ptrdiff_t fixed = 12;
        if (room - 2 < fixed)
            missing_sequence_data();
        std::size_t const ids = table.key2id.size();
        buffer.resize(2 + fixed + ids);
        write_package const w(main, sub, buffer.begin, buffer.end);
        unsigned int* out = std::copy_n(first_word(packet), fixed, w.body_begin);
        for (lookup_table::id const& i : table.key2id)
            *out++ = (i.main & 0xFFFFu) << 16 | (i.sub & 0xFFFFu);
    } else {
        // The key is looked up once: it decides the header's length and is written.
        unsigned int const key = id_key<main, sub>(table);
        std::size_t const h = key != 0 ? 1 : 2;
        std::size_t n = 0;
        unsigned int const* body = nullptr;
        if constexpr (View::member_count > 0) {
            body = first_word(packet);
            if constexpr (View::has_sequence) {
                auto const& seq = packet.*View::sequence_member;
                // Elements up to the highest one read, never past the body.
                std::uint64_t m = seq.accessed() ? seq.highest() + 1 : 0;
                auto const whole = static_cast<std::uint64_t>(std::max<std::int64_t>(seq.size(), 0));
                m = std::min(m, whole);
                n = static_cast<std::size_t>((size.sequence_bit + size.element_bits * m + 31) / 32);
                if ((room - static_cast<std::ptrdiff_t>(h)) * 32 < static_cast<std::ptrdiff_t>(size.sequence_bit))
                    missing_sequence_data();
            } else {
                n = size.fixed_words;
            }
        }
        buffer.resize(h + n);
        if (key != 0)
            buffer.begin[0] = 0xFFFFFF00u | key;
        else
            write_package(main, sub, buffer.begin, buffer.end);
        if (n != 0)
            std::copy_n(body, n, buffer.begin + h);
    }
    marker->put(buffer);
}

#define SCANLIB_HANDLER(type, name) \
    void encoder_packets::on_##name(name<iterator> const& packet) { encode(packet); }
#include <scanlib/generated/packet_handlers.inc>
#undef SCANLIB_HANDLER

} // namespace scanlib
