#include <scanlib/pointcloud.hpp>
#include <scanlib/pointcloud_impl.hpp>
#include <scanlib/scanexcept.hpp>

#include "jsontext.hpp"

#include <boost/property_tree/json_parser.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <sstream>

namespace scanlib {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr float nanf = std::numeric_limits<float>::quiet_NaN();
const char* const source = "scanlib/src/pointcloud";

// Packet values and units are taken as they come; a NaN or out-of-range
// quotient must still give a defined integer, so conversions saturate and map
// NaN to 0.
template <class I>
I saturate(double v) {
    if (!(v == v))
        return 0;
    constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<I>::max());
    if (v <= lo)
        return std::numeric_limits<I>::min();
    if (v >= hi)
        return std::numeric_limits<I>::max();
    return static_cast<I>(v);
}

// Longest history the point cloud keeps: the zone byte of the settings packet
// allows 255 zones; the caller's explicit zones are bounded by the zone field
// of a target.
constexpr std::uint64_t max_packet_zone_count = 255;
constexpr std::uint64_t max_zone_count = 65535;

// Characters up to the first zero byte of a fixed text field.
template <class Array>
std::string text_of(Array const& a) {
    std::string s;
    for (std::size_t i = 0; i < Array::size(); ++i) {
        const char c = a[i];
        if (c == '\0')
            break;
        s.push_back(c);
    }
    return s;
}

// The notch test, inlined where echoes are evaluated.
inline bool in_notch(pointcloud const& pc, int range, unsigned short amplitude) {
    return pc.notch_lo <= range && range <= pc.notch_hi && amplitude <= pc.notch_ampl;
}

// Entry i of a list of n taken round-robin; the usual index needs no division.
inline std::size_t wrapped(std::size_t i, std::size_t n) { return i < n ? i : i % n; }

// One element at a time: a mechanism stores the vertex element by element,
// and one wide load across two such stores waits until both have retired.
inline void narrow_3(double const (&v)[3], float (&to)[3]) {
    for (int i = 0; i < 3; ++i)
        to[i] = static_cast<float>(static_cast<double const volatile&>(v[i]));
}

inline void assign_3(double const (&from)[3], double (&to)[3]) {
    to[0] = from[0];
    to[1] = from[1];
    to[2] = from[2];
}

template <class Array>
void copy_3(Array const& a, double (&v)[3]) {
    for (int i = 0; i < 3; ++i)
        v[i] = static_cast<float>(a[i]);
}

// CRC-32 with polynomial 0x04C11DB7, not reflected, no final XOR; each word
// fed most significant byte first.
struct crc_table_t {
    std::uint32_t t[256];
    constexpr crc_table_t() : t() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k)
                r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : (r << 1);
            t[i] = r;
        }
    }
};
constexpr crc_table_t crc_table;

std::uint32_t crc_words(std::uint32_t crc, unsigned int const* b, unsigned int const* e) {
    for (; b < e; ++b) {
        const std::uint32_t w = *b;
        for (int shift = 24; shift >= 0; shift -= 8)
            crc = (crc << 8) ^ crc_table.t[((crc >> 24) ^ (w >> shift)) & 0xFFu];
    }
    return crc;
}

using shot_t = pointcloud::implementation::shot_t;

// Raw high-resolution time of history entry k; 0 (blank) beyond the history.
std::uint64_t history_time(boost::circular_buffer<shot_t> const& h, std::uint64_t k) {
    return k < h.size() ? h[k].raw_time : 0;
}

// Offset in metres of an echo of the shot k entries back: NaN when that entry
// is blank, missing or newer than the current shot.
double zone_offset(boost::circular_buffer<shot_t> const& h, std::uint64_t k, double c) {
    const std::uint64_t t0 = history_time(h, 0), tk = history_time(h, k);
    if (tk == 0 || t0 < tk)
        return nan;
    return static_cast<double>(t0 - tk) * c;
}

// Makes `s` the current shot's geometry and times.
void put_shot(pointcloud& pc, shot_t const& s) {
    pc.shot_facet = s.facet;
    pc.shot_segment = s.segment;
    pc.shot_line_angle_rad = s.line_angle;
    pc.shot_frame_angle_rad = s.frame_angle;
    assign_3(s.origin, pc.shot_origin);
    assign_3(s.direction, pc.shot_direction);
    pc.shot_time = s.time;
    pc.shot_time_raw = s.time_raw;
}

} // namespace

target::target()
    : vertex{0, 0, 0}, range(0), zone(0), time(0), time_raw(0), amplitude(0), reflectance(0), deviation(0),
      background(nanf), flags{0, 0, 0, 0}, facet(0), segment(0) {}

namespace {

using table_t = std::vector<std::pair<double, double>>;
constexpr double infinity = std::numeric_limits<double>::infinity();

// Linear between the pair a lookup stopped at and its predecessor.
double blend(double x, std::pair<double, double> const& at, std::pair<double, double> const& prev) {
    const double f = (at.first - x) / (at.first - prev.first);
    return at.second * (1 - f) + prev.second * f;
}

// Pairs in non-decreasing x, none of them NaN.
bool sorted_by_x(table_t const& table) {
    if (!table.empty() && std::isnan(table.front().first))
        return false;
    for (std::size_t i = 1; i < table.size(); ++i)
        if (!(table[i - 1].first <= table[i].first))
            return false;
    return true;
}

// `interpolate` over a table that `sorted_by_x` accepts: the walk stops at
// the first pair with x_i >= x, which bisection finds.
double interpolate_sorted(double x, table_t const& table) {
    if (table.empty() || !(x > -infinity))
        return interpolate(x, table);
    const auto it = std::lower_bound(table.begin(), table.end(), x,
                                     [](std::pair<double, double> const& p, double v) { return p.first < v; });
    const std::pair<double, double> none(-infinity, 0.0);
    if (it == table.end())
        return blend(x, table.back(), table.size() > 1 ? table[table.size() - 2] : none);
    return blend(x, *it, it == table.begin() ? none : *(it - 1));
}

} // namespace

double interpolate(double x, std::vector<std::pair<double, double>> const& table) {
    if (table.empty())
        return nan;
    const std::pair<double, double> none(-infinity, 0.0);
    std::pair<double, double> prev = none;
    for (auto const& p : table) {
        if (x > prev.first && p.first >= x)
            return blend(x, p, prev);
        prev = p;
    }
    return blend(x, table.back(), table.size() > 1 ? table[table.size() - 2] : none);
}

// ---------------------------------------------------------------------------
// Object

pointcloud::pointcloud(bool pps_time_) : pointcloud(static_cast<std::ostream*>(nullptr), pps_time_) {}

pointcloud::pointcloud(std::ostream& csv, bool pps_time_) : pointcloud(&csv, pps_time_) {}

pointcloud::pointcloud(std::ostream* csv, bool pps_time_)
    : basic_packets(select_all), compressed_packets(false), group_velocity(300000000.0),
      unambiguous_range(10000.0), pps_time(pps_time_), sampling_time(nan), shot_time(0), shot_time_raw(0),
      sync_time(nan), shot_direction{0, 0, 0}, shot_origin{0, 0, 0}, shot_facet(0), shot_target_count(0),
      csv_out(csv), csv_header_written(false), measurement_started(false), impl(new implementation(this)),
      base_scanmech(shot_origin, shot_direction), range_unit(1.0), ext_time_unit(0.001),
      ext_time_hr_unit(1e-6), systime_unit(1e-7), systime_hr_unit(1.9073486328125e-13), systime_hr_bits(49),
      ampl_unit(0.01), refl_unit(0.01), utc_time_unit(nan), origin_unit(nan), direction_unit(nan), delta_rg(0),
      notch_range_min(0), notch_range_max(0), notch_ampl_max(0), notch_lo(0), notch_hi(0x7FFFFFFF),
      notch_ampl(65535), notch_user_set(false), notch_packet_seen(false), notch_mode(0),
      shot_line_angle_rad(0), shot_frame_angle_rad(0), shot_line_angle(0), shot_frame_angle(0),
      segment_count(0), shot_segment(0), segment(0), background(nanf), qual_deviation(0), qual_flag0(false),
      qual_flag2(false), lock_shot_skipped(false), counter_sync_pending(true), shot_pending(false),
      nrange_delta(0), arange_delta(0), refltab_delta(0), rangegate_fixed(false), mta_settings_valid(false),
      mta_zone(0), gate_low(0), gate_high(0), attenuation(0), pressure(nan), pressure_sl(nan),
      rel_humidity(nan), rng_scale(nan), temperature(nan), pulse_num_mod_ampl(1), pulse_code_phase_mode(0),
      pulse_phase_step(0), dyntrig_valid(false), dyntrig_offset(0), dyntrig_scale(0), wavelength(nan) {
    // Give the base mechanism defined units before any units packet.
    base_scanmech.precompute();
    init();
}

