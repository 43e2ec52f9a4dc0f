// Point cloud: range-ambiguity zones, clock packets, units and atmosphere.
#include "pointcloud_support.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace pctest;
using scanlib::pointcloud;

namespace {

constexpr std::uint64_t us = 5242880; // one microsecond of 1e-7 / 2^19 s ticks

std::size_t history_size(recorder const& pc) { return pc.impl->shot_history.size(); }

} // namespace

TEST(PointcloudZones, HistoryLengthFollowsTheSettings) {
    recorder pc;
    EXPECT_EQ(history_size(pc), 0u);
    pc.feed(mta(0, 0, 950, 300));
    EXPECT_TRUE(pc.mta_settings_valid);
    EXPECT_EQ(history_size(pc), 5u);
    pc.feed(mta(0, 0, -950, 300));
    EXPECT_EQ(history_size(pc), 5u);
    pc.feed(mta(3, 0, 0, 300));
    EXPECT_EQ(history_size(pc), 4u);
    EXPECT_GE(pc.impl->shot_history.capacity(), 5u);
    pc.feed(packet<scanlib::mta_settings_1>([](auto& v) {
        v.zone = 255;
        v.unambiguous_range = 100;
    }));
    EXPECT_EQ(history_size(pc), 256u);
    // An unambiguous range of 0 or a NaN gate cannot ask for an absurd history.
    pc.feed(mta(0, 0, 950, 0));
    EXPECT_EQ(history_size(pc), 256u);
    pc.feed(mta(0, 0, std::nanf(""), 300));
    EXPECT_LE(history_size(pc), 256u);
}

TEST(PointcloudZones, CallerFixedGate) {
    recorder pc;
    pc.set_rangegate(2, 10, 500);
    EXPECT_TRUE(pc.rangegate_fixed);
    EXPECT_FALSE(pc.mta_settings_valid);
    EXPECT_EQ(history_size(pc), 3u);
    pc.feed(mta(0, 1, 2, 300));
    EXPECT_EQ(pc.mta_zone, 2u);
    EXPECT_DOUBLE_EQ(pc.gate_low, 10);
    EXPECT_DOUBLE_EQ(pc.gate_high, 500);
    EXPECT_DOUBLE_EQ(pc.unambiguous_range, 300);
    EXPECT_EQ(history_size(pc), 3u);

    recorder multi;
    multi.feed(shot_2angles(1));
    multi.feed(echo(10, 100));
    multi.set_multi_mta_zones({1, 4}, 0, 0, 100);
    EXPECT_GE(history_size(multi), 5u);
    EXPECT_EQ(multi.shot_target_count, 0u);
    EXPECT_TRUE(multi.shot_targets.empty());
    ASSERT_EQ(multi.multi_mta_targets.size(), 2u);
    // An absurd zone is bounded, not allocated.
    multi.set_multi_mta_zones({0xFFFFFFFEu}, 0, 0, 100);
    EXPECT_LE(history_size(multi), 65536u);
}

TEST(PointcloudZones, GateSearchAttributesEchoesToEarlierShots) {
    recorder pc;
    pc.feed(units(1.0f, 360000, 360000));
    pc.feed(mta(0, 200, 400, 300));
    ASSERT_EQ(history_size(pc), 3u);
    const std::uint64_t t0 = 1000000000;
    pc.feed(shot_hr(t0, 1000));
    pc.feed(shot_hr(t0 + us, 2000));
    pc.feed(shot_hr(t0 + 2 * us, 3000));
    ASSERT_EQ(pc.shots.size(), 3u);
    pc.feed(echo(100, 500));
    EXPECT_DOUBLE_EQ(pc.shot_time, pc.shots[1].time);
    pc.feed(echo(450, 500)); // fits no zone: dropped, reports nothing
    EXPECT_TRUE(pc.reports.empty());
    pc.feed(echo(120, 500));
    ASSERT_EQ(pc.reports.size(), 1u);
    scanlib::target const& t = pc.reports[0].t;
    EXPECT_EQ(t.zone, 1);
    EXPECT_NEAR(t.range, 250, 1e-6); // one microsecond back: 150 m further
    EXPECT_DOUBLE_EQ(t.time, pc.shots[1].time);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(t.vertex[i], pc.shots[1].direction[i] * 250, 1e-4);

    // Closing restores the shot's own values before on_shot_end.
    pc.feed(packet<scanlib::meas_stop>());
    EXPECT_DOUBLE_EQ(pc.shot_time, pc.shots[2].time);
    EXPECT_NEAR(pc.shot_line_angle_rad, 3000 * 2 * 3.141592653589793 / 360000, 1e-15);
    ASSERT_EQ(pc.reports.size(), 2u);
    EXPECT_NEAR(pc.reports[1].t.range, 270, 1e-6);
}

