// Scan mechanisms checked against geometry built independently here: rotation
// matrices from the Rodrigues formula, plane reflection, unit-vector Snell
// refraction and slab tracing.

#include <scanlib/scanmech.hpp>

#include "zpk_support.hpp"

#include <gtest/gtest.h>

#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cmath>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

using namespace scanlib;
using kind_e = scanmech::kind_e;

namespace {

struct v3 {
    double x, y, z;
};
v3 operator+(v3 a, v3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
v3 operator-(v3 a, v3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
v3 operator*(double k, v3 a) { return {k * a.x, k * a.y, k * a.z}; }
double dotp(v3 a, v3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
v3 crossp(v3 a, v3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double norm(v3 a) { return std::sqrt(dotp(a, a)); }
v3 unit(v3 a) { return (1.0 / norm(a)) * a; }
v3 of(const double (&a)[3]) { return {a[0], a[1], a[2]}; }
void set(double (&a)[3], v3 v) {
    a[0] = v.x;
    a[1] = v.y;
    a[2] = v.z;
}

// Rodrigues rotation of v by t about the unit axis k.
v3 rot(v3 k, double t, v3 v) {
    return std::cos(t) * v + std::sin(t) * crossp(k, v) + (dotp(k, v) * (1 - std::cos(t))) * k;
}
v3 rz(double f, v3 v) { return rot({0, 0, 1}, f, v); }
v3 mirror_dir(v3 d, v3 m) { return d - (2 * dotp(d, m)) * m; }
v3 mirror_pt(v3 p, v3 q, v3 m) { return p - (2 * dotp(p - q, m)) * m; }

// Unit-vector Snell refraction of i at a surface whose normal n faces the
// incoming beam, from index n1 into n2.
v3 refract(v3 i, v3 n, double n1, double n2) {
    const double eta = n1 / n2;
    const double ci = -dotp(i, n);
    const double k = 1 - eta * eta * (1 - ci * ci);
    return eta * i + (eta * ci - std::sqrt(k)) * n;
}

constexpr double tol = 1e-12;

void expect_near(v3 got, v3 want, double t = tol) {
    EXPECT_NEAR(got.x, want.x, t);
    EXPECT_NEAR(got.y, want.y, t);
    EXPECT_NEAR(got.z, want.z, t);
}

bool finite(const double (&a)[3]) { return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]); }
bool all_nan(const double (&a)[3]) { return std::isnan(a[0]) && std::isnan(a[1]) && std::isnan(a[2]); }

struct rng {
    std::mt19937_64 g{20261207};
    double uni(double a, double b) { return std::uniform_real_distribution<double>(a, b)(g); }
    v3 vec(double s = 1) { return {uni(-s, s), uni(-s, s), uni(-s, s)}; }
    v3 dir() {
        for (;;) {
            v3 v = vec();
            if (norm(v) > 0.2)
                return unit(v);
        }
    }
    // A unit vector within a small cone around c.
    v3 near(v3 c, double spread) { return unit(c + spread * vec()); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(g()); }
};

// Sets all parameters of a wheel at random; F facets.
void random_wheel(mirrorwheel& w, rng& r, int nfacets) {
    w.line_circle_count = 1000 + r.u32() % (1u << 24);
    w.frame_circle_count = 1000 + r.u32() % (1u << 24);
    w.range_unit = r.uni(1e-4, 1e-3);
    set(w.laser_origin, r.vec(0.1));
    set(w.laser_direction, r.dir());
    set(w.mirror_axis_origin, r.vec(0.1));
    set(w.mirror_axis_direction, r.dir());
    w.line_angle_0 = static_cast<std::int32_t>(r.u32() % 2001) - 1000;
    w.facets.clear();
    for (int k = 0; k < nfacets; ++k) {
        mirrorwheel::facet_t f{};
        set(f.normal, r.dir());
        f.dist = r.uni(0.01, 0.1);
        w.facets.push_back(f);
    }
}

// The beam of a wheel facet for angles l and f, built from rotations.
void wheel_reference(const mirrorwheel& w, unsigned facet, double l, double f, v3& origin, v3& dir) {
    const v3 a = of(w.mirror_axis_direction);
    const v3 n = rot(a, l, of(w.facets[facet].normal));
    const v3 q = of(w.mirror_axis_origin) + w.facets[facet].dist * n;
    dir = rz(f, mirror_dir(of(w.laser_direction), n));
    origin = rz(f, mirror_pt(of(w.laser_origin), q, n));
}

struct arrays {
    double o[3] = {7, 7, 7};
    double d[3] = {7, 7, 7};
};

} // namespace

// ---------------------------------------------------------------- tools

TEST(ScanmechTools, SincosAgreesWithTheLibraryAndIsExactAtZero) {
    rng r;
    for (int i = 0; i < 20000; ++i) {
        const double x = r.uni(-20, 20);
        double s, c;
        scanlib::sincos(x, s, c);
        EXPECT_NEAR(s, std::sin(x), 4e-15) << x;
        EXPECT_NEAR(c, std::cos(x), 4e-15) << x;
    }
    for (double x : {1.5707963267948966, 3.141592653589793, 4.71238898038469, -3.141592653589793}) {
        double s, c;
        scanlib::sincos(x, s, c);
        EXPECT_NEAR(s, std::sin(x), 4e-15) << x;
        EXPECT_NEAR(c, std::cos(x), 4e-15) << x;
    }
    double s = 5, c = 5;
    scanlib::sincos(0.0, s, c);
    EXPECT_EQ(s, 0.0);
    EXPECT_EQ(c, 1.0);
    scanlib::sincos(std::nan(""), s, c);
    EXPECT_TRUE(std::isnan(s) && std::isnan(c));
}

namespace {
v3 apply(const quaternion& q, v3 v) {
    quaternion p;
    p.x = v.x;
    p.y = v.y;
    p.z = v.z;
    quaternion c = q;
    c.x = -c.x;
    c.y = -c.y;
    c.z = -c.z;
    const quaternion r = q * (p * c);
    return {r.x, r.y, r.z};
}
} // namespace

TEST(ScanmechTools, QuaternionRotatesAsRodrigues) {
    rng r;
    for (int i = 0; i < 500; ++i) {
        const v3 axis = r.vec(3);
        const double t = r.uni(-7, 7);
        double ax[3];
        set(ax, axis);
        const quaternion q(t, ax);
        EXPECT_NEAR(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z, 1.0, 1e-14);
        const v3 v = r.vec(2);
        expect_near(apply(q, v), rot(unit(axis), t, v));
    }
}

TEST(ScanmechTools, QuaternionFromThreeAnglesTurnsAboutXThenYThenZ) {
    rng r;
    for (int i = 0; i < 500; ++i) {
        const double a = r.uni(-4, 4), b = r.uni(-4, 4), c = r.uni(-4, 4);
        const v3 v = r.vec(2);
        const v3 want = rot({0, 0, 1}, c, rot({0, 1, 0}, b, rot({1, 0, 0}, a, v)));
        expect_near(apply(quaternion(a, b, c), v), want);
    }
    const quaternion zero;
    EXPECT_EQ(zero.w, 0.0);
    EXPECT_EQ(zero.x + zero.y + zero.z, 0.0);
}

TEST(ScanmechTools, QuaternionProductComposesRotations) {
    rng r;
    for (int i = 0; i < 200; ++i) {
        double a1[3], a2[3];
        set(a1, r.dir());
        set(a2, r.dir());
        const double t1 = r.uni(-3, 3), t2 = r.uni(-3, 3);
        const quaternion p(t1, a1), q(t2, a2);
        const v3 v = r.vec();
        expect_near(apply(p * q, v), rot(of(a1), t1, rot(of(a2), t2, v)));
    }
}

// ---------------------------------------------------------------- ideal sphere

TEST(ScanmechBase, QuarterTurnCountsGiveTheAxes) {
    arrays a;
    scanmech m(a.o, a.d);
    EXPECT_EQ(a.o[0], 0.0);
    EXPECT_EQ(a.d[2], 0.0);
    EXPECT_EQ(m.kind(), kind_e::unknown);
    EXPECT_EQ(m.num_facets(), 0u);
    m.line_circle_count = m.frame_circle_count = 4;
    m.precompute();
    m.compute_beam_raw(1, 0, 3);
    EXPECT_EQ(m.line_angle, 3.141592653589793 / 2);
    EXPECT_EQ(m.facet, 3u);
    expect_near(of(a.d), {1, 0, 0}, 1e-15);
    m.compute_beam_raw(0, 0, 0);
    EXPECT_EQ(a.d[0], 0.0);
    EXPECT_EQ(a.d[1], 0.0);
    EXPECT_EQ(a.d[2], 1.0);
    m.compute_beam_raw(1, 1, 0); // frame a quarter turn: +y
    expect_near(of(a.d), {0, 1, 0}, 1e-15);
}

TEST(ScanmechBase, SphericalDirectionsAndVertices) {
    rng r;
    arrays a;
    scanmech m(a.o, a.d);
    m.line_circle_count = 360000;
    m.frame_circle_count = 1u << 22;
    m.precompute();
    for (int i = 0; i < 2000; ++i) {
        const unsigned line = r.u32() % m.line_circle_count, frame = r.u32() % m.frame_circle_count;
        m.compute_beam_raw(line, frame, 0);
        const double th = 2 * M_PI * line / 360000.0, ph = 2 * M_PI * frame / double(1u << 22);
        expect_near(of(a.o), {0, 0, 0}, 0);
        expect_near(of(a.d), {std::sin(th) * std::cos(ph), std::sin(th) * std::sin(ph), std::cos(th)});
        EXPECT_NEAR(norm(of(a.d)), 1.0, 1e-14);
        double vtx[3];
        const double range = r.uni(0, 500);
        m.compute_vertex(vtx, range);
        expect_near(of(vtx), range * of(a.d), 1e-12 * range);
    }
}

TEST(ScanmechBase, ZeroCountsGiveNonFiniteBeamsWithoutFailing) {
    arrays a;
    scanmech m(a.o, a.d);
    m.line_circle_count = 0;
    m.precompute();
    EXPECT_TRUE(std::isinf(m.line_unit));
    m.compute_beam_raw(5, 0, 0);
    EXPECT_FALSE(finite(a.d));
}

// ---------------------------------------------------------------- mirror wheel

TEST(ScanmechWheel, DefaultWheelKeepsTheLaserAlongZ) {
    arrays a;
    mirrorwheel w(a.o, a.d);
    EXPECT_EQ(w.kind(), kind_e::mirrorwheel);
    EXPECT_EQ(w.num_facets(), 1u);
    w.line_circle_count = 360;
    w.precompute();
    w.compute_beam_raw(0, 0, 9);
    EXPECT_EQ(w.facet, 0u);
    EXPECT_EQ(w.line_angle, 0.0);
    expect_near(of(a.d), {0, 0, 1}, 0);
    expect_near(of(a.o), {0, 0, 0}, 0);
}

TEST(ScanmechWheel, FacetAndPositionFromTheRawLineCount) {
    arrays a;
    mirrorwheel w(a.o, a.d);
    w.facets.assign(4, mirrorwheel::facet_t{{1, 0, 0}, 0.05});
    w.line_circle_count = 400;
    w.line_angle_0 = 20;
    w.precompute();
    EXPECT_EQ(w.counts_per_facet, 100u);
    w.compute_beam_raw(250, 0, 0);
    EXPECT_EQ(w.facet, 2u);
    EXPECT_DOUBLE_EQ(w.line_angle, 30 * 2 * M_PI / 400);
    w.compute_beam_raw(420, 0, 0);
    EXPECT_EQ(w.facet, 0u);
    // Before line_angle_0 the angle is small and negative, not a wrap through
    // 2^32 counts (400 does not divide 2^32).
    w.compute_beam_raw(405, 0, 0);
    EXPECT_EQ(w.facet, 0u);
    EXPECT_DOUBLE_EQ(w.line_angle, -15 * 2 * M_PI / 400);
}

TEST(ScanmechWheel, BeamsAgreeWithRotatedFacetPlanes) {
    rng r;
    arrays a;
    for (int trial = 0; trial < 20; ++trial) {
        mirrorwheel w(a.o, a.d);
        random_wheel(w, r, 1 + trial % 6);
        w.precompute();
        for (int i = 0; i < 100; ++i) {
            const unsigned line = r.u32(), frame = r.u32();
            w.compute_beam_raw(line, frame, 0);
            const std::uint32_t per = w.line_circle_count / static_cast<std::uint32_t>(w.facets.size());
            ASSERT_EQ(w.facet, (line / per) % w.facets.size());
            const double l = (static_cast<double>(line % per) - w.line_angle_0) * 2 * M_PI / w.line_circle_count;
            const double f = frame * (2 * M_PI / w.frame_circle_count);
            ASSERT_NEAR(w.line_angle, l, 1e-12);
            v3 o, d;
            wheel_reference(w, w.facet, l, f, o, d);
            expect_near(of(a.o), o, 1e-11);
            expect_near(of(a.d), d, 1e-11);
            EXPECT_NEAR(norm(of(a.d)), 1.0, 1e-13);
        }
    }
}

TEST(ScanmechWheel, DegenerateWheelsGiveNaNInsteadOfCrashing) {
    arrays a;
    mirrorwheel w(a.o, a.d);
    w.facets.clear(); // a geometry packet without facets
    w.line_circle_count = 1000;
    w.precompute();
    EXPECT_EQ(w.num_facets(), 0u);
    w.compute_beam_raw(123, 4, 0);
    EXPECT_TRUE(all_nan(a.o));
    EXPECT_TRUE(all_nan(a.d));

    w.facets.assign(3, mirrorwheel::facet_t{{1, 0, 0}, 0});
    w.line_circle_count = 2; // fewer counts than facets
    w.precompute();
    w.compute_beam_raw(1, 0, 0);
    EXPECT_TRUE(all_nan(a.d));

    w.line_circle_count = 3000;
    w.precompute();
    w.compute_beam(7, 0.1, 0.2); // no facet 7
    EXPECT_TRUE(all_nan(a.o));
    EXPECT_TRUE(all_nan(a.d));
    w.compute_beam(2, 0.1, 0.2);
    EXPECT_TRUE(finite(a.d));
}

TEST(ScanmechWheel, CopiesShareTheResultArrays) {
    arrays a;
    scanmech base(a.o, a.d);
    base.line_circle_count = 4000;
    base.frame_circle_count = 8000;
    base.range_unit = 0.25;
    base.precompute();
    base.compute_beam_raw(10, 20, 5);
    const mirrorwheel w(base);
    EXPECT_EQ(&w.origin, &a.o);
    EXPECT_EQ(&w.direction, &a.d);
    EXPECT_EQ(w.line_circle_count, 4000u);
    EXPECT_EQ(w.frame_unit, base.frame_unit);
    EXPECT_EQ(w.range_unit, 0.25);
    EXPECT_EQ(w.facet, 5u);
    EXPECT_EQ(w.line_angle, base.line_angle);
    EXPECT_EQ(w.facets.size(), 1u);
    EXPECT_EQ(w.mirror_axis_direction[1], 1.0);

    mirrorwheel_exitpane p(w);
    p.line_circle_count = 400;
    p.precompute();
    p.compute_beam_raw(1, 0, 0);
    EXPECT_EQ(a.d[0], p.direction[0]);
    EXPECT_EQ(&p.origin, &a.o);
}

// ---------------------------------------------------------------- variants

TEST(ScanmechVariants, ExitPaneShiftsTheBeamAsATracedSlab) {
    rng r;
    arrays a;
    int checked = 0;
    for (int trial = 0; trial < 10; ++trial) {
        mirrorwheel_exitpane p(a.o, a.d);
        EXPECT_EQ(p.kind(), kind_e::mirrorwheel_exitpane);
        random_wheel(p, r, 3);
        p.precompute();
        const double t = r.uni(0.002, 0.02), index = r.uni(1.3, 1.8);
        p.exit_pane_thickness = t;
        p.exit_pane_index = index;
        v3 o0, r0;
        wheel_reference(p, 0, 0.2, 0, o0, r0);
        const v3 e = r.near(r0, 0.5);
        set(p.exit_pane_direction, e);
        p.precompute();
        for (int i = 0; i < 50; ++i) {
            const unsigned facet = i % 3;
            const double l = r.uni(-0.6, 0.6), f = r.uni(-3, 3);
            v3 o, d;
            wheel_reference(p, facet, l, 0, o, d);
            const double c = dotp(d, e);
            if (c < 0.3)
                continue;
            ++checked;
            p.compute_beam(facet, l, f);
            // Slab between the planes e.x = e.o + 0.1 and e.o + 0.1 + t.
            const double lambda = 0.1 / c;
            const v3 entry = o + lambda * d;
            const v3 inside = refract(d, -1.0 * e, 1.0, index);
            const double mu = t / dotp(inside, e);
            const v3 exit = entry + mu * inside;
            const v3 y = exit + 3.0 * d; // a point on the outgoing beam
            const v3 oo = rz(-f, of(a.o));
            expect_near(rz(-f, of(a.d)), d);
            const v3 rel = y - oo;
            const double along = dotp(rel, d);
            // The outgoing beam passes through the shifted origin, and the
            // range to y counts the path inside the pane times its index.
            expect_near(rel - along * d, {0, 0, 0}, 1e-12);
            EXPECT_NEAR(along, lambda + index * mu + 3.0, 1e-12);
        }
    }
    EXPECT_GT(checked, 100);
}

TEST(ScanmechVariants, DeflectionMirrorsTheWheelBeamBeforeTheFrameTurn) {
    rng r;
    arrays a;
    for (int trial = 0; trial < 10; ++trial) {
        mirrorwheel_deflection m(a.o, a.d);
        EXPECT_EQ(m.kind(), kind_e::mirrorwheel_deflection);
        random_wheel(m, r, 1 + trial % 5);
        const v3 dmo = r.vec(0.2), dmd = r.dir();
        set(m.deflection_mirror_origin, dmo);
        set(m.deflection_mirror_direction, dmd);
        m.precompute();
        for (int i = 0; i < 50; ++i) {
            const unsigned facet = r.u32() % m.facets.size();
            const double l = r.uni(-1, 1), f = r.uni(-4, 4);
            m.compute_beam(facet, l, f);
            v3 o, d;
            wheel_reference(m, facet, l, 0, o, d);
            expect_near(of(a.d), rz(f, mirror_dir(d, dmd)), 1e-11);
            expect_near(of(a.o), rz(f, mirror_pt(o, dmo, dmd)), 1e-11);
        }
    }
}

TEST(ScanmechVariants, DeflectionFacetsSplitTheTurnEvenly) {
    arrays a;
    mirrorwheel_deflection m(a.o, a.d);
    m.facets.assign(4, mirrorwheel::facet_t{{1, 0, 0}, 0.05});
    m.line_circle_count = 4000;
    set(m.deflection_mirror_direction, unit({0, -1, -1}));
    m.precompute();
    std::vector<int> count(4);
    int changes = 0;
    unsigned last = 99;
    for (unsigned line = 0; line < 4000; ++line) {
        m.compute_beam_raw(line, 0, 77);
        ASSERT_LT(m.facet, 4u);
        EXPECT_EQ(m.line_angle, line * m.line_unit);
        ++count[m.facet];
        if (m.facet != last)
            ++changes;
        last = m.facet;
    }
    for (int c : count)
        EXPECT_NEAR(c, 1000, 1);
    EXPECT_LE(changes, 5); // one run per facet, the first one possibly split
    // Counts far beyond a turn repeat the facet of the same position.
    m.line_circle_count = 1000;
    m.precompute();
    for (unsigned line : {4000000123u, 4294967295u, 2000000500u}) {
        m.compute_beam_raw(line % 1000, 0, 0);
        const unsigned want = m.facet;
        m.compute_beam_raw(line, 0, 0);
        EXPECT_LT(m.facet, 4u);
        if (line % 250 > 5 && line % 250 < 245) { // clear of a facet edge
            EXPECT_EQ(m.facet, want) << line;
        }
        EXPECT_TRUE(finite(a.d));
    }
}

TEST(ScanmechVariants, NoddingMirrorTurnsWithTheFrame) {
    rng r;
    arrays a;
    for (int trial = 0; trial < 10; ++trial) {
        mirrorwheel_nodding m(a.o, a.d);
        EXPECT_EQ(m.kind(), kind_e::mirrorwheel_nodding);
        EXPECT_EQ(m.nodding_facet.normal[0], 1.0);
        random_wheel(m, r, 2);
        const v3 nao = r.vec(0.2), nad = r.dir(), nn = r.dir();
        set(m.nodding_axis_origin, nao);
        set(m.nodding_axis_direction, nad);
        set(m.nodding_facet.normal, nn);
        m.nodding_facet.dist = r.uni(-0.05, 0.05);
        m.precompute();
        for (int i = 0; i < 50; ++i) {
            const unsigned facet = i % 2;
            const double l = r.uni(-1, 1), f = r.uni(-1, 1);
            m.compute_beam(facet, l, f);
            v3 o, d;
            wheel_reference(m, facet, l, 0, o, d);
            const v3 mm = rot(nad, f, nn);
            const v3 q = nao + m.nodding_facet.dist * mm;
            expect_near(of(a.d), mirror_dir(d, mm), 1e-11);
            expect_near(of(a.o), mirror_pt(o, q, mm), 1e-11);
        }
    }
}

TEST(ScanmechVariants, BiaxialShiftFollowsTheTabulatedRange) {
    rng r;
    arrays a;
    mirrorwheel_biaxial m(a.o, a.d);
    EXPECT_EQ(m.kind(), kind_e::mirrorwheel_biaxial);
    random_wheel(m, r, 3);
    const v3 ap = r.dir();
    set(m.aperture_direction, ap);
    m.biaxial_shift = {{10.0f, 0.5f}};
    m.precompute();
    EXPECT_EQ(m.shift_range_end, 10.0);
    EXPECT_DOUBLE_EQ(m.shift_step, 0.01);
    ASSERT_EQ(m.shift_table.size(), 1000u);
    for (double v : m.shift_table)
        EXPECT_EQ(v, 0.5);

    const double l = 0.3, f = 1.1;
    m.compute_beam(1, l, f);
    const v3 n = rot(of(m.mirror_axis_direction), l, of(m.facets[1].normal));
    const v3 sd = rz(f, mirror_dir(ap, n));
    expect_near(of(m.shift_direction), sd);
    for (double range : {0.5, 5.0, 9.98}) {
        double v[3];
        m.compute_vertex(v, range);
        expect_near(of(v), of(a.o) + range * of(a.d) + 0.5 * sd, 1e-12);
    }
    for (double range : {0.0, -1.0, 9.995, 10.0, 12.0}) {
        double v[3];
        m.compute_vertex(v, range);
        expect_near(of(v), of(a.o) + range * of(a.d), 1e-12);
    }

    // Two pairs: flat, then a ramp; the table interpolates linearly.
    m.biaxial_shift = {{2.0f, 0.0f}, {4.0f, 1.0f}};
    m.precompute();
    m.compute_beam(0, l, f);
    // 2.5 / 0.004 rounds up to 625 while fmod(2.5, 0.004) is almost a whole
    // step: the sample pair must still be the one around 2.5.
    for (double range : {0.3, 1.5, 2.5, 3.0, 3.7}) {
        const double want = range <= 2 ? 0.0 : (range - 2) / 2;
        double v[3];
        m.compute_vertex(v, range);
        const v3 shift = of(v) - (of(a.o) + range * of(a.d));
        EXPECT_NEAR(dotp(shift, of(m.shift_direction)), want, 1e-9) << range;
    }

    // An empty list switches the shift off; a table emptied behind the
    // model's back is not read.
    m.biaxial_shift.clear();
    m.precompute();
    EXPECT_EQ(m.shift_range_end, 0.0);
    m.shift_range_end = 5;
    m.shift_step = 0.005;
    double v[3];
    m.compute_vertex(v, 1.0);
    expect_near(of(v), of(a.o) + of(a.d), 1e-12);
}

namespace {
// R0 * Rz(s) * Ry(t) * R0^-1 applied to v, R0 turning by atan2(Tz, Ty) about T x S.
v3 window_reference(v3 T, v3 S, double t, double s, v3 v) {
    const v3 axis = unit(crossp(T, S));
    const double a0 = std::atan2(T.z, T.y);
    v3 w = rot(axis, -a0, v);
    w = rot({0, 0, 1}, s, rot({0, 1, 0}, t, w));
    return rot(axis, a0, w);
}
} // namespace

TEST(ScanmechVariants, WindowDistortionRotatesInsideTheTable) {
    rng r;
    arrays a;
    mirrorwheel_windowdistortion m(a.o, a.d);
    EXPECT_EQ(m.kind(), kind_e::mirrorwheel_windowdistortion);
    random_wheel(m, r, 2);
    set(m.laser_direction, unit({0.3, 0.2, 1}));
    const double al = 0.4;
    const v3 T = {0, std::cos(al), std::sin(al)}, S = {0, -std::sin(al), std::cos(al)};
    set(m.t_axis, T);
    set(m.s_axis, S);
    const double tr = 0.01, sr = -0.02;
    m.nodes = {{tr, sr}, {tr, sr}, {tr, sr}};
    m.precompute();
    ASSERT_EQ(m.node_rotations.size(), 3u);
    EXPECT_EQ(m.inv_angle_sin_inc, 4.0);
    int inside = 0, outside = 0;
    for (int i = 0; i < 3000; ++i) {
        const unsigned facet = i % 2;
        const double l = r.uni(-3, 3), f = r.uni(-3, 3);
        m.compute_beam(facet, l, f);
        v3 o, d;
        wheel_reference(m, facet, l, f, o, d);
        expect_near(of(a.o), o, 1e-11);
        const double x = dotp(d, S);
        // Nodes at -0.5, -0.25, 0: corrected only strictly between -0.5 and 0.
        if (x > -0.5 + 1e-9 && x < -1e-9) {
            ++inside;
            expect_near(of(a.d), window_reference(T, S, tr, sr, d), 1e-11);
        } else if (x < -0.5 - 1e-9 || x > 1e-9) {
            ++outside;
            expect_near(of(a.d), d, 1e-11);
        }
        EXPECT_NEAR(norm(of(a.d)), 1.0, 1e-13);
    }
    EXPECT_GT(inside, 100);
    EXPECT_GT(outside, 100);

    // Nonsense spacing neither crashes nor corrects.
    m.angle_sin_inc = -0.25;
    m.precompute();
    m.compute_beam(0, 0.1, 0.1);
    EXPECT_TRUE(finite(a.d));
    m.angle_sin_inc = 1e-300;
    m.precompute();
    m.compute_beam(0, 0.1, 0.1);
    EXPECT_TRUE(finite(a.d));
}

TEST(ScanmechVariants, DeflectionWindowDerivesItsAxesFromTheMirror) {
    rng r;
    arrays a;
    mirrorwheel_deflection d(a.o, a.d);
    random_wheel(d, r, 3);
    const v3 dmo = {0.1, 0.2, -0.3};
    set(d.deflection_mirror_origin, dmo);
    set(d.deflection_mirror_direction, r.dir());
    d.precompute();
    mirrorwheel_deflection_windowdistortion m(d);
    EXPECT_EQ(m.kind(), kind_e::mirrorwheel_deflection_windowdistortion);
    const v3 t = unit(dmo);
    expect_near(of(m.t_axis), t, 1e-15);
    expect_near(of(m.s_axis), crossp({1, 0, 0}, t), 1e-15);
    EXPECT_EQ(m.angle_sin_min, -0.5);
    EXPECT_EQ(m.angle_sin_inc, 0.25);
    EXPECT_TRUE(m.nodes.empty());
    // Without nodes the beam is the deflection beam.
    m.compute_beam(1, 0.2, 0.3);
    const v3 o1 = of(a.o), d1 = of(a.d);
    d.compute_beam(1, 0.2, 0.3);
    expect_near(o1, of(a.o), 0);
    expect_near(d1, of(a.d), 0);

    m.nodes = {{0.02, 0.01}, {0.02, 0.01}};
    m.precompute();
    int inside = 0;
    for (int i = 0; i < 2000; ++i) {
        const double l = r.uni(-3, 3), f = r.uni(-3, 3);
        d.compute_beam(i % 3, l, f);
        const v3 want = of(a.d);
        m.compute_beam(i % 3, l, f);
        const double x = dotp(want, of(m.s_axis));
        if (x > -0.5 + 1e-9 && x < -0.25 - 1e-9) {
            ++inside;
            expect_near(of(a.d), window_reference(of(m.t_axis), of(m.s_axis), 0.02, 0.01, want), 1e-11);
        }
    }
    EXPECT_GT(inside, 20);
}

namespace {
// Traces the wedge with unit-vector refraction and plane intersections.
void wedge_reference(const wedge& w, double l, v3& origin, v3& dir) {
    const v3 axis = of(w.wedge_axis_direction);
    const v3 u = rot(axis, l, of(w.facet1_direction));
    const v3 v = rot(axis, l, of(w.facet2_direction));
    const v3 lo = of(w.laser_origin), ld = of(w.laser_direction);
    const double nu = w.refraction_index;
    const v3 p1 = lo + (dotp(of(w.wedge_axis_origin) - lo, u) / dotp(ld, u)) * ld;
    const v3 t1 = refract(ld, u, 1.0, nu);
    const v3 exit_pt = of(w.wedge_axis_origin) - w.facet_distance * axis;
    const v3 p2 = p1 + (dotp(exit_pt - p1, v) / dotp(t1, v)) * t1;
    dir = refract(t1, -1.0 * v, nu, 1.0);
    const double path = norm(p1 - lo) + nu * norm(p2 - p1);
    origin = p2 - path * dir;
}
} // namespace

TEST(ScanmechVariants, WedgeRefractsAsSnellSays) {
    rng r;
    arrays a;
    wedge w(a.o, a.d);
    EXPECT_EQ(w.kind(), kind_e::wedge);
    EXPECT_EQ(w.num_facets(), 0u);
    w.line_circle_count = 1u << 20;
    for (int trial = 0; trial < 20; ++trial) {
        const v3 axis = r.near({0, 0, 1}, 0.1);
        set(w.laser_origin, r.vec(0.01));
        set(w.laser_direction, r.near(axis, 0.05));
        set(w.wedge_axis_origin, 0.05 * axis);
        set(w.wedge_axis_direction, axis);
        set(w.facet1_direction, r.near(-1.0 * axis, 0.3));
        set(w.facet2_direction, r.near(axis, 0.3));
        w.facet_distance = -0.02;
        w.refraction_index = r.uni(1.2, 1.9);
        w.precompute();
        for (int i = 0; i < 30; ++i) {
            const unsigned line = r.u32() % w.line_circle_count;
            w.compute_beam_raw(line, 12345, 9);
            EXPECT_EQ(w.facet, 9u);
            EXPECT_EQ(w.frame_angle, 0.0);
            v3 o, d;
            wedge_reference(w, w.line_angle, o, d);
            expect_near(of(a.d), d, 1e-11);
            expect_near(of(a.o), o, 1e-11);
            EXPECT_NEAR(norm(of(a.d)), 1.0, 1e-13);
        }
    }
}

TEST(ScanmechVariants, WedgeOfIndexOneAndParallelPlateKeepTheDirection) {
    rng r;
    arrays a;
    wedge w(a.o, a.d);
    w.line_circle_count = 1000;
    const v3 ld = r.near({0, 0, 1}, 0.05), lo = r.vec(0.01);
    set(w.laser_origin, lo);
    set(w.laser_direction, ld);
    set(w.wedge_axis_origin, {0, 0, 0.05});
    set(w.wedge_axis_direction, {0, 0, 1});
    set(w.facet1_direction, r.near({0, 0, -1}, 0.2));
    set(w.facet2_direction, r.near({0, 0, 1}, 0.2));
    w.facet_distance = -0.03;
    w.refraction_index = 1.0;
    w.precompute();
    EXPECT_EQ(w.index_term, 0.0);
    w.compute_beam_raw(321, 0, 0);
    expect_near(of(a.d), ld, 1e-15);
    expect_near(of(a.o), lo, 1e-15);

    // A plane-parallel plate turns nothing, whatever its index.
    set(w.facet1_direction, unit({0.1, 0, -1}));
    set(w.facet2_direction, unit({-0.1, 0, 1}));
    w.refraction_index = 1.5;
    w.precompute();
    for (unsigned line : {0u, 250u, 500u, 999u}) {
        w.compute_beam_raw(line, 0, 0);
        expect_near(of(a.d), ld, 1e-14);
    }
}

TEST(ScanmechVariants, GimbalMirrorTurnsAboutBothAxes) {
    rng r;
    arrays a;
    gimbalmountmirror g(a.o, a.d);
    EXPECT_EQ(g.kind(), kind_e::gimbalmountmirror);
    g.line_circle_count = 100000;
    g.frame_circle_count = 70000;
    for (int trial = 0; trial < 10; ++trial) {
        const v3 lo = r.vec(0.1), ld = r.dir(), lmo = r.vec(0.1), lmd = r.dir(), fmo = r.vec(0.1), fmd = r.dir(),
                 fd = r.dir();
        set(g.laser_origin, lo);
        set(g.laser_direction, ld);
        set(g.line_mirror_axis_origin, lmo);
        set(g.line_mirror_axis_direction, lmd);
        set(g.frame_mirror_axis_origin, fmo);
        set(g.frame_mirror_axis_direction, fmd);
        set(g.facet_direction, fd);
        g.facet_distance = r.uni(-0.05, 0.05);
        g.precompute();
        for (int i = 0; i < 30; ++i) {
            g.compute_beam_raw(r.u32() % 100000, r.u32() % 70000, 5);
            EXPECT_EQ(g.facet, 0u);
            const double l = g.line_angle, f = g.frame_angle;
            const v3 m = rot(lmd, l, fd);
            const v3 p = lmo + g.facet_distance * m;
            const v3 m2 = rot(fmd, f, m);
            const v3 p2 = fmo + rot(fmd, f, p - fmo);
            expect_near(of(a.d), mirror_dir(ld, m2), 1e-11);
            expect_near(of(a.o), mirror_pt(lo, p2, m2), 1e-11);
        }
    }
}

TEST(ScanmechVariants, CreateBuildsEveryKindAndRefusesTheOthers) {
    arrays a;
    for (int k : {1, 2, 3, 4, 5, 7, 8, 9, 10}) {
        a.o[0] = 5;
        std::unique_ptr<scanmech> m(scanmech::create(kind_e(k), a.o, a.d));
        EXPECT_EQ(static_cast<int>(m->kind()), k);
        EXPECT_EQ(a.o[0], 0.0);
        EXPECT_EQ(m->line_circle_count, 0xFFFFFFFFu);
        m->compute_beam_raw(1000, 1000, 0);
        EXPECT_TRUE(finite(a.d)) << k;
    }
    for (int k : {0, 6, 11, -1, 1000}) {
        try {
            delete scanmech::create(kind_e(k), a.o, a.d);
            ADD_FAILURE() << k;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "scanmech::create: unknown kind");
        }
    }
    std::unique_ptr<scanmech> g(scanmech::create(kind_e::gimbalmountmirror, a.o, a.d));
    EXPECT_NE(dynamic_cast<gimbalmountmirror*>(g.get()), nullptr);
}

// ---------------------------------------------------------------- JSON form

namespace {

namespace bpt = boost::property_tree;

std::string to_json(const scanmech& m) {
    std::ostringstream os;
    os << m;
    return os.str();
}

void from_json(const std::string& text, scanmech& m) {
    std::istringstream is(text);
    is >> m;
}

// A model of the given kind with every parameter drawn at random.
std::unique_ptr<scanmech> random_model(kind_e k, arrays& a, rng& r) {
    std::unique_ptr<scanmech> m(k == kind_e::unknown ? new scanmech(a.o, a.d) : scanmech::create(k, a.o, a.d));
    m->range_unit = r.uni(1e-4, 1e-3);
    m->line_circle_count = 1000 + r.u32() % (1u << 24);
    m->frame_circle_count = 1000 + r.u32() % (1u << 24);
    if (auto* w = dynamic_cast<mirrorwheel*>(m.get())) {
        random_wheel(*w, r, 1 + r.u32() % 5);
        w->line_angle_0 = -static_cast<std::int32_t>(r.u32() % 5000);
    }
    if (auto* p = dynamic_cast<mirrorwheel_exitpane*>(m.get())) {
        p->exit_pane_thickness = r.uni(0.001, 0.01);
        p->exit_pane_index = r.uni(1.3, 1.7);
        set(p->exit_pane_direction, r.dir());
    }
    if (auto* d = dynamic_cast<mirrorwheel_deflection*>(m.get())) {
        set(d->deflection_mirror_origin, r.vec(0.2));
        set(d->deflection_mirror_direction, r.dir());
    }
    if (auto* b = dynamic_cast<mirrorwheel_biaxial*>(m.get())) {
        set(b->aperture_direction, r.dir());
        b->biaxial_shift.clear();
        float range = 0;
        for (int i = 0; i < 4; ++i)
            b->biaxial_shift.emplace_back(range += static_cast<float>(r.uni(0.5, 3)), static_cast<float>(r.uni(-0.1, 0.1)));
    }
    if (auto* n = dynamic_cast<mirrorwheel_nodding*>(m.get())) {
        set(n->nodding_axis_origin, r.vec(0.2));
        set(n->nodding_axis_direction, r.dir());
        set(n->nodding_facet.normal, r.dir());
        n->nodding_facet.dist = r.uni(-0.1, 0.1);
    }
    auto window = [&](auto* w) {
        set(w->t_axis, r.dir());
        set(w->s_axis, r.dir());
        w->angle_sin_min = r.uni(-0.9, -0.5);
        w->angle_sin_inc = r.uni(0.1, 0.3);
        w->nodes.clear();
        for (int i = 0; i < 8; ++i)
            w->nodes.push_back({r.uni(-0.01, 0.01), r.uni(-0.01, 0.01)});
    };
    if (auto* w = dynamic_cast<mirrorwheel_windowdistortion*>(m.get()))
        window(w);
    if (auto* w = dynamic_cast<mirrorwheel_deflection_windowdistortion*>(m.get()))
        window(w);
    if (auto* w = dynamic_cast<wedge*>(m.get())) {
        set(w->laser_origin, r.vec(0.01));
        set(w->laser_direction, r.near({0, 0, 1}, 0.05));
        set(w->wedge_axis_origin, {0, 0, 0.05});
        set(w->wedge_axis_direction, r.near({0, 0, 1}, 0.05));
        set(w->facet1_direction, r.near({0, 0, -1}, 0.3));
        set(w->facet2_direction, r.near({0, 0, 1}, 0.3));
        w->facet_distance = -r.uni(0.01, 0.03);
        w->refraction_index = r.uni(1.2, 1.9);
    }
    if (auto* g = dynamic_cast<gimbalmountmirror*>(m.get())) {
        set(g->laser_origin, r.vec(0.1));
        set(g->laser_direction, r.dir());
        set(g->line_mirror_axis_origin, r.vec(0.1));
        set(g->line_mirror_axis_direction, r.dir());
        set(g->frame_mirror_axis_origin, r.vec(0.1));
        set(g->frame_mirror_axis_direction, r.dir());
        set(g->facet_direction, r.dir());
        g->facet_distance = r.uni(-0.05, 0.05);
    }
    return m;
}

// precompute of the concrete class.
void ready(scanmech& m) {
    switch (m.kind()) {
    case kind_e::mirrorwheel: dynamic_cast<mirrorwheel&>(m).precompute(); break;
    case kind_e::wedge: dynamic_cast<wedge&>(m).precompute(); break;
    case kind_e::mirrorwheel_exitpane: dynamic_cast<mirrorwheel_exitpane&>(m).precompute(); break;
    case kind_e::mirrorwheel_deflection: dynamic_cast<mirrorwheel_deflection&>(m).precompute(); break;
    case kind_e::mirrorwheel_biaxial: dynamic_cast<mirrorwheel_biaxial&>(m).precompute(); break;
    case kind_e::mirrorwheel_nodding: dynamic_cast<mirrorwheel_nodding&>(m).precompute(); break;
    case kind_e::gimbalmountmirror: dynamic_cast<gimbalmountmirror&>(m).precompute(); break;
    case kind_e::mirrorwheel_deflection_windowdistortion:
        dynamic_cast<mirrorwheel_deflection_windowdistortion&>(m).precompute();
        break;
    case kind_e::mirrorwheel_windowdistortion: dynamic_cast<mirrorwheel_windowdistortion&>(m).precompute(); break;
    default: m.precompute();
    }
}

const kind_e all_kinds[] = {kind_e::unknown,
                            kind_e::mirrorwheel,
                            kind_e::wedge,
                            kind_e::mirrorwheel_exitpane,
                            kind_e::mirrorwheel_deflection,
                            kind_e::mirrorwheel_biaxial,
                            kind_e::mirrorwheel_nodding,
                            kind_e::gimbalmountmirror,
                            kind_e::mirrorwheel_deflection_windowdistortion,
                            kind_e::mirrorwheel_windowdistortion};

const char* name_of(kind_e k) {
    switch (k) {
    case kind_e::unknown: return "unknown";
    case kind_e::mirrorwheel: return "mirrorwheel";
    case kind_e::wedge: return "wedge";
    case kind_e::mirrorwheel_exitpane: return "mirrorwheel_exitpane";
    case kind_e::mirrorwheel_deflection: return "mirrorwheel_deflection";
    case kind_e::mirrorwheel_biaxial: return "mirrorwheel_biaxial";
    case kind_e::mirrorwheel_nodding: return "mirrorwheel_nodding";
    case kind_e::gimbalmountmirror: return "gimbalmountmirror";
    case kind_e::mirrorwheel_deflection_windowdistortion: return "mirrorwheel_deflection_windowdistortion";
    case kind_e::mirrorwheel_windowdistortion: return "mirrorwheel_windowdistortion";
    }
    return "";
}

// Names of the members of the parameter object, in document order.
std::vector<std::string> member_names(const std::string& text, kind_e k) {
    std::istringstream is(text);
    bpt::ptree root;
    bpt::read_json(is, root);
    std::vector<std::string> names;
    for (const auto& c : root.get_child(name_of(k)))
        names.push_back(c.first);
    return names;
}

std::string pointed_mirrorwheel() {
    return R"({"mirrorwheel": {"range_unit": 0.001, "line_circle_count": 400, "frame_circle_count": "1000",
        "laser_origin": [0, 0, 0], "laser_direction": ["0", 0, 1], "mirror_axis_origin": [0, 0, 0],
        "mirror_axis_direction": [0, 1, 0], "line_angle_0": -7,
        "facets": [{"normal": [1, 0, 0], "dist": 0.05}, {"normal": [0, 0, 1], "dist": "0.06"}]},
        "wedge": {"ignored": true}})";
}

} // namespace

