// Point cloud: shot assembly, reporting, notch filter, dynamic trigger, echo
// evaluation and the comma-separated output, driven by packet streams.
#include "packed_model.hpp"
#include "pointcloud_support.hpp"
#include "zpk_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <sstream>

using namespace pctest;
using scanlib::pointcloud;

namespace {

constexpr double pi = std::numbers::pi;

// Ideal spherical beam direction for line and frame angles in radians.
void sphere(double l, double f, double (&d)[3]) {
    d[0] = std::cos(f) * std::sin(l);
    d[1] = std::sin(f) * std::sin(l);
    d[2] = std::cos(l);
}

} // namespace

TEST(PointcloudShots, EchoesAreReportedFirstThenLast) {
    recorder pc;
    pc.feed(units(0.001f, 360000, 360000));
    pc.feed(shot_2angles(1000, 90000, 45000));
    ASSERT_EQ(pc.shots.size(), 1u);
    EXPECT_EQ(pc.shot_ends, 0);
    double d[3];
    sphere(pi / 2, pi / 4, d);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(pc.shots[0].direction[i], d[i], 1e-12);
        EXPECT_EQ(pc.shots[0].origin[i], 0.0);
    }
    const double systime_unit = 1e-7f;
    EXPECT_DOUBLE_EQ(pc.shots[0].time, 1000 * systime_unit);
    EXPECT_DOUBLE_EQ(pc.shots[0].time_raw, 1000 * systime_unit);

    pc.feed(echo(5000, 200, 30, 0x5, -3));
    EXPECT_TRUE(pc.reports.empty());
    pc.feed(echo(7000, 300));
    ASSERT_EQ(pc.reports.size(), 1u);
    EXPECT_EQ(pc.reports[0].type, pointcloud::first);
    pc.feed(shot_2angles(2000));
    ASSERT_EQ(pc.reports.size(), 2u);
    EXPECT_EQ(pc.reports[1].type, pointcloud::last);
    EXPECT_EQ(pc.reports[1].index, 1u);
    EXPECT_EQ(pc.shot_ends, 1);

    const double range_unit = 0.001f;
    scanlib::target const& t = pc.reports[0].t;
    EXPECT_DOUBLE_EQ(t.range, 5000 * range_unit);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(t.vertex[i], d[i] * 5000 * range_unit, 1e-6);
    EXPECT_FLOAT_EQ(t.amplitude, 2.0f);
    EXPECT_FLOAT_EQ(t.reflectance, 0.3f);
    EXPECT_FLOAT_EQ(t.deviation, -3.0f);
    EXPECT_EQ(t.flags[1], 1);
    EXPECT_EQ(t.flags[2], 1);
    EXPECT_EQ(t.flags[0], 0);
    EXPECT_EQ(t.zone, 0);
    EXPECT_DOUBLE_EQ(t.time, 1000 * systime_unit);
    EXPECT_TRUE(std::isnan(t.background));
    EXPECT_DOUBLE_EQ(pc.reports[1].t.range, 7000 * range_unit);

    // Closing with meas_stop, then a stop with nothing open.
    pc.feed(echo(100, 100));
    pc.feed(packet<scanlib::meas_stop>());
    EXPECT_EQ(pc.reports.back().type, pointcloud::single);
    EXPECT_EQ(pc.shot_ends, 2);
    pc.feed(packet<scanlib::frame_stop>());
    EXPECT_EQ(pc.shot_ends, 2);
}

TEST(PointcloudShots, PseudoEchoNeedsABackground) {
    recorder pc;
    auto rad = [](unsigned time, unsigned short bg) {
        return packet<scanlib::laser_shot_2angles_rad>([&](auto& v) {
            v.time = time;
            v.background = bg;
        });
    };
    // The first shot closes nothing: no substitute echo for a shot that
    // never was.
    pc.feed(rad(10, 7));
    EXPECT_TRUE(pc.reports.empty());
    EXPECT_EQ(pc.shot_ends, 0);
    EXPECT_FLOAT_EQ(pc.background, 7.0f);
    pc.feed(rad(20, 9));
    ASSERT_EQ(pc.reports.size(), 1u);
    EXPECT_EQ(pc.reports[0].type, pointcloud::pseudo);
    EXPECT_EQ(pc.shot_ends, 1);
    scanlib::target const& t = pc.reports[0].t;
    EXPECT_DOUBLE_EQ(t.range, 0.35);
    EXPECT_FLOAT_EQ(t.amplitude, 0.01f);
    EXPECT_TRUE(std::isnan(t.reflectance));
    // The closed shot's own background, not the next one's.
    EXPECT_FLOAT_EQ(t.background, 7.0f);
    EXPECT_FLOAT_EQ(t.vertex[2], static_cast<float>(pc.shots[0].direction[2] * 0.35));

    // A shot without a background that follows does not take the substitute
    // echo from the shot it closes, ...
    pc.feed(packet<scanlib::laser_shot_6angles>([](auto& v) { v.time = 30; }));
    ASSERT_EQ(pc.reports.size(), 2u);
    EXPECT_FLOAT_EQ(pc.reports[1].t.background, 9.0f);
    EXPECT_EQ(pc.shot_ends, 2);
    // ... and gets none itself.
    pc.feed(rad(40, 5));
    EXPECT_EQ(pc.reports.size(), 2u);
    EXPECT_EQ(pc.shot_ends, 3);
    // Echoes take the background of their own shot.
    pc.feed(echo(10, 100));
    pc.feed(rad(50, 6));
    ASSERT_EQ(pc.reports.size(), 3u);
    EXPECT_EQ(pc.reports[2].type, pointcloud::single);
    EXPECT_FLOAT_EQ(pc.reports[2].t.background, 5.0f);
}