TEST(PointcloudZones, EchoesWithoutZoneBelongToTheOpenShot) {
    recorder pc;
    pc.feed(units(1.0f, 360000, 360000));
    pc.feed(mta(0, 200, 400, 300));
    const std::uint64_t t0 = 1000000000;
    pc.feed(shot_hr(t0, 1000), shot_hr(t0 + us, 2000), shot_hr(t0 + 2 * us, 3000));
    pc.feed(echo(100, 500)); // zone 1: the shot moves to the one before
    for (auto const& w : {packet<scanlib::laser_echo>([](auto& v) {
                              v.range = 50;
                              v.amplitude = 100;
                          }),
                          packet<scanlib::laser_echo_sw>([](auto& v) {
                              v.range = 60;
                              v.amplitude = 100;
                          })}) {
        pc.feed(echo(100, 500));
        pc.feed(w);
    }
    pc.feed(packet<scanlib::meas_stop>());
    ASSERT_EQ(pc.reports.size(), 5u);
    EXPECT_EQ(pc.reports[0].t.zone, 1);
    EXPECT_DOUBLE_EQ(pc.reports[0].t.time, pc.shots[1].time);
    for (std::size_t i : {2, 4}) {
        scanlib::target const& t = pc.reports[i].t;
        EXPECT_EQ(t.zone, 0);
        EXPECT_DOUBLE_EQ(t.time, pc.shots[2].time);
        EXPECT_DOUBLE_EQ(t.range, i == 2 ? 50 : 60);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(t.vertex[k], pc.shots[2].direction[k] * t.range, 1e-4);
    }
}

TEST(PointcloudZones, FixedZoneAndLineStop) {
    recorder pc;
    pc.feed(mta(2, 0, 0, 300));
    ASSERT_EQ(history_size(pc), 3u);
    const std::uint64_t t0 = 1000000000;
    pc.feed(shot_hr(t0));
    pc.feed(shot_hr(t0 + us));
    pc.feed(shot_hr(t0 + 2 * us));
    pc.feed(echo(-10, 500)); // negative: zone 2, not 1
    pc.feed(echo(10, 500));  // zone 1
    pc.feed(packet<scanlib::line_stop>());
    ASSERT_EQ(pc.reports.size(), 2u);
    EXPECT_EQ(pc.reports[0].t.zone, 2);
    EXPECT_NEAR(pc.reports[0].t.range, 290, 1e-6);
    EXPECT_EQ(pc.reports[1].t.zone, 1);
    EXPECT_NEAR(pc.reports[1].t.range, 160, 1e-6);

    for (auto const& s : pc.impl->shot_history) {
        EXPECT_EQ(s.raw_time, 0u);
        EXPECT_TRUE(std::isnan(s.line_angle));
        EXPECT_TRUE(std::isnan(s.origin[0]));
        EXPECT_TRUE(std::isnan(s.time));
    }
    // After the line: the previous entry is blank, the range not a number.
    pc.feed(shot_hr(t0 + 3 * us));
    pc.feed(echo(10, 500));
    pc.feed(shot_hr(t0 + 4 * us));
    ASSERT_EQ(pc.reports.size(), 3u);
    EXPECT_TRUE(std::isnan(pc.reports[2].t.range));
    EXPECT_TRUE(std::isnan(pc.reports[2].t.vertex[0]));
    EXPECT_TRUE(std::isnan(pc.reports[2].t.reflectance));
    EXPECT_TRUE(std::isnan(pc.reports[2].t.time));
}

