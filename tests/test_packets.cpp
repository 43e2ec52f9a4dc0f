// The packet visitor: offers, fallback chains, selector, unknown ids, header
// reload, strict checks and their source lines, sequence counts, allocations.
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <scanlib/packets.hpp>
#include <scanlib/scanexcept.hpp>

#include "zpk_support.hpp"

// Every global allocation of this test program is counted, so a test can
// prove that a stretch of code allocates nothing.
namespace {
std::atomic<std::size_t> allocations{0};
}

// The replacements pair malloc with free; the compiler cannot tell that the
// new expressions it sees end up here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, std::nothrow_t const&) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, std::nothrow_t const& t) noexcept { return ::operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::nothrow_t const&) noexcept { std::free(p); }
void operator delete[](void* p, std::nothrow_t const&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using namespace scanlib;
using words = std::vector<unsigned int>;
using iterator = basic_packets::iterator;

words explicit_packet(unsigned main, unsigned sub, words body = {})
{
    words p{0xFFFFFFFFu, (main << 16) | sub};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

words keyed_packet(unsigned key, words body = {})
{
    words p{0xFFFFFF00u + key};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

// A header packet with an all-zero fixed part and the given id list.
words header_packet(std::vector<std::pair<unsigned, unsigned>> const& ids)
{
    words body(12, 0);
    for (auto [main, sub] : ids)
        body.push_back((main << 16) | sub);
    return explicit_packet(1, 0, body);
}

bool send(basic_packets& v, words const& p)
{
    iterator const b = p.data(), e = p.data() + p.size();
    return v.dispatch(b, e);
}

// One observed call of a visitor.
struct event {
    enum kind_t { id, handler, unknown } kind;
    std::string_view name;  // handler: the view's packet name
    unsigned main, sub;     // id: offered id; unknown: the packet's own id
    std::int64_t count;     // handler of a sequence type: the element count
    std::uint64_t highest;  // ... and the sequence's read marks
    bool accessed;
    std::ptrdiff_t body_words;

    bool operator==(event const&) const = default;
};

template<class T>
inline constexpr bool is_sequence = false;
template<class E, unsigned W, unsigned P, class I>
inline constexpr bool is_sequence<binary::sequence<E, W, P, I>> = true;

// Reads every field of a view, every element of its sequence included.
struct reader {
    std::uint64_t sum = 0;

    template<class M>
    void operator()(char const*, M const& m)
    {
        if constexpr (is_sequence<M>) {
            for (std::size_t i = 0; i < static_cast<std::size_t>(m.size()); ++i)
                for_each_member(m[i], *this);
        } else if constexpr (requires { m.size(); }) {
            for (std::size_t i = 0; i < m.size(); ++i)
                add(static_cast<typename M::value_type>(m[i]));
        } else {
            add(static_cast<typename M::value_type>(m));
        }
    }

    template<class T>
    void add(T v)
    {
        if constexpr (std::is_floating_point_v<T>)
            sum += std::bit_cast<std::uint64_t>(static_cast<double>(v));
        else
            sum += static_cast<std::uint64_t>(v);
    }
};

// Records every call in a fixed array (no allocation while dispatching).
class recorder : public basic_packets {
public:
    using basic_packets::basic_packets;

    std::array<event, 64> events{};
    std::size_t n = 0;
    bool handle = false;      // handlers clear not_handled
    bool read_fields = false; // handlers read every field of their view
    std::uint64_t field_sum = 0;

    void on_id(package_id const& id, basic_package<iterator> const&) override
    {
        push({event::id, {}, id.main, id.sub, 0, 0, false, 0});
    }

#define SCANLIB_PACKET(type, name, main, sub) \
    void on_##name(name<iterator> const& v) override { seen(v); }
#include <scanlib/generated/packet_types.inc>
#undef SCANLIB_PACKET

    void on_unknown(unsigned main, unsigned sub, iterator const& b, iterator const& e) override
    {
        push({event::unknown, {}, main, sub, 0, 0, false, e - b});
        if (handle)
            not_handled = false;
    }

    std::vector<std::string_view> handlers() const
    {
        std::vector<std::string_view> out;
        for (std::size_t i = 0; i < n; ++i)
            if (events[i].kind == event::handler)
                out.push_back(events[i].name);
        return out;
    }
    std::vector<std::pair<unsigned, unsigned>> ids() const
    {
        std::vector<std::pair<unsigned, unsigned>> out;
        for (std::size_t i = 0; i < n; ++i)
            if (events[i].kind == event::id)
                out.emplace_back(events[i].main, events[i].sub);
        return out;
    }
    event const& last() const { return events[n - 1]; }
    void clear() { n = 0; }

private:
    void push(event const& e)
    {
        if (n < events.size())
            events[n] = e;
        ++n;
    }

    template<class View>
    void seen(View const& v)
    {
        event e{event::handler, View::packet_name, current_id.main, current_id.sub, 0, 0, false, 0};
        if constexpr (View::has_sequence) {
            e.count = v.count;
            e.highest = (v.*View::sequence_member).highest();
            e.accessed = (v.*View::sequence_member).accessed();
        }
        push(e);
        if (read_fields) {
            reader r;
            for_each_member(v, r);
            field_sum += r.sum;
        }
        if (handle)
            not_handled = false;
    }
};

std::string error_text(recorder& v, words const& p)
{
    try {
        send(v, p);
    } catch (std::exception const& e) {
        return e.what();
    }
    return "(no exception)";
}

bool ends_with(std::string const& s, std::string const& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::size_t type_of(std::string const& name)
{
    return static_cast<package_id::type>(package_id::id_from_name.at(name));
}

// Words of a body that holds the fixed part of a type (the sequence start for
// a sequence type) and nothing more.
std::size_t minimal_words(std::size_t t)
{
    packet_size const& s = packet_sizes[t];
    return s.has_sequence() ? (s.sequence_bit + 31) / 32 : s.fixed_words;
}

// ---------------------------------------------------------------------------
// Fallback chains

struct chain_case {
    unsigned main, sub;
    std::vector<std::string_view> handlers;
};

TEST(PacketsFallback, ChainsTheOlderLayoutsRelyOn)
{
    std::vector<chain_case> const cases{
        {10, 2, {"laser_shot_2angles", "laser_shot_1angle", "laser_shot"}},
        {11, 1, {"laser_echo_qual", "laser_echo"}},
        {2, 4, {"units_4", "units_3", "units_2", "units_1", "units"}},
        {27, 4, {"atmosphere_4", "atmosphere_3", "atmosphere_2", "atmosphere_1", "atmosphere"}},
        {81, 1, {"mta_settings_2", "mta_settings_1"}},
        {81, 2, {"mta_settings_3", "mta_settings_2", "mta_settings_1"}},
        {12, 1, {"pps_sync_ext", "pps_sync"}},
        {70, 1, {"pps_sync_hr_ext", "pps_sync_hr"}},
        {34, 1, {"range_finder_debug_laser_1", "range_finder_debug_laser"}},
        {42, 0, {"echo"}},
    };
    for (auto const& c : cases) {
        recorder v;
        words const p = explicit_packet(c.main, c.sub, words(200, 0));
        EXPECT_FALSE(send(v, p));
        EXPECT_EQ(v.handlers(), c.handlers) << c.main << "," << c.sub;
        // on_id precedes each handler with the id of that layout.
        ASSERT_EQ(v.n, 2 * c.handlers.size());
        for (std::size_t i = 0; i < c.handlers.size(); ++i) {
            EXPECT_EQ(v.events[2 * i].kind, event::id);
            EXPECT_EQ(v.events[2 * i].main, c.main);
            EXPECT_EQ(v.events[2 * i].sub, c.sub - i);
            EXPECT_EQ(v.events[2 * i + 1].sub, c.sub - i);
        }
    }
}

TEST(PacketsFallback, SameTypeIsNotOfferedTwice)
{
    recorder v;
    // (2, 6) converts to units_4 at subs 6, 5 and 4: units_4 is offered once.
    send(v, explicit_packet(2, 6, words(40, 0)));
    EXPECT_EQ(v.handlers(), (std::vector<std::string_view>{"units_4", "units_3", "units_2", "units_1",
                                                            "units"}));
    EXPECT_EQ(v.ids(), (std::vector<std::pair<unsigned, unsigned>>{{2, 6}, {2, 3}, {2, 2}, {2, 1}, {2, 0}}));

    // A kind with one layout is offered once whatever its sub.
    for (unsigned sub : {1u, 2u, 0xFFFFu}) {
        v.clear();
        send(v, explicit_packet(42, sub, words(3, 0)));
        EXPECT_EQ(v.handlers(), std::vector<std::string_view>{"echo"}) << sub;
        EXPECT_EQ(v.ids(), (std::vector<std::pair<unsigned, unsigned>>{{42, sub}}));
    }
}

TEST(PacketsFallback, HandledPacketIsOfferedOnce)
{
    recorder v;
    v.handle = true;
    send(v, explicit_packet(2, 6, words(40, 0)));
    EXPECT_EQ(v.handlers(), std::vector<std::string_view>{"units_4"});
    EXPECT_FALSE(v.not_handled);
}

// Against the offers as a literal loop over every sub from the packet's own
// down to 0, skipping ids whose type equals the previous one's.
TEST(PacketsFallback, MatchesTheLoopOverEverySub)
{
    recorder v;
    for (std::size_t t = 1; t < 251; ++t) {
        package_id const own = package_id::name_from_type[t].second;
        if (own.main > 0xFFFF)
            continue;
        for (unsigned sub : {own.sub, own.sub + 1, own.sub + 7, 0xFFFFu}) {
            if (sub > 0xFFFF || t == 247)
                continue;
            std::vector<std::pair<unsigned, unsigned>> expected;
            std::size_t previous = 251;
            for (unsigned k = 0; k <= sub; ++k) {
                package_id const id{own.main, sub - k};
                std::size_t const type = static_cast<package_id::type>(id);
                if (type != previous)
                    expected.emplace_back(id.main, id.sub);
                previous = type;
            }
            v.clear();
            v.strict = false;
            send(v, explicit_packet(own.main, sub, words(300, 0)));
            EXPECT_EQ(v.ids(), expected) << package_id::name_from_type[t].first << " sub " << sub;
        }
    }
}

// Every id reaches the handler of the type package_id converts it to.
TEST(PacketsFallback, FirstOfferIsTheIdsType)
{
    recorder v;
    v.handle = true;
    words p = explicit_packet(0, 0, words(400, 0));
    for (unsigned main = 0; main <= 0xFFFF; ++main)
        for (unsigned sub : {0u, 1u, 5u, 0xFFFFu}) {
            p[1] = (main << 16) | sub;
            v.clear();
            send(v, p);
            ASSERT_EQ(v.n, 2u);
            std::string const expected = package_id(main, sub).string();
            if (expected == "unknown")
                ASSERT_EQ(v.last().kind, event::unknown) << main << "," << sub;
            else
                ASSERT_EQ(v.last().name, expected) << main << "," << sub;
        }
}

// Ids with 32-bit halves only come from a table filled by hand.
TEST(PacketsFallback, EndsForEverySub)
{
    recorder v;
    v.table.key2id = {{2, 0xFFFFFFFFu}, {9, 0xFFFFFFFFu}, {0x10002u, 0}, {42, 0xFFFFFFFFu}};
    send(v, keyed_packet(1, words(40, 0)));
    EXPECT_EQ(v.ids(), (std::vector<std::pair<unsigned, unsigned>>{
                           {2, 0xFFFFFFFFu}, {2, 3}, {2, 2}, {2, 1}, {2, 0}}));
    EXPECT_EQ(v.handlers().size(), 5u);
    v.clear();
    send(v, keyed_packet(2));
    send(v, keyed_packet(3));
    ASSERT_EQ(v.n, 4u);
    EXPECT_EQ(v.events[1], (event{event::unknown, {}, 9, 0xFFFFFFFFu, 0, 0, false, 0}));
    EXPECT_EQ(v.events[3], (event{event::unknown, {}, 0x10002u, 0, 0, 0, false, 0}));
    v.clear();
    send(v, keyed_packet(4, words(3, 0)));
    EXPECT_EQ(v.handlers(), std::vector<std::string_view>{"echo"});
}

// ---------------------------------------------------------------------------
// Selector

TEST(PacketsSelector, ClearedBitCallsNeitherIdNorHandler)
{
    recorder v;
    v.selector.reset(type_of("echo"));
    send(v, explicit_packet(42, 0, words(3, 0)));
    EXPECT_EQ(v.n, 0u);

    // The newest layout left out, the older ones still get the packet.
    v.selector.set();
    v.selector.reset(type_of("laser_shot_2angles"));
    send(v, explicit_packet(10, 2, words(8, 0)));
    EXPECT_EQ(v.handlers(), (std::vector<std::string_view>{"laser_shot_1angle", "laser_shot"}));
    EXPECT_EQ(v.ids(), (std::vector<std::pair<unsigned, unsigned>>{{10, 1}, {10, 0}}));
}

TEST(PacketsSelector, ConstructorTakesTheSelector)
{
    recorder v(select_protocol);
    EXPECT_EQ(v.selector, select_protocol);
    send(v, explicit_packet(42, 0, words(3, 0)));
    EXPECT_EQ(v.n, 0u);
    send(v, explicit_packet(17, 0)); // line_stop
    EXPECT_EQ(v.handlers(), std::vector<std::string_view>{"line_stop"});

    recorder all;
    EXPECT_EQ(all.selector, select_all);
    EXPECT_FALSE(all.strict);
    EXPECT_EQ(all.dispatch_count, 0u);
    EXPECT_TRUE(all.table.key2id.empty());
}

TEST(PacketsSelector, HeaderLeftOutKeepsTheTableEmpty)
{
    recorder v;
    v.selector.reset(type_of("header"));
    send(v, header_packet({{42, 0}}));
    send(v, keyed_packet(1, words(3, 0)));
    ASSERT_EQ(v.n, 2u);
    EXPECT_EQ(v.events[1].kind, event::unknown);
    EXPECT_EQ(v.events[1].main, 0u);
    EXPECT_EQ(v.events[1].sub, 1u);
}

// ---------------------------------------------------------------------------
// Unknown ids, void_data, empty ranges

TEST(PacketsUnknown, IdsWithoutTypeReachOnUnknownOnce)
{
    recorder v;
    send(v, words{0xFFFFFF00u, 5, 6}); // key byte 0
    ASSERT_EQ(v.n, 2u);
    EXPECT_EQ(v.events[0], (event{event::id, {}, 0, 0, 0, 0, false, 0}));
    EXPECT_EQ(v.events[1], (event{event::unknown, {}, 0, 0, 0, 0, false, 2}));

    v.clear(); // a key the empty table does not know: (0, key)
    send(v, keyed_packet(7, words(4, 1)));
    ASSERT_EQ(v.n, 2u);
    EXPECT_EQ(v.events[1], (event{event::unknown, {}, 0, 7, 0, 0, false, 4}));

    v.clear(); // an unknown main with a sub is offered once, with its own id
    send(v, explicit_packet(9, 3, words(1, 0)));
    ASSERT_EQ(v.n, 2u);
    EXPECT_EQ(v.events[0], (event{event::id, {}, 9, 3, 0, 0, false, 0}));
    EXPECT_EQ(v.events[1], (event{event::unknown, {}, 9, 3, 0, 0, false, 1}));

    v.clear();
    v.selector.reset(0);
    send(v, explicit_packet(9, 3, words(1, 0)));
    EXPECT_EQ(v.n, 0u);
}

TEST(PacketsUnknown, VoidDataIsOfferedOnce)
{
    recorder v;
    send(v, words{0xFFFFFFFEu, 1, 2});
    EXPECT_EQ(v.handlers(), std::vector<std::string_view>{"void_data"});
    EXPECT_EQ(v.ids(), (std::vector<std::pair<unsigned, unsigned>>{{65535, 65535}}));
    EXPECT_FALSE(v.not_handled);

    v.clear(); // any sub of main 65535 is void_data, once
    send(v, explicit_packet(65535, 3));
    EXPECT_EQ(v.handlers(), std::vector<std::string_view>{"void_data"});

    v.clear();
    v.selector.reset(type_of("void_data"));
    v.not_handled = true;
    send(v, words{0xFFFFFFFEu});
    EXPECT_EQ(v.n, 0u);
    EXPECT_FALSE(v.not_handled);
}

TEST(PacketsUnknown, EmptyRangeDispatchesNothing)
{
    recorder v;
    v.result = true;
    words const p{0xFFFFFFFEu};
    iterator const b = p.data();
    EXPECT_TRUE(v.dispatch(b, b));
    EXPECT_EQ(v.n, 0u);
    EXPECT_EQ(v.dispatch_count, 0u);
    EXPECT_TRUE(v.dispatch(b, b + 1)); // returns result, never sets it
    EXPECT_EQ(v.dispatch_count, 1u);
}

// ---------------------------------------------------------------------------
// Header reload

TEST(PacketsHeader, CompactKeysResolveAfterAHeader)
{
    recorder v;
    send(v, keyed_packet(1, words(3, 0)));
    EXPECT_EQ(v.last().kind, event::unknown);

    v.clear();
    send(v, header_packet({{42, 0}, {10, 2}, {2, 4}}));
    EXPECT_EQ(v.handlers(), std::vector<std::string_view>{"header"});

    v.clear();
    send(v, keyed_packet(1, words{0x12345678u, 0, 0}));
    send(v, keyed_packet(2, words(8, 0)));
    send(v, keyed_packet(3, words(40, 0)));
    EXPECT_EQ(v.handlers(),
              (std::vector<std::string_view>{"echo", "laser_shot_2angles", "laser_shot_1angle", "laser_shot",
                                             "units_4", "units_3", "units_2", "units_1", "units"}));
    EXPECT_EQ(v.dispatch_count, 5u);
}

// on_id of a header runs before the load, its handler after.
class header_watcher : public basic_packets {
public:
    bool key_known_at_id = true, key_known_at_handler = false;
    void on_id(package_id const& id, basic_package<iterator> const&) override
    {
        if (id.main == 1)
            key_known_at_id = knows_key();
    }
    void on_header(header<iterator> const&) override { key_known_at_handler = knows_key(); }

private:
    bool knows_key() const
    {
        words const p = keyed_packet(1);
        return static_cast<package_id::type>(basic_package<iterator>(p.data(), p.data() + 1, table).id) != 0;
    }
};

TEST(PacketsHeader, LoadedBetweenOnIdAndHandler)
{
    header_watcher v;
    send(v, header_packet({{42, 0}}));
    EXPECT_FALSE(v.key_known_at_id);
    EXPECT_TRUE(v.key_known_at_handler);
}

TEST(PacketsHeader, KeysStayWhenTheStrictCheckFails)
{
    recorder v;
    v.strict = true;
    std::vector<std::pair<unsigned, unsigned>> ids(255, {42, 0});
    ids[0] = {10, 2};
    std::string const text = error_text(v, header_packet(ids));
    EXPECT_TRUE(ends_with(text, " : qodataspec : 1645 : header: sequence too long 255")) << text;
    EXPECT_TRUE(v.handlers().empty());
    v.clear();
    send(v, keyed_packet(1, words(8, 0)));
    EXPECT_EQ(v.handlers(), (std::vector<std::string_view>{"laser_shot_2angles", "laser_shot_1angle", "laser_shot"}));

    ids.pop_back(); // 254 ids pass
    v.clear();
    send(v, header_packet(ids));
    EXPECT_EQ(v.handlers(), std::vector<std::string_view>{"header"});
    EXPECT_EQ(v.last().count, 254);
}

TEST(PacketsHeader, ShortHeaderThrowsInBothModes)
{
    for (bool strict : {false, true}) {
        recorder v;
        v.strict = strict;
        EXPECT_EQ(error_text(v, explicit_packet(1, 0, words(11, 0))), "Missing data for sequence.");
        EXPECT_TRUE(v.table.key2id.empty());
        EXPECT_EQ(v.dispatch_count, 1u);
    }
}

// ---------------------------------------------------------------------------
// Strict checks

TEST(PacketsStrict, MessagesCarryTheirLines)
{
    recorder v;
    v.strict = true;
    std::string text = error_text(v, explicit_packet(42, 0, words(2, 0)));
    EXPECT_TRUE(ends_with(text, " : qodataspec : 1530 : echo: missing packet data")) << text;
    EXPECT_EQ(v.n, 1u); // on_id, then the check
    EXPECT_EQ(v.current_id.main, 42u);

    text = error_text(v, explicit_packet(61, 0, words(3, 0)));
    EXPECT_TRUE(ends_with(text, " : qodataspec : 1221 : IMU_data: missing packet data")) << text;

    // arange_table: f32 then 16-bit elements from bit 32, at most 256;
    // 130 words hold (130 * 32 - 32) / 16 = 258 of them.
    text = error_text(v, explicit_packet(104, 0, words(130, 0)));
    EXPECT_TRUE(ends_with(text, " : qodataspec : 1259 : arange_table: sequence too long 258")) << text;

    // wfm_dg_shp: 16-bit samples from bit 96, at most 8192.
    text = error_text(v, explicit_packet(50004, 0, words(4100, 0)));
    EXPECT_TRUE(ends_with(text, " : qodataspec : 2742 : wfm_dg_shp: sequence too long 8194")) << text;

    v.strict = false;
    v.clear();
    send(v, explicit_packet(42, 0, words(2, 0)));
    EXPECT_EQ(v.handlers(), std::vector<std::string_view>{"echo"});
}

TEST(PacketsStrict, EveryTypeAtItsMinimalSize)
{
    recorder v;
    v.read_fields = true;
    for (std::size_t t = 1; t < 251; ++t) {
        package_id const own = package_id::name_from_type[t].second;
        std::string const name = package_id::name_from_type[t].first;
        if (t == 247)
            continue;
        std::size_t const need = minimal_words(t);
        v.strict = true;
        v.handle = true;
        v.clear();
        EXPECT_NO_THROW(send(v, explicit_packet(own.main, own.sub, words(need, 0xFFFFFFFFu)))) << name;
        ASSERT_EQ(v.handlers(), std::vector<std::string_view>{name}) << name;
        if (need == 0)
            continue;
        words const shorter = explicit_packet(own.main, own.sub, words(need - 1, 0xFFFFFFFFu));
        std::string const text = error_text(v, shorter);
        if (packet_sizes[t].has_sequence()) {
            // Shorter than the sequence start, strict or not.
            EXPECT_EQ(text, "Missing data for sequence.") << name;
            v.strict = false;
            EXPECT_EQ(error_text(v, shorter), "Missing data for sequence.") << name;
        } else {
            EXPECT_TRUE(ends_with(text, name + ": missing packet data")) << text;
            // Without strict the handler reads the missing words as zeros.
            v.strict = false;
            v.clear();
            EXPECT_NO_THROW(send(v, shorter)) << name;
            EXPECT_EQ(v.handlers(), std::vector<std::string_view>{name}) << name;
        }
    }
}

TEST(PacketsStrict, ShortBodyReadsZerosBeyondItsEnd)
{
    class echo_reader : public basic_packets {
    public:
        echo<void> got{};
        void on_echo(echo<iterator> const& e) override { got = e; }
    } v;
    // An exactly sized heap buffer: a read past the body is caught by ASan.
    auto* p = new unsigned int[3]{0xFFFFFFFFu, (42u << 16), 0xFFFFFFF0u};
    iterator const b = p, e = p + 3;
    v.dispatch(b, e);
    delete[] p;
    EXPECT_EQ(v.got.range, -16);
    EXPECT_EQ(v.got.amplitude, 0);
    EXPECT_EQ(v.got.reflectance, 0);
    EXPECT_EQ(v.got.flags, 0);
    EXPECT_EQ(v.got.deviation, 0);
}

TEST(PacketsStrict, TrailingWordsAreIgnored)
{
    recorder v;
    v.strict = true;
    send(v, explicit_packet(42, 0, words(9, 0)));
    // scan_segments_fov: 12-byte records from bit 0; a partial record is ignored.
    send(v, explicit_packet(105, 0, words(7, 0)));
    EXPECT_EQ(v.handlers(), (std::vector<std::string_view>{"echo", "scan_segments_fov"}));
    EXPECT_EQ(v.last().count, 2);
}

// ---------------------------------------------------------------------------
// Sequence counts and maxima

struct count_case {
    std::string name;
    std::size_t body_bytes;
    std::int64_t count;
};

TEST(PacketsSequence, CountsFollowTheBodyLength)
{
    std::vector<count_case> const cases{
        {"zpk_parameters", 4 + 37 * 4, 37 * 4},  {"crc32_header", 4 + 4 * 9, 9},
        {"scan_segments_fov", 12 * 3 + 8, 3},   {"pulse_position_modulation", 4 + 4 * 1024, 1024},
        {"scan_segments_fov", 0, 0},            {"crc32_header", 4, 0},
    };
    recorder v;
    v.strict = true;
    for (auto const& c : cases) {
        package_id const id = package_id::id_from_name.at(c.name);
        v.clear();
        send(v, explicit_packet(id.main, id.sub, words(c.body_bytes / 4, 0)));
        ASSERT_EQ(v.n, 2u) << c.name;
        EXPECT_EQ(v.last().name, c.name);
        EXPECT_EQ(v.last().count, c.count) << c.name;
        // The marks say every element was read: count - 1, or all ones when empty.
        EXPECT_TRUE(v.last().accessed);
        EXPECT_EQ(v.last().highest, static_cast<std::uint64_t>(c.count) - 1) << c.name;
    }
}

TEST(PacketsSequence, MaximaPassAndOneMoreFails)
{
    std::vector<std::pair<std::string, std::int64_t>> const maxima{
        {"pulse_position_modulation", 1024}, {"device_geometry", 8}, {"device_geometry_3", 8},
        {"device_geometry_4", 8},           {"device_geometry_6", 21}, {"biaxial_geometry", 16},
    };
    for (auto const& [name, max] : maxima) {
        std::size_t const t = type_of(name);
        packet_size const& s = packet_sizes[t];
        EXPECT_EQ(s.max_count, static_cast<std::uint32_t>(max)) << name;
        package_id const id = package_id::id_from_name.at(name);
        for (std::int64_t n : {max, max + 1}) {
            // Whole words; the spare bits are less than one element.
            std::size_t const bits = s.sequence_bit + s.element_bits * static_cast<std::size_t>(n) + 31;
            recorder v;
            v.strict = true;
            std::string const text = error_text(v, explicit_packet(id.main, id.sub, words(bits / 32, 0)));
            if (n == max) {
                EXPECT_EQ(text, "(no exception)") << name;
                EXPECT_EQ(v.last().count, max);
            } else {
                EXPECT_TRUE(ends_with(text, name + ": sequence too long " + std::to_string(n))) << text;
                EXPECT_TRUE(v.handlers().empty());
                v.strict = false; // not checked without strict
                EXPECT_EQ(error_text(v, explicit_packet(id.main, id.sub, words(bits / 32, 0))), "(no exception)");
            }
        }
    }
}

TEST(PacketsSequence, StrictLinesFollowTheTypeOrder)
{
    // Lines of neighbouring sequence types differ by 9, of fixed types by 5.
    recorder v;
    v.strict = true;
    auto line_of = [&](std::string const& name) {
        package_id const id = package_id::id_from_name.at(name);
        std::string const text = error_text(v, explicit_packet(id.main, id.sub, words(1, 0xFFFFFFFFu)));
        auto const at = text.find(" : qodataspec : ");
        EXPECT_NE(at, std::string::npos) << text;
        return std::stoul(text.substr(at + 16));
    };
    // avg_fine_ref_dg (14, sequence of 32-bit from bit 32, 1024 max): too long
    // with a 1026-word body; beam_geometry (15) is fixed, one word too short.
    package_id const avg = package_id::id_from_name.at("avg_fine_ref_dg");
    std::string const text = error_text(v, explicit_packet(avg.main, avg.sub, words(1026, 0)));
    EXPECT_TRUE(ends_with(text, "avg_fine_ref_dg: sequence too long 1025")) << text;
    EXPECT_EQ(line_of("atmosphere_4"), 1221u + 5 * 7 + 9 + 5 * 4);
    EXPECT_EQ(line_of("beam_geometry"), line_of("atmosphere_4") + 5 + 9);
}

// ---------------------------------------------------------------------------
// Exceptions and counters

TEST(PacketsState, CountsEveryDispatchAlsoWhenItThrows)
{
    recorder v;
    v.strict = true;
    for (int i = 0; i < 3; ++i)
        error_text(v, explicit_packet(42, 0, words(1, 0)));
    send(v, explicit_packet(42, 0, words(3, 0)));
    EXPECT_EQ(v.dispatch_count, 4u);
    v.dispatch_count = 0xFFFFFFFFu;
    send(v, explicit_packet(42, 0, words(3, 0)));
    EXPECT_EQ(v.dispatch_count, 0u);
}

// ---------------------------------------------------------------------------
// Allocations

TEST(PacketsAllocation, NoneWhileDispatchingOtherThanHeaders)
{
    recorder v;
    v.read_fields = true;
    send(v, header_packet({{42, 0}, {10, 2}, {67, 0}, {104, 0}}));
    std::vector<words> const stream{
        keyed_packet(1, words(3, 7)),            // echo
        keyed_packet(2, words(8, 7)),            // laser_shot_2angles, three offers
        keyed_packet(3, words(6, 7)),            // laser_shot_2angles_hr
        keyed_packet(4, words(40, 7)),           // arange_table, a sequence
        keyed_packet(1, words(1, 7)),            // short echo, zero-filled copy
        keyed_packet(9, words(2, 7)),            // unknown key
        words{0xFFFFFFFEu, 1},                   // void_data
        explicit_packet(2, 6, words(40, 7)),     // units chain
        explicit_packet(50004, 0, words(300, 7)) // wfm_dg_shp
    };
    std::size_t const before = allocations.load();
    for (int round = 0; round < 10; ++round) {
        v.clear();
        v.strict = round % 2 == 0;
        for (auto const& p : stream)
            if (!(v.strict && p.size() == 2 && p[0] == 0xFFFFFF01u))
                send(v, p);
    }
    EXPECT_EQ(allocations.load(), before);
    EXPECT_GT(v.n, 10u);
}

// Seeds for the dispatch fuzz target: a flags byte, then packet words.
TEST(PacketsSeeds, WriteFuzzSeeds)
{
    auto seed = [](std::string const& name, std::uint8_t flags, std::vector<words> const& packets) {
        std::vector<char> bytes{static_cast<char>(flags)};
        for (auto const& p : packets)
            for (unsigned w : p)
                for (int k = 0; k < 4; ++k)
                    bytes.push_back(static_cast<char>(w >> (8 * k)));
        zpktest::write_seed("fuzz_dispatch", name, bytes);
    };
    std::vector<words> const stream{
        header_packet({{42, 0}, {10, 2}, {2, 4}, {104, 0}}), keyed_packet(1, words(3, 5)),
        keyed_packet(2, words(3, 6)), keyed_packet(3, words(20, 7)), keyed_packet(4, words(5, 8)),
        words{0xFFFFFFFEu, 1}, explicit_packet(9, 2, words(1, 0))};
    seed("stream", 0, stream);
    seed("stream_strict", 1, stream);
    seed("short_bodies", 0, {explicit_packet(42, 1, words(1, 3)), explicit_packet(20, 0), words{0xFFFFFFFFu}});
    auto const dir = zpktest::seed_dir("fuzz_dispatch");
    EXPECT_TRUE(std::filesystem::exists(dir / "stream"));
}

} // namespace
