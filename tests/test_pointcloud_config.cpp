// Point cloud: device geometry, header packets, CRC channels, measurement
// parameters, the angle notch tables and the meta information.
#include "pointcloud_support.hpp"

#include <scanlib/scanexcept.hpp>

#include <boost/crc.hpp>
#include <boost/property_tree/json_parser.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

using namespace pctest;
using scanlib::pointcloud;
using kind = scanlib::scanmech::kind_e;
namespace pt = boost::property_tree;

namespace {

template <class View>
void wheel_fields(View& v, int facets) {
    v.laser_direction[2] = 1;
    v.mirror_axis_direction[1] = 1;
    for (int k = 0; k < facets; ++k) {
        v.facets[k].normal_x = 1;
        v.facets[k].dist = 0;
    }
}

words geometry(int facets = 1) {
    return packet<scanlib::device_geometry>([&](auto& v) { wheel_fields(v, facets); }, 14 + 4 * facets);
}
words geometry_3(int facets = 1) {
    return packet<scanlib::device_geometry_3>(
        [&](auto& v) {
            wheel_fields(v, facets);
            v.deflection_mirror_origin[0] = 0.5f;
            v.deflection_mirror_direction[0] = 1;
        },
        19 + 4 * facets);
}
words geometry_4(int facets = 1) {
    return packet<scanlib::device_geometry_4>(
        [&](auto& v) {
            wheel_fields(v, facets);
            v.line_angle_0 = 3;
            v.nodding_axis_direction[1] = 1;
            v.nodding_normal_x = 1;
        },
        24 + 4 * facets);
}
words geometry_2() {
    return packet<scanlib::device_geometry_2>([](auto& v) {
        v.laser_direction[2] = 1;
        v.wedge_axis_direction[2] = 1;
        v.facet1_direction[2] = 1;
        v.facet2_direction[2] = 1;
        v.facet_distance = 0.01f;
        v.refraction_index = 1.5f;
    });
}
words geometry_6(int nodes = 2) {
    return packet<scanlib::device_geometry_6>(
        [&](auto& v) {
            v.t_axis[1] = 1;
            v.s_axis[2] = 1;
            v.angle_sin_min = -0.5f;
            v.angle_sin_inc = 0.25f;
            for (int k = 0; k < nodes; ++k) {
                v.nodes[k].t_rot_angle = 0.001f * k;
                v.nodes[k].s_rot_angle = 0.002f * k;
            }
        },
        8 + 2 * nodes);
}

words calib(unsigned short id, std::vector<std::pair<short, short>> const& points) {
    return packet<scanlib::calib_table>(
        [&](auto& v) {
            v.table_id = id;
            v.x_scale = 1;
            v.y_scale = 1;
            for (std::size_t i = 0; i < points.size(); ++i) {
                v.points[i].raw_x = points[i].first;
                v.points[i].raw_y = points[i].second;
            }
        },
        9 + points.size());
}

kind kind_at(recorder const& pc, std::size_t i) { return pc.scanmechs.at(i)->kind(); }

std::string meta(pointcloud& pc, bool pretty = false) {
    std::ostringstream os;
    pc.write_meta(os, pretty);
    return os.str();
}

pt::ptree meta_tree(pointcloud& pc) {
    std::istringstream is(meta(pc));
    pt::ptree t;
    pt::read_json(is, t);
    return t.get_child("pointcloud");
}

} // namespace