TEST(PointcloudZones, ZonesBeyondAShortenedHistoryAreBlank) {
    recorder pc;
    pc.set_multi_mta_zones({3}, 1, 0, 0);
    ASSERT_EQ(history_size(pc), 4u);
    pc.feed(mta(1, 0, 0, 300)); // the settings shrink the history to 2
    ASSERT_EQ(history_size(pc), 2u);
    pc.feed(shot_hr(1000000000));
    pc.feed(shot_hr(1000000000 + us));
    pc.feed(echo(10, 500));
    pc.feed(shot_hr(1000000000 + 2 * us));
    ASSERT_EQ(pc.multi_mta_targets[0].size(), 1u);
    EXPECT_TRUE(std::isnan(pc.multi_mta_targets[0][0].range));
}

TEST(PointcloudZones, MultiZonesWithoutSettings) {
    recorder pc;
    pc.set_multi_mta_zones({1, 2}, 0, 0, 1000);
    pc.feed(shot_2angles(1));
    pc.feed(echo(10, 500));
    // The short echo path grows only the main list; the zone lists catch up.
    pc.feed(packet<scanlib::laser_echo>([](auto& v) {
        v.range = 20;
        v.amplitude = 500;
    }));
    pc.feed(echo(30, 500));
    pc.feed(shot_2angles(2));
    ASSERT_EQ(pc.reports.size(), 3u);
    for (auto const& list : pc.multi_mta_targets) {
        ASSERT_GE(list.size(), 3u);
        EXPECT_TRUE(std::isnan(list[0].range));
        EXPECT_TRUE(std::isnan(list[2].range));
    }
    // The main targets belong to their own shot: the blank entries the zone
    // targets loaded do not reach them.
    for (std::size_t i : {0, 1, 2}) {
        scanlib::target const& t = pc.reports[i].t;
        EXPECT_DOUBLE_EQ(t.time, pc.shots[0].time);
        EXPECT_DOUBLE_EQ(t.time_raw, pc.shots[0].time_raw);
        EXPECT_EQ(t.zone, 0);
        EXPECT_DOUBLE_EQ(t.range, 10.0 * (i + 1));
        for (int k = 0; k < 3; ++k)
            EXPECT_FLOAT_EQ(t.vertex[k], static_cast<float>(pc.shots[0].direction[k] * t.range));
    }
    for (auto const& list : pc.multi_mta_targets)
        EXPECT_TRUE(std::isnan(list[0].time));
}

namespace {

void expect_same_shot(recorder::shot const& a, recorder::shot const& b) {
    EXPECT_DOUBLE_EQ(a.time, b.time);
    EXPECT_DOUBLE_EQ(a.time_raw, b.time_raw);
    EXPECT_EQ(a.facet, b.facet);
    EXPECT_EQ(a.segment, b.segment);
    for (int i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(a.origin[i], b.origin[i]);
        EXPECT_DOUBLE_EQ(a.direction[i], b.direction[i]);
    }
}

} // namespace

