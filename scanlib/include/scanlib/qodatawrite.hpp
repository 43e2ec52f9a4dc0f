#pragma once
// Packet text output: one line of text per packet.
//
//   units (2.0), 1.5000000000000000e+00, 7, 8, -2.5000000000000000e-01
//
// The id text comes from the package_id writer; the writers here append the
// body: ", " and a value per member in layout order. Integers are decimal (one
// byte fields too), floating point is "%.16e", texts are quoted up to their
// first zero byte, arrays are "[ a, b ]" and sequences "[{a, b}, {c, d}]".
// On a brace-less stream (set_zpk_braceless) arrays and sequences lose their
// brackets and braces and become flat lists; texts stay quoted.
//
// The per-type writers are one template over the packet views, generated
// member lists doing the per-type work.

#include <cstddef>
#include <ostream>
#include <string>
#include <type_traits>

#include <binary/binary.hpp>
#include <scanlib/generated/packets.hpp>
#include <scanlib/package.hpp>

namespace scanlib {

// True for the packet views name<Iter> (not for the value records name<void>);
// `iterator` is the view's word iterator.
template <class T>
struct is_packet_view : std::false_type {};
#define SCANLIB_PACKET(type_no, name, main_id, sub_id)                            \
    template <class I>                                                            \
    struct is_packet_view<name<I>> : std::bool_constant<!std::is_void_v<I>> {     \
        using iterator = I;                                                       \
    };
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET

template <class T>
concept packet_view = is_packet_view<std::remove_cvref_t<T>>::value;

// A view with at least one member: the types that have a text body.
template <class T>
concept packet_view_with_fields = packet_view<T> && (std::remove_cvref_t<T>::member_count > 0);

namespace text_detail {

enum class member_kind { other, field, array, sequence };

template <class M>
struct member_traits {
    static constexpr member_kind kind = member_kind::other;
};
template <class T, class B, unsigned P, class I, class S, class E, class C>
struct member_traits<binary::field<T, B, P, I, S, E, C>> {
    static constexpr member_kind kind = member_kind::field;
    using value_type = T;
};
template <class T, std::size_t N, class B, unsigned P, class I>
struct member_traits<binary::array<T, N, B, P, I>> {
    static constexpr member_kind kind = member_kind::array;
    using value_type = T;
};
template <class El, unsigned W, unsigned P, class I>
struct member_traits<binary::sequence<El, W, P, I>> {
    static constexpr member_kind kind = member_kind::sequence;
    using element = El;
    static constexpr unsigned width = W, position = P;
};

template <class M>
inline constexpr member_kind kind_of = member_traits<std::remove_cvref_t<M>>::kind;

// One value in the notation of its type: integers as numbers (never as
// characters), floats widened to double; `char` is a raw character.
template <class T>
void put_value(std::ostream& os, T v) {
    if constexpr (std::is_same_v<T, char>)
        os << v;
    else if constexpr (std::is_floating_point_v<T>)
        os << static_cast<double>(v);
    else if constexpr (std::is_same_v<T, signed char>)
        os << static_cast<int>(v);
    else if constexpr (std::is_signed_v<T>)
        os << v;
    else
        os << static_cast<unsigned long>(v);
}

inline void put_separator(std::ostream& os) { os.write(", ", 2); }

} // namespace text_detail

// A fixed numeric array: "[ a, b, c ]", brace-less "a, b, c". The count
// argument is not used: an array always has its N elements.
template <class T, std::size_t N, class Base, unsigned P, class Iter>
std::ostream& write_array(std::ostream& os, unsigned int, const binary::array<T, N, Base, P, Iter>& a) {
    const bool braces = !is_zpk_braceless(os);
    if (braces)
        os.write("[ ", 2);
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0)
            text_detail::put_separator(os);
        text_detail::put_value<T>(os, a[i]);
    }
    if (braces)
        os.write(" ]", 2);
    return os;
}

// A text: its bytes up to the first zero byte between double quotes, raw
// (nothing is escaped), whatever the brace-less flag.
template <std::size_t N, class Base, unsigned P, class Iter>
std::ostream& write_array(std::ostream& os, unsigned int, const binary::array<char, N, Base, P, Iter>& a) {
    char text[N + 2];
    std::size_t n = 0;
    text[n++] = '"';
    for (std::size_t i = 0; i < N; ++i) {
        const char c = a[i];
        if (c == '\0')
            break;
        text[n++] = c;
    }
    text[n++] = '"';
    os.write(text, static_cast<std::streamsize>(n));
    return os;
}

namespace text_detail {

template <class M>
void put_member(std::ostream& os, const M& m, bool braceless) {
    constexpr member_kind k = kind_of<M>;
    if constexpr (k == member_kind::field) {
        put_value<typename member_traits<M>::value_type>(os, m);
    } else if constexpr (k == member_kind::array) {
        write_array(os, static_cast<unsigned int>(M::size()), m);
    } else if constexpr (k == member_kind::sequence) {
        if (!braceless)
            os.put('[');
        const auto n = m.size();
        for (std::int64_t i = 0; i < n; ++i) {
            if (i != 0)
                put_separator(os);
            if (!braceless)
                os.put('{');
            const auto element = m[static_cast<std::size_t>(i)];
            bool first = true;
            element.for_each_member(element, [&](const char*, const auto& f) {
                if (!first)
                    put_separator(os);
                first = false;
                put_value<typename member_traits<std::remove_cvref_t<decltype(f)>>::value_type>(os, f);
            });
            if (!braceless)
                os.put('}');
        }
        if (!braceless)
            os.put(']');
    } else {
        static_assert(k != member_kind::other, "unknown member kind");
    }
}

} // namespace text_detail

// The body text of one packet: ", " and a value per member, in layout order.
// Nothing is written on a stream that is not good. No id, no newline.
template <packet_view_with_fields View>
std::ostream& operator<<(std::ostream& os, const View& view) {
    package_ostream_entry entry(os);
    if (!entry)
        return os;
    const bool braceless = is_zpk_braceless(os);
    View::for_each_member(view, [&](const char*, const auto& m) {
        text_detail::put_separator(os);
        text_detail::put_member(os, m, braceless);
    });
    return os;
}

// Writes the body text of the packet with id (main, sub) whose body words are
// [begin, end): the fields of the id's layout, nothing for a field-less type,
// ", " and each word in hexadecimal ("0xabcd", zero as "0") for an id without
// a layout. A layout that ends in a sequence throws std::range_error ("Missing
// data for sequence.") for a body shorter than its fixed part; a body too
// short for any other layout is refused: nothing is written and the result is
// false. True when the stream's state is clear afterwards.
template <class Ch, class Tr, class Word>
bool qodataspec_write(Word* begin, Word* end, unsigned int main, unsigned int sub, std::basic_ostream<Ch, Tr>& os);

extern template bool qodataspec_write<char, std::char_traits<char>, const unsigned int>(
    const unsigned int*, const unsigned int*, unsigned int, unsigned int, std::ostream&);
// Words held in a writable buffer are written the same way.
extern template bool qodataspec_write<char, std::char_traits<char>, unsigned int>(unsigned int*, unsigned int*,
                                                                                 unsigned int, unsigned int,
                                                                                 std::ostream&);

} // namespace scanlib