pointcloud::~pointcloud() = default;

void pointcloud::init() {
    impl->scanmech_owners.clear();
    scanmechs.clear();
    shot_pending = false;
    impl->shot_moved = false;
    csv_header_written = false;
    measurement_started = false;
    shot_time = shot_time_raw = 0;
    range_unit = 1.0;
    ext_time_unit = 0.001;
    ext_time_hr_unit = 1e-6;
    systime_unit = 1e-7;
    systime_hr_unit = 1.9073486328125e-13;
    systime_hr_bits = 49;
    ampl_unit = 0.01;
    refl_unit = 0.01;
    shot_facet = 0;
    shot_line_angle = shot_frame_angle = segment_count = shot_segment = segment = 0;
    background = nanf;
    shot_line_angle_rad = shot_frame_angle_rad = 0;
    shot_target_count = 0;
    if (shot_targets.capacity() < 10)
        shot_targets.reserve(10);
    shot_targets.clear();
    lock_shot_skipped = rangegate_fixed = mta_settings_valid = false;
    mta_zone = 0;
    gate_low = gate_high = 0;
    unambiguous_range = 10000.0;
    group_velocity = 300000000.0;
    attenuation = 0;
    pressure = pressure_sl = rel_humidity = rng_scale = temperature = nan;
    pulse_num_mod_ampl = 1;
    pulse_code_phase_mode = pulse_phase_step = 0;
    dyntrig_valid = false;
    sampling_time = nan;
    notch_mode = 0;
    notch_user_set = notch_packet_seen = false;
    notch_range_min = notch_range_max = notch_ampl_max = 0;
    notch_lo = 0;
    notch_hi = 0x7FFFFFFF;
    notch_ampl = 65535;
    wavelength = nan;
    direction_unit = origin_unit = utc_time_unit = nan;
    delta_rg = 0;
    counter_sync_pending = true;
}

void pointcloud::start_measurement() {
    if (measurement_started)
        return;
    on_check_parameters_before_measurement_starting();
    measurement_started = true;
    on_measurement_starting();
}

void pointcloud::on_shot() {}
void pointcloud::on_shot_end() {}
void pointcloud::on_pps_synchronized() {}
void pointcloud::on_pps_sync_lost() {}
void pointcloud::on_crc32_error(unsigned short, unsigned int, unsigned int) {}

void pointcloud::on_meas_start(meas_start<unsigned int const*> const&) { start_measurement(); }
void pointcloud::on_meas_stop(meas_stop<unsigned int const*> const&) { send_single_or_last(); }
void pointcloud::on_frame_stop(frame_stop<unsigned int const*> const&) { send_single_or_last(); }

void pointcloud::on_check_parameters_before_measurement_starting() {
    if (scanmechs.empty() || calib_tables.empty())
        return;
    unsigned long centre_id, argument_id;
    std::uint32_t count;
    if (calib_tables.count(20)) {
        notch_mode = 1;
        centre_id = 20;
        argument_id = 21;
        count = scanmechs.front()->line_circle_count;
    } else if (calib_tables.count(30)) {
        notch_mode = 2;
        centre_id = 30;
        argument_id = 31;
        count = scanmechs.front()->frame_circle_count;
    } else {
        return;
    }
    auto argument = calib_tables.find(argument_id), t14 = calib_tables.find(14), t15 = calib_tables.find(15);
    if (argument == calib_tables.end() || t14 == calib_tables.end() || t15 == calib_tables.end())
        throw scanlib_exception(
            "pointcloud::on_check_parameters_before_measurement_starting: inconsistent angle notchfilter tables",
            source, 590);
    auto const& centre = calib_tables[centre_id];
    // A circle of up to 2^32 counts asks for 2^24 entries; sorted tables are
    // looked up by bisection so that long tables cannot stall the start.
    auto lookup = [](table_t const& t) {
        return sorted_by_x(t) ? &interpolate_sorted : &interpolate;
    };
    const auto at_argument = lookup(argument->second), at_15 = lookup(t15->second), at_14 = lookup(t14->second),
               at_centre = lookup(centre);
    const std::uint32_t steps = count / 256;
    const std::size_t n = std::size_t(steps) + 1;
    notch_lo_table.resize(n);
    notch_hi_table.resize(n);
    notch_ampl_table.resize(n);
    double const* m = impl->notch_modification;
    for (std::size_t i = 0; i < n; ++i) {
        // A circle of fewer than 256 counts has one entry, for the whole turn.
        const double a = steps ? static_cast<double>(i) * 360.0 / steps : 0.0;
        const double w = at_argument(a, argument->second) + m[0];
        const double amplitude = w + at_15(w, t15->second) * m[4] + m[3];
        const double half = at_14(w, t14->second) * m[2] + m[1];
        const double c = at_centre(a, centre);
        notch_lo_table[i] = static_cast<std::uint32_t>(saturate<std::int32_t>((c - half) / range_unit + 0.5));
        notch_hi_table[i] = static_cast<std::uint32_t>(saturate<std::int32_t>((c + half) / range_unit + 0.5));
        notch_ampl_table[i] = static_cast<std::uint16_t>(saturate<std::int32_t>(amplitude / ampl_unit + 0.5));
    }
}

// ---------------------------------------------------------------------------
// Shot assembly

void pointcloud::compute_beam() {
    scanmech* m = scanmechs.empty() ? &base_scanmech : scanmechs[wrapped(segment, scanmechs.size())];
    m->compute_beam_raw(shot_line_angle, shot_frame_angle, segment);
    shot_facet = m->facet;
    shot_line_angle_rad = m->line_angle;
    shot_frame_angle_rad = m->frame_angle;
}

void pointcloud::shot_opened(bool to_history, std::uint64_t raw_hr_time) {
    shot_t& s = impl->own_shot;
    s.facet = shot_facet;
    s.segment = shot_segment;
    s.line_angle = shot_line_angle_rad;
    s.frame_angle = shot_frame_angle_rad;
    s.raw_time = raw_hr_time;
    assign_3(shot_origin, s.origin);
    assign_3(shot_direction, s.direction);
    s.time = shot_time;
    s.time_raw = shot_time_raw;
    impl->shot_moved = false;
    if (to_history)
        impl->shot_history.push_front(s);
}

void pointcloud::restore_own_shot() {
    if (impl->shot_moved) {
        put_shot(*this, impl->own_shot);
        impl->shot_moved = false;
    }
}

void pointcloud::load_shot(std::size_t k) {
    static const shot_t blank;
    auto const& h = impl->shot_history;
    put_shot(*this, k < h.size() ? h[k] : blank);
    impl->shot_moved = true;
}

void pointcloud::evaluate_shot(unsigned int time) { open_shot(time, background); }

void pointcloud::open_shot(unsigned int time, float shot_background) {
    start_measurement();
    prepare_notch_filter();
    send_single_or_last();
    // The closed shot was judged by its own background; this one's follows.
    background = shot_background;
    shot_pending = true;
    calc_time(time);
    shot_segment = segment;
    compute_beam();
    shot_opened(false, 0);
    on_shot();
}

void pointcloud::evaluate_shot_hr(unsigned long time) {
    start_measurement();
    prepare_notch_filter();
    send_single_or_last();
    shot_pending = true;
    calc_time_hr(time);
    shot_segment = segment;
    compute_beam();
    shot_opened(mta_settings_valid, time);
    on_shot();
}

namespace {

// True for a shot or echo packet whose body is short of its own layout's fixed
// part, as the end of a cut file leaves it: without strict checks it comes
// zero-filled, and would make up a shot or echo. Once found, the older
// layouts the same packet is offered as are skipped too. Packets unpacked
// from packed ones come while their packed packet is on offer, and are whole.
template <template <class> class View>
bool cut_short(pointcloud& pc, View<unsigned int const*> const&) {
    auto& o = pc.impl->offer;
    if (o.dispatch != pc.dispatch_count)
        return false;
    if (o.cut)
        return true;
    if (o.body_words >= View<void>::size_info.fixed_words || pc.current_id.sub != View<void>::sub_id ||
        pc.current_id.main != View<void>::main_id)
        return false;
    o.cut = true;
    return true;
}

} // namespace

void pointcloud::on_laser_shot(laser_shot<unsigned int const*> const& p) {
    if (!cut_short(*this, p))
        evaluate_shot(p.time);
}

void pointcloud::on_laser_shot_1angle(laser_shot_1angle<unsigned int const*> const& p) {
    if (!cut_short(*this, p))
        shot_line_angle = p.line_angle;
}

void pointcloud::on_laser_shot_2angles(laser_shot_2angles<unsigned int const*> const& p) {
    if (!cut_short(*this, p))
        shot_frame_angle = p.frame_angle;
}