TEST(PointcloudZones, ShotsEndWithTheirOwnValues) {
    const std::uint64_t t0 = 1000000000;
    {
        // Echoes attributed to earlier shots move the shot; its end does not
        // see the move.
        recorder pc;
        pc.feed(units(1.0f, 360000, 360000));
        pc.feed(mta(0, 200, 400, 300));
        pc.feed(shot_hr(t0, 1000), shot_hr(t0 + us, 2000), shot_hr(t0 + 2 * us, 3000));
        pc.feed(echo(100, 500), echo(120, 500));
        pc.feed(shot_hr(t0 + 3 * us, 4000));
        ASSERT_EQ(pc.ended.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i)
            expect_same_shot(pc.ended[i], pc.shots[i]);
    }
    {
        // 32-bit shots never enter the history: their echoes take blank
        // geometry, the shots themselves keep theirs.
        recorder pc;
        pc.feed(units(1.0f, 360000, 360000));
        pc.feed(mta(0, 0, 1000, 300));
        pc.feed(shot_2angles(1000, 90000, 9000), echo(100, 500));
        pc.feed(shot_2angles(2000, 45000, 0));
        pc.feed(packet<scanlib::meas_stop>());
        ASSERT_EQ(pc.ended.size(), 2u);
        ASSERT_EQ(pc.reports.size(), 1u);
        EXPECT_TRUE(std::isnan(pc.reports[0].t.time));
        for (std::size_t i = 0; i < 2; ++i) {
            expect_same_shot(pc.ended[i], pc.shots[i]);
            EXPECT_FALSE(std::isnan(pc.ended[i].direction[0]));
        }
    }
    {
        // Settings that arrive while a shot is open.
        recorder pc;
        pc.feed(units(1.0f, 360000, 360000));
        pc.feed(shot_hr(t0, 1000));
        pc.feed(mta(1, 0, 0, 300));
        pc.feed(echo(100, 500));
        pc.feed(shot_hr(t0 + us, 2000));
        ASSERT_EQ(pc.ended.size(), 1u);
        expect_same_shot(pc.ended[0], pc.shots[0]);
    }
    {
        // Zone lists without settings load blank entries into the shot.
        recorder pc;
        pc.feed(units(1.0f, 360000, 360000));
        pc.set_multi_mta_zones({1, 2}, 0, 0, 1000);
        pc.feed(shot_2angles(1000, 1000), echo(10, 500));
        pc.feed(shot_2angles(2000, 2000));
        ASSERT_EQ(pc.ended.size(), 1u);
        expect_same_shot(pc.ended[0], pc.shots[0]);
        EXPECT_DOUBLE_EQ(pc.reports.at(0).t.time, pc.shots[0].time);
    }
}

TEST(PointcloudClock, PpsLockAndShotTimes) {
    recorder pc(true);
    pc.feed(units(1.0f, 1, 1, 1e-7f));
    auto pps = [](unsigned counter, unsigned ext) {
        return packet<scanlib::pps_sync>([&](auto& v) {
            v.counter = counter;
            v.ext_time = ext;
        });
    };
    const double unit = 1e-7f;
    const unsigned per_s = static_cast<unsigned>(std::lround(1.0 / unit));
    pc.feed(pps(1000, 5000));
    pc.feed(pps(1000 + per_s, 6000));
    EXPECT_EQ(pc.synchronized, 1);
    pc.feed(shot_2angles(1000 + per_s + per_s / 4));
    EXPECT_NEAR(pc.shots[0].time, 6.25, 1e-6);
    EXPECT_NEAR(pc.shots[0].time_raw, (1000 + per_s + per_s / 4) * unit, 1e-12);
    // Two seconds without a sync lose the lock at the shot's time.
    pc.feed(shot_2angles(1000 + 3 * per_s));
    EXPECT_EQ(pc.sync_lost, 1);
    EXPECT_NEAR(pc.shots[1].time, 8.0, 1e-6);

    // A units packet in the middle of a scan drops the lock again.
    pc.feed(units(1.0f, 1, 1, 1e-7f));
    EXPECT_FALSE(pc.shot_clock.ever_locked);
    pc.feed(shot_2angles(1000 + 4 * per_s));
    EXPECT_TRUE(std::isnan(pc.shots[2].time));
}

TEST(PointcloudClock, CounterSyncSeedsTheShotClockOnce) {
    recorder pc;
    auto counter = [](unsigned c) { return packet<scanlib::counter_sync>([&](auto& v) { v.counter = c; }); };
    pc.feed(packet<scanlib::pwm_sync>([](auto& v) { v.counter = 500; }));
    EXPECT_FALSE(pc.shot_clock.unwrap_started);
    EXPECT_DOUBLE_EQ(pc.sync_time, 500 * 1e-7);
    pc.feed(counter(700));
    EXPECT_TRUE(pc.shot_clock.unwrap_started);
    EXPECT_EQ(pc.shot_clock.unwrap_last, 700u);
    EXPECT_DOUBLE_EQ(pc.sync_time, 700 * 1e-7);
    pc.feed(counter(900));
    EXPECT_EQ(pc.shot_clock.unwrap_last, 700u);
    EXPECT_EQ(pc.sync_clock.unwrap_last, 900u);
    pc.feed(packet<scanlib::counter_sync_2angles_hr>([](auto& v) { v.counter = 5242880000ull; }));
    EXPECT_NEAR(pc.sync_time, 5242880000ull * 1e-12, 1e-15);
    // A units packet makes the next counter_sync seed again.
    pc.feed(units(1.0f, 1, 1));
    pc.feed(counter(1100));
    EXPECT_EQ(pc.shot_clock.unwrap_last, 1100u);
}