TEST(PointcloudGeometry, RefiningPacketsNeedAWheel) {
    recorder pc;
    for (auto const& w : {packet<scanlib::device_geometry_1>(), geometry_6(), packet<scanlib::biaxial_geometry>(3)}) {
        try {
            pc.feed(w);
            FAIL() << "accepted a refinement without a wheel";
        } catch (scanlib::scanlib_exception const& e) {
            EXPECT_NE(std::string(e.what()).find("missing?"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("scanlib/src/pointcloud"), std::string::npos);
        }
        EXPECT_TRUE(pc.scanmechs.empty());
        EXPECT_TRUE(pc.impl->scanmech_owners.empty());
    }
    pc.feed(geometry_2());
    try {
        pc.feed(packet<scanlib::device_geometry_1>());
        FAIL();
    } catch (scanlib::scanlib_exception const& e) {
        EXPECT_NE(std::string(e.what()).find("pointcloud::on_device_geometry_1: device_geometry missing?"),
                  std::string::npos);
        EXPECT_NE(std::string(e.what()).find("793"), std::string::npos);
    }
    ASSERT_EQ(pc.scanmechs.size(), 1u);
    EXPECT_EQ(kind_at(pc, 0), kind(2));
}

TEST(PointcloudGeometry, MechanismListsFollowThePackets) {
    recorder pc;
    pc.feed(units(0.001f, 3600, 3600));
    pc.feed(geometry());
    pc.feed(packet<scanlib::device_geometry_1>([](auto& v) {
        v.exit_pane_thickness = 0.01f;
        v.exit_pane_index = 1.5f;
        v.exit_pane_direction[2] = 1;
    }));
    ASSERT_EQ(pc.scanmechs.size(), 1u);
    EXPECT_EQ(kind_at(pc, 0), kind(3));
    EXPECT_EQ(pc.scanmechs[0], pc.impl->scanmech_owners[0].get());
    EXPECT_EQ(pc.scanmechs[0]->line_circle_count, 3600u);

    pc.feed(geometry_3());
    pc.feed(geometry_6());
    ASSERT_EQ(pc.scanmechs.size(), 2u);
    EXPECT_EQ(kind_at(pc, 1), kind(9));

    pc.feed(geometry_4());
    pc.feed(geometry_6());
    EXPECT_EQ(kind_at(pc, 2), kind(10));
    pc.feed(geometry());
    pc.feed(packet<scanlib::biaxial_geometry>(
        [](auto& v) {
            v.aperture_direction[0] = 1;
            v.shifts[0].range = 10;
            v.shifts[0].shift = 0.01f;
        },
        5));
    EXPECT_EQ(kind_at(pc, 3), kind(5));
    pc.feed(packet<scanlib::device_geometry_5>([](auto& v) {
        v.laser_direction[2] = 1;
        v.line_mirror_axis_direction[1] = 1;
        v.frame_mirror_axis_direction[0] = 1;
        v.facet_direction[1] = 1;
    }));
    ASSERT_EQ(pc.scanmechs.size(), 5u);
    EXPECT_EQ(kind_at(pc, 4), kind(8));
    for (std::size_t i = 0; i < pc.scanmechs.size(); ++i)
        EXPECT_EQ(pc.scanmechs[i], pc.impl->scanmech_owners[i].get());

    // A new header starts a new device configuration.
    pc.feed(packet<scanlib::header>());
    EXPECT_TRUE(pc.scanmechs.empty());
    EXPECT_TRUE(pc.impl->scanmech_owners.empty());
}

namespace {

template <class View>
void set3(View& a, float x, float y, float z) {
    a[0] = x;
    a[1] = y;
    a[2] = z;
}

void expect3(double const (&v)[3], float x, float y, float z) {
    EXPECT_NEAR(v[0], x, 1e-6);
    EXPECT_NEAR(v[1], y, 1e-6);
    EXPECT_NEAR(v[2], z, 1e-6);
}

template <class M>
M& as(recorder& pc, std::size_t i) {
    auto* m = dynamic_cast<M*>(pc.scanmechs.at(i));
    if (!m)
        throw std::runtime_error("unexpected mechanism kind");
    return *m;
}

} // namespace

TEST(PointcloudGeometry, PacketFieldsReachTheMechanisms) {
    recorder pc;
    pc.feed(units(0.001f, 3600, 3600));
    pc.feed(packet<scanlib::device_geometry>(
        [](auto& v) {
            set3(v.laser_origin, 1.25f, -2.5f, 0.75f);
            set3(v.laser_direction, 0, 0.6f, 0.8f);
            set3(v.mirror_axis_origin, 0.5f, 0.25f, -0.125f);
            set3(v.mirror_axis_direction, 0, 1, 0);
            v.line_angle_0 = -7;
            v.facet_count = 99; // not read
            v.facets[0].normal_x = 1;
            v.facets[0].dist = 0.05f;
            v.facets[1].normal_z = 1;
            v.facets[1].dist = 0.0625f;
        },
        14 + 8));
    {
        auto& w = as<scanlib::mirrorwheel>(pc, 0);
        expect3(w.laser_origin, 1.25f, -2.5f, 0.75f);
        expect3(w.laser_direction, 0, 0.6f, 0.8f);
        expect3(w.mirror_axis_origin, 0.5f, 0.25f, -0.125f);
        expect3(w.mirror_axis_direction, 0, 1, 0);
        EXPECT_EQ(w.line_angle_0, -7);
        ASSERT_EQ(w.facets.size(), 2u);
        expect3(w.facets[1].normal, 0, 0, 1);
        EXPECT_DOUBLE_EQ(w.facets[1].dist, 0.0625);
    }
    pc.feed(packet<scanlib::device_geometry_1>([](auto& v) {
        v.exit_pane_thickness = 0.015625f;
        v.exit_pane_index = 1.5f;
        set3(v.exit_pane_direction, 0.6f, 0, 0.8f);
    }));
    {
        auto& e = as<scanlib::mirrorwheel_exitpane>(pc, 0);
        EXPECT_DOUBLE_EQ(e.exit_pane_thickness, 0.015625);
        EXPECT_DOUBLE_EQ(e.exit_pane_index, 1.5);
        expect3(e.exit_pane_direction, 0.6f, 0, 0.8f);
        EXPECT_EQ(e.line_angle_0, -7); // the wheel part is kept
        EXPECT_EQ(e.facets.size(), 2u);
    }
    pc.feed(packet<scanlib::device_geometry_2>([](auto& v) {
        set3(v.laser_origin, 1, 2, 3);
        set3(v.laser_direction, 0, 0, 1);
        set3(v.wedge_axis_origin, 4, 5, 6);
        set3(v.wedge_axis_direction, 0, 0.8f, 0.6f);
        set3(v.facet1_direction, 0, 0.6f, -0.8f);
        set3(v.facet2_direction, 0.8f, 0, 0.6f);
        v.facet_distance = 0.03125f;
        v.refraction_index = 1.75f;
    }));
    {
        auto& w = as<scanlib::wedge>(pc, 1);
        expect3(w.laser_origin, 1, 2, 3);
        expect3(w.wedge_axis_origin, 4, 5, 6);
        expect3(w.wedge_axis_direction, 0, 0.8f, 0.6f);
        expect3(w.facet1_direction, 0, 0.6f, -0.8f);
        expect3(w.facet2_direction, 0.8f, 0, 0.6f);
        EXPECT_DOUBLE_EQ(w.facet_distance, 0.03125);
        EXPECT_DOUBLE_EQ(w.refraction_index, 1.75);
    }
    pc.feed(packet<scanlib::device_geometry_3>(
        [](auto& v) {
            set3(v.laser_origin, 7, 8, 9);
            set3(v.laser_direction, 0, 0, 1);
            set3(v.mirror_axis_direction, 0, 1, 0);
            set3(v.deflection_mirror_origin, 0.5f, -0.5f, 2);
            set3(v.deflection_mirror_direction, 0.6f, 0.8f, 0);
            v.facets[0].normal_x = 1;
        },
        19 + 4));
    {
        auto& d = as<scanlib::mirrorwheel_deflection>(pc, 2);
        expect3(d.laser_origin, 7, 8, 9);
        EXPECT_EQ(d.line_angle_0, 0); // not the earlier wheel's
        expect3(d.deflection_mirror_origin, 0.5f, -0.5f, 2);
        expect3(d.deflection_mirror_direction, 0.6f, 0.8f, 0);
    }
    pc.feed(packet<scanlib::device_geometry_4>(
        [](auto& v) {
            set3(v.laser_direction, 0, 0, 1);
            set3(v.mirror_axis_direction, 0, 1, 0);
            v.line_angle_0 = 11;
            set3(v.nodding_axis_origin, -1, -2, -3);
            set3(v.nodding_axis_direction, 0.8f, 0.6f, 0);
            v.nodding_normal_x = 0.6f;
            v.nodding_normal_y = 0;
            v.nodding_normal_z = 0.8f;
            v.nodding_dist = 0.125f;
            v.facets[0].normal_x = 1;
        },
        24 + 4));
    {
        auto& n = as<scanlib::mirrorwheel_nodding>(pc, 3);
        EXPECT_EQ(n.line_angle_0, 11);
        expect3(n.nodding_axis_origin, -1, -2, -3);
        expect3(n.nodding_axis_direction, 0.8f, 0.6f, 0);
        expect3(n.nodding_facet.normal, 0.6f, 0, 0.8f);
        EXPECT_DOUBLE_EQ(n.nodding_facet.dist, 0.125);
    }
    pc.feed(packet<scanlib::device_geometry_5>([](auto& v) {
        set3(v.laser_origin, 0.25f, 0.5f, 0.75f);
        set3(v.laser_direction, 0, 0, 1);
        set3(v.line_mirror_axis_origin, 1, 0, 0);
        set3(v.line_mirror_axis_direction, 0, 1, 0);
        set3(v.frame_mirror_axis_origin, 0, 0, 1);
        set3(v.frame_mirror_axis_direction, 1, 0, 0);
        set3(v.facet_direction, 0, 0.6f, 0.8f);
        v.facet_distance = 0.375f;
    }));
    {
        auto& g = as<scanlib::gimbalmountmirror>(pc, 4);
        expect3(g.laser_origin, 0.25f, 0.5f, 0.75f);
        expect3(g.line_mirror_axis_origin, 1, 0, 0);
        expect3(g.frame_mirror_axis_origin, 0, 0, 1);
        expect3(g.frame_mirror_axis_direction, 1, 0, 0);
        expect3(g.facet_direction, 0, 0.6f, 0.8f);
        EXPECT_DOUBLE_EQ(g.facet_distance, 0.375);
    }
    pc.feed(geometry_3());
    pc.feed(packet<scanlib::device_geometry_6>(
        [](auto& v) {
            set3(v.t_axis, 0, 1, 0);
            set3(v.s_axis, 0, 0, 1);
            v.angle_sin_min = -0.75f;
            v.angle_sin_inc = 0.5f;
            v.nodes[0].t_rot_angle = 0.001f;
            v.nodes[0].s_rot_angle = 0.002f;
            v.nodes[2].t_rot_angle = 0.003f;
            v.nodes[2].s_rot_angle = 0.004f;
        },
        8 + 6));
    {
        auto& w = as<scanlib::mirrorwheel_deflection_windowdistortion>(pc, 5);
        EXPECT_DOUBLE_EQ(w.angle_sin_min, -0.75);
        EXPECT_DOUBLE_EQ(w.angle_sin_inc, 0.5);
        ASSERT_EQ(w.nodes.size(), 3u);
        EXPECT_DOUBLE_EQ(w.nodes[2].t_rot_angle, double(0.003f));
        EXPECT_DOUBLE_EQ(w.nodes[2].s_rot_angle, double(0.004f));
        EXPECT_DOUBLE_EQ(w.nodes[0].s_rot_angle, double(0.002f));
        expect3(w.deflection_mirror_origin, 0.5f, 0, 0); // the deflection wheel's, kept
    }
    pc.feed(geometry());
    pc.feed(packet<scanlib::biaxial_geometry>(
        [](auto& v) {
            set3(v.aperture_direction, 0.6f, 0.8f, 0);
            v.shifts[0].range = 1;
            v.shifts[0].shift = 0.25f;
            v.shifts[1].range = 10;
            v.shifts[1].shift = 0.125f;
        },
        3 + 4));
    {
        auto& b = as<scanlib::mirrorwheel_biaxial>(pc, 6);
        expect3(b.aperture_direction, 0.6f, 0.8f, 0);
        ASSERT_EQ(b.biaxial_shift.size(), 2u);
        EXPECT_EQ(b.biaxial_shift[1], std::make_pair(10.0f, 0.125f));
    }
    EXPECT_EQ(pc.scanmechs.size(), 7u);
}

TEST(PointcloudGeometry, DefiningPacketsRefreshTheBeam) {
    recorder pc;
    pc.feed(units(0.001f, 360, 360));
    pc.shot_direction[0] = pc.shot_direction[1] = pc.shot_direction[2] = 9;
    pc.feed(geometry_2());
    EXPECT_EQ(pc.shot_direction[0], 9);
    pc.feed(geometry());
    EXPECT_NEAR(pc.shot_direction[0], 0, 1e-12);
    EXPECT_NEAR(pc.shot_direction[2], 1, 1e-12);
}

TEST(PointcloudGeometry, SegmentsChooseTheMechanism) {
    recorder pc;
    pc.feed(units(0.001f, 360, 360));
    pc.feed(geometry());
    pc.feed(geometry_2());
    pc.feed(packet<scanlib::scan_segments_fov>(6));
    EXPECT_EQ(pc.segment_count, 2u);
    pc.feed(packet<scanlib::line_start_segment_2>());
    pc.feed(shot_2angles(1));
    EXPECT_EQ(pc.shots.back().segment, 1u);
    EXPECT_EQ(pc.scanmechs[1]->facet, 1u); // the wedge took the segment as its facet
    pc.feed(packet<scanlib::line_start_segment_3>());
    pc.feed(shot_2angles(2));
    EXPECT_EQ(pc.shots.back().segment, 2u);
    EXPECT_EQ(pc.scanmechs[0]->facet, 0u); // 2 mod 2: the wheel
    pc.feed(packet<scanlib::line_start_segment_1>());
    EXPECT_EQ(pc.segment, 0u);
}

TEST(PointcloudGeometry, WheelsWithoutFacetsGiveNoBeam) {
    // Such a wheel is kept; its beams are not numbers rather than a division
    // by zero.
    recorder pc;
    pc.feed(units(0.001f, 360, 360));
    for (auto const& w : {geometry(0), geometry_3(0), geometry_4(0)})
        pc.feed(w);
    ASSERT_EQ(pc.scanmechs.size(), 3u);
    pc.feed(shot_2angles(1, 10, 10));
    EXPECT_TRUE(std::isnan(pc.shots.back().direction[0]));
}

TEST(PointcloudHeader, IdentityTexts) {
    recorder pc;
    pc.feed(packet<scanlib::header>([](auto& v) {
        const char* full = "ABCDEFGHIJKLMNOP";
        for (int i = 0; i < 16; ++i)
            v.type_id[i] = full[i];
        v.serial[0] = 'S';
        v.serial[1] = '7';
    }));
    EXPECT_EQ(pc.type_id, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(pc.build, "");
    EXPECT_EQ(pc.serial, "S7");
    pc.feed(packet<scanlib::header_device>([](auto& v) {
        v.ident_major = 2;
        v.ident_minor = 0;
        v.ident_name[0] = 'A';
        v.ident_name[1] = 'B';
    }));
    EXPECT_EQ(pc.ident, "2.0-AB");
    pc.feed(packet<scanlib::header_device>([](auto& v) { v.ident_major = 2; }));
    EXPECT_EQ(pc.ident, "2.0-");
}

TEST(PointcloudCrc, ChannelsCheckTheCoveredWords) {
    recorder pc;
    pc.feed(packet<scanlib::crc32_header>(
        [](auto& v) {
            v.channel = 3;
            v.ids[0].main = 10;
            v.ids[0].sub = 2;
        },
        2));
    ASSERT_EQ(pc.impl->crc_channels.size(), 4u);
    EXPECT_TRUE(pc.impl->crc_channels[0].selector.none());
    auto check = [](unsigned counter, std::uint32_t crc) {
        return packet<scanlib::crc32_check>([&](auto& v) {
            v.channel = 3;
            v.counter = counter;
            v.crc = crc;
        });
    };
    auto mpeg2 = [](std::vector<words> const& packets) {
        boost::crc_optimal<32, 0x04C11DB7, 0xFFFFFFFF, 0, false, false> c;
        for (auto const& p : packets)
            for (unsigned w : p)
                for (int s = 24; s >= 0; s -= 8)
                    c.process_byte(static_cast<unsigned char>(w >> s));
        return c.checksum();
    };
    pc.feed(shot_2angles(5)); // before the first check: not compared
    pc.feed(check(1, 0));
    EXPECT_TRUE(pc.crc_errors.empty());
    const words a = shot_2angles(6, 1, 2), b = shot_2angles(7, 3, 4);
    pc.feed(a, echo(10, 10), b); // the echo is not covered
    pc.feed(check(2, mpeg2({a, b})));
    EXPECT_TRUE(pc.crc_errors.empty());
    EXPECT_EQ(pc.impl->crc_channels[3].counter, 2u);

    pc.feed(a);
    pc.feed(check(3, mpeg2({a}) ^ 1));
    ASSERT_EQ(pc.crc_errors.size(), 1u);
    EXPECT_EQ(pc.crc_errors[0].channel, 3);
    EXPECT_EQ(pc.crc_errors[0].counter, 2u);
    EXPECT_EQ(pc.crc_errors[0].failed, 3u);
    // After a mismatch only the words since the failed check count.
    pc.feed(b);
    pc.feed(check(4, mpeg2({b}) ^ 1));
    ASSERT_EQ(pc.crc_errors.size(), 2u);
    EXPECT_EQ(pc.crc_errors[1].counter, 2u);
    pc.feed(b);
    pc.feed(check(5, mpeg2({b})));
    EXPECT_EQ(pc.crc_errors.size(), 2u);
    EXPECT_EQ(pc.impl->crc_channels[3].counter, 5u);

    // A check for a channel without a record changes nothing.
    pc.feed(packet<scanlib::crc32_check>([](auto& v) { v.channel = 9; }));
    EXPECT_EQ(pc.impl->crc_channels.size(), 4u);
}

TEST(PointcloudParameters, AngleNotchTablesFromCalibration) {
    recorder pc;
    pc.feed(units(0.5f, 1048576, 1048576));
    pc.feed(geometry());
    pc.feed(calib(20, {{0, 100}, {360, 460}}));
    pc.feed(calib(21, {{0, 0}, {360, 0}}));
    try {
        pc.feed(packet<scanlib::meas_start>());
        FAIL();
    } catch (scanlib::scanlib_exception const& e) {
        EXPECT_NE(std::string(e.what()).find("pointcloud::on_check_parameters_before_measurement_starting: "
                                             "inconsistent angle notchfilter tables"),
                  std::string::npos);
        EXPECT_NE(std::string(e.what()).find("590"), std::string::npos);
    }
    EXPECT_FALSE(pc.measurement_started);
    pc.feed(calib(14, {{0, 1}}));
    pc.feed(calib(15, {{0, 2}}));
    pc.feed(calib(30, {{0, 5}}));
    pc.feed(calib(31, {{0, 5}}));
    pc.feed(packet<scanlib::meas_start>());
    EXPECT_TRUE(pc.measurement_started);
    EXPECT_EQ(pc.notch_mode, 1u);
    ASSERT_EQ(pc.notch_lo_table.size(), 4097u);
    // Entry 2048 lies at 180 degrees: centre 280, half width 1 * 8 + 0.1,
    // amplitude 0 + 2 * 4 + 1, in range units of 0.5 and amplitude units of 0.01.
    EXPECT_EQ(pc.notch_lo_table[2048], static_cast<std::uint32_t>((280 - 8.1) / 0.5 + 0.5));
    EXPECT_EQ(pc.notch_hi_table[2048], static_cast<std::uint32_t>((280 + 8.1) / 0.5 + 0.5));
    EXPECT_EQ(pc.notch_ampl_table[2048], 900);
    EXPECT_EQ(pc.notch_lo_table[4096], static_cast<std::uint32_t>((460 - 8.1) / 0.5 + 0.5));

    // The tables select the window by the shot's line angle.
    pc.feed(shot_2angles(1, 2048 * 256));
    pc.feed(echo(560, 800)); // inside [544, 576] and weak: dropped
    pc.feed(echo(560, 1000));
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 1u);
    EXPECT_FLOAT_EQ(pc.reports[0].t.amplitude, 10.0f);

    // A second start runs nothing again.
    pc.calib_tables.clear();
    pc.feed(packet<scanlib::meas_start>());
    EXPECT_EQ(pc.notch_lo_table.size(), 4097u);
}

TEST(PointcloudParameters, AngleNotchTablesMatchTheReferenceLookup) {
    // Long calibration tables, sorted with repeated abscissae or unsorted:
    // every entry agrees with the plain walk of `interpolate`.
    std::mt19937 rng(7);
    auto table = [&](int n, int lo, int hi, bool sorted) {
        std::uniform_int_distribution<int> x(lo, hi), y(-5, 5);
        std::vector<std::pair<short, short>> t(static_cast<std::size_t>(n));
        for (auto& p : t)
            p = {static_cast<short>(x(rng)), static_cast<short>(y(rng))};
        if (sorted)
            std::sort(t.begin(), t.end(), [](auto const& a, auto const& b) { return a.first < b.first; });
        return t;
    };
    auto pairs = [](std::vector<std::pair<short, short>> const& t) {
        std::vector<std::pair<double, double>> d;
        for (auto const& p : t)
            d.emplace_back(p.first, p.second);
        return d;
    };
    for (bool sorted14 : {true, false}) {
        SCOPED_TRACE(sorted14);
        const auto t20 = table(300, -10, 370, true), t21 = table(200, -10, 370, true),
                   t14 = table(100, -20, 20, sorted14), t15 = table(50, -20, 20, true);
        recorder pc;
        pc.feed(units(0.001f, 1u << 16, 1u << 16));
        pc.feed(geometry());
        pc.feed(calib(20, t20), calib(21, t21), calib(14, t14), calib(15, t15));
        pc.feed(packet<scanlib::meas_start>());
        ASSERT_EQ(pc.notch_lo_table.size(), 257u);
        const double ru = 0.001f;
        for (std::size_t i = 0; i <= 256; ++i) {
            const double a = i * 360.0 / 256;
            const double w = scanlib::interpolate(a, pairs(t21));
            const double amplitude = w + scanlib::interpolate(w, pairs(t15)) * 4 + 1;
            const double half = scanlib::interpolate(w, pairs(t14)) * 8 + 0.1;
            const double c = scanlib::interpolate(a, pairs(t20));
            ASSERT_EQ(pc.notch_lo_table[i], static_cast<std::uint32_t>(static_cast<std::int32_t>((c - half) / ru + 0.5)))
                << i;
            ASSERT_EQ(pc.notch_hi_table[i], static_cast<std::uint32_t>(static_cast<std::int32_t>((c + half) / ru + 0.5)))
                << i;
            ASSERT_EQ(pc.notch_ampl_table[i],
                      static_cast<std::uint16_t>(static_cast<std::int32_t>(amplitude / 0.01 + 0.5)))
                << i;
        }
    }
}

TEST(PointcloudParameters, NoMechanismNoCheck) {
    recorder pc;
    pc.feed(calib(20, {{0, 1}}));
    pc.feed(packet<scanlib::meas_start>());
    EXPECT_TRUE(pc.measurement_started);
    EXPECT_EQ(pc.notch_mode, 0u);

    // A circle of fewer than 256 counts gives one defined entry.
    recorder small;
    small.feed(units(1.0f, 100, 100));
    small.feed(geometry());
    for (unsigned short id : {20, 21, 14, 15})
        small.feed(calib(id, {{0, 3}}));
    small.feed(shot_2angles(1, 50));
    ASSERT_EQ(small.notch_lo_table.size(), 1u);
    EXPECT_EQ(small.notch_lo_table[0], static_cast<std::uint32_t>(static_cast<std::int32_t>(3 - (3 * 8 + 0.1) + 0.5)));
}

TEST(PointcloudParameters, ConfigurationAtMeasurementStart) {
    recorder pc;
    pc.feed(units(1.0f, 1, 1));
    pc.feed(packet<scanlib::nrange_table>([](auto& v) { v.corrections[0].correction = 5; }, 3));
    ASSERT_EQ(pc.nrange.size(), 2u);
    pc.feed(text_packet(R"({"other":1})"));
    pc.feed(text_packet(R"({"pointcloud":{"dyntrig":{"offset":"1.5","scale":2,)"
                        R"("table":[{"thra1":1,"del1":2,"dec1":3,"thra2":4,"del2":5,"dec2":6}]},)"
                        R"("nrange":[],"nrange_delta":3,"refltab":["0.5",1.5],"refltab_delta":"12.5",)"
                        R"("delta_rg":0.25,"ignored":{"x":1}}})"));
    EXPECT_FALSE(pc.dyntrig_valid); // applied only at the start
    pc.feed(packet<scanlib::meas_start>());
    EXPECT_TRUE(pc.dyntrig_valid);
    EXPECT_FLOAT_EQ(pc.dyntrig_offset, 1.5f);
    EXPECT_FLOAT_EQ(pc.dyntrig_scale, 2.0f);
    ASSERT_EQ(pc.dec2.size(), 1u);
    EXPECT_FLOAT_EQ(pc.dec2[0], 6.0f);
    EXPECT_FLOAT_EQ(pc.del1[0], 2.0f);
    EXPECT_TRUE(pc.nrange.empty());
    EXPECT_FLOAT_EQ(pc.nrange_delta, 3.0f);
    ASSERT_EQ(pc.refltab.size(), 2u);
    EXPECT_FLOAT_EQ(pc.refltab[0], 0.5f);
    EXPECT_FLOAT_EQ(pc.refltab_delta, 12.5f);
    EXPECT_DOUBLE_EQ(pc.delta_rg, 0.25);

    // A later packet changes the tree but nothing else.
    pc.feed(text_packet(R"({"pointcloud":{"delta_rg":9}})"));
    EXPECT_DOUBLE_EQ(pc.delta_rg, 0.25);
}

TEST(PointcloudParameters, ConfigurationFailures) {
    {
        recorder pc;
        EXPECT_THROW(pc.feed(text_packet("")), pt::json_parser_error);
        EXPECT_THROW(pc.feed(text_packet("{\"pointcloud\":")), pt::json_parser_error);
    }
    {
        recorder pc;
        pc.feed(packet<scanlib::nrange_table>([](auto& v) { v.corrections[0].correction = 5; }, 3));
        pc.feed(text_packet(R"({"pointcloud":{"nrange":[1,2],"delta_rg":1}})"));
        EXPECT_THROW(pc.feed(packet<scanlib::meas_start>()), pt::ptree_bad_path);
        EXPECT_TRUE(pc.measurement_started);
        EXPECT_EQ(pc.nrange.size(), 2u);
        EXPECT_DOUBLE_EQ(pc.delta_rg, 0);
    }
    {
        recorder pc;
        pc.feed(text_packet(R"({"pointcloud":{"dyntrig":{"offset":"x","scale":1}}})"));
        EXPECT_THROW(pc.feed(shot_2angles(1)), pt::ptree_bad_data);
        EXPECT_FALSE(pc.dyntrig_valid);
    }
    {
        // A length past the body reads only the body.
        recorder pc;
        pc.feed(text_packet(R"({"pointcloud":{"delta_rg":2}}   )", 0xFFFFFFFFu));
        pc.feed(packet<scanlib::meas_start>());
        EXPECT_DOUBLE_EQ(pc.delta_rg, 2);
    }
    {
        // Nesting deep enough to exhaust the reader's stack is refused, and
        // the previous configuration stays.
        recorder pc;
        pc.feed(text_packet(R"({"pointcloud":{"delta_rg":3}})"));
        const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
        EXPECT_THROW(pc.feed(text_packet(deep)), pt::json_parser_error);
        // Brackets inside strings do not count; moderate nesting is read.
        const std::string nested = std::string(100, '[') + std::string(100, ']');
        pc.feed(text_packet(R"({"x":")" + std::string(300, '[') + R"(\"","y":)" + nested +
                            R"(,"pointcloud":{"delta_rg":4}})"));
        pc.feed(packet<scanlib::meas_start>());
        EXPECT_DOUBLE_EQ(pc.delta_rg, 4);
    }
    {
        // A shorter length cuts the text.
        recorder pc;
        EXPECT_THROW(pc.feed(text_packet(R"({"pointcloud":{}})", 5)), pt::json_parser_error);
    }
}

