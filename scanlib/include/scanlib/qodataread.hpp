#pragma once
// Packet text input: the packet text form (see qodatawrite.hpp) read back into
// packet words, braced or brace-less.
//
// Nothing here throws on bad text: every failure is a stream state bit, a
// step on a failed stream reads nothing, and a packet whose reading left any
// state bit set is to be discarded. Text ending inside a packet is a failure,
// so a line handed in ends with a newline.
//
// A packet line is read by two extractions: the package_id, then the
// zpk_packet, whose body is read for the id the first left in the stream.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <type_traits>
#include <vector>

#include <binary/binary.hpp>
#include <scanlib/generated/packets.hpp>
#include <scanlib/package.hpp>
#include <scanlib/qodatawrite.hpp>
#include <scanlib/zpkstream.hpp>

namespace std {

// Expects the character c next (white space skipped); another character is
// consumed and sets failbit. Lets a reader write `is >> ','`.
istream& operator>>(istream& is, const char& c);

// Reads the body of a packet for the id last extracted from the stream.
// Failure leaves the packet with id (0, 0) and no words, and sets failbit.
template <class Ch, class Tr>
basic_istream<Ch, Tr>& operator>>(basic_istream<Ch, Tr>& is, scanlib::zpk_packet& packet);

extern template istream& operator>> <char, char_traits<char>>(istream&, scanlib::zpk_packet&);

} // namespace std

namespace scanlib {

namespace text_detail {

// The type a value is extracted as: one-byte fields are numbers, not
// characters; a text character is one.
template <class T>
using read_type_t = std::conditional_t<std::is_same_v<T, unsigned char>, unsigned int,
                                       std::conditional_t<std::is_same_v<T, signed char>, int, T>>;

// Extracts one value and stores it into the field (its low W bits). The
// value stored after a failed extraction is of no meaning.
template <class Field>
void get_value(std::istream& is, const Field& f) {
    using T = typename member_traits<Field>::value_type;
    read_type_t<T> v{};
    is >> v;
    f = static_cast<T>(v);
}

inline void expect(std::istream& is, char c) { is >> static_cast<const char&>(c); }

} // namespace text_detail

// A fixed numeric array: "[a, b, c]" with free white space, brace-less
// "a, b, c"; exactly N values. The count argument is not used.
template <class T, std::size_t N, class Base, unsigned P, class Iter>
std::istream& read_array(std::istream& is, unsigned int, const binary::array<T, N, Base, P, Iter>& a) {
    const std::istream::sentry ok(is);
    if (!ok)
        return is;
    const bool braces = !is_zpk_braceless(is);
    if (braces)
        text_detail::expect(is, '[');
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0)
            text_detail::expect(is, ',');
        text_detail::get_value(is, a[i]);
    }
    if (braces)
        text_detail::expect(is, ']');
    return is;
}

// A text: a double quote, up to N raw bytes, a double quote. A shorter text is
// padded with zero bytes; a double quote always ends the text (no escapes).
template <std::size_t N, class Base, unsigned P, class Iter>
std::istream& read_array(std::istream& is, unsigned int, const binary::array<char, N, Base, P, Iter>& a) {
    const std::istream::sentry ok(is);
    if (!ok)
        return is;
    text_detail::expect(is, '"');
    std::size_t i = 0;
    if (!is.rdstate()) {
        for (; i < N; ++i) {
            const std::istream::int_type c = is.rdbuf()->sgetc();
            if (std::istream::traits_type::eq_int_type(c, std::istream::traits_type::eof())) {
                is.setstate(std::ios_base::eofbit | std::ios_base::failbit);
                break;
            }
            if (std::istream::traits_type::to_char_type(c) == '"')
                break;
            a[i] = std::istream::traits_type::to_char_type(c);
            is.rdbuf()->sbumpc();
        }
    }
    for (; i < N; ++i)
        a[i] = '\0';
    text_detail::expect(is, '"');
    return is;
}

