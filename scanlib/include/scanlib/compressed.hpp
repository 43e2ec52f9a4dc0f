#pragma once
// A packet visitor that unpacks the packed shot and echo packets into ordinary
// ones and hands them to the ordinary handlers of the same object.
//
// Derive from compressed_packets and override on_echo, on_laser_shot_2angles
// (or on_laser_shot / on_laser_shot_1angle), on_laser_shot_2angles_rad,
// on_laser_shot_2angles_hr and, for waveforms, on_sbl_dg_channel_header_1 and
// on_sbl_dg_channel_data_compressed: they receive the same calls whether the
// stream carried the data plainly or packed. The views handed over point into
// a buffer that the next unpacked packet overwrites; they are valid only
// during the call.

#include <cstdint>
#include <memory>

#include <scanlib/packets.hpp>

namespace scanlib {

class compressed_packets : public virtual basic_packets {
public:
    // Each of the key/frame queues holds at most this many entries; a queue
    // that would grow beyond it is dropped with the others, as at the start
    // of a new block, and the loss is counted in dropped_entries().
    static constexpr std::size_t queue_limit = std::size_t(1) << 20;

    // With skip_waveforms set, channel headers and waveforms of the packed
    // shot-and-echo stream are stepped over and never emitted.
    explicit compressed_packets(bool skip_waveforms = false);
    compressed_packets(compressed_packets const&) = delete;
    compressed_packets& operator=(compressed_packets const&) = delete;
    ~compressed_packets() override;

    void on_packed_shot_echos_hr(packed_shot_echos_hr<iterator> const& packet) override;
    void on_packed_shot_echos_sbl_hr(packed_shot_echos_sbl_hr<iterator> const& packet) override;
    void on_packed_key_laser_shot_2angles(packed_key_laser_shot_2angles<iterator> const& packet) override;
    void on_packed_key_laser_shot_2angles_rad(packed_key_laser_shot_2angles_rad<iterator> const& packet) override;
    void on_packed_key_laser_shot_2angles_hr(packed_key_laser_shot_2angles_hr<iterator> const& packet) override;
    void on_packed_frame_laser_shot_2angles(packed_frame_laser_shot_2angles<iterator> const& packet) override;
    void on_packed_frame_laser_shot_2angles_rad(packed_frame_laser_shot_2angles_rad<iterator> const& packet) override;
    void on_packed_frame_laser_shot_2angles_hr(packed_frame_laser_shot_2angles_hr<iterator> const& packet) override;
    void on_packed_key_echo(packed_key_echo<iterator> const& packet) override;
    void on_packed_key_echo_hr(packed_key_echo_hr<iterator> const& packet) override;
    void on_packed_key_echo_hr_1(packed_key_echo_hr_1<iterator> const& packet) override;
    void on_packed_frame_echo(packed_frame_echo<iterator> const& packet) override;
    void on_packed_frame_echo_hr(packed_frame_echo_hr<iterator> const& packet) override;
    void on_packed_frame_echo_hr_1(packed_frame_echo_hr_1<iterator> const& packet) override;

    // Counts the packet, then dispatches it as basic_packets does.
    bool on_dispatch(iterator const& begin, iterator const& end) override;

    // Queue entries (shots and echoes) discarded because a queue reached
    // queue_limit.
    std::uint64_t dropped_entries() const noexcept;

    // Logical packets seen: one per dispatched packet, plus one for each
    // unpacked packet after the first of the same dispatch. Wraps at 2^32.
    unsigned int packet_count;

private:
    class impl;
    std::unique_ptr<impl> impl_;
};

} // namespace scanlib