TEST(PointcloudShots, PpsTimeWithholdsReportsUntilLocked) {
    recorder pc(true);
    auto pps = [](unsigned counter, unsigned ext) {
        return packet<scanlib::pps_sync>([&](auto& v) {
            v.counter = counter;
            v.ext_time = ext;
        });
    };
    pc.feed(pps(1000, 5000));
    pc.feed(shot_2angles(1000 + 5000000));
    EXPECT_TRUE(std::isnan(pc.shots[0].time));
    pc.feed(echo(100, 100));
    pc.feed(pps(1000 + 10000000, 6000));
    EXPECT_EQ(pc.synchronized, 1);
    pc.feed(echo(200, 100));
    ASSERT_EQ(pc.reports.size(), 1u);
    EXPECT_EQ(pc.reports[0].type, pointcloud::first);
    // The first shot closed after the lock loses its last target.
    pc.feed(shot_2angles(1000 + 12000000));
    EXPECT_EQ(pc.reports.size(), 1u);
    EXPECT_EQ(pc.shot_ends, 1);
    EXPECT_NEAR(pc.shots[1].time, 6.2, 1e-9);
    pc.feed(echo(300, 100));
    pc.feed(shot_2angles(1000 + 13000000));
    ASSERT_EQ(pc.reports.size(), 2u);
    EXPECT_EQ(pc.reports[1].type, pointcloud::single);
    EXPECT_EQ(pc.reports[1].t.flags[3], 1);
    EXPECT_NEAR(pc.reports[1].t.time, 6.2, 1e-9);
}

TEST(PointcloudShots, NotchWindow) {
    recorder pc;
    pc.set_notch_filter(10, 20, 5);
    pc.feed(shot_2angles(1));
    pc.feed(echo(15, 300)); // amplitude 3: inside the window, dropped
    pc.feed(echo(15, 600)); // amplitude 6: passes
    pc.feed(packet<scanlib::notch_filter>([](auto& v) {
        v.range_min = 0;
        v.range_max = 100;
        v.amplitude_max = 10;
    }));
    // The caller's window stays after the packet.
    EXPECT_EQ(pc.notch_lo, 10);
    EXPECT_EQ(pc.notch_hi, 20);
    EXPECT_EQ(pc.notch_ampl, 500);
    pc.feed(echo(50, 300));
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 2u);
    EXPECT_DOUBLE_EQ(pc.reports[0].t.range, 15);
    EXPECT_FLOAT_EQ(pc.reports[0].t.amplitude, 6.0f);
    EXPECT_DOUBLE_EQ(pc.reports[1].t.range, 50);

    // The window follows the units and the stored limits as each shot opens,
    // however often it was derived before.
    pc.feed(units_1(0.5f, 360000, 360000, 0.1f));
    pc.feed(shot_2angles(3));
    EXPECT_EQ(pc.notch_lo, 20);
    EXPECT_EQ(pc.notch_hi, 40);
    EXPECT_EQ(pc.notch_ampl, 50);
    pc.notch_range_max = 30;
    pc.feed(shot_2angles(4));
    EXPECT_EQ(pc.notch_hi, 60);
    pc.ampl_unit = 0.01;
    pc.feed(shot_2angles(5));
    EXPECT_EQ(pc.notch_ampl, 500);
    EXPECT_EQ(pc.notch_lo, 20);

    // A notch_filter packet without a caller's window sets it.
    recorder other;
    other.feed(packet<scanlib::notch_filter>([](auto& v) {
        v.range_min = 1;
        v.range_max = 2;
        v.amplitude_max = 0.5f;
    }));
    EXPECT_EQ(other.notch_lo, 1);
    EXPECT_EQ(other.notch_hi, 2);
    EXPECT_EQ(other.notch_ampl, 50);
}