TEST(ScanmechJson, EveryKindReadsBackToIdenticalBeams) {
    rng r;
    for (kind_e k : all_kinds) {
        for (int trial = 0; trial < 5; ++trial) {
            arrays a, b;
            auto m = random_model(k, a, r);
            const std::string text = to_json(*m);
            zpktest::write_seed("fuzz_scanmech_json", std::string(name_of(k)) + "_" + std::to_string(trial),
                                std::vector<char>(text.begin(), text.end()));
            auto n = random_model(k, b, r); // other parameters, same kind
            if (auto* bx = dynamic_cast<mirrorwheel_biaxial*>(n.get()))
                bx->biaxial_shift.resize(dynamic_cast<mirrorwheel_biaxial&>(*m).biaxial_shift.size());
            from_json(text, *n);
            EXPECT_EQ(to_json(*n), text) << name_of(k);
            ready(*m); // the read model precomputed itself
            for (int i = 0; i < 20; ++i) {
                const unsigned line = r.u32() % m->line_circle_count, frame = r.u32(), facet = r.u32() % 3;
                const double range = r.uni(0, 12);
                double vm[3], vn[3];
                m->compute_beam_raw(line, frame, facet);
                m->compute_vertex(vm, range);
                n->compute_beam_raw(line, frame, facet);
                n->compute_vertex(vn, range);
                for (int c = 0; c < 3; ++c) {
                    EXPECT_EQ(a.o[c], b.o[c]) << name_of(k);
                    EXPECT_EQ(a.d[c], b.d[c]) << name_of(k);
                    EXPECT_EQ(vm[c], vn[c]) << name_of(k);
                }
                EXPECT_EQ(m->facet, n->facet);
                EXPECT_EQ(m->line_angle, n->line_angle);
            }
        }
    }
}

