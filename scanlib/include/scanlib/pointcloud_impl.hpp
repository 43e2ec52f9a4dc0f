#pragma once
// The point cloud's private state: owned scan mechanisms, the history of
// recent shots for range-ambiguity resolution, the meta configuration tree and
// the CRC channels. Included by the point cloud's own code and its tests.

#include <scanlib/pointcloud.hpp>
#include <scanlib/qodataspec.hpp>

#include <boost/circular_buffer.hpp>
#include <boost/property_tree/ptree.hpp>

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace scanlib {

struct pointcloud::implementation {
    struct shot_t {
        static constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        std::uint32_t facet = 0;
        std::uint32_t segment = 0;
        double line_angle = nan;
        double frame_angle = nan;
        std::uint64_t raw_time = 0; // high-resolution ticks
        double origin[3] = {nan, nan, nan};
        double direction[3] = {nan, nan, nan};
        double time = nan;
        double time_raw = nan;
    };

    struct crc_data_t {
        std::bitset<251> selector;
        std::uint32_t crc = 0xFFFFFFFFu;
        std::uint32_t counter = 0;
        bool seen = false;
    };

    explicit implementation(pointcloud* owner) : owner(owner), shot_history(1) {}

    pointcloud* owner;
    double notch_modification[5] = {0.0, 0.1, 8.0, 1.0, 4.0};
    std::vector<std::shared_ptr<scanmech>> scanmech_owners;
    boost::circular_buffer<shot_t> shot_history;
    boost::property_tree::ptree meta_tree;
    std::vector<crc_data_t> crc_channels;

    // The open shot's own values, taken when it was opened. Echo evaluation
    // may move the shot to an earlier one of the history (`shot_moved`);
    // closing puts these back, whether or not the shot entered the history.
    shot_t own_shot;
    bool shot_moved = false;

    // The packet on offer as on_id last saw it: its dispatch and its body
    // length; `cut` once a shot or echo handler found the body short of the
    // packet's own layout, for the older layouts the same packet is offered
    // as next.
    struct offer_t {
        unsigned int dispatch = 0;
        std::size_t body_words = ~std::size_t(0);
        bool cut = false;
    } offer;

    // The fixed notch window and the values it was derived from.
    struct notch_window_t {
        float range_min = 0, range_max = 0, ampl_max = 0;
        double range_unit = 0, ampl_unit = 0;
        std::int32_t lo = 0, hi = 0;
        std::uint16_t ampl = 0;
        bool valid = false;
    } notch_window;

    // Scratch storage of the dynamic-trigger pass, kept between shots.
    std::vector<bool> dyntrig_marked;
    std::vector<target> dyntrig_saved;
    std::vector<std::vector<target>> dyntrig_saved_zones;
};

} // namespace scanlib
