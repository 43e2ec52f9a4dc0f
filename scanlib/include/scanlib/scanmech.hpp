#pragma once
// Scan mechanism models: turn raw line and frame angle counts of a laser shot
// into a beam origin and direction in the scanner's own coordinate system.
//
// A mechanism writes every beam into two caller-owned double[3] arrays that it
// borrows for its whole life; copies share them. After changing a parameter,
// call precompute() of the concrete class before the next beam.

#include <cmath>
#include <cstdint>
#include <iosfwd>
#include <utility>
#include <vector>

namespace scanlib {

// Sine and cosine of x through the tangent of the half angle; exact for 0.
inline void sincos(double x, double& s, double& c) {
    if (x == 0.0) {
        s = 0.0;
        c = 1.0;
        return;
    }
    if (x < 1.5707963267948966 || x > 4.71238898038469) {
        const double t = std::tan(0.5 * x);
        const double w = 1.0 / (t * t + 1.0);
        s = 2.0 * t * w;
        c = (1.0 - t * t) * w;
    } else { // around pi (and NaN): the half-angle tangent of pi - x stays small
        const double t = std::tan(0.5 * (3.141592653589793 - x));
        const double w = 1.0 / (t * t + 1.0);
        s = 2.0 * t * w;
        c = w * (t * t - 1.0);
    }
}

// Rotation quaternion: scalar part w, vector part x, y, z.
struct quaternion {
    double w = 0.0, x = 0.0, y = 0.0, z = 0.0;

    quaternion() = default;
    // Rotation by angle (radians) about axis (need not be unit).
    quaternion(double angle, const double (&axis)[3]);
    // Rotation about x by a, then about y by b, then about z by c.
    quaternion(double a, double b, double c);
};

quaternion operator*(const quaternion& p, const quaternion& q);

class scanmech {
public:
    enum class kind_e : int {
        unknown = 0,
        mirrorwheel = 1,
        wedge = 2,
        mirrorwheel_exitpane = 3,
        mirrorwheel_deflection = 4,
        mirrorwheel_biaxial = 5,
        mirrorwheel_nodding = 7,
        gimbalmountmirror = 8,
        mirrorwheel_deflection_windowdistortion = 9,
        mirrorwheel_windowdistortion = 10,
    };

    // A unit vector n split about a unit axis a: n turned by t about a is
    // axial + cos t * radial + sin t * tangential.
    struct rodrigues_t {
        double axial[3];
        double radial[3];
        double tangential[3];
    };

    scanmech(double (&origin)[3], double (&direction)[3]);
    scanmech(const scanmech&) = default;
    virtual ~scanmech();

    virtual kind_e kind() const;
    virtual std::uint64_t num_facets() const;
    virtual void compute_beam(unsigned int facet, double line_angle, double frame_angle);
    virtual void compute_beam_raw(unsigned int line, unsigned int frame, unsigned int facet);
    virtual void compute_vertex(double (&vertex)[3], double range);

    void precompute();

    // Allocates a mechanism of the given kind (caller owns it); kinds 1 to 5
    // and 7 to 10 only.
    static scanmech* create(kind_e kind, double (&origin)[3], double (&direction)[3]);

    double (&origin)[3];
    double (&direction)[3];
    double line_unit;  // radians per raw line count
    double frame_unit; // radians per raw frame count
    unsigned int facet = 0;
    double line_angle = 0.0, frame_angle = 0.0;
    double sin_line = 0.0, cos_line = 1.0, sin_frame = 0.0, cos_frame = 1.0;
    double range_unit = 1.0;
    std::uint32_t line_circle_count = 0xFFFFFFFFu;
    std::uint32_t frame_circle_count = 0xFFFFFFFFu;

protected:
    // sin_frame and cos_frame of the frame angle f. A scan turns its frame
    // slowly, so many shots in a row share the angle: the last pair is kept.
    void frame_sincos(double f) {
        if (!(f == frame_sincos_angle)) {
            sincos(f, frame_sincos_pair[0], frame_sincos_pair[1]);
            frame_sincos_angle = f;
        }
        sin_frame = frame_sincos_pair[0];
        cos_frame = frame_sincos_pair[1];
    }

private:
    double frame_sincos_angle = 0.0;
    double frame_sincos_pair[2] = {0.0, 1.0}; // sincos of 0
};

// What every kind states alike: its kind, its constructors from the two
// result arrays or from a mechanism of its base, and a precompute that runs
// the base's first and then the kind's own (`precompute_own`). The kind's
// constructors run `precompute_own` once its own members are set.
template <class Derived, class Base, scanmech::kind_e Kind>
class scanmech_kind : public Base {
public:
    scanmech_kind(double (&origin)[3], double (&direction)[3]) : Base(origin, direction) {}
    explicit scanmech_kind(const Base& base) : Base(base) {}

    scanmech::kind_e kind() const override { return Kind; }