TEST(ScanmechJson, ABeamDependsOnItsAnglesOnlyNotOnTheBeamsBefore) {
    // Frames repeat in runs, as a slowly turning head gives them, come back
    // to earlier values and are mixed with direct beams: each beam must equal
    // that of a fresh model of the same parameters, to the bit.
    rng r;
    for (kind_e k : all_kinds) {
        arrays a, b;
        auto m = random_model(k, a, r);
        const std::string text = to_json(*m);
        ready(*m);
        const unsigned frames[] = {0, 0, 77, 77, 77, 5, 0, 77, 77, 0x80000000u, 0x80000000u, 5};
        for (unsigned i = 0; i < std::size(frames); ++i) {
            const unsigned line = r.u32() % m->line_circle_count;
            auto n = random_model(k, b, r);
            if (auto* bx = dynamic_cast<mirrorwheel_biaxial*>(n.get()))
                bx->biaxial_shift.resize(dynamic_cast<mirrorwheel_biaxial&>(*m).biaxial_shift.size());
            from_json(text, *n);
            if (i % 4 == 3) {
                const double l = r.uni(0, 6), f = frames[i] * m->frame_unit;
                m->compute_beam(0, l, f);
                n->compute_beam(0, l, f);
            } else {
                m->compute_beam_raw(line, frames[i], 0);
                n->compute_beam_raw(line, frames[i], 0);
            }
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(a.o[c], b.o[c]) << name_of(k) << " beam " << i;
                EXPECT_EQ(a.d[c], b.d[c]) << name_of(k) << " beam " << i;
            }
            EXPECT_EQ(m->sin_frame, n->sin_frame) << name_of(k) << " beam " << i;
            EXPECT_EQ(m->cos_frame, n->cos_frame) << name_of(k) << " beam " << i;
        }
    }
}