namespace text_detail {

template <class M>
void get_member(std::istream& is, const M& m) {
    constexpr member_kind k = kind_of<M>;
    if constexpr (k == member_kind::field)
        get_value(is, m);
    else if constexpr (k == member_kind::array)
        read_array(is, static_cast<unsigned int>(M::size()), m);
}

// The fields of one element: the first bare, the others after ','.
template <class Element>
void get_element(std::istream& is, const Element& element) {
    bool first = true;
    Element::for_each_member(element, [&](const char*, const auto& f) {
        if (!first)
            expect(is, ',');
        first = false;
        get_value(is, f);
    });
}

// The sequence of a body: "[{a, b}, {c, d}]", brace-less ", a, b, c, d".
// Element k is produced by element_at(k), which may grow the storage; at most
// `capacity` elements are read; `count` receives the number begun.
template <class ElementAt>
void get_sequence(std::istream& is, bool braceless, std::int64_t capacity, ElementAt& element_at,
                  std::int64_t& count) {
    if (!braceless) {
        expect(is, ',');
        expect(is, '[');
        is >> std::ws;
    }
    std::streambuf* const sb = is.rdbuf();
    for (;;) {
        if (is.rdstate()) {
            if (!braceless)
                expect(is, ']');
            return;
        }
        const auto c = sb->sgetc();
        if (std::istream::traits_type::eq_int_type(c, std::istream::traits_type::eof())) {
            is.setstate(std::ios_base::eofbit);
            break;
        }
        const char ch = std::istream::traits_type::to_char_type(c);
        if (ch != ',' && ch != '{')
            break;
        if (count == capacity) {
            is.setstate(std::ios_base::failbit);
            return;
        }
        ++count;
        expect(is, braceless ? ',' : '{');
        get_element(is, element_at(count - 1));
        if (!braceless) {
            expect(is, '}');
            if (!is.rdstate() && sb->sgetc() == ',')
                sb->sbumpc();
            is >> std::ws;
        }
    }
    if (!braceless)
        expect(is, ']');
}

// Reads the body text of a view: the fixed members after ',' each, then the
// sequence, if any (see get_sequence). False when nothing could be read at
// all (the stream was not good or held only white space).
template <class View, class ElementAt>
bool read_body(std::istream& is, const View& view, std::int64_t capacity, ElementAt&& element_at,
               std::int64_t& count) {
    count = 0;
    const std::istream::sentry ok(is);
    if (!ok)
        return false;
    const bool braceless = is_zpk_braceless(is);
    View::for_each_member(view, [&](const char*, const auto& m) {
        using M = std::remove_cvref_t<decltype(m)>;
        if constexpr (kind_of<M> != member_kind::sequence) {
            expect(is, ',');
            get_member(is, m);
        } else {
            get_sequence(is, braceless, capacity, element_at, count);
        }
    });
    return true;
}

} // namespace text_detail

// Reads the body text of one packet into a view over writable words. For a
// type with a sequence, the view's element count is taken as the room for
// elements and replaced by the number of elements read; a further element in
// the text sets failbit.
template <class View>
    requires packet_view_with_fields<View> &&
             writable_words<typename is_packet_view<std::remove_cvref_t<View>>::iterator>
std::istream& operator>>(std::istream& is, View&& view) {
    using V = std::remove_cvref_t<View>;
    std::int64_t count = 0;
    if constexpr (V::has_sequence) {
        const auto& sequence = view.*V::sequence_member;
        // Never beyond the words the view was built over.
        const std::int64_t capacity = view.count < sequence.size() ? view.count : sequence.size();
        if (text_detail::read_body(is, view, capacity,
                                   [&](std::int64_t k) { return sequence[static_cast<std::size_t>(k)]; }, count))
            view.count = count;
    } else {
        text_detail::read_body(is, view, 0, nullptr, count);
    }
    return is;
}

// Reads the body of the packet with id (main, sub) into `words`: the fields
// of the id's layout, nothing for a field-less type, a list of hexadecimal
// words (", 0x1, 0xabcd") for an id without a layout. The words are trimmed
// to those the body fills. True when the stream's state is clear afterwards.
template <class Ch, class Tr, class Word>
bool qodataspec_read(std::vector<Word>& words, unsigned int main, unsigned int sub, std::basic_istream<Ch, Tr>& is);

extern template bool qodataspec_read<char, std::char_traits<char>, unsigned int>(std::vector<unsigned int>&,
                                                                                unsigned int, unsigned int,
                                                                                std::istream&);

} // namespace scanlib
