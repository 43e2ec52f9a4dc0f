// The printing visitor: one flushed line per dispatched packet.

#include <scanlib/ostream_packets.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace scanlib;

namespace {

using words = std::vector<unsigned int>;

// A packet with the explicit two-word id header.
words packet(unsigned main, unsigned sub, const words& body) {
    words w{0xFFFFFFFFu, (main << 16) | sub};
    w.insert(w.end(), body.begin(), body.end());
    return w;
}

std::string print(const std::vector<words>& packets, bool braceless = false,
                  const std::bitset<package_type_count>& selector = select_all) {
    std::ostringstream os;
    if (braceless)
        set_zpk_braceless(os);
    ostream_packets v(os, selector);
    for (const words& p : packets)
        v.dispatch(p.data(), p.data() + p.size());
    return os.str();
}

unsigned f32(float f) { return std::bit_cast<unsigned>(f); }

struct counting : ostream_packets {
    using ostream_packets::ostream_packets;
    int ids = 0;
    void on_id(package_id const& id, basic_package<iterator> const& p) override {
        ++ids;
        ostream_packets::on_id(id, p);
    }
};

} // namespace

TEST(OstreamPackets, OneLinePerPacket) {
    const words units = packet(2, 0, {f32(1.5f), 7, 8, f32(-0.25f)});
    EXPECT_EQ(print({units, packet(15, 0, {1, 2}), packet(4711, 2, {1, 0xabcd, 0}), {0xFFFFFFFEu}}),
              "units (2.0), 1.5000000000000000e+00, 7, 8, -2.5000000000000000e-01\n"
              "frame_stop (15.0)\n"
              "unknown (4711.2), 0x1, 0xabcd, 0\n"
              "void_data (65535.65535)\n");
    EXPECT_EQ(print({units, packet(15, 0, {}), packet(4711, 2, {})}, true),
              "2, 0, 1.5000000000000000e+00, 7, 8, -2.5000000000000000e-01\n15, 0\n4711, 2\n");
}

TEST(OstreamPackets, NewerSubPrintsNewestLayoutOnce) {
    words body(20, 0);
    body[0] = f32(2.0f);
    counting v(static_cast<std::ostream*>(nullptr));
    const words p = packet(2, 7, body);
    v.dispatch(p.data(), p.data() + p.size());
    EXPECT_EQ(v.ids, 1);

    const std::string line = print({p});
    EXPECT_EQ(line.rfind("units_4 (2.7), 2.0000000000000000e+00, 0, 0, ", 0), 0u) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);

    std::ostringstream os;
    counting c(os);
    const words u2 = packet(2, 2, words(6, 0));
    c.dispatch(u2.data(), u2.data() + u2.size());
    EXPECT_EQ(c.ids, 1);
}

TEST(OstreamPackets, SelectorAndUnknownWords) {
    auto no_unknown = select_all;
    no_unknown.reset(0);
    EXPECT_EQ(print({packet(4711, 2, {1})}, false, no_unknown), "");

    std::ostringstream os;
    os << std::uppercase;
    ostream_packets v(os);
    const words p = packet(4711, 2, {0xabcd, 0xffffff00u});
    v.dispatch(p.data(), p.data() + p.size());
    EXPECT_EQ(os.str(), "unknown (4711.2), 0XABCD, 0XFFFFFF00\n");
    EXPECT_FALSE(os.flags() & std::ios_base::showbase);
    EXPECT_EQ(os.flags() & std::ios_base::basefield, std::ios_base::dec);
}

TEST(OstreamPackets, HeaderAndShortSequenceBody) {
    words hdr(12, 0);
    hdr[0] = 'a';
    hdr.push_back(0x0001000Au);
    EXPECT_EQ(print({packet(1, 0, hdr)}), "header (1.0), \"a\", \"\", \"\", [{10, 1}]\n");

    std::ostringstream os;
    ostream_packets v(os);
    const words short_header = packet(1, 0, words(3, 0));
    EXPECT_THROW(v.dispatch(short_header.data(), short_header.data() + short_header.size()), std::range_error);
    EXPECT_EQ(os.str(), "header (1.0)");
}

TEST(OstreamPackets, ShortFixedBodyStaysInsideThePacket) {
    // units needs four words; the missing ones print as zero.
    EXPECT_EQ(print({packet(2, 0, {f32(1.0f)})}),
              "units (2.0), 1.0000000000000000e+00, 0, 0, 0.0000000000000000e+00\n");
}

TEST(OstreamPackets, UnselectedTypePrintsInTheNewestSelectedOlderLayout) {
    // units_2 is not selected, units_1 is: the packet is printed once, in
    // the units_1 layout under the id tried for it.
    auto sel = select_all;
    sel.reset(static_cast<std::size_t>(static_cast<package_id::type>(package_id(2, 2))));
    words body(6, 0);
    body[0] = f32(1.0f);
    body[5] = f32(9.0f);
    EXPECT_EQ(print({packet(2, 2, body)}, false, sel),
              "units_1 (2.1), 1.0000000000000000e+00, 0, 0, 0.0000000000000000e+00, 0.0000000000000000e+00\n");

    // A sub above the newest layout keeps its own number beside the name.
    const std::string hk = print({packet(10001, 10, words(64, 0))});
    EXPECT_EQ(hk.rfind("hk_rng_9 (10001.10), 0, ", 0), 0u) << hk;
    EXPECT_EQ(std::count(hk.begin(), hk.end(), '\n'), 1);
}

TEST(OstreamPackets, FailedStreamStillTakesEveryPacketOnce) {
    std::ostringstream os;
    os.setstate(std::ios_base::badbit);
    counting v(os);
    const words p = packet(2, 7, words(20, 0));
    v.dispatch(p.data(), p.data() + p.size());
    const words u = packet(4711, 3, {1, 2});
    v.dispatch(u.data(), u.data() + u.size());
    EXPECT_EQ(v.ids, 2);
    EXPECT_EQ(os.str(), "");
    EXPECT_TRUE(os.bad());
}