TEST(ScanmechJson, WrittenFormMembersAndNumbers) {
    arrays a;
    mirrorwheel_biaxial m(a.o, a.d);
    m.range_unit = 0.1;
    m.line_circle_count = 4000000000u;
    m.line_angle_0 = -12;
    m.biaxial_shift = {{0.1f, 2.0f}};
    m.facets.clear();
    const std::string text = to_json(m);
    EXPECT_EQ(text.rfind("{\n    \"mirrorwheel_biaxial\": {\n        \"range_unit\"", 0), 0u) << text;
    EXPECT_NE(text.find("        \"range_unit\": \"0.10000000000000001\",\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"line_circle_count\": \"4000000000\""), std::string::npos);
    EXPECT_NE(text.find("\"line_angle_0\": \"-12\""), std::string::npos);
    EXPECT_NE(text.find("\"facets\": \"\""), std::string::npos);
    EXPECT_NE(text.find("\"0.100000001\""), std::string::npos);
    EXPECT_NE(text.find("\"laser_direction\": [\n            \"0\",\n            \"0\",\n            \"1\"\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.size() - 9), "\n    }\n}\n");
    EXPECT_EQ(member_names(text, kind_e::mirrorwheel_biaxial),
              (std::vector<std::string>{"range_unit", "line_circle_count", "frame_circle_count", "laser_origin",
                                        "laser_direction", "mirror_axis_origin", "mirror_axis_direction",
                                        "line_angle_0", "facets", "aperture_direction", "biaxial_shift"}));

    // No facets read back as no facets.
    mirrorwheel_biaxial n(a.o, a.d);
    n.biaxial_shift.resize(1);
    from_json(text, n);
    EXPECT_TRUE(n.facets.empty());
    EXPECT_EQ(n.line_angle_0, -12);
    EXPECT_EQ(n.biaxial_shift[0].first, 0.1f);

    scanmech base(a.o, a.d);
    EXPECT_EQ(member_names(to_json(base), kind_e::unknown),
              (std::vector<std::string>{"range_unit", "line_circle_count", "frame_circle_count"}));
    wedge w(a.o, a.d);
    EXPECT_EQ(member_names(to_json(w), kind_e::wedge),
              (std::vector<std::string>{"range_unit", "line_circle_count", "frame_circle_count", "laser_origin",
                                        "laser_direction", "wedge_axis_origin", "wedge_axis_direction",
                                        "facet1_direction", "facet2_direction", "facet_distance", "refraction_index"}));
    mirrorwheel_deflection_windowdistortion dw(a.o, a.d);
    const auto names = member_names(to_json(dw), kind_e::mirrorwheel_deflection_windowdistortion);
    EXPECT_EQ(std::vector<std::string>(names.begin() + 9, names.end()),
              (std::vector<std::string>{"deflection_mirror_origin", "deflection_mirror_direction", "t_axis", "s_axis",
                                        "angle_sin_min", "angle_sin_inc", "nodes"}));
    mirrorwheel_nodding nd(a.o, a.d);
    const std::string ntext = to_json(nd);
    EXPECT_NE(ntext.find("\"nodding_facet\": {\n            \"normal\": ["), std::string::npos) << ntext;
}