TEST(PointcloudShots, UtcShotsUseTheFixedNotchWindow) {
    recorder pc;
    pc.feed(packet<scanlib::units_4>([](auto& v) {
        v.range_unit = 1.0f;
        v.line_circle_count = 360;
        v.frame_circle_count = 360;
        v.systime_unit = 1e-7f;
        v.ampl_unit = 0.01f;
        v.systime_hr_unit = 1.9073486328125e-13f;
        v.systime_hr_bits = 49;
        v.utc_time_unit = 0.5f;
    }));
    auto utc = [](std::uint64_t time, unsigned char check) {
        return packet<scanlib::laser_shot_utctime_origin_direction>([&](auto& v) {
            v.time = time;
            v.f1 = check;
            v.origin[0] = 16384;
            v.origin[1] = -16384;
            v.origin[2] = 0;
            v.direction[0] = 0;
            v.direction[1] = 0;
            v.direction[2] = 1 << 22;
        });
    };
    pc.feed(utc(7, 1)); // a nonzero check byte: ignored
    EXPECT_TRUE(pc.shots.empty());
    pc.feed(utc(8, 0));
    ASSERT_EQ(pc.shots.size(), 1u);
    EXPECT_DOUBLE_EQ(pc.shots[0].time, 4.0);
    EXPECT_DOUBLE_EQ(pc.shots[0].origin[0], 1.0);
    EXPECT_DOUBLE_EQ(pc.shots[0].origin[1], -1.0);
    EXPECT_DOUBLE_EQ(pc.shots[0].direction[2], 1.0);
    // The window set at construction (every non-negative raw range) is not
    // in force: the shot prepared the all-zero fixed window.
    pc.feed(echo(100, 10));
    pc.feed(echo(-5, 10));
    pc.feed(echo(0, 0)); // inside the zero window
    pc.feed(utc(9, 0));
    ASSERT_EQ(pc.reports.size(), 2u);
    EXPECT_DOUBLE_EQ(pc.reports[0].t.range, 100);
    EXPECT_FLOAT_EQ(pc.reports[0].t.vertex[2], 100.0f);
    EXPECT_DOUBLE_EQ(pc.reports[1].t.range, -5);
    EXPECT_FLOAT_EQ(pc.reports[1].t.vertex[0], 1.0f);
    EXPECT_FLOAT_EQ(pc.reports[1].t.vertex[2], -5.0f);

    // A caller's window applies to these shots without any notch packet.
    recorder user;
    user.set_notch_filter(50, 150, 1);
    user.feed(utc(8, 0));
    user.feed(echo(100, 10), echo(100, 200), echo(40, 10));
    user.feed(utc(9, 0));
    ASSERT_EQ(user.reports.size(), 2u);
    EXPECT_FLOAT_EQ(user.reports[0].t.amplitude, 2.0f);
    EXPECT_DOUBLE_EQ(user.reports[1].t.range, 40);
}

TEST(PointcloudShots, DynamicTriggerSuppressesWeakLaterEchoes) {
    recorder pc;
    pc.feed(packet<scanlib::dyntrig>(
        [](auto& v) {
            v.offset = 0;
            v.scale = 1000;
            v.table[0].thra1 = 100;
        },
        8));
    ASSERT_TRUE(pc.dyntrig_valid);
    ASSERT_EQ(pc.thra1.size(), 1u);
    pc.feed(shot_2angles(1));
    pc.feed(echo(10, 5000));
    pc.feed(echo(20, 3000));
    EXPECT_TRUE(pc.reports.empty());
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 2u);
    EXPECT_EQ(pc.reports[0].type, pointcloud::first);
    EXPECT_DOUBLE_EQ(pc.reports[0].t.range, 10);
    EXPECT_EQ(pc.reports[1].type, pointcloud::last);
    EXPECT_TRUE(std::isnan(pc.reports[1].t.range));
    EXPECT_TRUE(std::isnan(pc.reports[1].t.vertex[0]));
    EXPECT_FLOAT_EQ(pc.reports[1].t.amplitude, 30.0f);

    // No pseudo echo while the pass is on, even with a background.
    pc.feed(packet<scanlib::laser_shot_2angles_rad>([](auto& v) { v.background = 3; }));
    pc.feed(shot_2angles(3));
    EXPECT_EQ(pc.reports.size(), 2u);
}

TEST(PointcloudShots, DynamicTriggerWithEmptyOrUnevenColumns) {
    recorder pc;
    pc.feed(packet<scanlib::dyntrig>([](auto& v) { v.scale = 1; }, 2));
    ASSERT_TRUE(pc.dyntrig_valid);
    ASSERT_TRUE(pc.thra1.empty());
    pc.feed(shot_2angles(1));
    pc.feed(echo(10, 5000));
    pc.feed(echo(20, 3000));
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 2u);
    EXPECT_DOUBLE_EQ(pc.reports[1].t.range, 20);

    pc.thra1 = {100, 100, 100};
    pc.del1 = pc.dec1 = pc.thra2 = pc.del2 = {0};
    pc.dec2 = {0, 0};
    pc.feed(echo(10, 60000));
    pc.feed(echo(20, 3000));
    pc.feed(shot_2angles(3));
    ASSERT_EQ(pc.reports.size(), 4u);
    EXPECT_TRUE(std::isnan(pc.reports[3].t.range));
}

