#pragma once
// Checks of the generated packet views against the catalogue's own
// description of every member (packet_layout.inc). The 250 types are split
// over several test units (type number modulo catalogue_parts) so that
// their instantiations compile in parallel.

#include <scanlib/generated/packets.hpp>
#include <scanlib/packet_view.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

constexpr unsigned catalogue_parts = 4;

// ---- the catalogue's description, independent of the views ----

struct field_row {
    unsigned type, index;
    char const* name;
    char kind, letter;
    unsigned width, bit, count;
};
struct sequence_row {
    unsigned type;
    char const* name;
    unsigned bit, element_bits, max;
};
constexpr field_row field_rows[] = {
#define SCANLIB_LAYOUT_FIELD(type, index, name, kind, letter, width, bit, count) \
    {type, index, #name, kind, letter, width, bit, count},
#include <scanlib/generated/packet_layout.inc>
};
constexpr field_row element_rows[] = {
#define SCANLIB_LAYOUT_ELEMENT(type, index, name, kind, letter, width, bit) \
    {type, index, #name, kind, letter, width, bit, 1},
#include <scanlib/generated/packet_layout.inc>
};
constexpr sequence_row sequence_rows[] = {
#define SCANLIB_LAYOUT_SEQUENCE(type, name, bit, element_bits, max) {type, #name, bit, element_bits, max},
#include <scanlib/generated/packet_layout.inc>
};

std::vector<field_row> rows_of(std::span<field_row const> rows, unsigned type)
{
    std::vector<field_row> out;
    for (auto const& r : rows)
        if (r.type == type)
            out.push_back(r);
    return out;
}
std::vector<field_row> fields_of(unsigned type) { return rows_of(field_rows, type); }
std::vector<field_row> elements_of(unsigned type) { return rows_of(element_rows, type); }
sequence_row const* sequence_of(unsigned type)
{
    for (auto const& s : sequence_rows)
        if (s.type == type)
            return &s;
    return nullptr;
}

using words = std::vector<unsigned int>;

void set_bits(words& w, std::size_t bit, std::size_t n)
{
    for (std::size_t b = bit; b < bit + n; ++b)
        w.at(b / 32) |= 1u << (b % 32);
}

// Body words that a test lays out for a type: the fixed part, plus three
// elements and a partial one for a sequence type.
std::size_t test_words(unsigned type)
{
    if (auto s = sequence_of(type))
        return (s->bit + 3 * s->element_bits + s->element_bits / 2 + 31) / 32;
    std::size_t end = 0;
    for (auto const& f : fields_of(type))
        end = std::max<std::size_t>(end, f.bit + std::size_t(f.width) * f.count);
    return (end + 31) / 32;
}

// ---- what a member is, from its accessor type ----

template<class A>
struct kind_of : std::integral_constant<char, 'F'> {};
template<class T, std::size_t N, class B, unsigned P, class I>
struct kind_of<binary::array<T, N, B, P, I>> : std::integral_constant<char, std::is_same_v<T, char> ? 'T' : 'A'> {};
template<class E, unsigned W, unsigned P, class I>
struct kind_of<binary::sequence<E, W, P, I>> : std::integral_constant<char, 'S'> {};

template<class T>
T all_ones()
{
    if constexpr (std::is_same_v<T, float>)
        return std::bit_cast<float>(~std::uint32_t(0));
    else if constexpr (std::is_same_v<T, double>)
        return std::bit_cast<double>(~std::uint64_t(0));
    else
        return static_cast<T>(~T{});
}

template<class A>
void set_ones(A const& a)
{
    using T = typename A::value_type;
    if constexpr (kind_of<A>::value == 'F') {
        a = all_ones<T>();
    } else {
        for (std::size_t i = 0; i < A::size(); ++i)
            a[i] = all_ones<T>();
    }
}

template<class T>
std::uint64_t raw(T v)
{
    std::uint64_t r = 0;
    std::memcpy(&r, &v, sizeof v);
    return r;
}

// Every value a view (or element) delivers, as raw bits, in member order.
template<class V>
void collect(V const& view, std::vector<std::uint64_t>& out)
{
    scanlib::for_each_member(view, [&](char const*, auto const& m) {
        using A = std::remove_cvref_t<decltype(m)>;
        if constexpr (kind_of<A>::value == 'F') {
            out.push_back(raw(static_cast<typename A::value_type>(m)));
        } else if constexpr (kind_of<A>::value == 'S') {
            for (std::int64_t i = 0; i < m.size(); ++i)
                collect(m[i], out);
        } else {
            for (std::size_t i = 0; i < A::size(); ++i)
                out.push_back(raw(static_cast<typename A::value_type>(m[i])));
        }
    });
}

// Every value of a record: its members, then the count and the elements.
template<class R>
void collect_record(R const& r, std::vector<std::uint64_t>& out)
{
    scanlib::for_each_member(r, [&](char const*, auto const& v) {
        if constexpr (scanlib::detail::is_std_array<std::remove_cvref_t<decltype(v)>>::value) {
            for (auto x : v)
                out.push_back(raw(x));
        } else {
            out.push_back(raw(v));
        }
    });
    if constexpr (requires { R::sequence_member; }) {
        for (std::uint64_t i = 0; i < r.count; ++i)
            collect_record((r.*R::sequence_member)[i], out);
    }
}

words random_words(std::size_t n, std::mt19937& rng)
{
    words w(n);
    for (auto& x : w)
        x = static_cast<unsigned int>(rng());
    return w;
}

// The bits a view's members cover in a body of n words, from the catalogue.
words footprint(unsigned type, std::size_t n, std::uint64_t elements)
{
    words m(n);
    for (auto const& f : fields_of(type))
        set_bits(m, f.bit, std::size_t(f.width) * f.count);
    if (auto s = sequence_of(type))
        for (std::uint64_t i = 0; i < elements; ++i)
            for (auto const& e : elements_of(type))
                set_bits(m, s->bit + i * s->element_bits + e.bit, e.width);
    return m;
}

// ---- the checks ----
// The templates only drive the views and gather what they see; every
// assertion is in plain functions, which keeps 250 instantiations cheap to
// compile.

// The static description a view type gives of itself.
struct view_facts {
    char const* name;
    unsigned type;
    bool has_sequence;
    std::size_t view_members, record_members, element_members;
    unsigned main_id, sub_id;
};

template<template<class> class P>
view_facts facts_of()
{
    std::size_t element_members = 0;
    if constexpr (P<void>::has_sequence)
        element_members = P<unsigned int*>::element::member_count;
    return {P<void>::packet_name, P<void>::packet_type, P<void>::has_sequence, P<unsigned int*>::member_count,
            P<void>::member_count, element_members, P<void>::main_id, P<void>::sub_id};
}

// Member k of a view, as the view reports it.
struct seen_member {
    std::string name;
    char kind = 0;
    std::int64_t count = 0;  // elements, for a sequence
};

void verify_field(view_facts const& v, std::size_t k, seen_member const& m, words const& body)
{
    auto const fields = fields_of(v.type);
    ASSERT_LT(k, fields.size()) << v.name;
    auto const& f = fields[k];
    EXPECT_EQ(m.name, f.name) << v.name;
    EXPECT_EQ(m.kind, f.kind) << v.name << "." << f.name;
    words expect(body.size());
    set_bits(expect, f.bit, std::size_t(f.width) * f.count);
    EXPECT_EQ(body, expect) << v.name << "." << f.name;
}

void verify_element(view_facts const& v, std::size_t j, seen_member const& seq, std::string const& name,
                    words const& body)
{
    auto const* s = sequence_of(v.type);
    auto const elements = elements_of(v.type);
    ASSERT_TRUE(s) << v.name;
    ASSERT_LT(j, elements.size()) << v.name;
    EXPECT_EQ(seq.kind, 'S') << v.name;
    EXPECT_EQ(seq.name, s->name) << v.name;
    EXPECT_EQ(seq.count, (std::int64_t(body.size()) * 32 - s->bit) / s->element_bits) << v.name;
    auto const& e = elements[j];
    EXPECT_EQ(name, e.name) << v.name;
    words expect(body.size());
    for (std::int64_t i = 0; i < seq.count; ++i)
        set_bits(expect, s->bit + i * s->element_bits + e.bit, e.width);
    EXPECT_EQ(body, expect) << v.name << "." << s->name << "." << e.name;
}

// Sets every bit of member k (for a sequence: of element field j in every
// element) through the writable view.
template<class View>
seen_member write_ones(View const& view, std::size_t k, std::size_t j)
{
    seen_member seen;
    std::size_t i = 0;
    scanlib::for_each_member(view, [&](char const* name, auto const& m) {
        if (i++ != k)
            return;
        using A = std::remove_cvref_t<decltype(m)>;
        seen.name = name;
        seen.kind = kind_of<A>::value;
        if constexpr (kind_of<A>::value == 'S') {
            seen.count = m.size();
            for (std::int64_t e = 0; e < m.size(); ++e) {
                std::size_t f = 0;
                scanlib::for_each_member(m[e], [&](char const*, auto const& field) {
                    if (f++ == j)
                        set_ones(field);
                });
            }
        } else {
            set_ones(m);
        }
    });
    return seen;
}

template<class Element>
std::string element_name(Element const& e, std::size_t j)
{
    std::string out;
    std::size_t f = 0;
    scanlib::for_each_member(e, [&](char const* name, auto const&) {
        if (f++ == j)
            out = name;
    });
    return out;
}

// The member counts a view reports against the catalogue; false stops the
// checks of that view.
bool verify_members(view_facts const& v)
{
    auto const* seq = sequence_of(v.type);
    std::size_t const fixed = fields_of(v.type).size();
    EXPECT_EQ(v.view_members, fixed + (seq ? 1 : 0)) << v.name;
    EXPECT_EQ(v.record_members, fixed) << v.name;
    EXPECT_EQ(v.element_members, seq ? elements_of(v.type).size() : 0) << v.name;
    return v.view_members == fixed + (seq ? 1 : 0) && v.element_members == (seq ? elements_of(v.type).size() : 0);
}

template<template<class> class P>
void check_footprint(unsigned)
{
    using view_t = P<unsigned int*>;
    view_facts const v = facts_of<P>();
    if (!verify_members(v))
        return;
    std::size_t const n = test_words(v.type);
    words body(n);
    view_t const view(body.data(), body.data() + n);
    std::size_t const fixed = v.record_members;
    for (std::size_t k = 0; k < fixed; ++k) {
        std::fill(body.begin(), body.end(), 0u);
        verify_field(v, k, write_ones(view, k, 0), body);
    }
    if constexpr (P<void>::has_sequence) {
        using element_t = typename view_t::element;
        for (std::size_t j = 0; j < element_t::member_count; ++j) {
            std::fill(body.begin(), body.end(), 0u);
            seen_member const s = write_ones(view, fixed, j);
            verify_element(v, j, s, element_name(element_t(body.data(), 0), j), body);
        }
    }
}

void verify_sizes(view_facts const& v, unsigned type)
{
    auto const& size = scanlib::packet_sizes[type];
    EXPECT_EQ(v.type, type) << v.name;
    EXPECT_EQ(v.has_sequence, sequence_of(type) != nullptr) << v.name;
    if (auto s = sequence_of(type)) {
        EXPECT_TRUE(size.has_sequence()) << v.name;
        EXPECT_EQ(size.sequence_bit, s->bit) << v.name;
        EXPECT_EQ(size.element_bits, s->element_bits) << v.name;
        EXPECT_EQ(size.max_count, s->max) << v.name;
        EXPECT_EQ(size.fixed_words, (s->bit + 31) / 32) << v.name;
    } else {
        EXPECT_FALSE(size.has_sequence()) << v.name;
        EXPECT_EQ(size.fixed_words, test_words(type)) << v.name;
        EXPECT_LE(size.fixed_words, scanlib::max_fixed_words) << v.name;
    }
}

template<template<class> class P>
void check_sizes(unsigned type)
{
    verify_sizes(facts_of<P>(), type);
}

// Element count a view reports over n words, or -1 when it refuses them with
// "Missing data for sequence.".
template<template<class> class P>
std::int64_t count_over(std::size_t n)
{
    words body(n);
    try {
        P<unsigned int const*> const view(body.data(), body.data() + n);
        std::int64_t seq_size = -2;
        scanlib::for_each_member(view, [&](char const*, auto const& m) {
            if constexpr (kind_of<std::remove_cvref_t<decltype(m)>>::value == 'S')
                seq_size = m.size();
        });
        return view.count == seq_size ? view.count : -2;
    } catch (std::range_error const& e) {
        return std::string_view(e.what()) == "Missing data for sequence." ? -1 : -3;
    }
}

void verify_counts(unsigned type, std::vector<std::int64_t> const& counts)
{
    auto const* s = sequence_of(type);
    ASSERT_TRUE(s);
    for (std::size_t n = 0; n < counts.size(); ++n) {
        std::int64_t const bits = std::int64_t(n) * 32;
        std::int64_t const expect = bits < s->bit ? -1 : (bits - s->bit) / s->element_bits;
        EXPECT_EQ(counts[n], expect) << s->name << " over " << n << " words";
    }
}

template<template<class> class P>
void check_sequence(unsigned type)
{
    if constexpr (P<void>::has_sequence) {
        auto const& size = scanlib::packet_sizes[type];
        std::size_t const last = (size.sequence_bit + 3 * size.element_bits + 31) / 32 + 2;
        std::vector<std::int64_t> counts;
        for (std::size_t n = 0; n <= last; ++n)
            counts.push_back(count_over<P>(n));
        verify_counts(type, counts);
    }
}

struct round_trip {
    words original, written;
    std::uint64_t view_count = 0, record_count = 0, capacity = 0;
    std::vector<std::uint64_t> first, second;
};

void verify_round_trip(view_facts const& v, round_trip const& r)
{
    std::uint64_t const elements = std::min(r.view_count, r.capacity);
    EXPECT_EQ(r.record_count, elements) << v.name;
    // Exactly the record's bits were stored, and nothing else.
    words const mask = footprint(v.type, r.original.size(), elements);
    for (std::size_t i = 0; i < r.original.size(); ++i)
        EXPECT_EQ(r.written[i], r.original[i] & mask[i]) << v.name << " word " << i;
    EXPECT_EQ(r.first, r.second) << v.name;
}

template<template<class> class P>
void check_round_trip(unsigned type, std::mt19937& rng)
{
    std::size_t const n = test_words(type);
    round_trip r;
    r.original = random_words(n, rng);
    r.written.resize(n);
    P<unsigned int const*> const in(r.original.data(), r.original.data() + n);
    P<void> const record = in;
    P<unsigned int*> const out(r.written.data(), r.written.data() + n);
    out = record;
    if constexpr (P<void>::sequence_capacity > 0) {
        r.view_count = static_cast<std::uint64_t>(in.count);
        r.record_count = record.count;
        r.capacity = P<void>::sequence_capacity;
    }
    P<unsigned int const*> const again(r.written.data(), r.written.data() + n);
    P<void> const back = again;
    collect_record(record, r.first);
    collect_record(back, r.second);
    verify_round_trip(facts_of<P>(), r);
}

void verify_padding(view_facts const& v, words const& body, scanlib::padded_body const& padded,
                    std::size_t values)
{
    std::size_t const fixed = scanlib::packet_sizes[v.type].fixed_words;
    std::size_t const n = body.size();
    if (v.has_sequence || n >= fixed) {
        EXPECT_FALSE(padded.padded()) << v.name;
        EXPECT_EQ(padded.begin(), body.data()) << v.name;
        EXPECT_EQ(padded.end(), body.data() + n) << v.name;
        return;
    }
    ASSERT_TRUE(padded.padded()) << v.name;
    ASSERT_EQ(std::size_t(padded.end() - padded.begin()), fixed) << v.name;
    for (std::size_t i = 0; i < fixed; ++i)
        EXPECT_EQ(padded.begin()[i], i < n ? body[i] : 0u) << v.name << " word " << i;
    EXPECT_EQ(values == 0, fixed == 0) << v.name;
}

template<template<class> class P>
void check_padding(unsigned type, std::mt19937& rng)
{
    std::size_t const fixed = scanlib::packet_sizes[type].fixed_words;
    for (std::size_t n = 0; n <= fixed; ++n) {
        // Exactly n words on the heap, so reading past them is caught.
        words const body = random_words(n, rng);
        scanlib::padded_body const padded(type, body.data(), body.data() + n);
        std::vector<std::uint64_t> values;
        if constexpr (!P<void>::has_sequence) {
            P<unsigned int const*> const view(padded.begin(), padded.end());
            P<void> const record = view;  // reads every field
            collect_record(record, values);
        }
        verify_padding(facts_of<P>(), body, padded, values.size());
    }
}

void verify_family(view_facts const& older, view_facts const& newer, std::vector<std::uint64_t> a,
                   std::vector<std::uint64_t> b)
{
    ASSERT_LE(a.size(), b.size()) << older.name << " < " << newer.name;
    b.resize(a.size());
    EXPECT_EQ(a, b) << older.name << " < " << newer.name;
    EXPECT_EQ(older.main_id, newer.main_id) << newer.name;
    EXPECT_LT(older.sub_id, newer.sub_id) << newer.name;
}

template<template<class> class Older, template<class> class Newer>
void check_family(std::mt19937& rng)
{
    std::size_t const n = scanlib::packet_sizes[Newer<void>::packet_type].fixed_words;
    words const body = random_words(n, rng);
    Older<unsigned int const*> const older(body.data(), body.data() + n);
    Newer<unsigned int const*> const newer(body.data(), body.data() + n);
    std::vector<std::uint64_t> a, b;
    collect(older, a);
    collect(newer, b);
    verify_family(facts_of<Older>(), facts_of<Newer>(), std::move(a), std::move(b));
}

// Runs check.run<view>(type) for every type of one part.
template<unsigned Part, class Check>
void for_part(Check const& check)
{
#define SCANLIB_PACKET(type, name, main, sub) \
    if constexpr (type % catalogue_parts == Part) \
        check.template run<scanlib::name>(type);
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET
}

struct footprint_check {
    template<template<class> class P> void run(unsigned type) const { check_footprint<P>(type); }
};
struct sizes_check {
    template<template<class> class P> void run(unsigned type) const { check_sizes<P>(type); }
};
struct sequence_check {
    template<template<class> class P> void run(unsigned type) const { check_sequence<P>(type); }
};
struct round_trip_check {
    std::mt19937* rng;
    template<template<class> class P> void run(unsigned type) const { check_round_trip<P>(type, *rng); }
};
struct padding_check {
    std::mt19937* rng;
    template<template<class> class P> void run(unsigned type) const { check_padding<P>(type, *rng); }
};

template<unsigned Part>
int check_families(std::mt19937& rng)
{
    int pairs = 0;
#define SCANLIB_LAYOUT_FAMILY(older_type, newer_type, older_name, newer_name) \
    if constexpr (newer_type % catalogue_parts == Part) {                     \
        check_family<scanlib::older_name, scanlib::newer_name>(rng);          \
        ++pairs;                                                              \
    }
#include <scanlib/generated/packet_layout.inc>
    return pairs;
}

}  // namespace

// The generic checks for the types of one part.
#define SCANLIB_CATALOGUE_VIEW_TESTS(PART)                                  \
    TEST(CatalogueViews, FootprintOfEveryMember_##PART)                     \
    {                                                                       \
        for_part<PART>(footprint_check{});                                  \
    }                                                                       \
    TEST(CatalogueViews, SizeTable_##PART)                                  \
    {                                                                       \
        for_part<PART>(sizes_check{});                                      \
    }                                                                       \
    TEST(CatalogueViews, SequenceCountAndMissingData_##PART)                \
    {                                                                       \
        for_part<PART>(sequence_check{});                                   \
    }                                                                       \
    TEST(CatalogueViews, RecordRoundTrip_##PART)                            \
    {                                                                       \
        std::mt19937 rng(7 + PART);                                         \
        for_part<PART>(round_trip_check{&rng});                             \
    }                                                                       \
    TEST(CatalogueViews, ShortBodyIsPaddedNotOverread_##PART)               \
    {                                                                       \
        std::mt19937 rng(11 + PART);                                        \
        for_part<PART>(padding_check{&rng});                                \
    }                                                                       \
    TEST(CatalogueViews, OlderSubsReadNewerPackets_##PART)                  \
    {                                                                       \
        std::mt19937 rng(3 + PART);                                         \
        EXPECT_GT(check_families<PART>(rng), 0);                            \
    }
