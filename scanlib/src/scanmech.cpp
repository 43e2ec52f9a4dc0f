#include <scanlib/scanmech.hpp>

#include "jsontext.hpp"

#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cmath>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace scanlib {

namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;
constexpr double four_pi = 12.566370614359172;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

using vec3 = double[3];

inline double dot(const vec3& a, const vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline void cross(const vec3& a, const vec3& b, vec3& r) {
    r[0] = a[1] * b[2] - a[2] * b[1];
    r[1] = a[2] * b[0] - a[0] * b[2];
    r[2] = a[0] * b[1] - a[1] * b[0];
}

// n = axial + radial with axial along the unit axis; tangential = axis x n.
inline void split(const vec3& axis, const vec3& n, scanmech::rodrigues_t& p) {
    const double k = dot(axis, n);
    for (int i = 0; i < 3; ++i) {
        p.axial[i] = k * axis[i];
        p.radial[i] = n[i] - p.axial[i];
    }
    cross(axis, n, p.tangential);
}

inline void turn(const scanmech::rodrigues_t& p, double s, double c, vec3& r) {
    for (int i = 0; i < 3; ++i)
        r[i] = p.axial[i] + c * p.radial[i] + s * p.tangential[i];
}

// Rotation about z by the angle whose sine and cosine are given.
inline void rz(double s, double c, const vec3& v, vec3& r) {
    r[0] = v[0] * c - v[1] * s;
    r[1] = v[0] * s + v[1] * c;
    r[2] = v[2];
}

inline void add_rz(double s, double c, const vec3& v, vec3& r) {
    vec3 t;
    rz(s, c, v, t);
    for (int i = 0; i < 3; ++i)
        r[i] += t[i];
}

// Stands in for the record of a facet the wheel does not have, so that such
// a beam comes out as NaN instead of reading past the table.
constexpr mirrorwheel::precomp_facet_t nan_facet{{{nan, nan, nan}, {nan, nan, nan}, {nan, nan, nan}}, nan};

quaternion make_quaternion(double w, double x, double y, double z) {
    quaternion q;
    q.w = w;
    q.x = x;
    q.y = y;
    q.z = z;
    return q;
}

// Window correction shared by both window kinds (same member names).
template <class W>
void window_precompute(W& m) {
    const vec3& t = m.t_axis;
    vec3 axis;
    cross(t, m.s_axis, axis);
    const quaternion q0(std::atan2(t[2], t[1]), axis);
    const quaternion q0c = make_quaternion(q0.w, -q0.x, -q0.y, -q0.z);
    m.node_rotations.clear();
    m.node_rotations.reserve(m.nodes.size());
    for (const auto& node : m.nodes)
        m.node_rotations.push_back(q0 * (quaternion(0.0, node.t_rot_angle, node.s_rot_angle) * q0c));
    m.inv_angle_sin_inc = 1.0 / m.angle_sin_inc;
}

template <class W>
void window_apply(const W& m, vec3& v) {
    const double x = dot(v, m.s_axis);
    if (!(x > m.angle_sin_min))
        return;
    const double u = (x - m.angle_sin_min) * m.inv_angle_sin_inc;
    // Node i and i + 1 must exist; also keeps the conversion below in range.
    if (!(u >= 0.0 && u < static_cast<double>(m.node_rotations.size()) - 1.0))
        return;
    const std::size_t i = static_cast<std::size_t>(u);
    const double g = u - static_cast<double>(i);
    const quaternion& a = m.node_rotations[i];
    const quaternion& b = m.node_rotations[i + 1];
    double qw = (1.0 - g) * a.w + g * b.w;
    double qx = (1.0 - g) * a.x + g * b.x;
    double qy = (1.0 - g) * a.y + g * b.y;
    double qz = (1.0 - g) * a.z + g * b.z;
    const double n = std::sqrt(qw * qw + qx * qx + qy * qy + qz * qz);
    qw /= n;
    qx /= n;
    qy /= n;
    qz /= n;
    const vec3 uq = {qx, qy, qz};
    vec3 c, t;
    cross(uq, v, t);
    for (int k = 0; k < 3; ++k)
        c[k] = qw * v[k] + t[k];
    cross(uq, c, t);
    for (int k = 0; k < 3; ++k)
        v[k] = v[k] + 2.0 * t[k];
}

} // namespace

// ---- quaternion

quaternion::quaternion(double angle, const double (&axis)[3]) {
    double s, c;
    sincos(angle / 2, s, c);
    const double n = std::sqrt(dot(axis, axis));
    w = c;
    x = s * axis[0] / n;
    y = s * axis[1] / n;
    z = s * axis[2] / n;
}

quaternion::quaternion(double a, double b, double c) {
    const quaternion qx(a, {1.0, 0.0, 0.0});
    const quaternion qy(b, {0.0, 1.0, 0.0});
    const quaternion qz(c, {0.0, 0.0, 1.0});
    *this = (qz * qy) * qx;
}