TEST(PointcloudShots, CommaSeparatedOutput) {
    std::ostringstream os;
    recorder pc(os, false);
    pc.feed(shot_2angles(10));
    pc.feed(echo(12, 250));
    pc.feed(shot_2angles(20));
    pc.feed(echo(13, 250));
    pc.feed(shot_2angles(30));
    const std::string text = os.str();
    const std::string header = "X, Y, Z, targetcount, time, amplitude, reflectance, deviation, red, green, blue, "
                               "temperature\n";
    ASSERT_EQ(text.rfind(header, 0), 0u);
    EXPECT_EQ(text.find(header, 1), std::string::npos);
    std::istringstream lines(text.substr(header.size()));
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        ++rows;
        std::vector<std::string> cells;
        std::stringstream cs(line);
        for (std::string c; std::getline(cs, c, ',');)
            cells.push_back(c);
        ASSERT_EQ(cells.size(), 8u) << line;
        EXPECT_EQ(cells[3], "0");
        EXPECT_DOUBLE_EQ(std::stod(cells[5]), 2.5);
    }
    EXPECT_EQ(rows, 2);

    // Without a stream nothing is written and nothing fails.
    recorder quiet;
    quiet.feed(shot_2angles(1));
    quiet.feed(echo(12, 250));
    quiet.feed(shot_2angles(2));
    EXPECT_EQ(quiet.reports.size(), 1u);
}

TEST(PointcloudShots, CommaSeparatedLineLayout) {
    // Hand-built lines: vertices in width 10 at precision 8, the index in
    // the shot, the time at precision 12, then three values at precision 4.
    std::ostringstream os;
    recorder pc(os, false);
    pc.feed(units(0.125f, 360000, 360000, 0.5f));
    pc.feed(shot_2angles(3));
    pc.feed(echo(96, 250, 30, 0, -3));
    pc.feed(echo(97, 125));
    pc.feed(shot_2angles(4));
    EXPECT_EQ(os.str(), "X, Y, Z, targetcount, time, amplitude, reflectance, deviation, red, green, blue, "
                        "temperature\n"
                        "         0,         0,        12,0,1.5,2.5,0.3,-3\n"
                        "         0,         0,    12.125,1,1.5,1.25,0,0\n");
    EXPECT_EQ(os.precision(), 4);
}

TEST(PointcloudShots, StopsWithoutAnOpenShot) {
    std::ostringstream os;
    recorder pc(os, false);
    pc.feed(units(1.0f, 360000, 360000));
    pc.feed(packet<scanlib::laser_shot_2angles_rad>([](auto& v) {
        v.time = 10;
        v.line_angle = 90000;
        v.background = 7;
    }));
    EXPECT_TRUE(pc.reports.empty());
    pc.feed(packet<scanlib::meas_stop>());
    ASSERT_EQ(pc.reports.size(), 1u);
    EXPECT_EQ(pc.shot_ends, 1);
    EXPECT_EQ(pc.reports[0].type, pointcloud::pseudo);
    EXPECT_NEAR(pc.reports[0].t.vertex[0], 0.35, 1e-6); // line angle 90 degrees: along x
    EXPECT_FLOAT_EQ(pc.reports[0].t.background, 7.0f);
    // Nothing open: no shot end and no substitute echo, background or not.
    pc.feed(packet<scanlib::frame_stop>());
    pc.feed(packet<scanlib::line_stop>());
    EXPECT_EQ(pc.reports.size(), 1u);
    EXPECT_EQ(pc.shot_ends, 1);

    pc.feed(packet<scanlib::laser_shot_6angles>([](auto& v) { v.time = 20; }));
    pc.feed(packet<scanlib::meas_stop>());
    pc.feed(packet<scanlib::meas_stop>());
    EXPECT_EQ(pc.reports.size(), 1u);
    EXPECT_EQ(pc.shot_ends, 2);
    // One comma-separated line: the header and the one substitute echo.
    const std::string text = os.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST(PointcloudShots, ReusedSlotsCarryNoStaleValues) {
    // Each kind of target written into a slot that another kind held before:
    // the shot's own raw time and a clear software-echo mark.
    recorder pc;
    pc.feed(units(1.0f, 360000, 360000, 0.5f));
    auto sw = [](int range) {
        return packet<scanlib::laser_echo_sw>([&](auto& v) {
            v.range = range;
            v.amplitude = 10;
        });
    };
    auto plain = [](int range) {
        return packet<scanlib::laser_echo>([&](auto& v) {
            v.range = range;
            v.amplitude = 10;
        });
    };
    pc.feed(shot_2angles(2), sw(5), echo(6, 100));
    pc.feed(shot_2angles(4), echo(5, 100), sw(6));
    pc.feed(shot_2angles(6), plain(5), plain(6));
    pc.feed(shot_2angles(8), sw(5));
    pc.feed(packet<scanlib::laser_shot_2angles_rad>([](auto& v) {
        v.time = 10;
        v.background = 1;
    }));
    pc.feed(shot_2angles(12)); // the rad shot closes with a pseudo echo in slot 0
    ASSERT_EQ(pc.reports.size(), 8u);
    const double times[8] = {1, 1, 2, 2, 3, 3, 4, 5};
    const int software[8] = {1, 0, 0, 1, 0, 0, 1, 0};
    for (std::size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_DOUBLE_EQ(pc.reports[i].t.time, times[i]);
        EXPECT_DOUBLE_EQ(pc.reports[i].t.time_raw, times[i]);
        EXPECT_EQ(pc.reports[i].t.flags[0], software[i]);
    }
    EXPECT_EQ(pc.reports[7].type, pointcloud::pseudo);
}

TEST(PointcloudShots, UtcShotDirectionsAreSigned) {
    recorder pc;
    pc.feed(packet<scanlib::units_4>([](auto& v) {
        v.range_unit = 1.0f;
        v.utc_time_unit = 1.0f;
    }));
    pc.feed(packet<scanlib::laser_shot_utctime_origin_direction>([](auto& v) {
        v.time = 3;
        v.origin[2] = -1;
        v.direction[0] = -(1 << 22);
        v.direction[1] = -1;
        v.direction[2] = (1 << 23) - 1;
    }));
    ASSERT_EQ(pc.shots.size(), 1u);
    EXPECT_DOUBLE_EQ(pc.shots[0].origin[2], -1.0 / 16384);
    EXPECT_DOUBLE_EQ(pc.shots[0].direction[0], -1.0);
    EXPECT_DOUBLE_EQ(pc.shots[0].direction[1], -1.0 / 4194304);
    EXPECT_DOUBLE_EQ(pc.shots[0].direction[2], 2.0 - 1.0 / 4194304); // not normalised
    EXPECT_DOUBLE_EQ(pc.shots[0].time, 3.0);
}

TEST(PointcloudEchoes, AmplitudeCorrectionTable) {
    recorder pc;
    pc.feed(units_1(1.0f, 1, 1, 1.0f));
    pc.feed(packet<scanlib::arange_table>(
        [](auto& v) {
            v.amplitude_step = 10;
            for (int i = 0; i < 4; ++i)
                v.corrections[i].correction = static_cast<short>(100 * (i + 1));
        },
        3));
    ASSERT_EQ(pc.arange.size(), 4u);
    pc.feed(shot_2angles(1));
    pc.feed(echo(1000, 25)); // step 10: entry 2
    pc.feed(echo(1000, 30)); // at the table's end: none
    pc.feed(echo(1000, 0));  // zero amplitude: none
    pc.feed(echo(1000, 9));  // entry 0
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 4u);
    EXPECT_DOUBLE_EQ(pc.reports[0].t.range, 1300);
    EXPECT_DOUBLE_EQ(pc.reports[1].t.range, 1000);
    EXPECT_DOUBLE_EQ(pc.reports[2].t.range, 1000);
    EXPECT_DOUBLE_EQ(pc.reports[3].t.range, 1100);

    // Corrections at the ends of the raw range must not wrap.
    pc.feed(packet<scanlib::arange_table>(
        [](auto& v) {
            v.amplitude_step = 10;
            v.corrections[0].correction = 30000;
            v.corrections[1].correction = -30000;
        },
        3));
    pc.feed(echo(std::numeric_limits<int>::max(), 5));
    pc.feed(echo(std::numeric_limits<int>::min(), 15));
    pc.feed(shot_2angles(3));
    ASSERT_EQ(pc.reports.size(), 6u);
    EXPECT_DOUBLE_EQ(pc.reports[4].t.range, 2147513647.0);
    EXPECT_DOUBLE_EQ(pc.reports[5].t.range, -2147513648.0);
}