    void precompute() {
        Base::precompute();
        static_cast<Derived&>(*this).precompute_own();
    }
};

// A polygon mirror wheel turned by the line angle; the frame angle turns the
// whole head about z.
class mirrorwheel : public scanmech_kind<mirrorwheel, scanmech, scanmech::kind_e::mirrorwheel> {
public:
    struct facet_t {
        double normal[3]; // unit normal at line angle zero
        double dist;      // plane distance from mirror_axis_origin along normal
    };
    struct precomp_facet_t : rodrigues_t {
        double dist;
    };

    mirrorwheel(double (&origin)[3], double (&direction)[3]);
    explicit mirrorwheel(const scanmech& base);

    std::uint64_t num_facets() const override;
    void compute_beam(unsigned int facet, double line_angle, double frame_angle) override;
    void compute_beam_raw(unsigned int line, unsigned int frame, unsigned int facet) override;

    std::uint32_t counts_per_facet = 0;
    double laser_offset[3] = {0, 0, 0};
    std::vector<precomp_facet_t> precomp;
    double reflected_direction[3] = {0, 0, 0};
    double reflected_origin[3] = {0, 0, 0};
    double facet_normal[3] = {0, 0, 0};
    double laser_origin[3] = {0, 0, 0};
    double laser_direction[3] = {0, 0, 1};
    double mirror_axis_origin[3] = {0, 0, 0};
    double mirror_axis_direction[3] = {0, 1, 0};
    std::int32_t line_angle_0 = 0;
    std::vector<facet_t> facets{facet_t{{1, 0, 0}, 0}};

protected:
    // Turns the facet by l and mirrors the laser in it: sets sin_line,
    // cos_line, facet_normal, reflected_direction and reflected_origin. A
    // facet without a precomputed record yields NaN.
    void reflect(unsigned int facet, double l);

private:
    friend scanmech_kind;
    void precompute_own();
};

// A plane-parallel exit pane in the reflected beam: shifts it sideways.
class mirrorwheel_exitpane
    : public scanmech_kind<mirrorwheel_exitpane, mirrorwheel, scanmech::kind_e::mirrorwheel_exitpane> {
public:
    mirrorwheel_exitpane(double (&origin)[3], double (&direction)[3]);
    explicit mirrorwheel_exitpane(const mirrorwheel& wheel);

    void compute_beam(unsigned int facet, double line_angle, double frame_angle) override;

    double pane_term = 0.0;
    double pane_offset[3] = {0, 0, 0};
    double pane_matrix[3][3] = {};
    double exit_pane_thickness = 0.0;
    double exit_pane_index = 1.0;
    double exit_pane_direction[3] = {0, 0, 1};

private:
    friend scanmech_kind;
    void precompute_own();
};

// A fixed deflection mirror after the wheel; the facet follows from the line
// angle alone.
class mirrorwheel_deflection
    : public scanmech_kind<mirrorwheel_deflection, mirrorwheel, scanmech::kind_e::mirrorwheel_deflection> {
public:
    mirrorwheel_deflection(double (&origin)[3], double (&direction)[3]);
    explicit mirrorwheel_deflection(const mirrorwheel& wheel);

    void compute_beam(unsigned int facet, double line_angle, double frame_angle) override;
    void compute_beam_raw(unsigned int line, unsigned int frame, unsigned int facet) override;

    double facet_angle_offset = 0.0;
    double facets_per_radian = 0.0;
    double deflection_offset[3] = {0, 0, 0};
    double deflection_mirror_origin[3] = {0, 1, 0};
    double deflection_mirror_direction[3] = {0, 1, 0};

private:
    friend scanmech_kind;
    void precompute_own();
};

// One node of a window correction table.
struct window_node_t {
    double t_rot_angle; // radians
    double s_rot_angle; // radians
};

// A window correction: a rotation of the outgoing direction tabulated over
// dot(direction, s_axis), added to the beam of the wheel kind Base.
template <class Derived, class Base, scanmech::kind_e Kind>
class window_kind : public scanmech_kind<Derived, Base, Kind> {
public:
    using nodes_t = window_node_t;
    using scanmech_kind<Derived, Base, Kind>::scanmech_kind;

    void compute_beam(unsigned int facet, double line_angle, double frame_angle) override;

    // Derives node_rotations and inv_angle_sin_inc from the parameters.
    void precompute_own();

