#include <scanlib/clockcomp.hpp>

#include <algorithm>
#include <cmath>

namespace scanlib {
namespace detail {

std::uint32_t clock_compensator::id_max = 0;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The counter, external time and wrap fields of one of the two counter widths;
// both widths run the same steps over them.
template <class U>
struct lane {
    double& unit;
    double& ext_unit;
    U& last_ext;
    U& ext_acc;
    U& last_counter;
    U& sync_wraps;
    U& unwrap_last;
    U& unwrap_wraps;
    U& counter_range;
    U& counter_mask;
    U& wrap_threshold;
    U day;       // one day in external units
    U week;      // one week in external units
    double tol;  // lock and acceptance tolerance
    bool mean_rate;
};

// Wrap counts are kept unsigned but read as signed, so the nearest-wrap choice
// of a first unwrap may settle one wrap before zero (a time just before the
// locking state).
template <class U>
double wraps_time(U wraps, double modulus_time) {
    using S = std::make_signed_t<U>;
    return static_cast<double>(static_cast<S>(wraps)) * modulus_time;
}

template <class U>
std::pair<double, double> do_sync(clock_compensator& cc, lane<U> l, U counter, U ext) {
    const U c = counter & l.counter_mask;
    const clock_compensator::state_t s = cc.history.back();
    if (ext == l.last_ext || c == l.last_counter)
        return {s.counter_time, s.ext_time};

    U dc;
    bool wrapped;
    if (c >= l.last_counter) {
        dc = c - l.last_counter;
        wrapped = false;
    } else {
        dc = static_cast<U>(c - l.last_counter + l.counter_range + 1);
        wrapped = true;
    }
    U dext = ext - l.last_ext;
    if (l.last_ext > ext)
        dext += l.last_ext < l.day ? l.day : l.week;
    const U acc = l.ext_acc + dext;

    const double ext_time = static_cast<double>(acc) * l.ext_unit;
    double rate = (static_cast<double>(dext) * l.ext_unit) / (static_cast<double>(dc) * l.unit);

    if (cc.locked) {
        if (l.mean_rate)
            rate = 0.5 * rate + 0.5 * s.rate;
        if (!(std::fabs(1.0 - rate) < l.tol))
            return {s.counter_time, ext_time};
    } else if (cc.has_sync) {
        if (std::fabs(1.0 - rate) < l.tol) {
            cc.history.clear();
            cc.locked = true;
            cc.ever_locked = true;
        }
    } else {
        cc.has_sync = true;
        if (!cc.ever_locked && cc.unwrap_started)
            l.sync_wraps = l.unwrap_wraps;
        if (!std::isnan(cc.pulse_repetition_rate))
            cc.lost_lock_limit = 0.5 / (std::max(5e-8, l.unit) * cc.pulse_repetition_rate);
    }

    if (wrapped)
        ++l.sync_wraps;
    l.last_counter = c;
    l.last_ext = ext;
    l.ext_acc = acc;
    const double modulus_time = static_cast<double>(l.counter_range) * l.unit + l.unit;
    const double counter_time = wraps_time(l.sync_wraps, modulus_time) + static_cast<double>(c) * l.unit;
    cc.history.push_back({counter_time, rate, ext_time});
    return {counter_time, ext_time};
}

template <class U>
std::pair<double, double> do_unwrap(clock_compensator& cc, lane<U> l, U counter) {
    using S = std::make_signed_t<U>;
    const U c = counter & l.counter_mask;
    if (c < l.unwrap_last && l.unwrap_last - c > l.wrap_threshold)
        ++l.unwrap_wraps;
    l.unwrap_last = c;

    const double modulus_time = static_cast<double>(l.counter_range) * l.unit + l.unit;
    if (!cc.unwrap_started) {
        cc.unwrap_started = true;
        while (cc.history.size() > 1)
            cc.history.pop_front();
        if (cc.ever_locked) {
            const double d = cc.history.front().counter_time - static_cast<double>(c) * l.unit;
            // The nearest wrap count is a signed 32-bit choice; a quotient out of
            // that range (absurd units) is clamped rather than converted blindly.
            double q = d / modulus_time;
            if (!(q == q))
                q = 0;
            q = std::clamp(q, -2147483647.0, 2147483646.0);
            const S k = static_cast<S>(static_cast<std::int32_t>(q));
            S best = k + 1;
            double best_err = std::fabs(d - static_cast<double>(best) * modulus_time);
            for (S j : {k, static_cast<S>(k - 1)}) {
                const double e = std::fabs(d - static_cast<double>(j) * modulus_time);
                if (e < best_err) {
                    best = j;
                    best_err = e;
                }
            }
            l.unwrap_wraps = static_cast<U>(best);
        }
    }

    const double t = wraps_time(l.unwrap_wraps, modulus_time) + static_cast<double>(c) * l.unit;
    while (cc.history.size() > 1 && t > cc.history[1].counter_time)
        cc.history.pop_front();
    const clock_compensator::state_t& s = cc.history.front();
    const double x = s.rate * (t - s.counter_time);
    if (cc.locked && x > cc.lost_lock_limit) {
        cc.locked = false;
        cc.has_sync = false;
    }
    return {t, cc.ever_locked ? s.ext_time + x : nan};
}

} // namespace

clock_compensator::clock_compensator() : id(id_max++) {
    init(1e-7, 0.001, 1e-12, 1e-6, 49, 0);
}

void clock_compensator::init(double unit_, double ext_unit_) {
    unit = unit_;
    ext_unit = ext_unit_;
    hr_unit = unit_ * 1.9073486328125e-6;
    last_ext = ext_acc = last_counter = sync_wraps = 0;
    last_ext_hr = ext_acc_hr = last_counter_hr = sync_wraps_hr = 0;
    unwrap_started = false;
    history.clear();
    history.push_back({0.0, 1.0, 0.0});
    unwrap_last = unwrap_wraps = 0;
    counter_range = counter_mask = 0xFFFFFFFFu;
    wrap_threshold = 0x3FFFFFFFu;
    unwrap_last_hr = unwrap_wraps_hr = 0;
    counter_range_hr = counter_mask_hr = ~std::uint64_t(0);
    wrap_threshold_hr = 0x3FFFFFFFu;
    has_sync = locked = ever_locked = false;
    lost_lock_limit = 1.5;
    pulse_repetition_rate = nan;
}

unsigned int clock_compensator::counter_shift() const {
    // The ratio of the two units lies in [2^(e-1), 2^e); the 32-bit counter is
    // the high-resolution one without its e-1 lowest bits. Units that give no
    // usable exponent (zero, infinite, NaN, or a ratio below 1) shift by 0.
    const double ratio = unit / hr_unit;
    if (!std::isfinite(ratio) || !(ratio > 0))
        return 0;
    int e = 0;
    std::frexp(ratio, &e);
    return static_cast<unsigned int>(std::clamp(e - 1, 0, 63));
}

void clock_compensator::init(double unit_, double ext_unit_, double hr_unit_, double ext_hr_unit_) {
    init(unit_, ext_unit_);
    hr_unit = hr_unit_;
    ext_hr_unit = ext_hr_unit_;
    counter_mask_hr = counter_range_hr = (std::uint64_t(1) << 49) - 1;
    counter_mask = counter_range = static_cast<std::uint32_t>(counter_range_hr >> counter_shift());
}

void clock_compensator::init(double unit_, double ext_unit_, double hr_unit_, double ext_hr_unit_,
                             unsigned int hr_bits, unsigned long jump_threshold) {
    init(unit_, ext_unit_, hr_unit_, ext_hr_unit_);
    // Widths of 64 and more take the whole word instead of shifting past it.
    counter_mask_hr = counter_range_hr = hr_bits >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << hr_bits) - 1;
    counter_mask = counter_range = static_cast<std::uint32_t>(counter_range_hr >> counter_shift());
    if (jump_threshold == 0) {
        wrap_threshold_hr = counter_range_hr >> 2;
        wrap_threshold = counter_range >> 2;
    } else {
        wrap_threshold_hr = jump_threshold;
        wrap_threshold = static_cast<std::uint32_t>(jump_threshold);
    }
}