TEST(PointcloudEchoes, RangeCorrectionTable) {
    recorder pc;
    const float ru = 0.0009765625f; // 2048 counts = 2 m
    pc.feed(units(ru, 1, 1));
    const short v[4] = {102, 307, 512, 700};
    pc.feed(packet<scanlib::nrange_table>(
        [&](auto& p) {
            for (int i = 0; i < 4; ++i)
                p.corrections[i].correction = v[i];
        },
        4));
    ASSERT_EQ(pc.nrange.size(), 4u);
    EXPECT_FLOAT_EQ(pc.nrange_delta, 2.0f);
    pc.feed(shot_2angles(1));
    pc.feed(echo(1024, 100)); // 1 m: halfway between entries 0 and 1
    pc.feed(echo(5120, 100)); // 5 m: halfway between entries 2 and 3
    pc.feed(echo(6144, 100)); // 6 m: the table's end, no correction
    pc.feed(echo(-1024, 100)); // negative: none
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 4u);
    EXPECT_NEAR(pc.reports[0].t.range, 1.0 + 0.5 * (102 + 307) * ru, 1e-6);
    EXPECT_NEAR(pc.reports[1].t.range, 5.0 + 0.5 * (512 + 700) * ru, 1e-6);
    EXPECT_DOUBLE_EQ(pc.reports[2].t.range, 6.0);
    EXPECT_DOUBLE_EQ(pc.reports[3].t.range, -1.0);
}