void pointcloud::on_laser_shot_2angles_rad(laser_shot_2angles_rad<unsigned int const*> const& p) {
    if (cut_short(*this, p))
        return;
    shot_line_angle = p.line_angle;
    shot_frame_angle = p.frame_angle;
    open_shot(p.time, static_cast<float>(static_cast<unsigned short>(p.background)));
}

void pointcloud::on_laser_shot_6angles(laser_shot_6angles<unsigned int const*> const& p) {
    if (cut_short(*this, p))
        return;
    shot_line_angle = p.line_angle;
    shot_frame_angle = p.frame_angle;
    open_shot(p.time, nanf);
}

void pointcloud::on_laser_shot_2angles_hr(laser_shot_2angles_hr<unsigned int const*> const& p) {
    if (cut_short(*this, p))
        return;
    shot_line_angle = p.line_angle;
    shot_frame_angle = p.frame_angle;
    evaluate_shot_hr(p.time);
}

void pointcloud::on_laser_shot_utctime_origin_direction(
    laser_shot_utctime_origin_direction<unsigned int const*> const& p) {
    if (static_cast<unsigned char>(p.f1) != 0 || cut_short(*this, p))
        return;
    start_measurement();
    // These shots carry no raw angles for the angle tables, but the fixed
    // window must replace the one set at construction, which would drop
    // every echo with a non-negative range.
    if (notch_mode == 0)
        prepare_notch_filter();
    send_single_or_last();
    shot_pending = true;
    const std::uint64_t time = p.time;
    shot_time = shot_time_raw = static_cast<double>(time) * utc_time_unit;
    for (int i = 0; i < 3; ++i) {
        shot_origin[i] = static_cast<short>(p.origin[i]) * origin_unit;
        shot_direction[i] = static_cast<int>(p.direction[i]) * direction_unit;
    }
    shot_facet = 0;
    shot_segment = segment;
    shot_line_angle_rad = shot_frame_angle_rad = 0;
    shot_opened(mta_settings_valid,
                saturate<std::uint64_t>(static_cast<double>(time) * (utc_time_unit / systime_hr_unit)));
    on_shot();
}

void pointcloud::send_first_or_interior() {
    if (dyntrig_valid)
        return;
    if (pps_time && !shot_clock.ever_locked)
        return;
    if (shot_target_count == 0)
        return;
    on_echo_transformed(shot_target_count == 1 ? first : interior);
}

void pointcloud::send_single_or_last() {
    bool report = true;
    if (pps_time) {
        if (!shot_clock.ever_locked) {
            report = false;
        } else if (!lock_shot_skipped) {
            lock_shot_skipped = true;
            report = false;
        }
    }
    if (report) {
        if (!dyntrig_valid) {
            if (shot_target_count == 0) {
                // A substitute echo stands for an open shot only.
                if (shot_pending && !std::isnan(background)) {
                    pseudo_echo(0.35);
                    on_echo_transformed(pseudo);
                }
            } else {
                on_echo_transformed(shot_target_count == 1 ? single : last);
            }
        } else if (shot_target_count != 0) {
            dyntrig_pass();
        }
    }
    // Echo evaluation may have moved the shot to an earlier one; the shot
    // ends with its own values, also when it never entered the history
    // (32-bit shots, or settings that arrived while it was open).
    restore_own_shot();
    if (shot_pending)
        on_shot_end();
    shot_pending = false;
    shot_target_count = 0;
    qual_deviation = 0;
    qual_flag0 = qual_flag2 = false;
}

namespace {

// Echoes of one shot beyond any a scanner delivers: a stream whose shot never
// ends cannot grow the target lists, nor the pairwise trigger pass, without bound.
constexpr std::uint64_t max_shot_targets = 1024;

bool shot_full(pointcloud const& pc) { return pc.shot_target_count >= max_shot_targets; }

// The next target slot of the open shot, at range r along its own beam, with
// the shot's own values; slots are reused from shot to shot, so the caller
// writes every field the echo itself gives.
target& next_own_target(pointcloud& pc, double r) {
    while (pc.shot_target_count >= pc.shot_targets.size())
        pc.shot_targets.emplace_back();
    target& t = pc.shot_targets[pc.shot_target_count];
    for (int i = 0; i < 3; ++i)
        t.vertex[i] = static_cast<float>(pc.shot_origin[i] + pc.shot_direction[i] * r);
    t.range = r;
    t.zone = 0;
    t.time = pc.shot_time;
    t.time_raw = pc.shot_time_raw;
    t.background = pc.background;
    t.facet = pc.shot_facet;
    t.segment = pc.shot_segment;
    t.flags[3] = pc.shot_clock.locked;
    return t;
}

} // namespace

void pointcloud::pseudo_echo(double range) {
    target& t = next_own_target(*this, range);
    t.amplitude = static_cast<float>(ampl_unit);
    t.reflectance = nanf;
    t.deviation = 0;
    t.flags[0] = t.flags[1] = t.flags[2] = 0;
    ++shot_target_count;
}

