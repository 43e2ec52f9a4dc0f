#pragma once
// The packet visitor: decodes the id header of one packet with the visitor's
// own compact-id table, finds the packet's type, checks the body against the
// type's layout and hands a read view of the body to the type's handler.
//
// Derive from basic_packets and override the handlers of the wanted types;
// every other packet reaches an empty default. A handler that leaves
// `not_handled` set gets the same packet again through the handler of each
// older layout of its kind, down to sub 0.

#include <bitset>

#include <scanlib/generated/packets.hpp>
#include <scanlib/package.hpp>
#include <scanlib/qodataspec.hpp>

namespace scanlib {

class basic_packets {
public:
    using iterator = unsigned int const*;

    basic_packets();
    explicit basic_packets(std::bitset<package_type_count> const& selector);
    basic_packets(basic_packets const&) = default;
    basic_packets& operator=(basic_packets const&) = default;
    virtual ~basic_packets();

    // Hands the packet [begin, end), id header included, to on_dispatch and
    // returns what it returns. An empty range is no packet: nothing is called.
    bool dispatch(iterator const& begin, iterator const& end) { return on_dispatch(begin, end); }

    virtual bool on_dispatch(iterator const& begin, iterator const& end);

    // Called before every handler call and every on_unknown call with the id
    // being offered (current_id) and the packet's header view.
    virtual void on_id(package_id const& id, basic_package<iterator> const& package);

#define SCANLIB_HANDLER(type, name) virtual void on_##name(name<iterator> const& packet);
#include <scanlib/generated/packet_handlers.inc>
#undef SCANLIB_HANDLER

    // A packet whose id has no type, with its own main and sub and its body.
    virtual void on_unknown(unsigned int main, unsigned int sub, iterator const& begin,
                            iterator const& end);

    // Bit t lets packets of type t through; bit 0 those without a type.
    std::bitset<package_type_count> selector;
    // Compact keys of this stream, reloaded from every dispatched header.
    lookup_table table;
    // The id being offered: the packet's own, then each older layout's.
    package_id current_id;
    // Packets dispatched, modulo 2^32.
    unsigned int dispatch_count;
    // Reject bodies shorter than their layout and sequences above their maximum.
    bool strict;
    // Set before a packet's first offer; a handler clears it to end the offers.
    bool not_handled;
    // What dispatch returns; the dispatcher never changes it.
    bool result;

private:
    // The offers of the id last seen under each value of a packet's first
    // byte, checked against the id before use: finding a packet's offers
    // then takes two loads, which keeps short the wait when the branch on a
    // packet's type was mispredicted.
    using offer_function = void (*)(basic_packets&, basic_package<iterator> const&);
    struct offer_entry {
        unsigned int main = ~0u; // no id has a main id above 16 bits
        unsigned int sub = 0;
        offer_function offers = nullptr;
    };
    offer_entry offer_cache[256];
};

} // namespace scanlib