TEST(PointcloudClock, PulseRateFromRangeFinderPackets) {
    recorder pc;
    pc.feed(packet<scanlib::range_finder_settings>([](auto& v) { v.pulse_repetition_rate = 250000.0f; }));
    EXPECT_DOUBLE_EQ(pc.shot_clock.pulse_repetition_rate, 250000.0);
    EXPECT_TRUE(std::isnan(pc.sync_clock.pulse_repetition_rate));
    pc.feed(packet<scanlib::range_finder_program_2>([](auto& v) { v.pulse_repetition_rate = 1.25e6; }));
    EXPECT_DOUBLE_EQ(pc.shot_clock.pulse_repetition_rate, 1.25e6);
    pc.feed(packet<scanlib::range_finder_debug_laser>([](auto& v) { v.pulse_repetition_rate = 3.0f; }));
    EXPECT_DOUBLE_EQ(pc.shot_clock.pulse_repetition_rate, 3.0);
    pc.feed(units(1.0f, 1, 1));
    EXPECT_TRUE(std::isnan(pc.shot_clock.pulse_repetition_rate));
}

TEST(PointcloudUnits, UnitsPacketsRunOldestLast) {
    recorder pc;
    pc.feed(packet<scanlib::units_4>([](auto& v) {
        v.range_unit = 0.25f;
        v.line_circle_count = 0;
        v.frame_circle_count = 7;
        v.systime_unit = 1e-6f;
        v.ampl_unit = 0.5f;
        v.systime_hr_unit = 1e-9f;
        v.systime_hr_bits = 40;
        v.utc_time_unit = 1e-3f;
    }));
    EXPECT_DOUBLE_EQ(pc.range_unit, 0.25);
    EXPECT_DOUBLE_EQ(pc.base_scanmech.range_unit, 0.25);
    EXPECT_EQ(pc.base_scanmech.line_circle_count, 1u);
    EXPECT_EQ(pc.base_scanmech.frame_circle_count, 7u);
    EXPECT_DOUBLE_EQ(pc.systime_unit, double(1e-6f));
    EXPECT_DOUBLE_EQ(pc.ampl_unit, 0.5);
    EXPECT_DOUBLE_EQ(pc.refl_unit, 0.5);
    EXPECT_DOUBLE_EQ(pc.systime_hr_unit, double(1e-9f));
    EXPECT_EQ(pc.systime_hr_bits, 40u);
    EXPECT_DOUBLE_EQ(pc.utc_time_unit, double(1e-3f));
    EXPECT_DOUBLE_EQ(pc.direction_unit, 2.384185791015625e-07);
    EXPECT_DOUBLE_EQ(pc.origin_unit, 6.103515625e-05);
    // The clocks were re-initialised with the new high-resolution values.
    EXPECT_EQ(pc.shot_clock.counter_range_hr, (std::uint64_t(1) << 40) - 1);
    EXPECT_DOUBLE_EQ(pc.shot_clock.hr_unit, double(1e-9f));
    EXPECT_EQ(pc.sync_clock.wrap_threshold, 1u);

    pc.feed(packet<scanlib::units_2>([](auto& v) {
        v.range_unit = 1;
        v.line_circle_count = 5;
        v.frame_circle_count = 5;
        v.systime_hr_unit = 2e-9f;
    }));
    EXPECT_EQ(pc.systime_hr_bits, 40u);
    EXPECT_DOUBLE_EQ(pc.systime_hr_unit, double(2e-9f));
    EXPECT_DOUBLE_EQ(pc.utc_time_unit, double(1e-3f));
}

