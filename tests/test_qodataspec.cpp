#include <gtest/gtest.h>
#include <scanlib/qodataspec.hpp>

#include <bitset>
#include <initializer_list>
#include <string>

using scanlib::package_id;
using selector = std::bitset<scanlib::package_type_count>;

namespace {
selector of(std::initializer_list<const char*> names) {
    selector s;
    for (const char* n : names)
        s.set(static_cast<package_id::type>(package_id::id_from_name.at(n)));
    return s;
}
} // namespace

TEST(Selectors, ClassSizes) {
    const std::pair<const char*, std::size_t> sizes[] = {
        {"protocol", 20},  {"attribute", 96}, {"instrument", 57}, {"data", 62},   {"scan", 98},
        {"debug", 15},     {"wave", 17},      {"startcond", 24},  {"deprecated", 7}, {"lidar", 35},
        {"internal", 27},  {"status", 50},    {"ttip", 4},        {"packed", 16}, {"notify", 4},
        {"legacy", 2}};
    selector all_classes;
    for (const auto& [name, size] : sizes) {
        const selector s = scanlib::get_class_selector(name);
        EXPECT_EQ(s.count(), size) << name;
        EXPECT_FALSE(s.test(0)) << name;
        all_classes |= s;
    }
    EXPECT_EQ(scanlib::select_none.count(), 0u);
    EXPECT_EQ(scanlib::select_all.count(), 251u);
    EXPECT_TRUE(scanlib::select_all.test(0));
    // every packet type is in some class, the unknown type in none
    EXPECT_EQ(all_classes.count(), 250u);
    EXPECT_FALSE(all_classes.test(0));
}

TEST(Selectors, BitsAreTypes) {
    EXPECT_TRUE(scanlib::select_protocol.test(package_id::header));
    EXPECT_TRUE(scanlib::select_protocol.test(65));
    EXPECT_TRUE(scanlib::select_protocol.test(247)); // void_data
    EXPECT_TRUE(scanlib::select_attribute.test(194)); // zpk_parameters
    EXPECT_TRUE(scanlib::select_scan.test(194));
    EXPECT_FALSE(scanlib::select_status.test(194));
    EXPECT_EQ(scanlib::select_ttip, of({"ttip_config", "ttip_config_channel", "ttip_start_stop", "ttip_timestamp"}));
    EXPECT_EQ(scanlib::select_legacy, of({"hk_rtc", "hk_rtc_sys"}));
    EXPECT_EQ(scanlib::select_notify,
              of({"alert", "unsolicited_message", "unsolicited_message_1", "unsolicited_message_2"}));
    EXPECT_EQ(scanlib::select_deprecated,
              of({"alert", "frame_start", "hk_bat", "hk_pwr", "laser_echo", "laser_echo_qual", "line_start"}));
    EXPECT_EQ(scanlib::select_debug,
              of({"crc32_check", "crc32_header", "external_gnss_cfg", "external_gnss_cfg_ext", "ht_dbg_data",
                  "range_finder_debug_acq", "range_finder_debug_acq_1", "range_finder_debug_calc",
                  "range_finder_debug_calc_1", "range_finder_debug_laser", "range_finder_debug_laser_1",
                  "range_finder_debug_rcv", "range_finder_settings", "trigger_debug_dyntrig_table",
                  "trigger_debug_stattrig_table"}));
}

TEST(Selectors, LookupByName) {
    EXPECT_EQ(scanlib::get_class_selector("all"), scanlib::select_all);
    EXPECT_EQ(scanlib::get_class_selector(std::string("protocol")), scanlib::select_protocol);
    EXPECT_EQ(scanlib::get_class_selector("legacy"), scanlib::select_legacy);
    EXPECT_EQ(scanlib::get_class_selector("startcond"), scanlib::select_startcond);
    for (const char* other : {"none", "", "All", "ALL", " all", "all ", "pro tocol", "protocol\n", "lidars"})
        EXPECT_EQ(scanlib::get_class_selector(other), scanlib::select_none) << '"' << other << '"';
    EXPECT_EQ(scanlib::get_class_selector(static_cast<const char*>(nullptr)), scanlib::select_none);
}