TEST(PointcloudEchoes, ReflectanceTableAndAttenuation) {
    recorder pc;
    const float ru = 0.0006103515625f; // 2^24 counts / 1024 = 10 m steps
    pc.feed(units(ru, 1, 1));
    pc.feed(packet<scanlib::reftab_table>(
        [](auto& v) {
            v.divisor = 1024;
            for (int i = 0; i < 4; ++i)
                v.values[i].value = static_cast<short>(-100 * (i + 1));
            v.values[4].value = 999; // the odd last value is not stored
        },
        3));
    ASSERT_EQ(pc.refltab.size(), 4u);
    EXPECT_FLOAT_EQ(pc.refltab_delta, 10.0f);
    EXPECT_FLOAT_EQ(pc.refltab[3], 4.0f);
    auto at = [&](double metres) { return static_cast<int>(std::lround(metres / ru)); };
    pc.feed(shot_2angles(1));
    pc.feed(echo(at(15), 100));
    pc.feed(echo(at(30), 100));
    pc.feed(echo(at(60), 100));
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 3u);
    EXPECT_NEAR(pc.reports[0].t.reflectance, 2.5, 1e-6);
    EXPECT_NEAR(pc.reports[1].t.reflectance, 4.0, 1e-6);
    EXPECT_NEAR(pc.reports[2].t.reflectance, 4.0 + 20 * std::log10(2.0), 1e-5);

    // Attenuation: |r| with a table, signed r without one.
    pc.feed(packet<scanlib::atmosphere_3>([](auto& v) { v.attenuation = 1.0f; }));
    pc.feed(echo(at(-50), 100));
    pc.feed(shot_2angles(3));
    EXPECT_NEAR(pc.reports.back().t.reflectance, 4.0 + 20 * std::log10(50.0 / 30.0) + 50 * 0.001 * 8.68589, 1e-5);

    recorder plain;
    plain.feed(packet<scanlib::atmosphere_3>([](auto& v) { v.attenuation = 1.0f; }));
    plain.feed(shot_2angles(1));
    plain.feed(echo(100, 100));
    plain.feed(echo(-50, 100));
    plain.feed(shot_2angles(2));
    ASSERT_EQ(plain.reports.size(), 2u);
    EXPECT_NEAR(plain.reports[0].t.reflectance, 0.868589, 1e-6);
    EXPECT_NEAR(plain.reports[1].t.reflectance, -0.4342945, 1e-6);
}

TEST(PointcloudEchoes, DegenerateWindowAndTable) {
    recorder pc;
    // A reflectance table over a zero divisor has an infinite step: every
    // finite range takes its first entry.
    pc.feed(packet<scanlib::reftab_table>(
        [](auto& v) {
            v.divisor = 0;
            v.values[0].value = -100;
            v.values[1].value = -200;
        },
        2));
    ASSERT_EQ(pc.refltab.size(), 2u);
    EXPECT_TRUE(std::isinf(pc.refltab_delta));
    pc.feed(shot_2angles(1));
    // The all-zero fixed window prepared for a shot notches raw range 0 with
    // raw amplitude 0 only.
    pc.feed(echo(0, 0), echo(0, 1), echo(-1, 0), echo(1000000, 0));
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 3u);
    EXPECT_DOUBLE_EQ(pc.reports[0].t.range, 0);
    EXPECT_FLOAT_EQ(pc.reports[0].t.amplitude, 0.01f);
    EXPECT_DOUBLE_EQ(pc.reports[1].t.range, -1);
    EXPECT_FLOAT_EQ(pc.reports[2].t.reflectance, 1.0f);
}

TEST(PointcloudEchoes, OtherEchoPackets) {
    recorder pc;
    // Before any shot: echoes are dropped, quality values are still taken.
    pc.feed(echo(10, 10));
    // (The window in force before the first shot notches non-negative ranges.)
    pc.feed(packet<scanlib::laser_echo_qual>([](auto& v) {
        v.range = -500;
        v.amplitude = 100;
        v.flags = 0x5;
        v.deviation = 7;
    }));
    EXPECT_TRUE(pc.reports.empty());
    EXPECT_FLOAT_EQ(pc.qual_deviation, 7.0f);

    pc.feed(shot_2angles(1)); // resets the quality values
    EXPECT_FLOAT_EQ(pc.qual_deviation, 0.0f);
    pc.feed(packet<scanlib::echo_1>([](auto& v) {
        v.range = 10;
        v.amplitude = 1000;
        v.reflectance = -400;
    }));
    pc.feed(packet<scanlib::laser_echo_sw>([](auto& v) {
        v.range = 20;
        v.amplitude = 123;
    }));
    pc.feed(packet<scanlib::laser_echo_qual>([](auto& v) {
        v.range = 30;
        v.amplitude = 100;
        v.flags = 0x5;
        v.deviation = 7;
    }));
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 3u);
    EXPECT_FLOAT_EQ(pc.reports[0].t.reflectance, 6.0f);
    EXPECT_FLOAT_EQ(pc.reports[0].t.amplitude, 10.0f);
    scanlib::target const& sw = pc.reports[1].t;
    EXPECT_FLOAT_EQ(sw.amplitude, 123.0f);
    EXPECT_EQ(sw.flags[0], 1);
    EXPECT_FLOAT_EQ(sw.reflectance, 0.0f);
    scanlib::target const& q = pc.reports[2].t;
    EXPECT_DOUBLE_EQ(q.range, 30);
    EXPECT_FLOAT_EQ(q.amplitude, 1.0f);
    EXPECT_FLOAT_EQ(q.deviation, 7.0f);
    EXPECT_TRUE(std::isnan(q.reflectance));
    EXPECT_EQ(q.flags[1], 1);
    EXPECT_EQ(q.flags[2], 1);
}