void pointcloud::dyntrig_pass() {
    const std::size_t n = shot_target_count;
    // The row is bounded by every column; with an empty column nothing is
    // suppressed.
    const std::size_t rows = std::min({thra1.size(), del1.size(), dec1.size(), thra2.size(), del2.size(),
                                       dec2.size()});
    std::vector<bool>& marked = impl->dyntrig_marked;
    marked.assign(n, false);
    if (rows != 0) {
        const double m = static_cast<double>(rows - 1);
        for (std::size_t i = 0; i < n; ++i) {
            const float a = shot_targets[i].amplitude;
            const double q = std::floor(static_cast<double>((a - dyntrig_offset) / dyntrig_scale) + 0.5);
            const std::size_t row = q > 0 ? static_cast<std::size_t>(std::min(q, m)) : 0;
            const double ri = shot_targets[i].range;
            double t = thra2[row];
            if (t != 0 && i > 0) {
                for (std::size_t j = 0; j < i; ++j) {
                    const double aj = shot_targets[j].amplitude;
                    if (marked[j] || !(t >= aj))
                        continue;
                    if (t + (shot_targets[j].range - ri + static_cast<double>(del2[row])) * dec2[row] >= aj)
                        marked[j] = true;
                }
            }
            t = thra1[row];
            if (t != 0) {
                for (std::size_t k = i + 1; k < n; ++k) {
                    const double ak = shot_targets[k].amplitude;
                    if (marked[k] || !(t >= ak))
                        continue;
                    if (t - (shot_targets[k].range - ri - static_cast<double>(del1[row])) * dec1[row] >= ak)
                        marked[k] = true;
                }
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!marked[i])
            continue;
        auto suppress = [](target& t) {
            t.vertex[0] = t.vertex[1] = t.vertex[2] = nanf;
            t.range = nan;
        };
        suppress(shot_targets[i]);
        for (auto& list : multi_mta_targets)
            if (i < list.size())
                suppress(list[i]);
    }
    // The targets are taken out and reported one by one as they are put
    // back; the storage swapped in is the scratch of earlier shots.
    std::vector<target>& saved = impl->dyntrig_saved;
    saved.swap(shot_targets);
    shot_targets.clear();
    auto& saved_zones = impl->dyntrig_saved_zones;
    saved_zones.resize(multi_mta_targets.size());
    for (std::size_t z = 0; z < multi_mta_targets.size(); ++z) {
        saved_zones[z].swap(multi_mta_targets[z]);
        multi_mta_targets[z].clear();
    }
    for (std::size_t i = 0; i < n; ++i) {
        shot_targets.push_back(saved[i]);
        for (std::size_t z = 0; z < saved_zones.size(); ++z)
            if (i < saved_zones[z].size())
                multi_mta_targets[z].push_back(saved_zones[z][i]);
        shot_target_count = i + 1;
        on_echo_transformed(n == 1 ? single : i == 0 ? first : i == n - 1 ? last : interior);
    }
    saved.clear();
    for (auto& z : saved_zones)
        z.clear();
}

void pointcloud::prepare_notch_filter() {
    if (notch_mode == 1 || notch_mode == 2) {
        const std::size_t size = std::min({notch_lo_table.size(), notch_hi_table.size(), notch_ampl_table.size()});
        if (size != 0) {
            // An angle past the last entry takes the last one (360 degrees).
            const std::size_t index =
                std::min<std::size_t>((notch_mode == 1 ? shot_line_angle : shot_frame_angle) >> 8, size - 1);
            notch_lo = static_cast<std::int32_t>(notch_lo_table[index]);
            notch_hi = static_cast<std::int32_t>(notch_hi_table[index]);
            notch_ampl = notch_ampl_table[index];
        }
        return;
    }
    fixed_notch_window();
}

namespace {

template <class T>
bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

void pointcloud::fixed_notch_window() {
    // The window depends on configuration only: it is derived again when one
    // of its inputs changed, not for every shot.
    auto& w = impl->notch_window;
    if (!w.valid || !same_bits(w.range_min, notch_range_min) || !same_bits(w.range_max, notch_range_max) ||
        !same_bits(w.ampl_max, notch_ampl_max) || !same_bits(w.range_unit, range_unit) ||
        !same_bits(w.ampl_unit, ampl_unit)) {
        w.range_min = notch_range_min;
        w.range_max = notch_range_max;
        w.ampl_max = notch_ampl_max;
        w.range_unit = range_unit;
        w.ampl_unit = ampl_unit;
        w.lo = saturate<std::int32_t>(notch_range_min / range_unit + 0.5);
        w.hi = saturate<std::int32_t>(notch_range_max / range_unit + 0.5);
        w.ampl = static_cast<std::uint16_t>(saturate<std::int32_t>(notch_ampl_max / ampl_unit + 0.5));
        w.valid = true;
    }
    notch_lo = w.lo;
    notch_hi = w.hi;
    notch_ampl = w.ampl;
}

bool pointcloud::notched(int range, unsigned short amplitude) const { return in_notch(*this, range, amplitude); }

void pointcloud::set_notch_filter(float range_min, float range_max, float ampl_max) {
    notch_range_min = range_min;
    notch_range_max = range_max;
    notch_ampl_max = ampl_max;
    notch_user_set = true;
    notch_mode = 0;
    if (notch_packet_seen)
        prepare_notch_filter();
}

void pointcloud::on_notch_filter(notch_filter<unsigned int const*> const& p) {
    notch_packet_seen = true;
    if (!notch_user_set) {
        notch_range_min = p.range_min;
        notch_range_max = p.range_max;
        notch_ampl_max = p.amplitude_max;
    }
    fixed_notch_window();
}

void pointcloud::on_notch_filter_modification_parameters(
    notch_filter_modification_parameters<unsigned int const*> const& p) {
    double* m = impl->notch_modification;
    m[0] = p.f0;
    m[1] = p.f1;
    m[2] = p.f2;
    m[3] = p.f3;
    m[4] = p.f4;
}

void pointcloud::on_dyntrig(dyntrig<unsigned int const*> const& p) {
    dyntrig_offset = p.offset;
    dyntrig_scale = p.scale;
    for (auto* c : {&thra1, &del1, &dec1, &thra2, &del2, &dec2})
        c->clear();
    for (std::int64_t i = 0; i < p.table.size(); ++i) {
        auto const r = p.table[static_cast<std::size_t>(i)];
        thra1.push_back(r.thra1);
        del1.push_back(r.del1);
        dec1.push_back(r.dec1);
        thra2.push_back(r.thra2);
        del2.push_back(r.del2);
        dec2.push_back(r.dec2);
    }
    dyntrig_valid = true;
}

void pointcloud::on_line_stop(line_stop<unsigned int const*> const&) {
    send_single_or_last();
    if (mta_settings_valid)
        for (auto& s : impl->shot_history)
            s = shot_t();
}

void pointcloud::on_echo_transformed(echo_type) {
    if (!csv_out)
        return;
    std::ostream& os = *csv_out;
    if (!csv_header_written) {
        os << "X, Y, Z" << ", targetcount" << ", time" << ", amplitude" << ", reflectance" << ", deviation"
           << ", red, green, blue" << ", temperature" << '\n';
        os.flush();
        csv_header_written = true;
    }
    if (shot_target_count == 0 || shot_target_count > shot_targets.size())
        return;
    target const& t = shot_targets[shot_target_count - 1];
    os.precision(8);
    os.width(10);
    os << static_cast<double>(t.vertex[0]) << ",";
    os.width(10);
    os << static_cast<double>(t.vertex[1]) << ",";
    os.width(10);
    os << static_cast<double>(t.vertex[2]) << "," << static_cast<std::uint64_t>(shot_target_count - 1);
    os.precision(12);
    os << "," << t.time;
    os.precision(4);
    os << "," << t.amplitude << "," << t.reflectance << "," << t.deviation << '\n';
    os.flush();
}

// ---------------------------------------------------------------------------
// Echo evaluation

namespace {

// Range-dependent correction: the table index from `index_range`, the
// interpolation fraction from `fraction_range`. The index is bounded by the
// table, whose end test is made in f32.
double nrange_correction(std::vector<float> const& table, float delta, double index_range,
                         double fraction_range) {
    const std::size_t n = table.size();
    if (n == 0 || !(index_range > 0) || !(static_cast<float>(n - 1) * delta > index_range))
        return 0;
    const float u = std::fmod(static_cast<float>(fraction_range), delta) / delta;
    const std::size_t i = std::min(saturate<std::uint64_t>(index_range / delta), std::uint64_t(n - 1));
    const std::size_t j = std::min(i + 1, n - 1);
    return (1 - u) * table[i] + u * table[j];
}

} // namespace

void pointcloud::on_echo(int rho, unsigned short a, short s, unsigned short f, short d) {
    if (!shot_pending || in_notch(*this, rho, a))
        return;
    // In f64: a correction near either end of the raw range must not wrap.
    double raw = rho;
    if (a != 0 && !arange.empty()) {
        const double step = arange_delta / ampl_unit;
        if (static_cast<double>(arange.size() - 1) * step > a) {
            const std::size_t i = saturate<std::uint64_t>(a / step);
            if (i < arange.size())
                raw += arange[i];
        }
    }
    double R = raw * range_unit + delta_rg;

    auto& h = impl->shot_history;
    const double c = group_velocity * 0.5 * systime_hr_unit;
    std::uint64_t k = 0;
    double offset = 0;
    if (mta_settings_valid) {
        if (mta_zone != 0) {
            k = R < 0 ? mta_zone : mta_zone - 1;
            offset = zone_offset(h, k, c);
        } else {
            while (R + offset < gate_low || R + offset > gate_high) {
                if (++k >= h.size())
                    return;
                offset = static_cast<double>(history_time(h, 0) - history_time(h, k)) * c;
            }
            if (k >= h.size())
                return;
        }
    }

    if (shot_full(*this))
        return;
    send_first_or_interior();
    while (shot_target_count >= shot_targets.size())
        shot_targets.emplace_back();
    // Zone lists grow beside the main list; lists that fell behind (targets of
    // the short echo path) catch up here.
    for (auto& list : multi_mta_targets)
        while (shot_target_count >= list.size())
            list.emplace_back();

    // Inlined: a call per echo costs more than the body's second copy.
    auto fill = [&](target& t, double r, std::uint64_t zone) __attribute__((always_inline)) {
        t.range = r;
        t.zone = static_cast<std::uint16_t>(zone);
        if (!scanmechs.empty()) {
            double v[3];
            scanmechs[wrapped(shot_segment, scanmechs.size())]->compute_vertex(v, r);
            narrow_3(v, t.vertex);
        } else {
            for (int i = 0; i < 3; ++i)
                t.vertex[i] = static_cast<float>(shot_origin[i] + shot_direction[i] * r);
        }
        t.amplitude = static_cast<float>(a * ampl_unit);
        float refl = static_cast<float>(s * refl_unit);
        const double x = std::fabs(r);
        const std::size_t n = refltab.size();
        if (n != 0) {
            const float delta = refltab_delta;
            const double q = x / delta;
            if (n == 1 || !(q < static_cast<double>(n - 1))) {
                refl += refltab[n - 1];
                refl += static_cast<float>(20 * std::log10(x / (delta * static_cast<float>(n - 1))));
            } else {
                const std::size_t i = q > 0 ? static_cast<std::size_t>(q) : 0;
                const float u = std::fmod(static_cast<float>(x), delta) / delta;
                refl += (1 - u) * refltab[i] + u * refltab[i + 1];
            }
        }
        refl += static_cast<float>((n != 0 ? x : r) * attenuation * 8.68589);
        t.reflectance = refl;
        t.deviation = static_cast<float>(d);
        t.time = shot_time;
        t.time_raw = shot_time_raw;
        t.flags[0] = 0;
        t.flags[1] = f & 1;
        t.flags[2] = (f >> 2) & 1;
        t.flags[3] = shot_clock.locked;
        t.facet = shot_facet;
        t.segment = shot_segment;
        t.background = background;
    };

    for (std::size_t z = 0; z < multi_mta_zones.size() && z < multi_mta_targets.size(); ++z) {
        const std::uint32_t zone = multi_mta_zones[z];
        const std::uint32_t kz = R < 0 ? zone : zone - 1;
        double r = zone_offset(h, kz, c) + R;
        r += nrange_correction(nrange, nrange_delta, r, R);
        load_shot(kz);
        fill(multi_mta_targets[z][shot_target_count], r, kz);
    }
    if (mta_settings_valid) {
        load_shot(k);
    } else {
        // Without settings the echo belongs to its own shot, whatever the
        // zone targets loaded.
        restore_own_shot();
    }
    R += nrange.empty() ? 0.0 : nrange_correction(nrange, nrange_delta, R, R);
    fill(shot_targets[shot_target_count], R + offset, k);
    ++shot_target_count;
}

void pointcloud::on_echo(echo<unsigned int const*> const& p) {
    if (!cut_short(*this, p))
        on_echo(p.range, p.amplitude, p.reflectance, p.flags, p.deviation);
}

void pointcloud::on_echo_1(echo_1<unsigned int const*> const& p) {
    if (cut_short(*this, p))
        return;
    const unsigned short a = p.amplitude;
    const short s = static_cast<short>(static_cast<unsigned short>(a + static_cast<short>(p.reflectance)));
    on_echo(p.range, a, s, p.flags, p.deviation);
}

target* pointcloud::short_path_target(int rho, unsigned short a) {
    if (!shot_pending || in_notch(*this, rho, a) || shot_full(*this))
        return nullptr;
    send_first_or_interior();
    // These echoes know no zone: they belong to the open shot itself, not to
    // an earlier one that an echo before them was attributed to.
    restore_own_shot();
    return &next_own_target(*this, rho * range_unit + delta_rg);
}

void pointcloud::on_laser_echo(laser_echo<unsigned int const*> const& p) {
    target* t = cut_short(*this, p) ? nullptr : short_path_target(p.range, p.amplitude);
    if (!t)
        return;
    t->amplitude = static_cast<float>(static_cast<unsigned short>(p.amplitude) * ampl_unit);
    t->reflectance = nanf;
    t->deviation = qual_deviation;
    t->flags[0] = 0;
    t->flags[1] = qual_flag0;
    t->flags[2] = qual_flag2;
    ++shot_target_count;
}

void pointcloud::on_laser_echo_sw(laser_echo_sw<unsigned int const*> const& p) {
    target* t = cut_short(*this, p) ? nullptr : short_path_target(p.range, p.amplitude);
    if (!t)
        return;
    t->amplitude = static_cast<float>(static_cast<unsigned short>(p.amplitude));
    t->reflectance = 0;
    t->deviation = 0;
    t->flags[0] = 1;
    t->flags[1] = t->flags[2] = 0;
    ++shot_target_count;
}

void pointcloud::on_laser_echo_qual(laser_echo_qual<unsigned int const*> const& p) {
    if (cut_short(*this, p) || in_notch(*this, p.range, p.amplitude))
        return;
    qual_deviation = static_cast<float>(static_cast<unsigned char>(p.deviation));
    const unsigned char flags = p.flags;
    qual_flag0 = flags & 1;
    qual_flag2 = (flags >> 2) & 1;
}

void pointcloud::on_arange_table(arange_table<unsigned int const*> const& p) {
    arange_delta = p.amplitude_step;
    arange.clear();
    for (std::int64_t i = 0; i < p.corrections.size(); ++i)
        arange.push_back(static_cast<short>(p.corrections[static_cast<std::size_t>(i)].correction));
}

void pointcloud::on_nrange_table(nrange_table<unsigned int const*> const& p) {
    nrange_delta = static_cast<float>(2048.0 * range_unit);
    nrange.clear();
    for (std::int64_t i = 0; i < p.corrections.size(); ++i)
        nrange.push_back(
            static_cast<float>(static_cast<short>(p.corrections[static_cast<std::size_t>(i)].correction) *
                               range_unit));
}

void pointcloud::on_reftab_table(reftab_table<unsigned int const*> const& p) {
    refltab_delta = static_cast<float>(16777216.0 * range_unit / static_cast<unsigned short>(p.divisor));
    refltab.clear();
    const std::int64_t n = p.values.size();
    if (n == 1)
        return;
    for (std::int64_t i = 0; i + 1 < n; ++i)
        refltab.push_back(
            static_cast<float>(-(static_cast<short>(p.values[static_cast<std::size_t>(i)].value) * refl_unit)));
}

void pointcloud::on_calib_table(calib_table<unsigned int const*> const& p) {
    const double xs = p.x_scale, xo = p.x_offset, ys = p.y_scale, yo = p.y_offset;
    std::vector<std::pair<double, double>> table;
    table.reserve(static_cast<std::size_t>(p.points.size()));
    for (std::int64_t i = 0; i < p.points.size(); ++i) {
        auto const e = p.points[static_cast<std::size_t>(i)];
        table.emplace_back(xs * static_cast<short>(e.raw_x) + xo, ys * static_cast<short>(e.raw_y) + yo);
    }
    calib_tables[static_cast<unsigned short>(p.table_id)] = std::move(table);
}

// ---------------------------------------------------------------------------
// Range ambiguity

namespace {

// Shots of history needed beyond the current one. The count derived from the
// gate is bounded by what the settings packet's zone byte allows, so an
// unambiguous range of 0 or a NaN gate cannot demand an absurd history.
std::uint64_t zone_count(std::uint32_t zone, double gate_high, double unambiguous_range) {
    if (zone != 0)
        return std::min<std::uint64_t>(zone, max_zone_count);
    const double q = std::floor(std::fabs(gate_high / unambiguous_range)) + 1;
    return std::min(saturate<std::uint64_t>(q), max_packet_zone_count);
}

} // namespace

void pointcloud::set_rangegate(unsigned int zone, double low, double high) {
    rangegate_fixed = true;
    mta_zone = zone;
    gate_low = low;
    gate_high = high;
    const std::uint64_t need = zone_count(mta_zone, gate_high, unambiguous_range) + 1;
    if (need > impl->shot_history.size())
        impl->shot_history.resize(need, shot_t());
}

void pointcloud::apply_mta_settings(unsigned zone, float low, float high, float unambiguous) {
    mta_settings_valid = true;
    unambiguous_range = unambiguous;
    if (!rangegate_fixed) {
        mta_zone = zone;
        gate_low = low;
        gate_high = high;
    }
    impl->shot_history.resize(zone_count(mta_zone, gate_high, unambiguous_range) + 1, shot_t());
}

template <class Packet>
void pointcloud::apply_mta_settings(Packet const& p) {
    apply_mta_settings(static_cast<unsigned char>(p.zone), p.gate_low, p.gate_high, p.unambiguous_range);
}

void pointcloud::on_mta_settings(mta_settings<unsigned int const*> const& p) { apply_mta_settings(p); }

void pointcloud::on_mta_settings_1(mta_settings_1<unsigned int const*> const& p) { apply_mta_settings(p); }

void pointcloud::set_multi_mta_zones(std::vector<unsigned int> const& zones, unsigned int zone, double low,
                                     double high) {
    set_rangegate(zone, low, high);
    multi_mta_zones = zones;
    multi_mta_targets.resize(zones.size());
    shot_targets.clear();
    shot_target_count = 0;
    for (std::size_t i = 0; i < zones.size(); ++i) {
        multi_mta_targets[i].clear();
        // A zone beyond the bound finds no history entry and gives NaN ranges.
        const std::uint64_t need = std::min<std::uint64_t>(std::uint32_t(zones[i] + 1), max_zone_count + 1);
        if (need > impl->shot_history.size())
            impl->shot_history.resize(need, shot_t());
    }
}

void pointcloud::on_m_sequence_mta(m_sequence_mta<unsigned int const*> const& p) {
    basic_packets::on_m_sequence_mta(p);
    pulse_num_mod_ampl = 2;
    // One interval per bit of the sequence: the count field is not trusted
    // beyond the bits the body holds, nor beyond the longest sequence the
    // layout knows, so one 16-bit field cannot blow up the meta information.
    const std::int64_t n = std::min<std::int64_t>(
        {static_cast<unsigned short>(p.sequence_length), p.items.size(),
         static_cast<std::int64_t>(m_sequence_mta<void>::sequence_capacity)});
    intervals.assign(static_cast<std::size_t>(n), nan);
}

void pointcloud::on_pulse_position_modulation(pulse_position_modulation<unsigned int const*> const& p) {
    basic_packets::on_pulse_position_modulation(p);
    pulse_num_mod_ampl = static_cast<unsigned short>(p.pulse_num_mod_ampl);
    intervals.clear();
    // The count field is not trusted beyond the intervals the body holds.
    const std::int64_t n = std::min<std::int64_t>(static_cast<unsigned short>(p.interval_count), p.intervals.size());
    for (std::int64_t i = 0; i < n; ++i)
        intervals.push_back(static_cast<float>(p.intervals[static_cast<std::size_t>(i)].interval));
}

void pointcloud::on_pulse_position_modulation_1(pulse_position_modulation_1<unsigned int const*> const& p) {
    basic_packets::on_pulse_position_modulation_1(p);
    pulse_num_mod_ampl = static_cast<unsigned char>(p.pulse_num_mod_ampl);
    pulse_code_phase_mode = static_cast<unsigned char>(p.pulse_code_phase_mode);
    pulse_phase_step = static_cast<unsigned char>(p.pulse_phase_step);
    intervals.clear();
    const std::int64_t n = std::min<std::int64_t>(static_cast<unsigned char>(p.interval_count), p.intervals.size());
    for (std::int64_t i = 0; i < n; ++i)
        intervals.push_back(static_cast<float>(p.intervals[static_cast<std::size_t>(i)].interval));
}

namespace {

// The shot clock's pulse rate, read as the packet's field type.
template <class Rate, class Packet>
void take_pulse_rate(detail::clock_compensator& clock, Packet const& p) {
    clock.pulse_repetition_rate = static_cast<Rate>(p.pulse_repetition_rate);
}

} // namespace

void pointcloud::on_range_finder_settings(range_finder_settings<unsigned int const*> const& p) {
    take_pulse_rate<float>(shot_clock, p);
}

void pointcloud::on_range_finder_debug_laser(range_finder_debug_laser<unsigned int const*> const& p) {
    take_pulse_rate<float>(shot_clock, p);
}

void pointcloud::on_range_finder_program_2(range_finder_program_2<unsigned int const*> const& p) {
    take_pulse_rate<double>(shot_clock, p);
}

// ---------------------------------------------------------------------------
// Clocks

namespace {

using compensator = detail::clock_compensator;

// One PPS pair into both clocks; reports the shot clock's lock when it comes.
template <auto Sync, class Counter>
void feed_pps(pointcloud& pc, Counter counter, Counter ext) {
    const bool was_locked = pc.shot_clock.locked;
    (pc.shot_clock.*Sync)(counter, ext);
    (pc.sync_clock.*Sync)(counter, ext);
    if (!was_locked && pc.shot_clock.locked)
        pc.on_pps_synchronized();
}

// The shot's times from its counter; reports a lost lock.
template <auto Unwrap, class Counter>
void take_shot_time(pointcloud& pc, Counter counter) {
    const bool was_locked = pc.shot_clock.locked;
    const auto t = (pc.shot_clock.*Unwrap)(counter);
    pc.shot_time = pc.pps_time ? t.second : t.first;
    pc.shot_time_raw = t.first;
    if (was_locked && !pc.shot_clock.locked)
        pc.on_pps_sync_lost();
}

} // namespace

void pointcloud::update_pps(unsigned int counter, unsigned int ext) {
    feed_pps<&compensator::sync>(*this, counter, ext);
}

void pointcloud::update_pps_hr(unsigned long counter, unsigned long ext) {
    feed_pps<&compensator::sync_hr>(*this, counter, ext);
}

void pointcloud::calc_time(unsigned int counter) { take_shot_time<&compensator::unwrap>(*this, counter); }

void pointcloud::calc_time_hr(unsigned long counter) { take_shot_time<&compensator::unwrap_hr>(*this, counter); }

void pointcloud::on_pps_sync(pps_sync<unsigned int const*> const& p) { update_pps(p.counter, p.ext_time); }

void pointcloud::on_pps_sync_hr(pps_sync_hr<unsigned int const*> const& p) {
    update_pps_hr(p.counter, p.ext_time);
}

void pointcloud::on_counter_sync(counter_sync<unsigned int const*> const& p) {
    const unsigned int c = p.counter;
    const auto t = sync_clock.unwrap(c);
    sync_time = pps_time ? t.second : t.first;
    if (counter_sync_pending) {
        shot_clock.unwrap(c);
        counter_sync_pending = false;
    }
}

void pointcloud::on_pwm_sync(pwm_sync<unsigned int const*> const& p) {
    const auto t = sync_clock.unwrap(p.counter);
    sync_time = pps_time ? t.second : t.first;
}

void pointcloud::on_counter_sync_2angles_hr(counter_sync_2angles_hr<unsigned int const*> const& p) {
    const auto t = sync_clock.unwrap_hr(p.counter);
    sync_time = pps_time ? t.second : t.first;
}

// ---------------------------------------------------------------------------
// Units and atmosphere

void pointcloud::on_units(units<unsigned int const*> const& p) {
    const float ru = p.range_unit;
    const std::uint32_t lines = p.line_circle_count, frames = p.frame_circle_count;
    base_scanmech.range_unit = ru;
    base_scanmech.line_circle_count = lines ? lines : 1;
    base_scanmech.frame_circle_count = frames ? frames : 1;
    base_scanmech.precompute();
    range_unit = ru;
    systime_unit = static_cast<float>(p.systime_unit);
    counter_sync_pending = true;
    shot_clock.init(systime_unit, ext_time_unit, systime_hr_unit, ext_time_hr_unit, systime_hr_bits, 0);
    sync_clock.init(systime_unit, ext_time_unit, systime_hr_unit, ext_time_hr_unit, systime_hr_bits, 1);
}

void pointcloud::on_units_1(units_1<unsigned int const*> const& p) {
    ampl_unit = refl_unit = static_cast<float>(p.ampl_unit);
}

void pointcloud::on_units_2(units_2<unsigned int const*> const& p) {
    systime_hr_unit = static_cast<float>(p.systime_hr_unit);
}

void pointcloud::on_units_3(units_3<unsigned int const*> const& p) { systime_hr_bits = p.systime_hr_bits; }

void pointcloud::on_units_4(units_4<unsigned int const*> const& p) {
    direction_unit = 2.384185791015625e-07;
    origin_unit = 6.103515625e-05;
    utc_time_unit = static_cast<float>(p.utc_time_unit);
}

void pointcloud::on_atmosphere_2(atmosphere_2<unsigned int const*> const& p) {
    basic_packets::on_atmosphere_2(p);
    temperature = static_cast<float>(p.temperature);
    pressure = static_cast<float>(p.pressure);
    rel_humidity = static_cast<float>(p.rel_humidity);
    rng_scale = static_cast<float>(p.rng_scale);
    pressure_sl = static_cast<float>(p.pressure_sl);
    group_velocity = static_cast<float>(p.group_velocity);
}

void pointcloud::on_atmosphere_3(atmosphere_3<unsigned int const*> const& p) {
    basic_packets::on_atmosphere_3(p);
    attenuation = static_cast<float>(p.attenuation) * 0.001;
}

void pointcloud::on_atmosphere_4(atmosphere_4<unsigned int const*> const& p) {
    basic_packets::on_atmosphere_4(p);
    wavelength = static_cast<float>(p.wavelength) * 1e-9;
}

// ---------------------------------------------------------------------------
// Device geometry

namespace {

template <class Sequence, class Wheel>
void load_facets(Sequence const& seq, Wheel& w) {
    w.facets.clear();
    for (std::int64_t i = 0; i < seq.size(); ++i) {
        auto const e = seq[static_cast<std::size_t>(i)];
        typename decltype(w.facets)::value_type f;
        f.normal[0] = static_cast<float>(e.normal_x);
        f.normal[1] = static_cast<float>(e.normal_y);
        f.normal[2] = static_cast<float>(e.normal_z);
        f.dist = static_cast<float>(e.dist);
        w.facets.push_back(f);
    }
}

// The wheel's own parameters, as the three wheel geometry packets give them.
template <class Packet, class Wheel>
void load_wheel(Packet const& p, Wheel& w) {
    copy_3(p.laser_origin, w.laser_origin);
    copy_3(p.laser_direction, w.laser_direction);
    copy_3(p.mirror_axis_origin, w.mirror_axis_origin);
    copy_3(p.mirror_axis_direction, w.mirror_axis_direction);
    load_facets(p.facets, w);
}

} // namespace

void pointcloud::append_mechanism(std::shared_ptr<scanmech> m) {
    impl->scanmech_owners.push_back(m);
    scanmechs.push_back(m.get());
}

void pointcloud::replace_last_mechanism(std::shared_ptr<scanmech> m) {
    scanmechs.back() = m.get();
    impl->scanmech_owners.back() = std::move(m);
}

void pointcloud::on_device_geometry(device_geometry<unsigned int const*> const& p) {
    auto m = std::make_shared<mirrorwheel>(base_scanmech);
    load_wheel(p, *m);
    m->line_angle_0 = p.line_angle_0;
    m->precompute();
    m->compute_beam_raw(shot_line_angle, shot_frame_angle, 0);
    append_mechanism(std::move(m));
}

void pointcloud::on_device_geometry_1(device_geometry_1<unsigned int const*> const& p) {
    auto* wheel = impl->scanmech_owners.empty() ? nullptr
                                                : dynamic_cast<mirrorwheel*>(impl->scanmech_owners.back().get());
    if (!wheel)
        throw scanlib_exception("pointcloud::on_device_geometry_1: device_geometry missing?", source, 793);
    auto m = std::make_shared<mirrorwheel_exitpane>(*wheel);
    m->exit_pane_thickness = static_cast<float>(p.exit_pane_thickness);
    m->exit_pane_index = static_cast<float>(p.exit_pane_index);
    copy_3(p.exit_pane_direction, m->exit_pane_direction);
    m->precompute();
    replace_last_mechanism(std::move(m));
}

void pointcloud::on_device_geometry_2(device_geometry_2<unsigned int const*> const& p) {
    auto m = std::make_shared<wedge>(base_scanmech);
    copy_3(p.laser_origin, m->laser_origin);
    copy_3(p.laser_direction, m->laser_direction);
    copy_3(p.wedge_axis_origin, m->wedge_axis_origin);
    copy_3(p.wedge_axis_direction, m->wedge_axis_direction);
    copy_3(p.facet1_direction, m->facet1_direction);
    copy_3(p.facet2_direction, m->facet2_direction);
    m->facet_distance = static_cast<float>(p.facet_distance);
    m->refraction_index = static_cast<float>(p.refraction_index);
    m->precompute();
    append_mechanism(std::move(m));
}

void pointcloud::on_device_geometry_3(device_geometry_3<unsigned int const*> const& p) {
    const mirrorwheel wheel(base_scanmech);
    auto m = std::make_shared<mirrorwheel_deflection>(wheel);
    load_wheel(p, *m);
    copy_3(p.deflection_mirror_origin, m->deflection_mirror_origin);
    copy_3(p.deflection_mirror_direction, m->deflection_mirror_direction);
    m->precompute();
    append_mechanism(std::move(m));
}

void pointcloud::on_device_geometry_4(device_geometry_4<unsigned int const*> const& p) {
    auto w = std::make_shared<mirrorwheel>(base_scanmech);
    load_wheel(p, *w);
    w->line_angle_0 = p.line_angle_0;
    auto m = std::make_shared<mirrorwheel_nodding>(*w);
    copy_3(p.nodding_axis_origin, m->nodding_axis_origin);
    copy_3(p.nodding_axis_direction, m->nodding_axis_direction);
    m->nodding_facet.normal[0] = static_cast<float>(p.nodding_normal_x);
    m->nodding_facet.normal[1] = static_cast<float>(p.nodding_normal_y);
    m->nodding_facet.normal[2] = static_cast<float>(p.nodding_normal_z);
    m->nodding_facet.dist = static_cast<float>(p.nodding_dist);
    m->precompute();
    append_mechanism(std::move(m));
}

void pointcloud::on_device_geometry_5(device_geometry_5<unsigned int const*> const& p) {
    auto m = std::make_shared<gimbalmountmirror>(base_scanmech);
    copy_3(p.laser_origin, m->laser_origin);
    copy_3(p.laser_direction, m->laser_direction);
    copy_3(p.line_mirror_axis_origin, m->line_mirror_axis_origin);
    copy_3(p.line_mirror_axis_direction, m->line_mirror_axis_direction);
    copy_3(p.frame_mirror_axis_origin, m->frame_mirror_axis_origin);
    copy_3(p.frame_mirror_axis_direction, m->frame_mirror_axis_direction);
    copy_3(p.facet_direction, m->facet_direction);
    m->facet_distance = static_cast<float>(p.facet_distance);
    m->precompute();
    m->compute_beam_raw(shot_line_angle, shot_frame_angle, 0);
    append_mechanism(std::move(m));
}

namespace {

template <class Packet, class Window>
void load_window(Packet const& p, Window& m) {
    copy_3(p.t_axis, m.t_axis);
    copy_3(p.s_axis, m.s_axis);
    m.angle_sin_min = static_cast<float>(p.angle_sin_min);
    m.angle_sin_inc = static_cast<float>(p.angle_sin_inc);
    m.nodes.resize(static_cast<std::size_t>(p.nodes.size()));
    for (std::size_t i = 0; i < m.nodes.size(); ++i)
        m.nodes[i].t_rot_angle = static_cast<float>(p.nodes[i].t_rot_angle);
    for (std::size_t i = 0; i < m.nodes.size(); ++i)
        m.nodes[i].s_rot_angle = static_cast<float>(p.nodes[i].s_rot_angle);
}

} // namespace

void pointcloud::on_device_geometry_6(device_geometry_6<unsigned int const*> const& p) {
    scanmech* last = impl->scanmech_owners.empty() ? nullptr : impl->scanmech_owners.back().get();
    if (auto* d = dynamic_cast<mirrorwheel_deflection*>(last)) {
        auto m = std::make_shared<mirrorwheel_deflection_windowdistortion>(*d);
        load_window(p, *m);
        m->precompute();
        replace_last_mechanism(std::move(m));
    } else if (auto* w = dynamic_cast<mirrorwheel*>(last)) {
        auto m = std::make_shared<mirrorwheel_windowdistortion>(*w);
        load_window(p, *m);
        m->precompute();
        replace_last_mechanism(std::move(m));
    } else {
        throw scanlib_exception("pointcloud::on_device_geometry_6: device_geometry or device_geometry_3 missing?",
                                source, 952);
    }
}

void pointcloud::on_biaxial_geometry(biaxial_geometry<unsigned int const*> const& p) {
    auto* wheel = impl->scanmech_owners.empty() ? nullptr
                                                : dynamic_cast<mirrorwheel*>(impl->scanmech_owners.back().get());
    if (!wheel)
        throw scanlib_exception("pointcloud::on_biaxial_geometry: device_geometry missing?", source, 984);
    auto m = std::make_shared<mirrorwheel_biaxial>(*wheel);
    copy_3(p.aperture_direction, m->aperture_direction);
    for (std::int64_t i = 0; i < p.shifts.size(); ++i) {
        auto const e = p.shifts[static_cast<std::size_t>(i)];
        m->biaxial_shift.emplace_back(static_cast<float>(e.range), static_cast<float>(e.shift));
    }
    m->precompute();
    replace_last_mechanism(std::move(m));
}

// ---------------------------------------------------------------------------
// Header packets and integrity

void pointcloud::on_header(header<unsigned int const*> const& p) {
    serial = text_of(p.serial);
    type_id = text_of(p.type_id);
    build = text_of(p.build);
    impl->scanmech_owners.clear();
    scanmechs.clear();
}

void pointcloud::on_header_device(header_device<unsigned int const*> const& p) {
    ident = std::to_string(static_cast<unsigned short>(p.ident_major)) + "." +
            std::to_string(static_cast<unsigned short>(p.ident_minor)) + "-" + text_of(p.ident_name);
}

void pointcloud::on_crc32_header(crc32_header<unsigned int const*> const& p) {
    basic_packets::on_crc32_header(p);
    const unsigned c = static_cast<unsigned char>(p.channel);
    auto& channels = impl->crc_channels;
    if (channels.size() <= c)
        channels.resize(c + 1);
    auto& ch = channels[c];
    ch.selector.reset();
    for (std::int64_t i = 0; i < p.ids.size(); ++i) {
        auto const e = p.ids[static_cast<std::size_t>(i)];
        const package_id id{static_cast<unsigned short>(e.main), static_cast<unsigned short>(e.sub)};
        ch.selector.set(static_cast<std::size_t>(static_cast<package_id::type>(id)));
    }
    ch.seen = false;
    ch.crc = 0xFFFFFFFFu;
}

void pointcloud::on_crc32_check(crc32_check<unsigned int const*> const& p) {
    basic_packets::on_crc32_check(p);
    const unsigned c = static_cast<unsigned char>(p.channel);
    auto& channels = impl->crc_channels;
    if (c >= channels.size())
        return;
    auto& ch = channels[c];
    const std::uint32_t counter = p.counter;
    if (!ch.seen) {
        ch.seen = true;
        ch.counter = counter;
    } else if (static_cast<std::uint32_t>(p.crc) == ch.crc) {
        ch.counter = counter;
    } else {
        on_crc32_error(static_cast<unsigned short>(c), ch.counter, counter);
    }
    ch.crc = 0xFFFFFFFFu;
}

void pointcloud::on_id(package_id const& id, basic_package<unsigned int const*> const& packet) {
    basic_packets::on_id(id, packet);
    auto& o = impl->offer;
    if (o.dispatch != dispatch_count) {
        o.dispatch = dispatch_count;
        o.cut = false;
    }
    o.body_words = static_cast<std::size_t>(packet.end - packet.body_begin);
    auto& channels = impl->crc_channels;
    if (channels.empty())
        return;
    const auto t = static_cast<std::size_t>(static_cast<package_id::type>(id));
    for (auto& ch : channels)
        if (ch.selector.test(t))
            ch.crc = crc_words(ch.crc, packet.begin, packet.end);
}

void pointcloud::on_scan_segments_fov(scan_segments_fov<unsigned int const*> const& p) {
    basic_packets::on_scan_segments_fov(p);
    segment_count = static_cast<std::uint32_t>(p.segments.size());
}

void pointcloud::on_line_start_segment_1(line_start_segment_1<unsigned int const*> const& p) {
    basic_packets::on_line_start_segment_1(p);
    segment = 0;
}

void pointcloud::on_line_start_segment_2(line_start_segment_2<unsigned int const*> const& p) {
    basic_packets::on_line_start_segment_2(p);
    segment = 1;
}

void pointcloud::on_line_start_segment_3(line_start_segment_3<unsigned int const*> const& p) {
    basic_packets::on_line_start_segment_3(p);
    segment = 2;
}

// ---------------------------------------------------------------------------
// Measurement parameters and meta information

namespace {

// Real parameter documents nest a few levels.
constexpr int max_json_depth = 128;

} // namespace

void pointcloud::on_zpk_parameters(zpk_parameters<unsigned int const*> const& p) {
    // The text never extends past the body, whatever its length field says.
    const std::int64_t n = std::min<std::int64_t>(static_cast<unsigned int>(p.length), p.text.size());
    std::string text;
    text.reserve(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i)
        text.push_back(p.text[static_cast<std::size_t>(i)].ch);
    const boost::property_tree::ptree tree = detail::read_json_text(text, max_json_depth);
    auto sub = tree.get_child_optional("pointcloud");
    impl->meta_tree = sub ? *sub : boost::property_tree::ptree();
}

void pointcloud::on_measurement_starting() {
    using boost::property_tree::ptree;
    ptree const& meta = impl->meta_tree;
    if (meta.empty())
        return;
    if (auto it = meta.find("dyntrig"); it != meta.not_found()) {
        ptree const& d = it->second;
        dyntrig_offset = d.get<float>("offset");
        dyntrig_scale = d.get<float>("scale");
        for (auto* c : {&thra1, &del1, &dec1, &thra2, &del2, &dec2})
            c->clear();
        if (auto table = d.get_child_optional("table")) {
            for (auto const& row : *table) {
                thra1.push_back(row.second.get<float>("thra1"));
                del1.push_back(row.second.get<float>("del1"));
                dec1.push_back(row.second.get<float>("dec1"));
                thra2.push_back(row.second.get<float>("thra2"));
                del2.push_back(row.second.get<float>("del2"));
                dec2.push_back(row.second.get<float>("dec2"));
            }
        }
        dyntrig_valid = true;
    }
    if (auto it = meta.find("scanmech"); it != meta.not_found()) {
        std::stringstream ss;
        boost::property_tree::write_json(ss, it->second, false);
        for (scanmech* m : scanmechs) {
            ss.clear();
            ss.seekg(0);
            ss >> *m;
        }
    }
    if (auto it = meta.find("nrange"); it != meta.not_found()) {
        nrange_delta = meta.get<float>("nrange_delta");
        nrange.clear();
        for (auto const& e : it->second)
            nrange.push_back(e.second.get_value<float>());
    }
    if (auto it = meta.find("refltab"); it != meta.not_found()) {
        refltab_delta = meta.get<float>("refltab_delta");
        refltab.clear();
        for (auto const& e : it->second)
            refltab.push_back(e.second.get_value<float>());
    }
    if (meta.find("delta_rg") != meta.not_found())
        delta_rg = meta.get<double>("delta_rg");
}

namespace {

template <class T>
void put_array(detail::json_writer& w, char const* key, std::vector<T> const& v) {
    w.begin_array(key);
    for (T const& x : v)
        w.number(nullptr, x);
    w.end();
}

// The members of the meta information's object, in document order.
void put_meta_members(detail::json_writer& w, pointcloud const& pc) {
    w.text("type_id", pc.type_id);
    if (!pc.ident.empty())
        w.text("ident", pc.ident);
    w.text("serial", pc.serial);
    w.text("build", pc.build);
    w.number("unambiguous_range", pc.unambiguous_range);
    if (pc.mta_settings_valid && pc.mta_zone == 0) {
        w.number("gate_low", pc.gate_low);
        w.number("gate_high", pc.gate_high);
    }
    w.number("attenuation", pc.attenuation);
    w.number("pressure", pc.pressure);
    w.number("pressure_sl", pc.pressure_sl);
    w.number("rel_humidity", pc.rel_humidity);
    w.number("rng_scale", pc.rng_scale);
    w.number("delta_rg", pc.delta_rg);
    w.number("temperature", pc.temperature);
    w.number("group_velocity", pc.group_velocity);
    w.number("wavelength", pc.wavelength);
    w.number("sampling_time", pc.sampling_time);
    w.number("pulse_repetition_rate", pc.shot_clock.pulse_repetition_rate);
    w.number("ampl_unit", pc.ampl_unit);
    w.number("refl_unit", pc.refl_unit);
    w.number("systime_unit", pc.systime_unit);
    w.number("systime_hr_unit", pc.systime_hr_unit);
    w.number("systime_hr_bits", pc.systime_hr_bits);
    if (!pc.intervals.empty()) {
        w.begin_object("pulse_position_modulation");
        w.number("pulse_num_mod_ampl", pc.pulse_num_mod_ampl);
        w.number("pulse_code_phase_mode", pc.pulse_code_phase_mode);
        w.number("pulse_phase_step", pc.pulse_phase_step);
        put_array(w, "intervals", pc.intervals);
        w.end();
    }
    if (!pc.nrange.empty()) {
        w.number("nrange_delta", pc.nrange_delta);
        put_array(w, "nrange", pc.nrange);
    }
    if (!pc.refltab.empty()) {
        w.number("refltab_delta", pc.refltab_delta);
        put_array(w, "refltab", pc.refltab);
    }
    for (scanmech const* m : pc.scanmechs) {
        const std::size_t unreadable = w.unreadable();
        detail::write_scanmech(w, "scanmech", *m);
        if (w.unreadable() != unreadable) {
            // Each member is the mechanism's own text as the reader takes it:
            // numbers that it refuses (a locale's separator bytes) fail here
            // with the reader's own error.
            std::stringstream ss;
            ss << *m;
            boost::property_tree::ptree t;
            boost::property_tree::read_json(ss, t);
        }
    }
    if (pc.dyntrig_valid) {
        w.begin_object("dyntrig");
        w.number("offset", pc.dyntrig_offset);
        w.number("scale", pc.dyntrig_scale);
        w.begin_array("table");
        const std::size_t rows = std::min({pc.thra1.size(), pc.del1.size(), pc.dec1.size(), pc.thra2.size(),
                                           pc.del2.size(), pc.dec2.size()});
        for (std::size_t i = 0; i < rows; ++i) {
            w.begin_object();
            w.number("thra1", pc.thra1[i]);
            w.number("del1", pc.del1[i]);
            w.number("dec1", pc.dec1[i]);
            w.number("thra2", pc.thra2[i]);
            w.number("del2", pc.del2[i]);
            w.number("dec2", pc.dec2[i]);
            w.end();
        }
        w.end();
        w.end();
    }
}

// write_meta's buffer for the pretty form. The pretty form is the compact
// text read back and written again; when that text is exactly what the base
// write_meta_component wrote, the base leaves the same document already laid
// out pretty here, and nothing needs to be read back.
struct meta_buffer : std::stringstream {
    std::string pretty;
    std::streamoff begin = -1, end = -1;
};

} // namespace

void pointcloud::write_meta_component(std::ostream& os) {
    std::string text;
    {
        detail::json_writer w(text, false);
        w.begin_object();
        put_meta_members(w, *this);
        w.end();
    }
    auto* buffer = dynamic_cast<meta_buffer*>(&os);
    if (buffer)
        buffer->begin = os.tellp();
    os << "\"pointcloud\":";
    detail::put_json_text(os, text);
    if (!buffer)
        return;
    buffer->pretty.clear();
    detail::json_writer w(buffer->pretty, true);
    w.begin_object();
    w.begin_object("pointcloud");
    put_meta_members(w, *this);
    w.end();
    w.end();
    // Text the reader refuses takes the long way, which fails with its error.
    if (w.unreadable() == 0)
        buffer->end = os.tellp();
}

void pointcloud::write_meta(std::ostream& os, bool pretty) {
    if (!measurement_started)
        throw scanlib_exception("pointcloud::get_meta: meta information not available (yet)", source, 426);
    if (!pretty) {
        os << "{";
        write_meta_component(os);
        os << "}";
        return;
    }
    meta_buffer ss;
    ss << "{";
    write_meta_component(ss);
    ss << "}";
    if (ss.begin == 1 && ss.end >= 0 && ss.end + 1 == static_cast<std::streamoff>(ss.tellp())) {
        detail::put_json_text(os, ss.pretty);
        return;
    }
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(ss, tree);
    boost::property_tree::write_json(os, tree, true);
}

} // namespace scanlib
