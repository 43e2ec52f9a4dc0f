#pragma once
// The printing visitor: one line of packet text per dispatched packet.
//
//   units (2.0), 1.5000000000000000e+00, 7, 8, -2.5000000000000000e-01
//   frame_stop (15.0)
//   unknown (4711.2), 0x1, 0xabcd, 0
//
// Every handler takes the packet (so a packet is printed once, in the layout
// of the first selected type from its own sub down) and flushes its line.
// Packed packets are printed as they are, not expanded.

#include <bitset>
#include <ostream>

#include <scanlib/packets.hpp>
#include <scanlib/qodataspec.hpp>

namespace scanlib {

class ostream_packets : public basic_packets {
public:
    // Lines go to *out; a null stream prints nothing but still takes every
    // packet. The stream is the caller's and must outlive the visitor.
    explicit ostream_packets(std::ostream* out, std::bitset<package_type_count> const& selector = select_all);
    explicit ostream_packets(std::ostream& out, std::bitset<package_type_count> const& selector = select_all)
        : ostream_packets(&out, selector) {}
    ~ostream_packets() override;

    void on_id(package_id const& id, basic_package<iterator> const& package) override;

#define SCANLIB_HANDLER(type, name) void on_##name(name<iterator> const& packet) override;
#include <scanlib/generated/packet_handlers.inc>
#undef SCANLIB_HANDLER

    void on_unknown(unsigned int main, unsigned int sub, iterator const& begin, iterator const& end) override;

    std::ostream* out;

private:
    template <class View>
    void print(View const& packet);
};

} // namespace scanlib