TEST(ScanmechJson, ReaderAcceptsNumbersAndStringsAndIgnoresOtherKinds) {
    arrays a;
    mirrorwheel m(a.o, a.d);
    from_json(pointed_mirrorwheel(), m);
    EXPECT_EQ(m.line_circle_count, 400u);
    EXPECT_EQ(m.frame_circle_count, 1000u);
    EXPECT_EQ(m.line_angle_0, -7);
    ASSERT_EQ(m.facets.size(), 2u); // grew from one
    EXPECT_EQ(m.facets[1].dist, 0.06);
    EXPECT_EQ(m.facets[1].normal[2], 1.0);
    // Read runs precompute: two facets of 200 counts.
    EXPECT_EQ(m.counts_per_facet, 200u);
    m.compute_beam_raw(393, 0, 0);
    EXPECT_EQ(m.facet, 1u);
    EXPECT_DOUBLE_EQ(m.line_angle, M_PI); // (193 + 7) of 400 counts

    // Fewer facets shrink the list; non-finite values read back.
    std::string text = pointed_mirrorwheel();
    text.replace(text.find(", {\"normal\": [0, 0, 1]"), std::string(", {\"normal\": [0, 0, 1], \"dist\": \"0.06\"}").size(), "");
    text.replace(text.find("0.001"), 5, "\"nan\"");
    text.replace(text.find("[0, 0, 0]"), 9, "[\"-inf\", 1, 2, 99]");
    from_json(text, m);
    EXPECT_EQ(m.facets.size(), 1u);
    EXPECT_TRUE(std::isnan(m.range_unit));
    EXPECT_EQ(m.laser_origin[0], -HUGE_VAL);
    EXPECT_EQ(m.laser_origin[2], 2.0);

    // Kind 0 reads only the three base members.
    scanmech base(a.o, a.d);
    from_json(R"({"unknown": {"range_unit": "0.5", "line_circle_count": 4, "frame_circle_count": 8}})", base);
    EXPECT_EQ(base.range_unit, 0.5);
    EXPECT_DOUBLE_EQ(base.line_unit, M_PI / 2);
    EXPECT_DOUBLE_EQ(base.frame_unit, M_PI / 4);
}