TEST(PointcloudInterpolate, PiecewiseLinear) {
    const std::vector<std::pair<double, double>> t{{0, 1}, {10, 3}};
    EXPECT_DOUBLE_EQ(scanlib::interpolate(-5, t), 1);
    EXPECT_DOUBLE_EQ(scanlib::interpolate(5, t), 2);
    EXPECT_DOUBLE_EQ(scanlib::interpolate(20, t), 5);
    EXPECT_DOUBLE_EQ(scanlib::interpolate(10, t), 3);
    EXPECT_TRUE(std::isnan(scanlib::interpolate(5, {})));
    EXPECT_TRUE(std::isnan(scanlib::interpolate(std::nan(""), t)));
    EXPECT_DOUBLE_EQ(scanlib::interpolate(7, {{2, 4}}), 4);
    EXPECT_DOUBLE_EQ(scanlib::interpolate(-7, {{2, 4}}), 4);
}

// ---- packed shots and echoes ---------------------------------------------------

namespace {

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void expect_same_cloud(recorder const& a, recorder const& b) {
    ASSERT_EQ(a.shots.size(), b.shots.size());
    for (std::size_t i = 0; i < a.shots.size(); ++i) {
        EXPECT_TRUE(same(a.shots[i].time, b.shots[i].time)) << "shot " << i;
        for (int k = 0; k < 3; ++k)
            EXPECT_TRUE(same(a.shots[i].direction[k], b.shots[i].direction[k])) << "shot " << i;
    }
    ASSERT_EQ(a.reports.size(), b.reports.size());
    for (std::size_t i = 0; i < a.reports.size(); ++i) {
        scanlib::target const &x = a.reports[i].t, &y = b.reports[i].t;
        EXPECT_EQ(a.reports[i].type, b.reports[i].type) << "echo " << i;
        EXPECT_EQ(a.reports[i].index, b.reports[i].index) << "echo " << i;
        EXPECT_TRUE(same(x.range, y.range) && same(x.time, y.time) && same(x.amplitude, y.amplitude) &&
                    same(x.reflectance, y.reflectance) && same(x.deviation, y.deviation) &&
                    same(x.background, y.background))
            << "echo " << i;
        for (int k = 0; k < 3; ++k)
            EXPECT_TRUE(same(x.vertex[k], y.vertex[k])) << "echo " << i;
        EXPECT_EQ(std::memcmp(x.flags, y.flags, sizeof x.flags), 0) << "echo " << i;
    }
    EXPECT_EQ(a.shot_ends, b.shot_ends);
}

} // namespace

TEST(PointcloudPacked, PackedStreamsGiveTheSameCloudAsPlainOnes) {
    using packtest::echo_scheme;
    using packtest::shot_scheme;
    const std::pair<shot_scheme, echo_scheme> schemes[] = {{shot_scheme::bits32, echo_scheme::plain},
                                                           {shot_scheme::rad, echo_scheme::plain},
                                                           {shot_scheme::hr, echo_scheme::hr_1}};
    for (const auto& [ss, es] : schemes)
        for (unsigned seed = 1; seed <= 4; ++seed) {
            const auto m = packtest::make_keyframe(ss, es, seed, 8);
            recorder plain, packed;
            for (recorder* r : {&plain, &packed})
                r->feed(units_1(0.001f, 360000, 360000, 0.01f));
            for (const auto& p : m.plain)
                plain.feed(p);
            for (const auto& p : m.packed)
                packed.feed(p);
            ASSERT_EQ(plain.shots.size(), m.shots);
            ASSERT_FALSE(plain.reports.empty());
            if (seed == 1) {
                std::vector<words> stream{units_1(0.001f, 360000, 360000, 0.01f)};
                stream.insert(stream.end(), m.packed.begin(), m.packed.end());
                EXPECT_TRUE(write_fuzz_seed("packed" + std::to_string(int(ss)), 2, stream));
            }
            SCOPED_TRACE("scheme " + std::to_string(int(ss)) + " seed " + std::to_string(seed));
            expect_same_cloud(plain, packed);
        }
}

TEST(PointcloudShots, AShotHoldsAtMost1024Echoes) {
    // A hostile stream never ends its shot: echoes past the bound are dropped,
    // whichever packet brings them, and the target list stops growing.
    recorder pc;
    pc.feed(units(0.001f, 360000, 360000));
    pc.feed(shot_2angles(1000));
    for (int i = 0; i < 600; ++i)
        pc.feed(echo(1000 + i, 100));
    for (int i = 0; i < 600; ++i)
        pc.feed(packet<scanlib::laser_echo>([&](auto& v) {
            v.range = 5000 + i;
            v.amplitude = 100;
        }));
    pc.feed(packet<scanlib::meas_stop>());
    ASSERT_EQ(pc.reports.size(), 1024u);
    EXPECT_EQ(pc.reports.back().type, pointcloud::last);
    EXPECT_EQ(pc.reports.back().index, 1023u);
    const double range_unit = 0.001f;
    EXPECT_DOUBLE_EQ(pc.reports[599].t.range, 1599 * range_unit);
    EXPECT_DOUBLE_EQ(pc.reports[1023].t.range, (5000 + 423) * range_unit);
    EXPECT_LE(pc.shot_targets.size(), 1024u);

    // The next shot takes echoes again.
    pc.feed(shot_2angles(2000));
    pc.feed(echo(700, 100));
    pc.feed(packet<scanlib::meas_stop>());
    EXPECT_EQ(pc.reports.back().type, pointcloud::single);
}