quaternion operator*(const quaternion& p, const quaternion& q) {
    return make_quaternion(p.w * q.w - p.x * q.x - p.y * q.y - p.z * q.z,
                           p.x * q.w + p.w * q.x + p.y * q.z - p.z * q.y,
                           p.w * q.y - p.x * q.z + p.y * q.w + p.z * q.x,
                           p.x * q.y + p.w * q.z - p.y * q.x + p.z * q.w);
}

// ---- scanmech: the ideal spherical scanner

scanmech::scanmech(double (&o)[3], double (&d)[3]) : origin(o), direction(d) {
    for (int i = 0; i < 3; ++i)
        origin[i] = direction[i] = 0.0;
    precompute();
}

scanmech::~scanmech() = default;

scanmech::kind_e scanmech::kind() const { return kind_e::unknown; }

std::uint64_t scanmech::num_facets() const { return 0; }

void scanmech::precompute() {
    line_unit = two_pi / static_cast<double>(line_circle_count);
    frame_unit = two_pi / static_cast<double>(frame_circle_count);
}

void scanmech::compute_beam_raw(unsigned int line, unsigned int frame, unsigned int f) {
    facet = f;
    line_angle = static_cast<double>(line) * line_unit;
    frame_angle = static_cast<double>(frame) * frame_unit;
    compute_beam(facet, line_angle, frame_angle);
}

void scanmech::compute_beam(unsigned int, double l, double f) {
    origin[0] = origin[1] = origin[2] = 0.0;
    sincos(l, sin_line, cos_line);
    frame_sincos(f);
    direction[0] = cos_frame * sin_line;
    direction[1] = sin_frame * sin_line;
    direction[2] = cos_line;
}

void scanmech::compute_vertex(double (&vertex)[3], double range) {
    for (int i = 0; i < 3; ++i)
        vertex[i] = origin[i] + range * direction[i];
}

scanmech* scanmech::create(kind_e kind, double (&o)[3], double (&d)[3]) {
    switch (kind) {
    case kind_e::mirrorwheel: return new mirrorwheel(o, d);
    case kind_e::wedge: return new wedge(o, d);
    case kind_e::mirrorwheel_exitpane: return new mirrorwheel_exitpane(o, d);
    case kind_e::mirrorwheel_deflection: return new mirrorwheel_deflection(o, d);
    case kind_e::mirrorwheel_biaxial: return new mirrorwheel_biaxial(o, d);
    case kind_e::mirrorwheel_nodding: return new mirrorwheel_nodding(o, d);
    case kind_e::gimbalmountmirror: return new gimbalmountmirror(o, d);
    case kind_e::mirrorwheel_deflection_windowdistortion: return new mirrorwheel_deflection_windowdistortion(o, d);
    case kind_e::mirrorwheel_windowdistortion: return new mirrorwheel_windowdistortion(o, d);
    default: break;
    }
    throw std::runtime_error("scanmech::create: unknown kind");
}

// ---- mirrorwheel

mirrorwheel::mirrorwheel(double (&o)[3], double (&d)[3]) : scanmech_kind(o, d) { precompute_own(); }

mirrorwheel::mirrorwheel(const scanmech& base) : scanmech_kind(base) { precompute_own(); }

std::uint64_t mirrorwheel::num_facets() const { return facets.size(); }

void mirrorwheel::precompute_own() {
    const std::size_t n = facets.size();
    // A wheel without facets gets no counts per facet; its beams are NaN.
    counts_per_facet = n == 0 ? 0u : static_cast<std::uint32_t>(line_circle_count / n);
    for (int i = 0; i < 3; ++i)
        laser_offset[i] = laser_origin[i] - mirror_axis_origin[i];
    precomp.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        split(mirror_axis_direction, facets[k].normal, precomp[k]);
        precomp[k].dist = facets[k].dist;
    }
}

void mirrorwheel::compute_beam_raw(unsigned int line, unsigned int frame, unsigned int) {
    const std::size_t n = precomp.size();
    if (counts_per_facet == 0 || n == 0) {
        // Fewer line counts than facets: no position within a facet exists.
        facet = 0;
        line_angle = nan;
    } else {
        const std::uint32_t q = line / counts_per_facet;
        const std::uint32_t r = line % counts_per_facet;
        // q exceeds the facet count only for counts past a full turn.
        facet = static_cast<unsigned int>(q < n ? q : q % n);
        // Signed, so that a position before line_angle_0 gives a small
        // negative angle whatever the circle count.
        line_angle = static_cast<double>(static_cast<std::int64_t>(r) - line_angle_0) * line_unit;
    }
    frame_angle = static_cast<double>(frame) * frame_unit;
    compute_beam(facet, line_angle, frame_angle);
}

void mirrorwheel::reflect(unsigned int f, double l) {
    const precomp_facet_t& p = f < precomp.size() ? precomp[f] : nan_facet;
    sincos(l, sin_line, cos_line);
    turn(p, sin_line, cos_line, facet_normal);
    const vec3& n = facet_normal;
    const double kd = 2.0 * dot(laser_direction, n);
    const double ko = 2.0 * (dot(laser_offset, n) - p.dist);
    for (int i = 0; i < 3; ++i) {
        reflected_direction[i] = laser_direction[i] - kd * n[i];
        reflected_origin[i] = laser_origin[i] - ko * n[i];
    }
}