TEST(PointcloudMeta, NotAvailableBeforeTheStart) {
    recorder pc;
    std::ostringstream os;
    try {
        pc.write_meta(os, false);
        FAIL();
    } catch (scanlib::scanlib_exception const& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("pointcloud::get_meta: meta information not available (yet)"), std::string::npos);
        EXPECT_NE(what.find("scanlib/src/pointcloud : 426"), std::string::npos) << what;
    }
    EXPECT_TRUE(os.str().empty());
}

TEST(PointcloudMeta, DefaultDocument) {
    recorder pc;
    pc.feed(packet<scanlib::meas_start>());
    const std::string text = meta(pc);
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.rfind("{\"pointcloud\":{", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 2), "\n}");
    EXPECT_NE(text.find("\"unambiguous_range\":\"10000\""), std::string::npos);
    EXPECT_NE(text.find("\"pressure\":\"nan\""), std::string::npos);
    const pt::ptree o = meta_tree(pc);
    std::vector<std::string> keys;
    for (auto const& m : o)
        keys.push_back(m.first);
    const std::vector<std::string> expected{
        "type_id",      "serial",        "build",       "unambiguous_range", "attenuation",
        "pressure",     "pressure_sl",   "rel_humidity", "rng_scale",        "delta_rg",
        "temperature",  "group_velocity", "wavelength", "sampling_time",     "pulse_repetition_rate",
        "ampl_unit",    "refl_unit",     "systime_unit", "systime_hr_unit",  "systime_hr_bits"};
    EXPECT_EQ(keys, expected);
    EXPECT_EQ(o.get<std::string>("systime_hr_bits"), "49");
    EXPECT_EQ(o.get<std::string>("ampl_unit"), "0.01");
    EXPECT_EQ(o.get<double>("systime_hr_unit"), 1.9073486328125e-13);

    const std::string pretty = meta(pc, true);
    EXPECT_EQ(pretty.back(), '\n');
    EXPECT_EQ(pretty.substr(pretty.size() - 2), "}\n");
    std::istringstream is(pretty);
    pt::ptree p;
    pt::read_json(is, p);
    EXPECT_EQ(p.get_child("pointcloud"), o);
}

