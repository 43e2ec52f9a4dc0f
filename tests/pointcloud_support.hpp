#pragma once
// Packet streams for point-cloud tests: packets built through the writable
// views with explicit two-word id headers, and a point cloud that records
// every hook call.

#include <scanlib/pointcloud.hpp>
#include <scanlib/pointcloud_impl.hpp>
#include <scanlib/qodataspec.hpp>

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace pctest {

using words = std::vector<unsigned int>;

// A packet of layout View: explicit id header, `body_words` words of body
// (default: the layout's fixed part), filled by `fill` through the view.
template <template <class> class View, class F>
    requires std::invocable<F&, View<unsigned int*>&>
words packet(F&& fill, std::size_t body_words = View<void>::size_info.fixed_words) {
    words w(2 + body_words, 0u);
    w[0] = 0xFFFFFFFFu;
    w[1] = (View<void>::main_id << 16) | View<void>::sub_id;
    View<unsigned int*> v(w.data() + 2, w.data() + w.size());
    fill(v);
    return w;
}

template <template <class> class View>
words packet(std::size_t body_words = View<void>::size_info.fixed_words) {
    return packet<View>([](auto&) {}, body_words);
}

struct recorder : scanlib::pointcloud {
    struct report {
        echo_type type;
        scanlib::target t;
        std::uint64_t index;
    };
    struct shot {
        double time, time_raw;
        double origin[3], direction[3];
        std::uint32_t facet, segment;
    };
    struct crc_error {
        unsigned short channel;
        unsigned int counter, failed;
    };

    explicit recorder(bool pps = false) : basic_packets(scanlib::select_all), pointcloud(pps) {}
    recorder(std::ostream& os, bool pps) : basic_packets(scanlib::select_all), pointcloud(os, pps) {}

    void on_echo_transformed(echo_type type) override {
        reports.push_back({type, shot_targets[shot_target_count - 1], shot_target_count - 1});
        pointcloud::on_echo_transformed(type);
    }
    shot current() const {
        shot s{shot_time, shot_time_raw, {}, {}, shot_facet, shot_segment};
        for (int i = 0; i < 3; ++i) {
            s.origin[i] = shot_origin[i];
            s.direction[i] = shot_direction[i];
        }
        return s;
    }
    void on_shot() override { shots.push_back(current()); }
    void on_shot_end() override {
        ++shot_ends;
        ended.push_back(current());
    }
    void on_pps_synchronized() override { ++synchronized; }
    void on_pps_sync_lost() override { ++sync_lost; }
    void on_crc32_error(unsigned short c, unsigned int counter, unsigned int failed) override {
        crc_errors.push_back({c, counter, failed});
    }

    void feed(words const& w) { dispatch(w.data(), w.data() + w.size()); }
    template <class... W>
    void feed(words const& first, W const&... rest) {
        feed(first);
        (feed(rest), ...);
    }

    std::vector<report> reports;
    std::vector<shot> shots;
    std::vector<shot> ended; // the shot's values as on_shot_end saw them
    int shot_ends = 0;
    int synchronized = 0;
    int sync_lost = 0;
    std::vector<crc_error> crc_errors;
};

// Packet shorthands.
inline words shot_2angles(unsigned time, unsigned line = 0, unsigned frame = 0) {
    return packet<scanlib::laser_shot_2angles>([&](auto& v) {
        v.time = time;
        v.line_angle = line;
        v.frame_angle = frame;
    });
}

inline words shot_hr(std::uint64_t time, unsigned line = 0, unsigned frame = 0) {
    return packet<scanlib::laser_shot_2angles_hr>([&](auto& v) {
        v.time = time;
        v.line_angle = line;
        v.frame_angle = frame;
    });
}

inline words echo(int range, unsigned short amplitude, short refl = 0, unsigned short flags = 0,
                  short deviation = 0) {
    return packet<scanlib::echo>([&](auto& v) {
        v.range = range;
        v.amplitude = amplitude;
        v.reflectance = refl;
        v.flags = flags;
        v.deviation = deviation;
    });
}

inline words units(float range_unit, unsigned lines, unsigned frames, float systime_unit = 1e-7f) {
    return packet<scanlib::units>([&](auto& v) {
        v.range_unit = range_unit;
        v.line_circle_count = lines;
        v.frame_circle_count = frames;
        v.systime_unit = systime_unit;
    });
}

inline words units_1(float range_unit, unsigned lines, unsigned frames, float ampl_unit) {
    return packet<scanlib::units_1>([&](auto& v) {
        v.range_unit = range_unit;
        v.line_circle_count = lines;
        v.frame_circle_count = frames;
        v.systime_unit = 1e-7f;
        v.ampl_unit = ampl_unit;
    });
}

inline words mta(unsigned zone, float low, float high, float unambiguous) {
    return packet<scanlib::mta_settings>([&](auto& v) {
        v.zone = static_cast<unsigned char>(zone);
        v.gate_low = low;
        v.gate_high = high;
        v.unambiguous_range = unambiguous;
    });
}

inline words text_packet(std::string const& text, unsigned length) {
    const std::size_t body = 1 + (text.size() + 3) / 4;
    return packet<scanlib::zpk_parameters>(
        [&](auto& v) {
            v.length = length;
            for (std::size_t i = 0; i < text.size(); ++i)
                v.text[i].ch = text[i];
        },
        body);
}

inline words text_packet(std::string const& text) {
    return text_packet(text, static_cast<unsigned>(text.size()));
}

// Leaves a seed for fuzz_pointcloud in <build>/fuzz-seeds: the flag byte
// (bit 0 PPS time, bit 1 meta information, bit 2 pretty), then each packet as
// its word count in one byte and its words. Returns false for a packet too
// long for the format.
inline bool write_fuzz_seed(std::string const& name, unsigned char flags, std::vector<words> const& stream) {
    std::string bytes(1, static_cast<char>(flags));
    for (auto const& w : stream) {
        if (w.size() > 255)
            return false;
        bytes.push_back(static_cast<char>(w.size()));
        bytes.append(reinterpret_cast<char const*>(w.data()), w.size() * 4);
    }
    const std::filesystem::path dir =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "fuzz-seeds/fuzz_pointcloud";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return true;
}

} // namespace pctest