void mirrorwheel::compute_beam(unsigned int f, double l, double fr) {
    reflect(f, l);
    frame_sincos(fr);
    rz(sin_frame, cos_frame, reflected_direction, direction);
    rz(sin_frame, cos_frame, reflected_origin, origin);
}

// ---- mirrorwheel_exitpane

mirrorwheel_exitpane::mirrorwheel_exitpane(double (&o)[3], double (&d)[3]) : scanmech_kind(o, d) {
    precompute_own();
}

mirrorwheel_exitpane::mirrorwheel_exitpane(const mirrorwheel& wheel) : scanmech_kind(wheel) { precompute_own(); }

void mirrorwheel_exitpane::precompute_own() {
    const double t = exit_pane_thickness;
    const double index = exit_pane_index;
    const vec3& e = exit_pane_direction;
    pane_term = (1.0 - index) * (1.0 + index);
    for (int i = 0; i < 3; ++i) {
        pane_offset[i] = t * e[i];
        for (int j = 0; j < 3; ++j)
            pane_matrix[i][j] = t * ((i == j ? pane_term : 0.0) - e[i] * e[j]);
    }
}

void mirrorwheel_exitpane::compute_beam(unsigned int f, double l, double fr) {
    mirrorwheel::compute_beam(f, l, fr);
    const vec3& r = reflected_direction;
    const double c = dot(exit_pane_direction, r);
    const double k = 1.0 / std::sqrt(c * c - pane_term);
    vec3 s;
    for (int i = 0; i < 3; ++i)
        s[i] = k * dot(pane_matrix[i], r) + pane_offset[i];
    add_rz(sin_frame, cos_frame, s, origin);
}

// ---- mirrorwheel_deflection

mirrorwheel_deflection::mirrorwheel_deflection(double (&o)[3], double (&d)[3]) : scanmech_kind(o, d) {
    precompute_own();
}

mirrorwheel_deflection::mirrorwheel_deflection(const mirrorwheel& wheel) : scanmech_kind(wheel) {
    precompute_own();
}

void mirrorwheel_deflection::precompute_own() {
    const double n = static_cast<double>(facets.size());
    const vec3& d = deflection_mirror_direction;
    facet_angle_offset = std::atan2(-d[1], -d[2]) + pi / n + four_pi;
    facets_per_radian = n / two_pi;
    const double k = 2.0 * dot(deflection_mirror_origin, d);
    for (int i = 0; i < 3; ++i)
        deflection_offset[i] = k * d[i];
}

void mirrorwheel_deflection::compute_beam_raw(unsigned int line, unsigned int frame, unsigned int) {
    line_angle = static_cast<double>(line) * line_unit;
    double a = std::fmod(facet_angle_offset - line_angle, two_pi);
    if (a < 0.0) // a line angle beyond the offset: the facet repeats every turn
        a += two_pi;
    const double k = a * facets_per_radian;
    // NaN, or a product rounded up to the facet count, gives facet 0.
    facet = 0;
    if (k >= 0.0 && k < static_cast<double>(precomp.size()))
        facet = static_cast<unsigned int>(static_cast<std::int64_t>(k));
    frame_angle = static_cast<double>(frame) * frame_unit;
    compute_beam(facet, line_angle, frame_angle);
}

void mirrorwheel_deflection::compute_beam(unsigned int f, double l, double fr) {
    mirrorwheel::compute_beam(f, l, fr);
    const vec3& d = deflection_mirror_direction;
    const double kd = -2.0 * dot(reflected_direction, d);
    const double ko = -2.0 * dot(reflected_origin, d);
    vec3 dd, od;
    for (int i = 0; i < 3; ++i) {
        dd[i] = kd * d[i];
        od[i] = ko * d[i] + deflection_offset[i];
    }
    add_rz(sin_frame, cos_frame, dd, direction);
    add_rz(sin_frame, cos_frame, od, origin);
}

// ---- the window kinds

template <class Derived, class Base, scanmech::kind_e Kind>
void window_kind<Derived, Base, Kind>::precompute_own() {
    window_precompute(*this);
}

template <class Derived, class Base, scanmech::kind_e Kind>
void window_kind<Derived, Base, Kind>::compute_beam(unsigned int f, double l, double fr) {
    Base::compute_beam(f, l, fr);
    window_apply(*this, this->direction);
}

template class window_kind<mirrorwheel_deflection_windowdistortion, mirrorwheel_deflection,
                           scanmech::kind_e::mirrorwheel_deflection_windowdistortion>;
template class window_kind<mirrorwheel_windowdistortion, mirrorwheel,
                           scanmech::kind_e::mirrorwheel_windowdistortion>;

mirrorwheel_deflection_windowdistortion::mirrorwheel_deflection_windowdistortion(double (&o)[3], double (&d)[3])
    : window_kind(o, d) {
    derive_axes();
    precompute_own();
}

mirrorwheel_deflection_windowdistortion::mirrorwheel_deflection_windowdistortion(const mirrorwheel_deflection& wheel)
    : window_kind(wheel) {
    derive_axes();
    precompute_own();
}