TEST(PointcloudMeta, ConditionalMembersAndNumbers) {
    recorder pc;
    pc.feed(units(1.0f, 360, 360));
    pc.feed(packet<scanlib::header_device>([](auto& v) {
        v.ident_major = 1;
        v.ident_name[0] = 'Q';
    }));
    pc.feed(mta(0, 100, 900, 600));
    pc.feed(geometry());
    pc.feed(geometry());
    pc.feed(packet<scanlib::pulse_position_modulation>(
        [](auto& v) {
            v.interval_count = 1;
            v.pulse_num_mod_ampl = 2;
            v.intervals[0].interval = 0.5f;
        },
        2));
    pc.feed(packet<scanlib::dyntrig>([](auto& v) { v.offset = 0.1f; }, 2));
    pc.feed(text_packet(R"({"pointcloud":{"nrange":["0.1"],"nrange_delta":"0.1","delta_rg":0.1}})"));
    pc.feed(packet<scanlib::meas_start>());

    const std::string text = meta(pc);
    EXPECT_NE(text.find("\"nrange_delta\":\"0.100000001\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"nrange\":[\"0.100000001\"]"), std::string::npos);
    EXPECT_NE(text.find("\"delta_rg\":\"0.10000000000000001\""), std::string::npos);
    EXPECT_NE(text.find("\"table\":\"\""), std::string::npos);
    const pt::ptree o = meta_tree(pc);
    EXPECT_EQ(o.get<std::string>("ident"), "1.0-Q");
    EXPECT_EQ(o.get<double>("gate_low"), 100);
    EXPECT_EQ(o.get<double>("gate_high"), 900);
    EXPECT_EQ(o.count("scanmech"), 2u);
    EXPECT_EQ(o.begin()->first, "type_id");
    EXPECT_EQ(std::next(o.begin())->first, "ident");
    EXPECT_EQ(o.get<unsigned>("pulse_position_modulation.pulse_num_mod_ampl"), 2u);
    EXPECT_EQ(o.get_child("pulse_position_modulation.intervals").begin()->second.get_value<double>(), 0.5);
    EXPECT_FLOAT_EQ(o.get<float>("dyntrig.offset"), 0.1f);

    // A fixed zone leaves the gate out.
    pc.feed(mta(2, 100, 900, 600));
    EXPECT_EQ(meta_tree(pc).count("gate_low"), 0u);
}

