// Clock compensation: counter unwrapping, PPS locking and extrapolation.
#include <scanlib/clockcomp.hpp>

#include <gtest/gtest.h>

#include <cmath>

using scanlib::detail::clock_compensator;

namespace {

// The units a point cloud starts with.
void default_units(clock_compensator& cc, unsigned long jump = 0) {
    cc.init(1e-7, 0.001, 1e-7 / 524288.0, 1e-6, 49, jump);
}

constexpr unsigned ticks_per_s = 10000000u; // 1e-7 s per tick

} // namespace

TEST(ClockCompensator, CounterRangesFollowTheUnits) {
    clock_compensator fresh;
    EXPECT_EQ(fresh.counter_range, 0xFFFFFFFFu);
    EXPECT_EQ(fresh.counter_range_hr, (std::uint64_t(1) << 49) - 1);
    EXPECT_EQ(fresh.history.size(), 1u);
    EXPECT_TRUE(std::isnan(fresh.pulse_repetition_rate));

    clock_compensator shot, sync;
    default_units(shot);
    default_units(sync, 1);
    EXPECT_EQ(shot.counter_range, 0x3FFFFFFFu);
    EXPECT_EQ(shot.counter_mask, 0x3FFFFFFFu);
    EXPECT_EQ(shot.counter_range_hr, 0x1FFFFFFFFFFFFu);
    EXPECT_EQ(shot.wrap_threshold, 0x0FFFFFFFu);
    EXPECT_EQ(shot.wrap_threshold_hr, 0x7FFFFFFFFFFFu);
    EXPECT_EQ(sync.wrap_threshold, 1u);
    EXPECT_EQ(sync.wrap_threshold_hr, 1u);

    // Every constructed compensator takes the next serial number.
    clock_compensator next;
    EXPECT_EQ(next.id, fresh.id + 3);
}

TEST(ClockCompensator, HostileUnitsStayDefined) {
    clock_compensator cc;
    for (double hr : {0.0, -1.0, double(NAN), double(INFINITY), 1.0, 1e-300}) {
        for (unsigned bits : {0u, 1u, 63u, 64u, 200u, 0xFFFFFFFFu}) {
            cc.init(1e-7, 0.001, hr, 1e-6, bits, 0);
            cc.sync(5, 7);
            cc.sync_hr(5, 7);
            cc.unwrap(3);
            cc.unwrap_hr(3);
        }
    }
    cc.init(1e-7, 0.001, 1e-7, 1e-6, 64, 0);
    EXPECT_EQ(cc.counter_range_hr, ~std::uint64_t(0));
    EXPECT_EQ(cc.counter_range, 0xFFFFFFFFu);
}

TEST(ClockCompensator, FirstSyncAgainstInitialZerosIsIgnored) {
    clock_compensator cc;
    default_units(cc);
    auto r = cc.sync(1234, 0);
    EXPECT_FALSE(cc.has_sync);
    EXPECT_EQ(r.first, 0.0);
    cc.sync(0, 1000);
    EXPECT_FALSE(cc.has_sync);
    cc.sync(1234, 1000);
    EXPECT_TRUE(cc.has_sync);
    EXPECT_FALSE(cc.locked);
}

TEST(ClockCompensator, LocksOnGoodRateAndExtrapolates) {
    clock_compensator cc;
    default_units(cc);
    const unsigned c0 = 1000;
    cc.sync(c0, 5000);
    EXPECT_FALSE(cc.locked);
    auto r = cc.sync(c0 + ticks_per_s, 6000);
    EXPECT_TRUE(cc.locked);
    EXPECT_TRUE(cc.ever_locked);
    ASSERT_EQ(cc.history.size(), 1u);
    EXPECT_DOUBLE_EQ(cc.history.front().rate, 1.0);
    EXPECT_DOUBLE_EQ(r.first, (c0 + ticks_per_s) * 1e-7);
    EXPECT_DOUBLE_EQ(r.second, 6.0);

    const unsigned c = c0 + ticks_per_s + ticks_per_s / 2;
    auto t = cc.unwrap(c);
    EXPECT_DOUBLE_EQ(t.first, c * 1e-7);
    EXPECT_NEAR(t.second, 6.5, 1e-12);
    EXPECT_TRUE(cc.locked);
}

