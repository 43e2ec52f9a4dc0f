#pragma once
// The point cloud: turns a scanner's packet stream into laser shots with their
// echoes (targets), in the scanner's own coordinate system.
//
// Derive from `pointcloud` and override its hooks (`on_shot`, `on_shot_end`,
// `on_echo_transformed`, ...) to receive each shot and echo. Packed shot and
// echo packets arrive through the `compressed_packets` base as ordinary ones.

#include <scanlib/clockcomp.hpp>
#include <scanlib/scanmech.hpp>

#include <scanlib/compressed.hpp>

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace scanlib {

// One echo of a shot.
struct target {
    float vertex[3];    // m, scanner coordinates
    double range;       // m along the beam
    std::uint16_t zone; // shots back the echo was attributed to; 0 = its own
    double time;        // s, time of the shot the echo belongs to
    double time_raw;    // s, uncompensated
    float amplitude;
    float reflectance;  // NaN when unknown
    float deviation;
    float background;   // NaN when the shot has none
    // [0] from a laser_echo_sw packet, [1] flag bit 0, [2] flag bit 2,
    // [3] the shot clock was locked
    std::uint8_t flags[4];
    std::uint32_t facet;
    std::uint32_t segment;

    target();
};

// Piecewise-linear lookup in a table of (x, y) pairs sorted by x; clamps below
// the first point, extrapolates along the last segment above the last one.
// NaN for an empty table or a NaN x.
double interpolate(double x, std::vector<std::pair<double, double>> const& table);

class pointcloud : public compressed_packets {
public:
    enum echo_type { single = 0, first = 1, interior = 2, last = 3, pseudo = 4 };

    struct implementation;

    explicit pointcloud(bool pps_time);
    pointcloud(std::ostream& csv, bool pps_time);
    ~pointcloud() override;
    pointcloud(pointcloud const&) = delete;
    pointcloud& operator=(pointcloud const&) = delete;

    // Configuration and lifecycle.
    void init();
    void start_measurement();
    void write_meta(std::ostream& os, bool pretty);
    void set_rangegate(unsigned int zone, double gate_low, double gate_high);
    void set_multi_mta_zones(std::vector<unsigned int> const& zones, unsigned int zone, double gate_low,
                             double gate_high);
    void set_notch_filter(float range_min, float range_max, float ampl_max);

    // Shot assembly.
    void evaluate_shot(unsigned int time);
    void evaluate_shot_hr(unsigned long time);
    void send_single_or_last();
    void send_first_or_interior();
    void pseudo_echo(double range);
    void prepare_notch_filter();
    bool notched(int range, unsigned short amplitude) const;

    // Echo evaluation: raw range, amplitude, reflectance, flags, deviation.
    void on_echo(int range, unsigned short amplitude, short reflectance, unsigned short flags,
                 short deviation);

    // Clock handling.
    void update_pps(unsigned int counter, unsigned int ext);
    void update_pps_hr(unsigned long counter, unsigned long ext);
    void calc_time(unsigned int counter);
    void calc_time_hr(unsigned long counter);

    // Hooks.
    virtual void write_meta_component(std::ostream& os);
    virtual void on_measurement_starting();
    virtual void on_shot();
    virtual void on_shot_end();
    virtual void on_echo_transformed(echo_type type);
    virtual void on_pps_synchronized();
    virtual void on_pps_sync_lost();
    virtual void on_check_parameters_before_measurement_starting();

    // Packet handlers.
    void on_header(header<unsigned int const*> const& p) override;
    void on_header_device(header_device<unsigned int const*> const& p) override;
    void on_zpk_parameters(zpk_parameters<unsigned int const*> const& p) override;
    void on_units(units<unsigned int const*> const& p) override;
    void on_units_1(units_1<unsigned int const*> const& p) override;
    void on_units_2(units_2<unsigned int const*> const& p) override;
    void on_units_3(units_3<unsigned int const*> const& p) override;
    void on_units_4(units_4<unsigned int const*> const& p) override;
    void on_device_geometry(device_geometry<unsigned int const*> const& p) override;
    void on_device_geometry_1(device_geometry_1<unsigned int const*> const& p) override;
    void on_device_geometry_2(device_geometry_2<unsigned int const*> const& p) override;
    void on_device_geometry_3(device_geometry_3<unsigned int const*> const& p) override;
    void on_device_geometry_4(device_geometry_4<unsigned int const*> const& p) override;
    void on_device_geometry_5(device_geometry_5<unsigned int const*> const& p) override;
    void on_device_geometry_6(device_geometry_6<unsigned int const*> const& p) override;
    void on_scan_segments_fov(scan_segments_fov<unsigned int const*> const& p) override;
    void on_pps_sync(pps_sync<unsigned int const*> const& p) override;
    void on_pps_sync_hr(pps_sync_hr<unsigned int const*> const& p) override;
    void on_laser_shot(laser_shot<unsigned int const*> const& p) override;
    void on_laser_shot_1angle(laser_shot_1angle<unsigned int const*> const& p) override;
    void on_laser_shot_2angles(laser_shot_2angles<unsigned int const*> const& p) override;
    void on_laser_shot_2angles_rad(laser_shot_2angles_rad<unsigned int const*> const& p) override;
    void on_laser_shot_6angles(laser_shot_6angles<unsigned int const*> const& p) override;
    void on_laser_shot_2angles_hr(laser_shot_2angles_hr<unsigned int const*> const& p) override;
    void on_laser_shot_utctime_origin_direction(
        laser_shot_utctime_origin_direction<unsigned int const*> const& p) override;
    void on_counter_sync(counter_sync<unsigned int const*> const& p) override;
    void on_counter_sync_2angles_hr(counter_sync_2angles_hr<unsigned int const*> const& p) override;
    void on_pwm_sync(pwm_sync<unsigned int const*> const& p) override;
    void on_echo(echo<unsigned int const*> const& p) override;
    void on_echo_1(echo_1<unsigned int const*> const& p) override;
    void on_laser_echo(laser_echo<unsigned int const*> const& p) override;
    void on_laser_echo_qual(laser_echo_qual<unsigned int const*> const& p) override;
    void on_laser_echo_sw(laser_echo_sw<unsigned int const*> const& p) override;
    void on_line_start_segment_1(line_start_segment_1<unsigned int const*> const& p) override;
    void on_line_start_segment_2(line_start_segment_2<unsigned int const*> const& p) override;
    void on_line_start_segment_3(line_start_segment_3<unsigned int const*> const& p) override;
    void on_line_stop(line_stop<unsigned int const*> const& p) override;
    void on_frame_stop(frame_stop<unsigned int const*> const& p) override;
    void on_meas_start(meas_start<unsigned int const*> const& p) override;
    void on_meas_stop(meas_stop<unsigned int const*> const& p) override;
    void on_nrange_table(nrange_table<unsigned int const*> const& p) override;
    void on_reftab_table(reftab_table<unsigned int const*> const& p) override;
    void on_arange_table(arange_table<unsigned int const*> const& p) override;
    void on_atmosphere_2(atmosphere_2<unsigned int const*> const& p) override;
    void on_atmosphere_3(atmosphere_3<unsigned int const*> const& p) override;
    void on_atmosphere_4(atmosphere_4<unsigned int const*> const& p) override;
    void on_mta_settings(mta_settings<unsigned int const*> const& p) override;
    void on_mta_settings_1(mta_settings_1<unsigned int const*> const& p) override;
    void on_m_sequence_mta(m_sequence_mta<unsigned int const*> const& p) override;
    void on_pulse_position_modulation(pulse_position_modulation<unsigned int const*> const& p) override;
    void on_pulse_position_modulation_1(pulse_position_modulation_1<unsigned int const*> const& p) override;
    void on_dyntrig(dyntrig<unsigned int const*> const& p) override;
    void on_biaxial_geometry(biaxial_geometry<unsigned int const*> const& p) override;
    void on_notch_filter(notch_filter<unsigned int const*> const& p) override;
    void on_calib_table(calib_table<unsigned int const*> const& p) override;
    void on_notch_filter_modification_parameters(
        notch_filter_modification_parameters<unsigned int const*> const& p) override;
    void on_range_finder_debug_laser(range_finder_debug_laser<unsigned int const*> const& p) override;
    void on_range_finder_settings(range_finder_settings<unsigned int const*> const& p) override;
    void on_range_finder_program_2(range_finder_program_2<unsigned int const*> const& p) override;
    void on_crc32_header(crc32_header<unsigned int const*> const& p) override;
    void on_crc32_check(crc32_check<unsigned int const*> const& p) override;
    void on_id(package_id const& id, basic_package<unsigned int const*> const& packet) override;

    virtual void on_crc32_error(unsigned short channel, unsigned int counter, unsigned int failed_counter);

    // State. Members are read by derived classes at the hooks.
    double group_velocity;    // m/s
    double unambiguous_range; // m
    bool pps_time;            // report PPS-synchronised times
    double sampling_time;
    double shot_time;
    double shot_time_raw;
    double sync_time;
    double shot_direction[3];
    double shot_origin[3];
    std::uint32_t shot_facet;
    std::vector<target> shot_targets;
    std::uint64_t shot_target_count;
    std::vector<std::vector<target>> multi_mta_targets;
    std::string serial;
    std::string type_id;
    std::string build;
    std::string ident;
    std::ostream* csv_out;
    bool csv_header_written;
    bool measurement_started;
    std::unique_ptr<implementation> impl;
    scanmech base_scanmech;
    std::vector<scanmech*> scanmechs;
    double range_unit;
    double ext_time_unit;
    double ext_time_hr_unit;
    double systime_unit;
    double systime_hr_unit;
    std::uint32_t systime_hr_bits;
    double ampl_unit;
    double refl_unit;
    double utc_time_unit;
    double origin_unit;
    double direction_unit;
    double delta_rg;
    float notch_range_min;
    float notch_range_max;
    float notch_ampl_max;
    std::map<unsigned long, std::vector<std::pair<double, double>>> calib_tables;
    std::int32_t notch_lo;
    std::int32_t notch_hi;
    std::uint16_t notch_ampl;
    bool notch_user_set;
    bool notch_packet_seen;
    std::uint32_t notch_mode;
    std::vector<std::uint32_t> notch_lo_table;
    std::vector<std::uint32_t> notch_hi_table;
    std::vector<std::uint16_t> notch_ampl_table;
    double shot_line_angle_rad;
    double shot_frame_angle_rad;
    std::uint32_t shot_line_angle;
    std::uint32_t shot_frame_angle;
    std::uint32_t segment_count;
    std::uint32_t shot_segment;
    std::uint32_t segment;
    float background;
    float qual_deviation;
    bool qual_flag0;
    bool qual_flag2;
    bool lock_shot_skipped;
    detail::clock_compensator shot_clock;
    detail::clock_compensator sync_clock;
    bool counter_sync_pending;
    bool shot_pending;
    float nrange_delta;
    std::vector<float> nrange;
    float arange_delta;
    std::vector<int> arange;
    float refltab_delta;
    std::vector<float> refltab;
    bool rangegate_fixed;
    bool mta_settings_valid;
    std::uint32_t mta_zone;
    double gate_low;
    double gate_high;
    std::vector<unsigned int> multi_mta_zones;
    double attenuation;
    double pressure;
    double pressure_sl;
    double rel_humidity;
    double rng_scale;
    double temperature;
    std::uint32_t pulse_num_mod_ampl;
    std::uint32_t pulse_code_phase_mode;
    std::uint32_t pulse_phase_step;
    std::vector<double> intervals;
    bool dyntrig_valid;
    float dyntrig_offset;
    float dyntrig_scale;
    std::vector<float> thra1, del1, dec1, thra2, del2, dec2;
    double wavelength;

private:
    pointcloud(std::ostream* csv, bool pps_time);
    void open_shot(unsigned int time, float shot_background);
    void compute_beam();
    void shot_opened(bool to_history, std::uint64_t raw_hr_time);
    void load_shot(std::size_t history_index);
    void restore_own_shot();
    void dyntrig_pass();
    void apply_mta_settings(unsigned zone, float low, float high, float unambiguous);
    template <class Packet>
    void apply_mta_settings(Packet const& p);
    void fixed_notch_window();
    // The short path of the older echo packets: the open shot's next target,
    // or null when the echo is dropped.
    target* short_path_target(int range, unsigned short amplitude);
    void append_mechanism(std::shared_ptr<scanmech> m);
    void replace_last_mechanism(std::shared_ptr<scanmech> m);
};

} // namespace scanlib