TEST(ScanmechJson, NodesAndShifts) {
    arrays a;
    mirrorwheel_windowdistortion w(a.o, a.d);
    w.nodes = {{0.1, 0.2}};
    std::string text = to_json(w);
    const auto at = text.find("        \"nodes\"");
    ASSERT_NE(at, std::string::npos);
    std::string no_nodes = text.substr(0, at);
    no_nodes.erase(no_nodes.find_last_of(','));
    no_nodes += "}}";
    w.nodes = {{1, 2}, {3, 4}};
    from_json(no_nodes, w);
    EXPECT_TRUE(w.nodes.empty());
    EXPECT_TRUE(w.node_rotations.empty());

    mirrorwheel_biaxial b(a.o, a.d);
    b.biaxial_shift = {{1, 0.1f}, {2, 0.2f}, {3, 0.3f}};
    text = to_json(b);
    b.biaxial_shift = {{5, 0.5f}, {6, 0.6f}};
    from_json(text, b); // longer array: only the list's two entries change
    ASSERT_EQ(b.biaxial_shift.size(), 2u);
    EXPECT_EQ(b.biaxial_shift[1], (std::pair<float, float>(2, 0.2f)));
    EXPECT_EQ(b.shift_range_end, 2.0);

    // Out-of-range numbers become infinite floats.
    std::string big = text;
    big.replace(big.find("\"0.100000001\""), 13, "1e300");
    from_json(big, b);
    EXPECT_EQ(b.biaxial_shift[0].second, HUGE_VALF);

    // Too few pairs, or a pair without its shift, is refused.
    b.biaxial_shift.resize(4);
    EXPECT_THROW(from_json(text, b), bpt::ptree_bad_data);
    b.biaxial_shift.resize(1);
    std::string half = text;
    const auto p = half.find("\"biaxial_shift\"");
    half.replace(half.find(",\n                \"0.100000001\"", p), std::string(",\n                \"0.100000001\"").size(), "");
    EXPECT_THROW(from_json(half, b), bpt::ptree_bad_data) << half;
}