namespace {

// The 32-bit and the high-resolution counter's fields, with their limits.
lane<std::uint32_t> narrow_lane(clock_compensator& c) {
    return {c.unit, c.ext_unit, c.last_ext, c.ext_acc, c.last_counter, c.sync_wraps, c.unwrap_last,
            c.unwrap_wraps, c.counter_range, c.counter_mask, c.wrap_threshold, 86400000u, 604800000u, 0.001, true};
}

lane<std::uint64_t> wide_lane(clock_compensator& c) {
    return {c.hr_unit, c.ext_hr_unit, c.last_ext_hr, c.ext_acc_hr, c.last_counter_hr, c.sync_wraps_hr,
            c.unwrap_last_hr, c.unwrap_wraps_hr, c.counter_range_hr, c.counter_mask_hr, c.wrap_threshold_hr,
            86400000000u, 604800000000u, 0.00001, false};
}

} // namespace

std::pair<double, double> clock_compensator::sync(unsigned int counter, unsigned int ext) {
    return do_sync<std::uint32_t>(*this, narrow_lane(*this), counter, ext);
}

std::pair<double, double> clock_compensator::sync_hr(unsigned long counter, unsigned long ext) {
    return do_sync<std::uint64_t>(*this, wide_lane(*this), counter, ext);
}

std::pair<double, double> clock_compensator::unwrap(unsigned int counter) {
    return do_unwrap<std::uint32_t>(*this, narrow_lane(*this), counter);
}

std::pair<double, double> clock_compensator::unwrap_hr(unsigned long counter) {
    return do_unwrap<std::uint64_t>(*this, wide_lane(*this), counter);
}

} // namespace detail
} // namespace scanlib
