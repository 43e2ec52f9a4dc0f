#pragma once
// Turns free-running system time counters into times.
//
// A compensator unwraps counter values into a continuous counter time, learns
// the ratio of external (PPS) time to counter time from consecutive sync pairs,
// locks when that ratio is close to 1 and converts any counter value into
// external time by extrapolating from the newest sync state.

#include <cstdint>
#include <deque>
#include <limits>
#include <utility>

namespace scanlib {
namespace detail {

class clock_compensator {
public:
    struct state_t {
        double counter_time; // unwrapped counter x unit at the sync, s
        double rate;         // external seconds per counter second
        double ext_time;     // accumulated external time, s
    };

    clock_compensator();

    void init(double unit, double ext_unit);
    void init(double unit, double ext_unit, double hr_unit, double ext_hr_unit);
    void init(double unit, double ext_unit, double hr_unit, double ext_hr_unit, unsigned int hr_bits,
              unsigned long jump_threshold);

    // Feed one PPS pair; the counter time and external time of the newest state.
    std::pair<double, double> sync(unsigned int counter, unsigned int ext);
    std::pair<double, double> sync_hr(unsigned long counter, unsigned long ext);

    // Counter time (raw) and synchronised time (NaN until the first lock).
    std::pair<double, double> unwrap(unsigned int counter);
    std::pair<double, double> unwrap_hr(unsigned long counter);

    double unit = 1e-7;
    double ext_unit = 0.001;
    double hr_unit = 1e-12;
    double ext_hr_unit = 1e-6;
    std::uint32_t last_ext = 0;
    std::uint32_t ext_acc = 0;
    std::uint32_t last_counter = 0;
    std::uint32_t sync_wraps = 0;
    std::uint64_t last_ext_hr = 0;
    std::uint64_t ext_acc_hr = 0;
    std::uint64_t last_counter_hr = 0;
    std::uint64_t sync_wraps_hr = 0;
    bool unwrap_started = false;
    std::deque<state_t> history;
    std::uint32_t unwrap_last = 0;
    std::uint32_t unwrap_wraps = 0;
    std::uint32_t counter_range = 0xFFFFFFFFu;
    std::uint32_t counter_mask = 0xFFFFFFFFu;
    std::uint32_t wrap_threshold = 0x3FFFFFFFu;
    std::uint64_t unwrap_last_hr = 0;
    std::uint64_t unwrap_wraps_hr = 0;
    std::uint64_t counter_range_hr = ~std::uint64_t(0);
    std::uint64_t counter_mask_hr = ~std::uint64_t(0);
    std::uint64_t wrap_threshold_hr = 0x3FFFFFFFu;
    bool has_sync = false;
    bool locked = false;
    bool ever_locked = false;
    double lost_lock_limit = 1.5;
    std::uint32_t id;
    double pulse_repetition_rate = std::numeric_limits<double>::quiet_NaN();

    static std::uint32_t id_max;

private:
    // Right shift from the high-resolution counter to the 32-bit one.
    unsigned int counter_shift() const;
};

} // namespace detail
} // namespace scanlib