void mirrorwheel_deflection_windowdistortion::derive_axes() {
    const vec3& o = deflection_mirror_origin;
    const double n = std::sqrt(dot(o, o));
    for (int i = 0; i < 3; ++i)
        t_axis[i] = o[i] / n;
    const vec3 x = {1.0, 0.0, 0.0};
    cross(x, t_axis, s_axis);
}

mirrorwheel_windowdistortion::mirrorwheel_windowdistortion(double (&o)[3], double (&d)[3]) : window_kind(o, d) {
    precompute_own();
}

mirrorwheel_windowdistortion::mirrorwheel_windowdistortion(const mirrorwheel& wheel) : window_kind(wheel) {
    precompute_own();
}

// ---- mirrorwheel_biaxial

mirrorwheel_biaxial::mirrorwheel_biaxial(double (&o)[3], double (&d)[3]) : scanmech_kind(o, d) { precompute_own(); }

mirrorwheel_biaxial::mirrorwheel_biaxial(const mirrorwheel& wheel) : scanmech_kind(wheel) { precompute_own(); }

void mirrorwheel_biaxial::precompute_own() {
    shift_table.clear();
    if (biaxial_shift.empty()) {
        shift_range_end = 0.0;
        shift_step = 0.0;
        return;
    }
    shift_range_end = static_cast<double>(biaxial_shift.back().first);
    shift_step = shift_range_end / 1000.0;
    // Linear interpolation of the pairs, starting flat at the first shift and
    // falling to zero over one metre after the last pair.
    double x0 = 0.0, y0 = biaxial_shift[0].second;
    double x1 = biaxial_shift[0].first, y1 = biaxial_shift[0].second;
    std::size_t next = 1;
    double x = 0.0;
    shift_table.reserve(1000);
    while (shift_table.size() < 1000) {
        shift_table.push_back(((x1 - x) * y0 + (x - x0) * y1) / (x1 - x0));
        x += shift_step;
        if (x > x1) {
            x0 = x1;
            y0 = y1;
            if (next < biaxial_shift.size()) {
                x1 = biaxial_shift[next].first;
                y1 = biaxial_shift[next].second;
                ++next;
            } else {
                x1 = x1 + 1.0;
                y1 = 0.0;
            }
        }
    }
}

void mirrorwheel_biaxial::compute_beam(unsigned int f, double l, double fr) {
    mirrorwheel::compute_beam(f, l, fr);
    const vec3& a = aperture_direction;
    const vec3& n = facet_normal;
    const double k = 2.0 * dot(a, n);
    vec3 b;
    for (int i = 0; i < 3; ++i)
        b[i] = a[i] - k * n[i];
    rz(sin_frame, cos_frame, b, shift_direction);
}

void mirrorwheel_biaxial::compute_vertex(double (&vertex)[3], double range) {
    for (int i = 0; i < 3; ++i)
        vertex[i] = origin[i] + range * direction[i];
    if (!(range > 0.0 && range < shift_range_end))
        return;
    // The sample index is taken from the same remainder as the weight: the
    // plain quotient may round up to the next integer while the remainder is
    // still almost a whole step, which would skip a sample.
    const double rest = std::fmod(range, shift_step);
    const double u = std::nearbyint((range - rest) / shift_step);
    // Samples i and i + 1 must exist (an empty table has none).
    if (!(u >= 0.0 && u < static_cast<double>(shift_table.size()) - 1.0))
        return;
    const std::size_t i = static_cast<std::size_t>(u);
    const double w = rest / shift_step;
    const double shift = (1.0 - w) * shift_table[i] + w * shift_table[i + 1];
    for (int k = 0; k < 3; ++k)
        vertex[k] += shift * shift_direction[k];
}

// ---- mirrorwheel_nodding

mirrorwheel_nodding::mirrorwheel_nodding(double (&o)[3], double (&d)[3]) : scanmech_kind(o, d) {
    precompute_own();
}

mirrorwheel_nodding::mirrorwheel_nodding(const mirrorwheel& wheel) : scanmech_kind(wheel) { precompute_own(); }

void mirrorwheel_nodding::precompute_own() {
    split(nodding_axis_direction, nodding_facet.normal, nodding_precomp);
    nodding_precomp.dist = nodding_facet.dist;
}

void mirrorwheel_nodding::compute_beam(unsigned int f, double l, double fr) {
    reflect(f, l);
    frame_sincos(fr);
    vec3 m;
    turn(nodding_precomp, sin_frame, cos_frame, m);
    const vec3& r = reflected_direction;
    const vec3& o = reflected_origin;
    vec3 rel;
    for (int i = 0; i < 3; ++i)
        rel[i] = o[i] - nodding_axis_origin[i];
    const double kd = 2.0 * dot(r, m);
    const double ko = 2.0 * (dot(rel, m) - nodding_precomp.dist);
    for (int i = 0; i < 3; ++i) {
        direction[i] = r[i] - kd * m[i];
        origin[i] = o[i] - ko * m[i];
    }
}

// ---- wedge

wedge::wedge(double (&o)[3], double (&d)[3]) : scanmech_kind(o, d) { precompute_own(); }

wedge::wedge(const scanmech& base) : scanmech_kind(base) { precompute_own(); }