namespace {
struct liar : scanmech {
    using scanmech::scanmech;
    kind_e kind() const override { return kind_e::mirrorwheel; }
};
struct kind_six : scanmech {
    using scanmech::scanmech;
    kind_e kind() const override { return kind_e(6); }
};
} // namespace

TEST(ScanmechJson, MalformedDocumentsRaiseTheDocumentedErrors) {
    arrays a;
    mirrorwheel m(a.o, a.d);
    m.line_circle_count = 360;
    m.precompute();
    const std::string good = to_json(m);

    EXPECT_THROW(from_json("{\"mirrorwheel\": ", m), bpt::json_parser_error);
    EXPECT_THROW(from_json("not json", m), bpt::json_parser_error);
    EXPECT_THROW(from_json(good + "x", m), bpt::json_parser_error);
    EXPECT_THROW(from_json("", m), bpt::json_parser_error);

    // A document of another kind: the model is unchanged.
    mirrorwheel_exitpane p(a.o, a.d);
    p.line_circle_count = 77;
    try {
        from_json(good, p);
        ADD_FAILURE();
    } catch (const bpt::ptree_bad_path& e) {
        EXPECT_NE(std::string(e.what()).find("mirrorwheel_exitpane"), std::string::npos);
    }
    EXPECT_EQ(p.line_circle_count, 77u);

    auto without = [&](const std::string& member) {
        std::istringstream is(good);
        bpt::ptree root;
        bpt::read_json(is, root);
        root.get_child("mirrorwheel").erase(member);
        std::ostringstream os;
        bpt::write_json(os, root);
        return os.str();
    };
    for (const char* member : {"range_unit", "line_circle_count", "frame_circle_count", "laser_origin",
                               "mirror_axis_direction", "line_angle_0", "facets"})
        EXPECT_THROW(from_json(without(member), m), bpt::ptree_bad_path) << member;

    auto with = [&](const std::string& from, const std::string& to) {
        std::string t = good;
        const auto at = t.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return t.replace(at, from.size(), to);
    };
    EXPECT_THROW(from_json(with("\"360\"", "\"many\""), m), bpt::ptree_bad_data);
    EXPECT_THROW(from_json(with("\"360\"", "-1"), m), bpt::ptree_bad_data);
    EXPECT_THROW(from_json(with("\"360\"", "4294967296"), m), bpt::ptree_bad_data);
    EXPECT_THROW(from_json(with("\"360\"", "3.5"), m), bpt::ptree_bad_data);
    EXPECT_THROW(from_json(with("\"line_angle_0\": \"0\"", "\"line_angle_0\": 2147483648"), m), bpt::ptree_bad_data);
    EXPECT_THROW(from_json(with("\"range_unit\": \"1\"", "\"range_unit\": true"), m), bpt::ptree_bad_data);
    EXPECT_THROW(from_json(with("\"range_unit\": \"1\"", "\"range_unit\": [1]"), m), bpt::ptree_bad_data);
    EXPECT_THROW(from_json(with("\"facets\": [", "\"facets\": \"x\", \"f\": ["), m), bpt::ptree_bad_data);
    // A vector of two numbers is refused, not read past.
    const std::string two = R"({"mirrorwheel": {"range_unit": 1, "line_circle_count": 1, "frame_circle_count": 1,
        "laser_origin": [0, 0]}})";
    EXPECT_THROW(from_json(two, m), bpt::ptree_bad_data);
    EXPECT_THROW(from_json(with("\"dist\": \"0\"", "\"dist\": {}"), m), bpt::ptree_bad_data);

    // Nesting beyond any real document is refused before it reaches the parser.
    const std::string deep = "{\"mirrorwheel\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_THROW(from_json(deep, m), bpt::json_parser_error);
    const std::string quoted = "{\"x\": \"" + std::string(1000, '[') + "\\\"\", " + good.substr(1);
    EXPECT_NO_THROW(from_json(quoted, m));

    // A class that does not match its kind.
    liar l(a.o, a.d);
    EXPECT_THROW(from_json(good, l), std::bad_cast);
    std::ostringstream os;
    EXPECT_THROW(os << l, std::bad_cast);
    EXPECT_TRUE(os.str().empty());

    // A kind without a form: an empty object, and reading changes nothing.
    kind_six six(a.o, a.d);
    EXPECT_EQ(to_json(six), "{\n}\n");
    six.range_unit = 3;
    from_json(good, six);
    EXPECT_EQ(six.range_unit, 3.0);
    EXPECT_THROW(from_json("[", six), bpt::json_parser_error);
}