TEST(PointcloudMeta, WrittenDocumentConfiguresAnotherPointCloud) {
    recorder a;
    a.feed(units(1.0f, 360, 360));
    a.feed(geometry());
    a.feed(packet<scanlib::dyntrig>(
        [](auto& v) {
            v.offset = 2;
            v.scale = 3;
            v.table[0].thra1 = 40;
            v.table[1].dec2 = 0.25f;
        },
        14));
    a.feed(packet<scanlib::meas_start>());
    std::ostringstream os;
    a.write_meta(os, false);

    recorder b;
    b.feed(units(1.0f, 360, 360));
    b.feed(geometry());
    b.feed(text_packet(os.str()));
    b.feed(packet<scanlib::meas_start>());
    EXPECT_TRUE(b.dyntrig_valid);
    EXPECT_EQ(b.thra1, a.thra1);
    EXPECT_EQ(b.dec2, a.dec2);
    std::ostringstream os2;
    b.write_meta(os2, false);
    EXPECT_EQ(os2.str(), os.str());
}

TEST(PointcloudFuzzSeeds, StreamsReplayAndAreWritten) {
    // Seeds for fuzz_pointcloud: a flag byte, then length-prefixed packets.
    std::vector<std::vector<words>> streams{
        {units(0.001f, 3600, 3600), geometry(2), mta(0, 10, 400, 300),
         shot_hr(100000, 10, 20), echo(100, 200), echo(300, 100), shot_hr(200000, 30, 40),
         packet<scanlib::line_stop>(), packet<scanlib::meas_stop>()},
        {packet<scanlib::crc32_header>([](auto& v) { v.ids[0].main = 42; }, 2), shot_2angles(5, 6, 7),
         echo(10, 20), packet<scanlib::crc32_check>(), echo(11, 20), packet<scanlib::crc32_check>(),
         packet<scanlib::dyntrig>([](auto& v) { v.table[0].thra1 = 50; }, 8), shot_2angles(8),
         text_packet(R"({"pointcloud":{"delta_rg":1}})"), packet<scanlib::meas_start>()},
        {packet<scanlib::pps_sync>([](auto& v) { v.counter = 5; v.ext_time = 6; }),
         packet<scanlib::pps_sync>([](auto& v) { v.counter = 10000005; v.ext_time = 1006; }),
         packet<scanlib::laser_shot_2angles_rad>([](auto& v) { v.background = 4; }), geometry_3(1), geometry_6(2),
         shot_2angles(20000000, 1, 1), packet<scanlib::laser_echo_qual>(), packet<scanlib::laser_echo_sw>()},
    };
    // Whole configurations as an instrument sends them, then shots with
    // none, one and several echoes.
    auto echoes = [](std::vector<words> s, std::uint64_t time, int n) {
        s.push_back(shot_hr(time, static_cast<unsigned>(time % 3600), static_cast<unsigned>(time % 1800)));
        for (int i = 0; i < n; ++i)
            s.push_back(echo(1000 + 700 * i, static_cast<unsigned short>(300 - 40 * i), 20, 0, 2));
        return s;
    };
    std::vector<words> full{
        units_1(0.00025f, 3600, 3600, 0.01f),
        geometry_3(2),
        packet<scanlib::atmosphere_3>([](auto& v) { v.attenuation = 1.0f; }),
        packet<scanlib::nrange_table>(
            [](auto& v) {
                for (int i = 0; i < 4; ++i)
                    v.corrections[i].correction = short(10 * i);
            },
            4),
        packet<scanlib::reftab_table>(
            [](auto& v) {
                v.divisor = 1024;
                v.values[0].value = -100;
                v.values[1].value = -200;
            },
            2),
        packet<scanlib::notch_filter>([](auto& v) {
            v.range_min = 0;
            v.range_max = 100;
            v.amplitude_max = 10;
        }),
        mta(0, 10, 400, 300),
        packet<scanlib::m_sequence_mta>([](auto& v) { v.sequence_length = 16; }, 1),
        packet<scanlib::meas_start>()};
    for (std::uint64_t t = 1; t <= 6; ++t)
        full = echoes(full, t * 100000, static_cast<int>(t % 4));
    full.push_back(packet<scanlib::line_stop>());
    streams.push_back(full);
    std::vector<words> fixed_zone{units(0.001f, 36000, 36000), geometry_4(1), mta(2, 0, 0, 150),
                                  packet<scanlib::pulse_position_modulation>(
                                      [](auto& v) {
                                          v.interval_count = 2;
                                          v.intervals[0].interval = 1.5f;
                                          v.intervals[1].interval = 2.5f;
                                      },
                                      3)};
    for (std::uint64_t t = 1; t <= 8; ++t)
        fixed_zone = echoes(fixed_zone, t * 2000, static_cast<int>(t % 3));
    fixed_zone.push_back(packet<scanlib::meas_stop>());
    streams.push_back(fixed_zone);
    std::vector<words> wedge{units(0.001f, 360000, 360000), geometry_2(), shot_2angles(10, 100, 200), echo(500, 100),
                             echo(900, 50), packet<scanlib::echo_1>(), shot_2angles(20, 300, 400),
                             packet<scanlib::frame_stop>()};
    streams.push_back(wedge);
    const unsigned char flags[] = {2, 7, 1, 2, 6, 6};
    for (std::size_t k = 0; k < streams.size(); ++k) {
        recorder pc(flags[k] & 1);
        for (auto const& w : streams[k])
            EXPECT_NO_THROW(pc.feed(w));
        EXPECT_TRUE(pc.measurement_started);
        EXPECT_TRUE(write_fuzz_seed("stream" + std::to_string(k), flags[k], streams[k]));
    }
}