TEST(ClockCompensator, ExternalDayAndWeekWraps) {
    clock_compensator day;
    default_units(day);
    day.sync(100, 86399000);
    auto r = day.sync(100 + ticks_per_s, 0);
    EXPECT_DOUBLE_EQ(r.second, 86400.0);
    EXPECT_TRUE(day.locked);

    clock_compensator week;
    default_units(week);
    week.sync(100, 604799000);
    r = week.sync(100 + ticks_per_s, 0);
    EXPECT_TRUE(week.locked);
    EXPECT_EQ(week.ext_acc, 604800000u);
    EXPECT_DOUBLE_EQ(r.second, 604800.0);
}

TEST(ClockCompensator, CounterWrapBetweenSyncs) {
    clock_compensator cc;
    default_units(cc);
    const unsigned modulus = 1u << 30;
    cc.sync(modulus - 16, 1000);
    auto r = cc.sync(16, 2000);
    EXPECT_EQ(cc.sync_wraps, 1u);
    EXPECT_DOUBLE_EQ(r.first, (double(modulus - 1) * 1e-7 + 1e-7) + 16 * 1e-7);
    // 32 ticks for one external second: far from 1, so no lock.
    EXPECT_DOUBLE_EQ(cc.history.back().rate, 1.0 / (32 * 1e-7));
    EXPECT_FALSE(cc.locked);
}

TEST(ClockCompensator, UnwrapThresholds) {
    clock_compensator shot;
    default_units(shot);
    shot.unwrap(0x20000000);
    auto t = shot.unwrap(0x20000000 - 0x0FFFFFFF); // a quarter of the range: a step back
    EXPECT_EQ(shot.unwrap_wraps, 0u);
    EXPECT_DOUBLE_EQ(t.first, (0x20000000 - 0x0FFFFFFF) * 1e-7);
    EXPECT_TRUE(std::isnan(t.second));
    shot.unwrap(0x20000000);
    t = shot.unwrap(0x20000000 - 0x10000000);
    EXPECT_EQ(shot.unwrap_wraps, 1u);

    clock_compensator sync;
    default_units(sync, 1);
    sync.unwrap(100);
    sync.unwrap(99);
    EXPECT_EQ(sync.unwrap_wraps, 0u);
    sync.unwrap(97);
    EXPECT_EQ(sync.unwrap_wraps, 1u);
    // Counter bits above the mask are ignored.
    t = sync.unwrap(0xC0000000u | 97u);
    EXPECT_DOUBLE_EQ(t.first, (double(0x3FFFFFFF) * 1e-7 + 1e-7) + 97e-7);
}

TEST(ClockCompensator, LosesLockWhenExtrapolatingTooFar) {
    clock_compensator cc;
    default_units(cc);
    cc.sync(1000, 5000);
    cc.sync(1000 + ticks_per_s, 6000);
    ASSERT_TRUE(cc.locked);
    auto t = cc.unwrap(1000 + ticks_per_s + 2 * ticks_per_s);
    EXPECT_FALSE(cc.locked);
    EXPECT_FALSE(cc.has_sync);
    EXPECT_TRUE(cc.ever_locked);
    EXPECT_NEAR(t.second, 8.0, 1e-12);

    // The next sync is a first sync again: no lock test, then measuring.
    cc.sync(1000 + 3 * ticks_per_s, 8000);
    EXPECT_TRUE(cc.has_sync);
    EXPECT_FALSE(cc.locked);
}

TEST(ClockCompensator, PulseRateSetsTheLostLockLimit) {
    clock_compensator cc;
    default_units(cc);
    cc.pulse_repetition_rate = 1e6;
    cc.sync(1000, 5000);
    EXPECT_DOUBLE_EQ(cc.lost_lock_limit, 0.5 / (1e-7 * 1e6));
}