void wedge::precompute_own() {
    split(wedge_axis_direction, facet1_direction, facet1_parts);
    split(wedge_axis_direction, facet2_direction, facet2_parts);
    for (int i = 0; i < 3; ++i) {
        entry_offset[i] = wedge_axis_origin[i] - laser_origin[i];
        exit_offset[i] = entry_offset[i] - facet_distance * wedge_axis_direction[i];
    }
    index_term = refraction_index * refraction_index - 1.0;
}

void wedge::compute_beam_raw(unsigned int line, unsigned int, unsigned int f) {
    facet = f;
    line_angle = static_cast<double>(line) * line_unit;
    frame_angle = 0.0;
    compute_beam(facet, line_angle, 0.0);
}

void wedge::compute_beam(unsigned int, double l, double) {
    sincos(l, sin_line, cos_line);
    vec3 u, v;
    turn(facet1_parts, sin_line, cos_line, u);
    turn(facet2_parts, sin_line, cos_line, v);
    const vec3& ld = laser_direction;
    // Entry face (through wedge_axis_origin), refraction into the glass.
    const double c1 = dot(ld, u);
    const double lambda1 = dot(entry_offset, u) / c1;
    const double mu1 = c1 + std::sqrt(c1 * c1 + index_term);
    vec3 x1, d1;
    for (int i = 0; i < 3; ++i) {
        x1[i] = lambda1 * ld[i];
        d1[i] = ld[i] - mu1 * u[i];
    }
    // Exit face, refraction out of the glass.
    const double c2 = dot(d1, v);
    vec3 rel;
    for (int i = 0; i < 3; ++i)
        rel[i] = exit_offset[i] - x1[i];
    const double lambda2 = dot(rel, v) / c2;
    vec3 x2;
    for (int i = 0; i < 3; ++i)
        x2[i] = lambda2 * d1[i];
    const double mu2 = std::sqrt(c2 * c2 - index_term) - c2;
    for (int i = 0; i < 3; ++i)
        direction[i] = d1[i] + mu2 * v[i];
    // Ranges count from the exit point moved back by the optical path.
    const double path = std::sqrt(dot(x1, x1)) + refraction_index * std::sqrt(dot(x2, x2));
    for (int i = 0; i < 3; ++i)
        origin[i] = laser_origin[i] + x1[i] + x2[i] - path * direction[i];
}

// ---- gimbalmountmirror

gimbalmountmirror::gimbalmountmirror(double (&o)[3], double (&d)[3]) : scanmech_kind(o, d) { precompute_own(); }

gimbalmountmirror::gimbalmountmirror(const scanmech& base) : scanmech_kind(base) { precompute_own(); }

void gimbalmountmirror::precompute_own() { split(line_mirror_axis_direction, facet_direction, facet_parts); }

void gimbalmountmirror::compute_beam_raw(unsigned int line, unsigned int frame, unsigned int) {
    facet = 0;
    line_angle = static_cast<double>(line) * line_unit;
    frame_angle = static_cast<double>(frame) * frame_unit;
    compute_beam(0, line_angle, frame_angle);
}

void gimbalmountmirror::compute_beam(unsigned int, double l, double f) {
    sincos(l, sin_line, cos_line);
    vec3 m;
    turn(facet_parts, sin_line, cos_line, m);
    vec3 p;
    for (int i = 0; i < 3; ++i)
        p[i] = line_mirror_axis_origin[i] + facet_distance * m[i] - frame_mirror_axis_origin[i];
    const double e = dot(p, m);
    frame_sincos(f);
    const vec3& a = frame_mirror_axis_direction;
    const double k = dot(a, m);
    vec3 am;
    cross(a, m, am);
    vec3 mt, q;
    for (int i = 0; i < 3; ++i) {
        mt[i] = k * a[i] + cos_frame * (m[i] - k * a[i]) + sin_frame * am[i];
        q[i] = frame_mirror_axis_origin[i] + e * mt[i] - laser_origin[i];
    }
    const double kd = 2.0 * dot(laser_direction, mt);
    const double ko = 2.0 * dot(q, mt);
    for (int i = 0; i < 3; ++i) {
        direction[i] = laser_direction[i] - kd * mt[i];
        origin[i] = laser_origin[i] + ko * mt[i];
    }
}

// ---- JSON form