    std::vector<quaternion> node_rotations;
    double inv_angle_sin_inc = 4.0;
    double t_axis[3] = {0, 1, 0};
    double s_axis[3] = {0, 0, 1};
    double angle_sin_min = -0.5;
    double angle_sin_inc = 0.25;
    std::vector<nodes_t> nodes;
};

// The deflection wheel with the window correction; its axes follow from the
// deflection mirror when it is made.
class mirrorwheel_deflection_windowdistortion
    : public window_kind<mirrorwheel_deflection_windowdistortion, mirrorwheel_deflection,
                         scanmech::kind_e::mirrorwheel_deflection_windowdistortion> {
public:
    mirrorwheel_deflection_windowdistortion(double (&origin)[3], double (&direction)[3]);
    explicit mirrorwheel_deflection_windowdistortion(const mirrorwheel_deflection& wheel);

private:
    void derive_axes();
};

// The vertex is shifted by an amount tabulated over range, along the
// aperture direction mirrored at the current facet and turned with the frame.
class mirrorwheel_biaxial
    : public scanmech_kind<mirrorwheel_biaxial, mirrorwheel, scanmech::kind_e::mirrorwheel_biaxial> {
public:
    mirrorwheel_biaxial(double (&origin)[3], double (&direction)[3]);
    explicit mirrorwheel_biaxial(const mirrorwheel& wheel);

    void compute_beam(unsigned int facet, double line_angle, double frame_angle) override;
    void compute_vertex(double (&vertex)[3], double range) override;

    double shift_direction[3] = {0, 0, 0};
    double shift_range_end = 0.0;
    double shift_step = 0.0;
    std::vector<double> shift_table;
    double aperture_direction[3] = {1, 0, 0};
    std::vector<std::pair<float, float>> biaxial_shift; // (range, shift), ranges ascending

private:
    friend scanmech_kind;
    void precompute_own();
};

// The frame angle turns a second (nodding) mirror instead of the whole head.
class mirrorwheel_nodding
    : public scanmech_kind<mirrorwheel_nodding, mirrorwheel, scanmech::kind_e::mirrorwheel_nodding> {
public:
    mirrorwheel_nodding(double (&origin)[3], double (&direction)[3]);
    explicit mirrorwheel_nodding(const mirrorwheel& wheel);

    void compute_beam(unsigned int facet, double line_angle, double frame_angle) override;

    precomp_facet_t nodding_precomp{};
    double nodding_axis_origin[3] = {0, 0, 0};
    double nodding_axis_direction[3] = {0, 1, 0};
    facet_t nodding_facet{{1, 0, 0}, 0};

private:
    friend scanmech_kind;
    void precompute_own();
};

// The plain wheel with the window correction.
class mirrorwheel_windowdistortion
    : public window_kind<mirrorwheel_windowdistortion, mirrorwheel, scanmech::kind_e::mirrorwheel_windowdistortion> {
public:
    mirrorwheel_windowdistortion(double (&origin)[3], double (&direction)[3]);
    explicit mirrorwheel_windowdistortion(const mirrorwheel& wheel);
};

// A refracting prism turned about its axis by the line angle; the frame angle
// is not used.
class wedge : public scanmech_kind<wedge, scanmech, scanmech::kind_e::wedge> {
public:
    wedge(double (&origin)[3], double (&direction)[3]);
    explicit wedge(const scanmech& base);

    void compute_beam(unsigned int facet, double line_angle, double frame_angle) override;
    void compute_beam_raw(unsigned int line, unsigned int frame, unsigned int facet) override;

    rodrigues_t facet1_parts{};
    rodrigues_t facet2_parts{};
    double index_term = 0.0;
    double entry_offset[3] = {0, 0, 0};
    double exit_offset[3] = {0, 0, 0};
    double laser_origin[3] = {0, 0, 0};
    double laser_direction[3] = {0, 0, 1};
    double wedge_axis_origin[3] = {0, 0, 0};
    double wedge_axis_direction[3] = {0, 0, 1};
    double facet1_direction[3] = {0, 0, -1};
    double facet2_direction[3] = {0, 0, 1};
    double facet_distance = 0.0;
    double refraction_index = 1.0;

private:
    friend scanmech_kind;
    void precompute_own();
};

// One mirror turned about the line mirror axis by the line angle, then about
// the frame mirror axis by the frame angle.
class gimbalmountmirror : public scanmech_kind<gimbalmountmirror, scanmech, scanmech::kind_e::gimbalmountmirror> {
public:
    gimbalmountmirror(double (&origin)[3], double (&direction)[3]);
    explicit gimbalmountmirror(const scanmech& base);

    void compute_beam(unsigned int facet, double line_angle, double frame_angle) override;
    void compute_beam_raw(unsigned int line, unsigned int frame, unsigned int facet) override;

    rodrigues_t facet_parts{};
    double laser_origin[3] = {0, 0, 0};
    double laser_direction[3] = {0, 0, 1};
    double line_mirror_axis_origin[3] = {0, 0, 0};
    double line_mirror_axis_direction[3] = {0, 1, 0};
    double frame_mirror_axis_origin[3] = {0, 0, 0};
    double frame_mirror_axis_direction[3] = {0, 1, 0};
    double facet_direction[3] = {0, 1, 0};
    double facet_distance = 0.0;

private:
    friend scanmech_kind;
    void precompute_own();
};

// JSON form: one member named by the kind, holding the model's parameters.
// Writing uses the pretty form. Reading sets the parameters of m (which keeps
// its kind) and runs its precompute; failures leave as Boost.PropertyTree
// exceptions (json_parser_error, ptree_bad_path, ptree_bad_data) or
// std::bad_cast, with m possibly partly updated.
std::ostream& operator<<(std::ostream& os, const scanmech& m);
std::istream& operator>>(std::istream& is, scanmech& m);

} // namespace scanlib
