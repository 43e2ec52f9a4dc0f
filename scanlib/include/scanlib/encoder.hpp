#pragma once
// Re-encoding: a packet visitor that writes every packet it is handed back
// into a framed stream, under a fresh id header and with its body words
// unchanged.
//
// Feed it whole packets through dispatch(). Each packet of a known, selected
// type is written once, under the id of the first layout the dispatcher
// offers it as; packets without a type are dropped. The id headers use the
// visitor's own compact-id table, taken over from the first header packet
// that lists ids, and every header written lists that table. Ending the
// output (eot, flush) is the caller's business.

#include <bitset>

#include <scanlib/package.hpp>
#include <scanlib/packets.hpp>
#include <scanlib/qodataspec.hpp>
#include <scanlib/zpkmarker.hpp>

namespace scanlib {

class encoder_packets : public basic_packets {
public:
    // With a null marker nothing is written; the table is still taken over.
    // A marker is asked for its first region at once (put of an empty region).
    explicit encoder_packets(basic_zpkmarker* marker = nullptr,
                             std::bitset<package_type_count> const& selector = select_all);
    encoder_packets(encoder_packets const&) = delete;
    encoder_packets& operator=(encoder_packets const&) = delete;
    ~encoder_packets() override;

#define SCANLIB_HANDLER(type, name) void on_##name(name<iterator> const& packet) override;
#include <scanlib/generated/packet_handlers.inc>
#undef SCANLIB_HANDLER

    // Framing writer that takes each finished packet; not owned.
    basic_zpkmarker* marker;
    // Where the next packet is assembled: a region handed out by the marker.
    basic_buffer<unsigned int*> buffer;
    // Compact keys of the output; this hides the dispatcher's table of the
    // input, which stays reachable as basic_packets::table.
    lookup_table table;

private:
    template <class View>
    void encode(View const& packet);
};

} // namespace scanlib
