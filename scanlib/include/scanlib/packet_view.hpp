#pragma once

// Support for the generated packet views (<scanlib/generated/packets.hpp>):
// the member descriptions that generic code iterates over, the copies
// between views and value records, and the zero-padded view of a short body.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include <scanlib/generated/packet_sizes.hpp>

namespace scanlib {

// Word iterators through which a view may store.
template<class Iter>
concept writable_words = requires(Iter it, unsigned int w) { *it = w; };

// Calls f(name, member) for every member of a view, a sequence element or a
// value record, in catalogue order (a view's sequence comes last). The member
// is the accessor itself (binary::field, binary::array, binary::sequence) or,
// in a record, the plain value (std::array for arrays and text). A record's
// sequence elements (`count` and the element array) are not members.
// Every such type T also has `static constexpr std::size_t member_count`.
template<class View, class F>
constexpr void for_each_member(View&& view, F&& f)
{
    std::remove_cvref_t<View>::for_each_member(view, f);
}

namespace detail {

template<class T>
struct is_std_array : std::false_type {};
template<class T, std::size_t N>
struct is_std_array<std::array<T, N>> : std::true_type {};

template<class T, std::size_t N, class Array>
void load_array(std::array<T, N>& values, Array const& a)
{
    for (std::size_t i = 0; i < N; ++i)
        values[i] = a[i];
}

template<class Array, class T, std::size_t N>
void store_array(Array const& a, std::array<T, N> const& values)
{
    for (std::size_t i = 0; i < N; ++i)
        a[i] = values[i];
}

}  // namespace detail

// A packet body made long enough for its layout's fixed fields.
//
// Without strict size checks a body may be shorter than the fixed part of a
// type without a sequence; its view would then read past the packet. This
// copies such a body into a zero-filled buffer of the fixed size and ranges
// over that; any other body is ranged over in place. A sequence type's body
// is never padded: its view refuses a body shorter than the sequence start
// ("Missing data for sequence."). No allocation; the buffer lives in this
// object, so it must outlive the view built over it.
class padded_body {
public:
    padded_body(std::size_t type, unsigned int const* begin, unsigned int const* end) noexcept
        : begin_(begin), end_(end)
    {
        if (type >= packet_sizes.size())
            return;
        packet_size const& size = packet_sizes[type];
        auto const have = static_cast<std::size_t>(end - begin);
        if (size.has_sequence() || have >= size.fixed_words)
            return;
        std::copy(begin, end, words_);
        std::fill(words_ + have, words_ + size.fixed_words, 0u);
        begin_ = words_;
        end_ = words_ + size.fixed_words;
    }
    template<class Type>
        requires std::is_enum_v<Type>
    padded_body(Type type, unsigned int const* begin, unsigned int const* end) noexcept
        : padded_body(static_cast<std::size_t>(type), begin, end)
    {
    }
    padded_body(padded_body const&) = delete;
    padded_body& operator=(padded_body const&) = delete;

    unsigned int const* begin() const noexcept { return begin_; }
    unsigned int const* end() const noexcept { return end_; }
    // True when the body was shorter than its fixed part and was copied.
    bool padded() const noexcept { return begin_ == words_; }

private:
    unsigned int const* begin_;
    unsigned int const* end_;
    unsigned int words_[max_fixed_words];
};

}  // namespace scanlib