TEST(PointcloudUnits, Atmosphere) {
    recorder pc;
    pc.feed(packet<scanlib::atmosphere_4>([](auto& v) {
        v.temperature = 21.5f;
        v.pressure = 1013.25f;
        v.rel_humidity = 40;
        v.rng_scale = 1.0001f;
        v.pressure_sl = 1015;
        v.f5 = 99;
        v.group_velocity = 299700000.0f;
        v.attenuation = 2.5f;
        v.wavelength = 1550;
    }));
    EXPECT_DOUBLE_EQ(pc.temperature, 21.5);
    EXPECT_DOUBLE_EQ(pc.pressure, double(1013.25f));
    EXPECT_DOUBLE_EQ(pc.rel_humidity, 40);
    EXPECT_DOUBLE_EQ(pc.rng_scale, double(1.0001f));
    EXPECT_DOUBLE_EQ(pc.pressure_sl, 1015);
    EXPECT_DOUBLE_EQ(pc.group_velocity, double(299700000.0f));
    EXPECT_DOUBLE_EQ(pc.attenuation, 2.5 * 0.001);
    EXPECT_DOUBLE_EQ(pc.wavelength, 1550 * 1e-9);
}

TEST(PointcloudZones, PulseCodingPackets) {
    recorder pc;
    pc.feed(packet<scanlib::m_sequence_mta>([](auto& v) { v.sequence_length = 3; }, 1));
    EXPECT_EQ(pc.pulse_num_mod_ampl, 2u);
    ASSERT_EQ(pc.intervals.size(), 3u);
    EXPECT_TRUE(std::isnan(pc.intervals[2]));
    // The count gives no more intervals than the body has bits, nor more
    // than the longest sequence of the layout.
    for (auto [body, want] : {std::pair{1u, 16u}, std::pair{40u, 1024u}}) {
        pc.feed(packet<scanlib::m_sequence_mta>([](auto& v) { v.sequence_length = 65535; }, body));
        EXPECT_EQ(pc.intervals.size(), want);
    }

    pc.feed(packet<scanlib::pulse_position_modulation_1>(
        [](auto& v) {
            v.interval_count = 0;
            v.pulse_num_mod_ampl = 4;
            v.pulse_code_phase_mode = 5;
            v.pulse_phase_step = 6;
        },
        3));
    EXPECT_TRUE(pc.intervals.empty());
    EXPECT_EQ(pc.pulse_num_mod_ampl, 4u);
    EXPECT_EQ(pc.pulse_code_phase_mode, 5u);
    EXPECT_EQ(pc.pulse_phase_step, 6u);

    // A count above what the body holds reads only what is there.
    pc.feed(packet<scanlib::pulse_position_modulation>(
        [](auto& v) {
            v.interval_count = 1000;
            v.pulse_num_mod_ampl = 3;
            v.intervals[0].interval = 1.5f;
            v.intervals[1].interval = 2.5f;
        },
        3));
    ASSERT_EQ(pc.intervals.size(), 2u);
    EXPECT_DOUBLE_EQ(pc.intervals[1], 2.5);
    EXPECT_EQ(pc.pulse_num_mod_ampl, 3u);
    EXPECT_EQ(pc.pulse_code_phase_mode, 5u);
}

TEST(PointcloudZones, UtcShotsWithoutUnitsKeepDefinedHistoryTimes) {
    // Without a units_4 packet the time unit is not a number; the history's
    // tick count must still be a defined integer (0: a blank time).
    recorder pc;
    pc.feed(mta(1, 0, 0, 300));
    pc.feed(packet<scanlib::laser_shot_utctime_origin_direction>([](auto& v) { v.time = 12345; }));
    ASSERT_EQ(pc.shots.size(), 1u);
    EXPECT_TRUE(std::isnan(pc.shots[0].time));
    EXPECT_EQ(pc.impl->shot_history[0].raw_time, 0u);

    pc.feed(packet<scanlib::units_4>([](auto& v) {
        v.range_unit = 1;
        v.systime_hr_unit = 1e-6f;
        v.systime_hr_bits = 49;
        v.utc_time_unit = 1e-3f;
    }));
    pc.feed(packet<scanlib::laser_shot_utctime_origin_direction>([](auto& v) { v.time = 5000; }));
    EXPECT_EQ(pc.impl->shot_history[0].raw_time, static_cast<std::uint64_t>(5000 * (double(1e-3f) / double(1e-6f))));
}