namespace {

// Reads a framed scan through the decoder into a point cloud, with the strict
// checks off as the host binding runs them.
void read_scan(recorder& pc, std::vector<char> const& bytes) {
    scanlib::decoder_zpkmarker d(std::make_shared<zpktest::chunked_rconnection>(bytes), true);
    scanlib::basic_buffer<unsigned int*> r;
    for (;;) {
        d.get(r);
        if (r.empty())
            return;
        pc.dispatch(r.begin, r.end);
    }
}

bool same_shot(recorder::shot const& a, recorder::shot const& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(PointcloudShots, AFileCutInItsLastShotPacketMakesUpNoShot) {
    // Three shots of two echoes each, the last one whole or cut at any byte:
    // the cut shot packet gives no shot (no time 0, no zero angles), and the
    // shots before it stay as they were. The same for a cut last echo.
    using zpktest::packets;
    const std::vector<std::pair<std::string, std::function<words(unsigned)>>> layouts = {
        {"2angles", [](unsigned i) { return shot_2angles(1000 * i, 1000 + i, 2000 + i); }},
        {"2angles_hr", [](unsigned i) { return shot_hr(5000ull * i, 3000 + i, 4000 + i); }},
        {"2angles_rad", [](unsigned i) {
             return packet<scanlib::laser_shot_2angles_rad>([&](auto& v) {
                 v.time = 700 * i;
                 v.line_angle = 500 + i;
                 v.frame_angle = 600 + i;
                 v.background = 3;
             });
         }},
        {"utctime", [](unsigned i) {
             return packet<scanlib::laser_shot_utctime_origin_direction>([&](auto& v) {
                 v.time = 100 + i;
                 v.origin[0] = 7;
                 v.direction[2] = 1 << 20;
             });
         }},
    };
    for (auto const& [name, shot_of] : layouts) {
        SCOPED_TRACE(name);
        packets ps{units_1(0.001f, 360000, 360000, 0.01f),
                   packet<scanlib::units_4>([](auto& v) { v.utc_time_unit = 1e-6f; })};
        for (unsigned i = 1; i <= 3; ++i) {
            ps.push_back(shot_of(i));
            ps.push_back(echo(1000 * i, 100));
            ps.push_back(echo(1000 * i + 500, 120));
        }
        const auto bytes_of = [](packets const& p) { return zpktest::to_bytes(zpktest::ref_frame(p), true); };

        // The whole scan, and the scan up to the last shot packet.
        recorder whole, before;
        read_scan(whole, bytes_of(ps));
        ASSERT_EQ(whole.shots.size(), 3u);
        const packets head(ps.begin(), ps.end() - 3);
        read_scan(before, bytes_of(head));
        ASSERT_EQ(before.shots.size(), 2u);

        const std::size_t start = bytes_of(head).size();
        const std::vector<char> all = bytes_of(ps);
        const std::size_t shot_bytes = 4 * zpktest::ref_frame({ps[ps.size() - 3]}).size();
        for (std::size_t cut = start; cut < start + shot_bytes; ++cut) {
            SCOPED_TRACE("cut at byte " + std::to_string(cut));
            recorder pc;
            read_scan(pc, std::vector<char>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(cut)));
            ASSERT_EQ(pc.shots.size(), 2u);
            for (std::size_t k = 0; k < 2; ++k)
                EXPECT_TRUE(same_shot(pc.shots[k], whole.shots[k]));
            EXPECT_EQ(pc.reports.size(), before.reports.size());
            EXPECT_EQ(pc.shot_ends, before.shot_ends);
            // The last whole shot is still open with its two echoes.
            EXPECT_TRUE(pc.shot_pending);
            EXPECT_EQ(pc.shot_target_count, 2u);
        }

        // A cut last echo: the open shot keeps only its first echo.
        const std::size_t echo_start = all.size() - 4 * zpktest::ref_frame({ps.back()}).size();
        for (std::size_t cut = echo_start; cut < all.size(); ++cut) {
            SCOPED_TRACE("echo cut at byte " + std::to_string(cut));
            recorder pc;
            read_scan(pc, std::vector<char>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(cut)));
            ASSERT_EQ(pc.shots.size(), 3u);
            EXPECT_EQ(pc.shot_target_count, 1u);
            // Its first echo waits for the second to be reported.
            EXPECT_EQ(pc.reports.size(), whole.reports.size() - 1);
        }
    }
}