namespace {

namespace bpt = boost::property_tree;
using bpt::ptree;

const char* const kind_names[] = {
    "unknown",
    "mirrorwheel",
    "wedge",
    "mirrorwheel_exitpane",
    "mirrorwheel_deflection",
    "mirrorwheel_biaxial",
    nullptr,
    "mirrorwheel_nodding",
    "gimbalmountmirror",
    "mirrorwheel_deflection_windowdistortion",
    "mirrorwheel_windowdistortion",
};

const char* kind_name(scanmech::kind_e k) {
    const int i = static_cast<int>(k);
    return i >= 0 && i < static_cast<int>(std::size(kind_names)) ? kind_names[i] : nullptr;
}

using stream_double = bpt::stream_translator<char, std::char_traits<char>, std::allocator<char>, double>;
using stream_u32 = bpt::stream_translator<char, std::char_traits<char>, std::allocator<char>, std::uint32_t>;

// Numbers as the stream reads them, plus the writer's forms of the
// non-finite values, so that every written model reads back.
struct f64_translator {
    using internal_type = std::string;
    using external_type = double;
    boost::optional<double> get_value(const std::string& s) const {
        if (auto v = stream_double().get_value(s))
            return v;
        if (s == "nan")
            return nan;
        if (s == "-nan")
            return -nan;
        if (s == "inf")
            return std::numeric_limits<double>::infinity();
        if (s == "-inf")
            return -std::numeric_limits<double>::infinity();
        return {};
    }
};

// The stream would take "-1" as 4294967295.
struct u32_translator {
    using internal_type = std::string;
    using external_type = std::uint32_t;
    boost::optional<std::uint32_t> get_value(const std::string& s) const {
        if (s.find('-') != std::string::npos)
            return {};
        return stream_u32().get_value(s);
    }
};

double get_f64(const ptree& t, const char* key) { return t.get<double>(key, f64_translator()); }

std::uint32_t get_u32(const ptree& t, const char* key) { return t.get<std::uint32_t>(key, u32_translator()); }

double f64_of(const ptree& t) { return t.get_value<double>(f64_translator()); }

// Out-of-range doubles become infinities rather than undefined conversions.
float to_f32(double v) {
    if (std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max()))
        return v < 0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

void putvec3d(ptree& t, const char* key, const double (&v)[3]) {
    ptree a;
    for (double x : v) {
        ptree e;
        e.put_value(x);
        a.push_back(ptree::value_type("", e));
    }
    t.add_child(key, a);
}

void getvec3d(const ptree& t, const char* key, double (&v)[3]) {
    const ptree& a = t.get_child(key);
    if (a.size() < 3)
        throw bpt::ptree_bad_data(std::string("vector \"") + key + "\" needs three numbers", a.data());
    auto it = a.begin();
    for (int i = 0; i < 3; ++i, ++it)
        v[i] = f64_of(it->second);
}

// An array: children with empty keys; the empty string is the empty array.
const ptree& get_array(const ptree& t, const char* key) {
    const ptree& a = t.get_child(key);
    if (a.empty() && !a.data().empty())
        throw bpt::ptree_bad_data(std::string("\"") + key + "\" is no array", a.data());
    return a;
}

void put_facet(ptree& e, const mirrorwheel::facet_t& f) {
    putvec3d(e, "normal", f.normal);
    e.put("dist", f.dist);
}

void put_base(ptree& p, const scanmech& m) {
    p.put("range_unit", m.range_unit);
    p.put("line_circle_count", m.line_circle_count);
    p.put("frame_circle_count", m.frame_circle_count);
}

void get_base(const ptree& p, scanmech& m) {
    m.range_unit = get_f64(p, "range_unit");
    m.line_circle_count = get_u32(p, "line_circle_count");
    m.frame_circle_count = get_u32(p, "frame_circle_count");
}

void put_wheel(ptree& p, const mirrorwheel& m) {
    put_base(p, m);
    putvec3d(p, "laser_origin", m.laser_origin);
    putvec3d(p, "laser_direction", m.laser_direction);
    putvec3d(p, "mirror_axis_origin", m.mirror_axis_origin);
    putvec3d(p, "mirror_axis_direction", m.mirror_axis_direction);
    p.put("line_angle_0", m.line_angle_0);
    ptree a;
    for (const auto& f : m.facets) {
        ptree e;
        put_facet(e, f);
        a.push_back(ptree::value_type("", e));
    }
    p.add_child("facets", a);
}

void get_wheel(const ptree& p, mirrorwheel& m) {
    get_base(p, m);
    getvec3d(p, "laser_origin", m.laser_origin);
    getvec3d(p, "laser_direction", m.laser_direction);
    getvec3d(p, "mirror_axis_origin", m.mirror_axis_origin);
    getvec3d(p, "mirror_axis_direction", m.mirror_axis_direction);
    m.line_angle_0 = p.get<std::int32_t>("line_angle_0");
    const ptree& a = get_array(p, "facets");
    m.facets.resize(a.size());
    std::size_t i = 0;
    for (const auto& e : a) {
        m.facets[i].dist = get_f64(e.second, "dist");
        getvec3d(e.second, "normal", m.facets[i].normal);
        ++i;
    }
}

void put_deflection(ptree& p, const mirrorwheel_deflection& m) {
    putvec3d(p, "deflection_mirror_origin", m.deflection_mirror_origin);
    putvec3d(p, "deflection_mirror_direction", m.deflection_mirror_direction);
}

void get_deflection(const ptree& p, mirrorwheel_deflection& m) {
    getvec3d(p, "deflection_mirror_origin", m.deflection_mirror_origin);
    getvec3d(p, "deflection_mirror_direction", m.deflection_mirror_direction);
}

template <class W>
void put_window(ptree& p, const W& m) {
    putvec3d(p, "t_axis", m.t_axis);
    putvec3d(p, "s_axis", m.s_axis);
    p.put("angle_sin_min", m.angle_sin_min);
    p.put("angle_sin_inc", m.angle_sin_inc);
    ptree a;
    for (const auto& n : m.nodes) {
        ptree e;
        e.put("t_rot_angle", n.t_rot_angle);
        e.put("s_rot_angle", n.s_rot_angle);
        a.push_back(ptree::value_type("", e));
    }
    p.add_child("nodes", a);
}

template <class W>
void get_window(const ptree& p, W& m) {
    getvec3d(p, "t_axis", m.t_axis);
    getvec3d(p, "s_axis", m.s_axis);
    m.angle_sin_min = get_f64(p, "angle_sin_min");
    m.angle_sin_inc = get_f64(p, "angle_sin_inc");
    m.nodes.clear();
    if (!p.get_child_optional("nodes"))
        return;
    for (const auto& e : get_array(p, "nodes"))
        m.nodes.push_back({get_f64(e.second, "t_rot_angle"), get_f64(e.second, "s_rot_angle")});
}

void put_params(ptree& p, const scanmech& m, scanmech::kind_e k) {
    using k_e = scanmech::kind_e;
    switch (k) {
    case k_e::unknown: put_base(p, m); break;
    case k_e::mirrorwheel: put_wheel(p, dynamic_cast<const mirrorwheel&>(m)); break;
    case k_e::mirrorwheel_exitpane: {
        const auto& w = dynamic_cast<const mirrorwheel_exitpane&>(m);
        put_wheel(p, w);
        p.put("exit_pane_thickness", w.exit_pane_thickness);
        p.put("exit_pane_index", w.exit_pane_index);
        putvec3d(p, "exit_pane_direction", w.exit_pane_direction);
        break;
    }
    case k_e::mirrorwheel_deflection: {
        const auto& w = dynamic_cast<const mirrorwheel_deflection&>(m);
        put_wheel(p, w);
        put_deflection(p, w);
        break;
    }
    case k_e::mirrorwheel_biaxial: {
        const auto& w = dynamic_cast<const mirrorwheel_biaxial&>(m);
        put_wheel(p, w);
        putvec3d(p, "aperture_direction", w.aperture_direction);
        ptree a;
        for (const auto& s : w.biaxial_shift) {
            ptree e, r, v;
            r.put_value(s.first);
            v.put_value(s.second);
            e.push_back(ptree::value_type("", r));
            e.push_back(ptree::value_type("", v));
            a.push_back(ptree::value_type("", e));
        }
        p.add_child("biaxial_shift", a);
        break;
    }
    case k_e::mirrorwheel_nodding: {
        const auto& w = dynamic_cast<const mirrorwheel_nodding&>(m);
        put_wheel(p, w);
        putvec3d(p, "nodding_axis_origin", w.nodding_axis_origin);
        putvec3d(p, "nodding_axis_direction", w.nodding_axis_direction);
        ptree e;
        put_facet(e, w.nodding_facet);
        p.add_child("nodding_facet", e);
        break;
    }
    case k_e::mirrorwheel_windowdistortion: {
        const auto& w = dynamic_cast<const mirrorwheel_windowdistortion&>(m);
        put_wheel(p, w);
        put_window(p, w);
        break;
    }
    case k_e::mirrorwheel_deflection_windowdistortion: {
        const auto& w = dynamic_cast<const mirrorwheel_deflection_windowdistortion&>(m);
        put_wheel(p, w);
        put_deflection(p, w);
        put_window(p, w);
        break;
    }
    case k_e::wedge: {
        const auto& w = dynamic_cast<const wedge&>(m);
        put_base(p, w);
        putvec3d(p, "laser_origin", w.laser_origin);
        putvec3d(p, "laser_direction", w.laser_direction);
        putvec3d(p, "wedge_axis_origin", w.wedge_axis_origin);
        putvec3d(p, "wedge_axis_direction", w.wedge_axis_direction);
        putvec3d(p, "facet1_direction", w.facet1_direction);
        putvec3d(p, "facet2_direction", w.facet2_direction);
        p.put("facet_distance", w.facet_distance);
        p.put("refraction_index", w.refraction_index);
        break;
    }
    case k_e::gimbalmountmirror: {
        const auto& w = dynamic_cast<const gimbalmountmirror&>(m);
        put_base(p, w);
        putvec3d(p, "laser_origin", w.laser_origin);
        putvec3d(p, "laser_direction", w.laser_direction);
        putvec3d(p, "line_mirror_axis_origin", w.line_mirror_axis_origin);
        putvec3d(p, "line_mirror_axis_direction", w.line_mirror_axis_direction);
        putvec3d(p, "frame_mirror_axis_origin", w.frame_mirror_axis_origin);
        putvec3d(p, "frame_mirror_axis_direction", w.frame_mirror_axis_direction);
        putvec3d(p, "facet_direction", w.facet_direction);
        p.put("facet_distance", w.facet_distance);
        break;
    }
    }
}

void get_params(const ptree& p, scanmech& m, scanmech::kind_e k) {
    using k_e = scanmech::kind_e;
    switch (k) {
    case k_e::unknown:
        get_base(p, m);
        m.precompute();
        break;
    case k_e::mirrorwheel: {
        auto& w = dynamic_cast<mirrorwheel&>(m);
        get_wheel(p, w);
        w.precompute();
        break;
    }
    case k_e::mirrorwheel_exitpane: {
        auto& w = dynamic_cast<mirrorwheel_exitpane&>(m);
        get_wheel(p, w);
        w.exit_pane_thickness = get_f64(p, "exit_pane_thickness");
        w.exit_pane_index = get_f64(p, "exit_pane_index");
        getvec3d(p, "exit_pane_direction", w.exit_pane_direction);
        w.precompute();
        break;
    }
    case k_e::mirrorwheel_deflection: {
        auto& w = dynamic_cast<mirrorwheel_deflection&>(m);
        get_wheel(p, w);
        get_deflection(p, w);
        w.precompute();
        break;
    }
    case k_e::mirrorwheel_biaxial: {
        auto& w = dynamic_cast<mirrorwheel_biaxial&>(m);
        get_wheel(p, w);
        getvec3d(p, "aperture_direction", w.aperture_direction);
        // The list keeps the length the geometry packets gave it.
        const ptree& a = get_array(p, "biaxial_shift");
        if (a.size() < w.biaxial_shift.size())
            throw bpt::ptree_bad_data("\"biaxial_shift\" has fewer pairs than the model", a.data());
        auto it = a.begin();
        for (auto& s : w.biaxial_shift) {
            const ptree& e = (it++)->second;
            if (e.size() < 2)
                throw bpt::ptree_bad_data("\"biaxial_shift\" pair needs two numbers", e.data());
            auto v = e.begin();
            const double range = f64_of(v->second);
            const double shift = f64_of((++v)->second);
            s.first = to_f32(range);
            s.second = to_f32(shift);
        }
        w.precompute();
        break;
    }
    case k_e::mirrorwheel_nodding: {
        auto& w = dynamic_cast<mirrorwheel_nodding&>(m);
        get_wheel(p, w);
        getvec3d(p, "nodding_axis_origin", w.nodding_axis_origin);
        getvec3d(p, "nodding_axis_direction", w.nodding_axis_direction);
        const ptree& f = p.get_child("nodding_facet");
        getvec3d(f, "normal", w.nodding_facet.normal);
        w.nodding_facet.dist = get_f64(f, "dist");
        w.precompute();
        break;
    }
    case k_e::mirrorwheel_windowdistortion: {
        auto& w = dynamic_cast<mirrorwheel_windowdistortion&>(m);
        get_wheel(p, w);
        get_window(p, w);
        w.precompute();
        break;
    }
    case k_e::mirrorwheel_deflection_windowdistortion: {
        auto& w = dynamic_cast<mirrorwheel_deflection_windowdistortion&>(m);
        get_wheel(p, w);
        get_deflection(p, w);
        get_window(p, w);
        w.precompute();
        break;
    }
    case k_e::wedge: {
        auto& w = dynamic_cast<wedge&>(m);
        get_base(p, w);
        getvec3d(p, "laser_origin", w.laser_origin);
        getvec3d(p, "laser_direction", w.laser_direction);
        getvec3d(p, "wedge_axis_origin", w.wedge_axis_origin);
        getvec3d(p, "wedge_axis_direction", w.wedge_axis_direction);
        getvec3d(p, "facet1_direction", w.facet1_direction);
        getvec3d(p, "facet2_direction", w.facet2_direction);
        w.facet_distance = get_f64(p, "facet_distance");
        w.refraction_index = get_f64(p, "refraction_index");
        w.precompute();
        break;
    }
    case k_e::gimbalmountmirror: {
        auto& w = dynamic_cast<gimbalmountmirror&>(m);
        get_base(p, w);
        getvec3d(p, "laser_origin", w.laser_origin);
        getvec3d(p, "laser_direction", w.laser_direction);
        getvec3d(p, "line_mirror_axis_origin", w.line_mirror_axis_origin);
        getvec3d(p, "line_mirror_axis_direction", w.line_mirror_axis_direction);
        getvec3d(p, "frame_mirror_axis_origin", w.frame_mirror_axis_origin);
        getvec3d(p, "frame_mirror_axis_direction", w.frame_mirror_axis_direction);
        getvec3d(p, "facet_direction", w.facet_direction);
        w.facet_distance = get_f64(p, "facet_distance");
        w.precompute();
        break;
    }
    }
}

// A legitimate document nests five deep.
constexpr int max_json_depth = 64;

} // namespace

std::ostream& operator<<(std::ostream& os, const scanmech& m) {
    ptree root;
    const scanmech::kind_e k = m.kind();
    if (const char* name = kind_name(k)) {
        ptree p;
        put_params(p, m, k);
        root.add_child(name, p);
    }
    bpt::write_json(os, root, true);
    return os;
}

std::istream& operator>>(std::istream& is, scanmech& m) {
    std::string text{std::istreambuf_iterator<char>(is), std::istreambuf_iterator<char>()};
    const ptree root = detail::read_json_text(text, max_json_depth);
    const scanmech::kind_e k = m.kind();
    if (const char* name = kind_name(k))
        get_params(root.get_child(name), m, k);
    return is;
}

} // namespace scanlib
