#pragma once
// A small deterministic scan: a header with its id list, units, then shots
// of zero to nine echoes, closed by meas_stop. Packets are built word by word
// here, not through the packet views, so readers can be checked against it.

#include <scanlib/zpkstream.hpp>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sample {

struct echo {
    std::int32_t range; // range units
    std::uint16_t amplitude;
    std::int16_t reflectance;
    std::int16_t deviation;
};

struct shot {
    std::uint32_t time; // systime units
    std::uint32_t line, frame; // angle counts
    std::vector<echo> echoes;
};

struct scan {
    float range_unit = 0.001f;
    std::uint32_t line_circle = 360000;
    std::uint32_t frame_circle = 720000;
    float systime_unit = 1e-7f;
    std::vector<shot> shots;
};

inline scan make_scan(unsigned shot_count = 40) {
    scan s;
    for (unsigned i = 0; i < shot_count; ++i) {
        shot sh{1000 + 2500 * i, 30000 + 1500 * i, 7 * i * i, {}};
        const unsigned n = (i * 7 + 3) % 10; // 0 to 9 echoes
        for (unsigned k = 0; k < n; ++k)
            sh.echoes.push_back({static_cast<std::int32_t>(1500 + 977 * i + 3100 * k),
                                 static_cast<std::uint16_t>(100 + 13 * k + i),
                                 static_cast<std::int16_t>(static_cast<int>(k * 11) - 20),
                                 static_cast<std::int16_t>(static_cast<int>(i % 5) - 2)});
        s.shots.push_back(std::move(sh));
    }
    return s;
}

namespace detail {

inline std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

inline scanlib::zpk_packet packet(unsigned main, unsigned sub, std::vector<unsigned int> body) {
    scanlib::zpk_packet p;
    p.storage = std::move(body);
    p.begin = p.storage.data();
    p.end = p.begin + p.storage.size();
    p.main = main;
    p.sub = sub;
    return p;
}

// Sixteen characters, NUL padded, four to a word, first character lowest.
inline void put_text(std::vector<unsigned int>& body, char const* text) {
    unsigned char c[16] = {};
    std::memcpy(c, text, std::min<std::size_t>(16, std::strlen(text)));
    for (int w = 0; w < 4; ++w)
        body.push_back(c[4 * w] | c[4 * w + 1] << 8 | c[4 * w + 2] << 16 | static_cast<unsigned>(c[4 * w + 3]) << 24);
}

} // namespace detail

// Writes the scan as a framed stream to uri (a file path or file: uri).
// `stop`: end with meas_stop, as a finished scan does; without it the input
// ends while the last shot is still open.
inline void write_scan(scan const& s, std::string const& uri, bool stop = true) {
    using detail::packet;
    constexpr unsigned units_id[2] = {2, 0}, shot_id[2] = {10, 2}, echo_id[2] = {42, 0}, stop_id[2] = {32, 0};

    std::vector<unsigned int> header;
    detail::put_text(header, "SAMPLE");
    detail::put_text(header, "1.0");
    detail::put_text(header, "S0000001");
    for (auto id : {units_id, shot_id, echo_id, stop_id})
        header.push_back(id[0] << 16 | id[1]);

    scanlib::zpk_ostream out(uri, true);
    out << packet(1, 0, std::move(header));
    out << packet(units_id[0], units_id[1],
                  {detail::bits(s.range_unit), s.line_circle, s.frame_circle, detail::bits(s.systime_unit)});
    for (shot const& sh : s.shots) {
        out << packet(shot_id[0], shot_id[1], {sh.time, sh.line, sh.frame});
        for (echo const& e : sh.echoes)
            out << packet(echo_id[0], echo_id[1],
                          {static_cast<std::uint32_t>(e.range),
                           e.amplitude | static_cast<std::uint32_t>(static_cast<std::uint16_t>(e.reflectance)) << 16,
                           static_cast<std::uint32_t>(static_cast<std::uint16_t>(e.deviation)) << 16});
    }
    if (stop)
        out << packet(stop_id[0], stop_id[1], {});
    out.close();
}

} // namespace sample