TEST(PointcloudDispatch, NewerLayoutsReachTheOlderHandlers) {
    recorder pc;
    pc.feed(units(1.0f, 360000, 360000));
    // Shot packets without a handler open no shot.
    pc.feed(packet<scanlib::laser_shot_3angles>([](auto& v) { v.f0 = 5; }));
    pc.feed(packet<scanlib::laser_shot_6angles_hr>([](auto& v) { v.f0 = 5; }));
    pc.feed(packet<scanlib::laser_shot_rad>([](auto& v) { v.f0 = 5; }));
    EXPECT_TRUE(pc.shots.empty());
    EXPECT_FALSE(pc.shot_pending);
    EXPECT_FALSE(pc.measurement_started);

    pc.feed(packet<scanlib::mta_settings_3>([](auto& v) {
        v.zone = 2;
        v.gate_low = 1;
        v.gate_high = 2;
        v.unambiguous_range = 150;
        v.f6 = 9;
    }));
    EXPECT_TRUE(pc.mta_settings_valid);
    EXPECT_EQ(pc.mta_zone, 2u);
    EXPECT_DOUBLE_EQ(pc.unambiguous_range, 150);
    EXPECT_EQ(pc.impl->shot_history.size(), 3u);

    pc.feed(packet<scanlib::range_finder_debug_laser_1>([](auto& v) { v.pulse_repetition_rate = 5e5f; }));
    EXPECT_DOUBLE_EQ(pc.shot_clock.pulse_repetition_rate, 5e5);

    auto pps = [](unsigned counter, unsigned ext) {
        return packet<scanlib::pps_sync_ext>([&](auto& v) {
            v.counter = counter;
            v.ext_time = ext;
            v.f2 = 77;
        });
    };
    const double unit = 1e-7f;
    const unsigned per_s = static_cast<unsigned>(std::lround(1.0 / unit));
    pc.feed(pps(100, 1000), pps(100 + per_s, 2000));
    EXPECT_EQ(pc.synchronized, 1);
    // The limit follows the pulse rate at the first sync: 0.5 / (1e-7 x 5e5).
    EXPECT_NEAR(pc.shot_clock.lost_lock_limit, 10.0, 1e-6);

    // A one-angle shot takes its line angle and evaluates; the frame angle
    // stays as the last packet left it.
    pc.feed(shot_2angles(10, 0, 90000));
    pc.feed(packet<scanlib::laser_shot_1angle>([](auto& v) {
        v.time = 20;
        v.line_angle = 90000;
    }));
    ASSERT_EQ(pc.shots.size(), 2u);
    EXPECT_NEAR(pc.shots[1].direction[1], 1.0, 1e-12); // line 90, frame 90 degrees: along y
    EXPECT_NEAR(pc.shots[1].time_raw, 20 * unit, 1e-15);
}

TEST(PointcloudDispatch, ShortBodiesWithoutStrictChecks) {
    recorder pc;
    EXPECT_FALSE(pc.strict);
    // A shot or echo cut short of its fixed layout is skipped: neither read
    // from beyond the packet nor made up from the zero-filled rest.
    pc.feed(shot_2angles(1));
    pc.feed(packet<scanlib::echo>([](auto&) {}, 1));
    pc.feed(packet<scanlib::laser_shot_2angles>([](auto&) {}, 1));
    EXPECT_EQ(pc.shots.size(), 1u);
    EXPECT_EQ(pc.shot_target_count, 0u);
    // A body that ends before a sequence starts is refused.
    auto raw = [](unsigned main, unsigned sub, std::size_t body) {
        words w(2 + body, 0u);
        w[0] = 0xFFFFFFFFu;
        w[1] = (main << 16) | sub;
        return w;
    };
    for (auto const& w : {raw(75, 0, 1), raw(82, 0, 5), raw(119, 0, 0)}) {
        try {
            pc.feed(w);
            ADD_FAILURE() << "accepted a body without its sequence";
        } catch (std::range_error const& e) {
            EXPECT_STREQ(e.what(), "Missing data for sequence.");
        }
    }
    EXPECT_FALSE(pc.dyntrig_valid);
}