TEST(ClockCompensator, LockedRejectsDisagreeingPairs) {
    clock_compensator cc;
    default_units(cc);
    cc.sync(1000, 5000);
    cc.sync(1000 + ticks_per_s, 6000);
    ASSERT_TRUE(cc.locked);
    // 1.004 against the locked 1.0 averages to 1.002: ignored.
    const unsigned c2 = 1000 + ticks_per_s + 996016; // ~0.0996 s
    const auto before = cc.history.back();
    auto r = cc.sync(c2, 6100);
    const double rate = (100 * 0.001) / (996016 * 1e-7);
    ASSERT_GT(std::fabs(1 - (0.5 * rate + 0.5)), 0.001);
    EXPECT_EQ(cc.history.size(), 1u);
    EXPECT_EQ(cc.last_counter, 1000 + ticks_per_s);
    EXPECT_EQ(cc.last_ext, 6000u);
    EXPECT_DOUBLE_EQ(r.first, before.counter_time);
    EXPECT_DOUBLE_EQ(r.second, 6.1);
    // The next good pair is measured against the last accepted one.
    cc.sync(1000 + 2 * ticks_per_s, 7000);
    EXPECT_EQ(cc.history.size(), 2u);
    EXPECT_DOUBLE_EQ(cc.history.back().rate, 1.0);
}

TEST(ClockCompensator, FirstUnwrapPicksNearestWrapCount) {
    // Four-bit counter of 0.25 s ticks: a modulus of exactly 4 s.
    clock_compensator cc;
    cc.init(0.25, 1.0, 0.25, 1.0, 4, 0);
    ASSERT_EQ(cc.counter_range, 15u);
    cc.sync(1, 1);
    cc.sync(5, 2); // 1 s of counter, 1 s external: locks at counter time 1.25
    ASSERT_TRUE(cc.locked);
    clock_compensator tie = cc;
    // d = 1.25 - 3.25 = -2: equally far from wrap counts 0 and -1; the larger wins.
    auto t = tie.unwrap(13);
    EXPECT_DOUBLE_EQ(t.first, 3.25);
    EXPECT_EQ(tie.unwrap_wraps, 0u);
    // d = -2.25: one wrap before zero is nearest, a time just before the state.
    t = cc.unwrap(14);
    EXPECT_DOUBLE_EQ(t.first, -0.5);
    EXPECT_DOUBLE_EQ(t.second, 2.0 - 1.75);
}

TEST(ClockCompensator, FirstSyncTakesUnwrapWraps) {
    clock_compensator cc;
    default_units(cc, 1);
    cc.unwrap(100);
    cc.unwrap(50); // a wrap for a threshold of 1
    ASSERT_EQ(cc.unwrap_wraps, 1u);
    auto r = cc.sync(60, 1000);
    EXPECT_EQ(cc.sync_wraps, 1u);
    EXPECT_DOUBLE_EQ(r.first, (double(0x3FFFFFFF) * 1e-7 + 1e-7) + 60e-7);
}

TEST(ClockCompensator, HighResolutionForm) {
    clock_compensator cc;
    default_units(cc);
    const std::uint64_t per_s = 5242880000000ull; // 1 s of 1e-7 / 2^19 ticks
    cc.sync_hr(7, 1000000);
    cc.sync_hr(7 + per_s, 2000000);
    ASSERT_TRUE(cc.locked);
    // 1.000015 is outside the tolerance of 1e-5 on its own (it would pass
    // averaged with the locked rate).
    const std::uint64_t c2 = 7 + 2 * per_s;
    cc.sync_hr(c2, 3000015);
    EXPECT_EQ(cc.last_counter_hr, 7 + per_s);
    EXPECT_EQ(cc.history.size(), 1u);
    // Extrapolation in microsecond external time.
    auto t = cc.unwrap_hr(7 + per_s + per_s / 4);
    EXPECT_NEAR(t.second, 2.25, 1e-9);
    EXPECT_NEAR(t.first, (7 + per_s + per_s / 4) * (1e-7 / 524288.0), 1e-12);

    // External microsecond day wrap.
    clock_compensator d;
    default_units(d);
    d.sync_hr(7, 86399000000ull);
    auto r = d.sync_hr(7 + per_s, 0);
    EXPECT_DOUBLE_EQ(r.second, 86400.0);
    EXPECT_TRUE(d.locked);
}
