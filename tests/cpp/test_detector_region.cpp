#include <doctest/doctest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "detector/region.hpp"
#include "reference_stages.hpp"
#include "test_detector_support.hpp"

using namespace trevalin;
using detector_test::grow_region;
using detector_test::grow_region_sum;
using detector_test::same_bits;

namespace {

constexpr double kPi8 = 0.39269908169872414;

struct Grid {
    std::size_t w, h;
    std::vector<Px> field;
    std::vector<std::uint8_t> used;
    Grid(std::size_t w_, std::size_t h_) : w(w_), h(h_), field(w_ * h_, Px{0, 0, 0}), used(w_ * h_, 1) {}
    // A free pixel of the given strength and level-line angle.
    void set(std::size_t x, std::size_t y, double angle, float norm = 10.0f) {
        field[y * w + x] = {norm, float(std::cos(angle)), float(std::sin(angle))};
        used[y * w + x] = 0;
    }
    std::uint32_t at(std::size_t x, std::size_t y) const { return std::uint32_t(y * w + x); }
};

}  // namespace

TEST_CASE("grow_region collects aligned free neighbours breadth first") {
    SUBCASE("an isolated seed is a one-pixel region with its own angle") {
        Grid g(5, 5);
        g.set(2, 2, 2.0);
        g.set(3, 2, 2.0 + 0.5);  // misaligned neighbour
        std::vector<std::uint32_t> region{99, 98};
        const double a = grow_region(g.at(2, 2), g.field.data(), g.used.data(), region, kPi8, g.w, g.h);
        CHECK(region == std::vector<std::uint32_t>{g.at(2, 2)});
        CHECK(same_bits(a, std::atan2(double(g.field[12].uy), double(g.field[12].ux))));
        CHECK(g.used[g.at(2, 2)] == 1);
        CHECK(g.used[g.at(3, 2)] == 0);
    }
    SUBCASE("visiting order around interior and border pixels") {
        Grid g(4, 3);
        for (std::size_t y = 0; y < 3; ++y)
            for (std::size_t x = 0; x < 4; ++x) g.set(x, y, 0.3);
        std::vector<std::uint32_t> region;
        grow_region(g.at(1, 1), g.field.data(), g.used.data(), region, kPi8, g.w, g.h);
        // Interior seed: its eight neighbours in row order, then (3, 0), (3, 1),
        // (3, 2) reached from (2, 0) through the clipped border walk.
        CHECK(region == std::vector<std::uint32_t>{5, 0, 1, 2, 4, 6, 8, 9, 10, 3, 7, 11});
        for (std::uint8_t u : g.used) CHECK(u == 1);
    }
    SUBCASE("a neighbour whose dot product equals the threshold joins") {
        // tau = 0: the threshold is exactly the length of the direction sum.
        Grid g(4, 1);
        g.field[0] = {10.0f, 1.0f, 0.0f};
        g.field[1] = {10.0f, 1.0f, 0.0f};                          // dot 1 = threshold 1
        g.field[2] = {10.0f, 1.0f, 0.0f};                          // dot 2 = threshold 2
        g.field[3] = {10.0f, std::nextafter(1.0f, 0.0f), 0.0f};  // just below
        g.used = {0, 0, 0, 0};
        std::vector<std::uint32_t> region;
        grow_region(0, g.field.data(), g.used.data(), region, 0.0, g.w, g.h);
        CHECK(region == std::vector<std::uint32_t>{0, 1, 2});
        CHECK(g.used[3] == 0);
    }
    SUBCASE("regions along the image border never leave the image") {
        Grid g(6, 4);
        for (std::size_t x = 0; x < 6; ++x) g.set(x, 0, 0.0), g.set(x, 3, 0.0);
        for (std::size_t y = 0; y < 4; ++y) g.set(0, y, 0.0), g.set(5, y, 0.0);
        std::vector<std::uint32_t> region;
        grow_region(g.at(5, 3), g.field.data(), g.used.data(), region, kPi8, g.w, g.h);
        CHECK(region.size() == 16);
        CHECK(region[0] == g.at(5, 3));
        CHECK(region[1] == g.at(5, 2));  // the row above first
        CHECK(region[2] == g.at(4, 3));
    }
}

TEST_CASE("region_to_rect fits centroid, axis and extents") {
    Grid g(10, 10);
    SUBCASE("one pixel") {
        g.set(4, 6, 0.1);
        const std::vector<std::uint32_t> region{g.at(4, 6)};
        const Rect r = region_to_rect(region, g.field.data(), g.w, 0.1, 0.125);
        CHECK(r.x1 == 4.0);
        CHECK(r.x2 == 4.0);
        CHECK(r.y1 == 6.0);
        CHECK(r.y2 == 6.0);
        CHECK(r.width == 1.0);
        CHECK(r.dx == 1.0);
        CHECK(r.prec == kPi8);
        CHECK(r.p == 0.125);
        // A region angle far from 0 turns the axis by pi.
        const Rect turned = region_to_rect(region, g.field.data(), g.w, 2.0, 0.5);
        CHECK(turned.dx == -1.0);
        CHECK(turned.p == 0.5);
    }
    SUBCASE("a horizontal run lies along x, first end point on the side the angle points away from") {
        std::vector<std::uint32_t> region;
        for (std::size_t x = 2; x <= 7; ++x) {
            g.set(x, 5, 0.0);
            region.push_back(g.at(x, 5));
        }
        const Rect r = region_to_rect(region, g.field.data(), g.w, 0.0, 0.125);
        CHECK(r.dx == doctest::Approx(1.0));
        CHECK(r.x1 == doctest::Approx(2.0));
        CHECK(r.x2 == doctest::Approx(7.0));
        CHECK(r.y1 == doctest::Approx(5.0));
        CHECK(r.width == 1.0);
        // The product moment is -0 here (negated sum), so the axis comes out
        // as -pi, turned to exactly 0: the end points stay exactly on the row.
        CHECK(r.dy == 0.0);
        CHECK(r.y1 == 5.0);
        CHECK(r.y2 == 5.0);
        const Rect back = region_to_rect(region, g.field.data(), g.w, 3.0, 0.125);
        CHECK(back.x1 == doctest::Approx(7.0));
        CHECK(back.x2 == doctest::Approx(2.0));
    }
    SUBCASE("the width is the full spread across, centred on the centroid line") {
        // A long row at y = 2 and a single heavy-free pixel at y = 5: the
        // centre line stays through the centroid, the width spans both sides.
        std::vector<std::uint32_t> region;
        for (std::size_t x = 0; x < 10; ++x) {
            g.set(x, 2, 0.0);
            region.push_back(g.at(x, 2));
        }
        g.set(5, 5, 0.0);
        region.push_back(g.at(5, 5));
        const Rect r = region_to_rect(region, g.field.data(), g.w, 0.0, 0.125);
        const double cx = 50.0 / 11.0, cy = 25.0 / 11.0;
        // The centroid lies on the centre line.
        CHECK((r.x2 - r.x1) * (cy - r.y1) - (r.y2 - r.y1) * (cx - r.x1) == doctest::Approx(0.0).epsilon(1e-9));
        CHECK(r.width > 3.0);
        CHECK(r.width < 3.15);
    }
}

TEST_CASE("the axis turns by pi only when it is more than pi/8 from the region angle") {
    // A vertical run: the axis before orientation is atan2(-Ixx, +0) = -pi/2.
    Grid g(10, 10);
    std::vector<std::uint32_t> region;
    for (std::size_t y = 2; y <= 7; ++y) {
        g.set(4, y, 0.0);
        region.push_back(g.at(4, y));
    }
    const double axis = -1.5707963267948966;
    const double at_limit = axis + kPi8;
    REQUIRE(axis - at_limit == -kPi8);
    const Rect kept = region_to_rect(region, g.field.data(), g.w, at_limit, 0.125);
    CHECK(kept.dy == -1.0);
    CHECK(kept.y1 == doctest::Approx(7.0));
    const Rect turned = region_to_rect(region, g.field.data(), g.w, std::nextafter(at_limit, 1.0), 0.125);
    CHECK(turned.dy == 1.0);
    CHECK(turned.y1 == doctest::Approx(2.0));
}

namespace {

// Region growing with the threshold recomputed by hypot at every join.
double reference_grow(std::uint32_t seed, const std::vector<Px>& field, std::vector<std::uint8_t>& used,
                      std::vector<std::uint32_t>& region, double tau, long w, long h) {
    region.assign(1, seed);
    used[seed] = 1;
    const double c = std::cos(tau);
    double sx = field[seed].ux, sy = field[seed].uy, t = c;
    for (std::size_t pos = 0; pos < region.size(); ++pos) {
        const long x = long(region[pos] % w), y = long(region[pos] / w);
        for (long yy = std::max(y - 1, 0L); yy <= std::min(y + 1, h - 1); ++yy)
            for (long xx = std::max(x - 1, 0L); xx <= std::min(x + 1, w - 1); ++xx) {
                const std::size_t r = std::size_t(yy * w + xx);
                if (used[r]) continue;
                const double dot = sx * field[r].ux + sy * field[r].uy;
                if (t > dot) continue;
                used[r] = 1;
                region.push_back(std::uint32_t(r));
                sx += field[r].ux;
                sy += field[r].uy;
                t = std::hypot(sx, sy) * c;
            }
    }
    return std::atan2(sy, sx);
}

}  // namespace

TEST_CASE("grow_region equals growing with the threshold recomputed at every join") {
    std::mt19937 rng(21);
    const long w = 41, h = 29;
    for (int round = 0; round < 60; ++round) {
        // Smoothly varying directions, some of them exact copies, and a few taken pixels.
        std::vector<Px> field(w * h);
        std::uniform_real_distribution<double> jitter(-0.3, 0.3);
        const double base = jitter(rng) * 10.0;
        for (long y = 0; y < h; ++y)
            for (long x = 0; x < w; ++x) {
                const double a = base + 0.02 * double(x) - 0.03 * double(y) + (round % 3 == 0 ? 0.0 : jitter(rng));
                field[y * w + x] = {10.0f, float(std::cos(a)), float(std::sin(a))};
            }
        std::vector<std::uint8_t> used(w * h, 0);
        for (std::size_t i = 0; i < used.size(); i += 7 + round % 5) used[i] = 1;
        std::vector<std::uint8_t> used_ref = used;
        const double tau = round % 4 == 0 ? 0.0 : round % 4 == 1 ? 2.5 : std::uniform_real_distribution<double>(0.05, 0.6)(rng);
        std::uint32_t seed = std::uint32_t(rng() % (w * h));
        while (used[seed]) seed = (seed + 1) % std::uint32_t(w * h);
        std::vector<std::uint32_t> got, ref;
        const double a = grow_region(seed, field.data(), used.data(), got, tau, w, h);
        const double b = reference_grow(seed, field, used_ref, ref, tau, w, h);
        CHECK(got == ref);
        CHECK(same_bits(a, b));
        CHECK(used == used_ref);
    }
}

TEST_CASE("pixel positions and interior columns without a division agree with quotient and remainder") {
    std::mt19937 rng(5);
    const std::uint32_t widths[] = {1, 2, 3, 7, 64, 640, 1535, 1536, 65535, 65536, 100003, 0x7FFFFFFFu, 0xFFFFFFFFu};
    for (std::uint32_t w : widths) {
        CAPTURE(w);
        const PixelGrid grid(w);
        std::vector<std::uint32_t> indices = {0, 1, w - 1, w, 0xFFFFFFFFu, 0xFFFFFFFEu};
        if (w < 0x80000000u) indices.push_back(2 * w - 1);
        for (int i = 0; i < 2000; ++i) indices.push_back(static_cast<std::uint32_t>(rng()));
        for (std::uint32_t i : indices) {
            const PixelXY at = grid.xy(i);
            CHECK(at.x == i % w);
            CHECK(at.y == i / w);
            if (i != 0xFFFFFFFFu) CHECK(grid.inside_columns(i) == (i % w >= 1 && std::uint64_t{i % w} + 2 <= w));
        }
    }
}

TEST_CASE("interior pixels see their neighbours' used bytes, whatever their value") {
    // Neighbourhoods taken one byte at a time, with taken bytes of any nonzero
    // value, against a walk that tests each neighbour on its own.
    std::mt19937 rng(8);
    for (int round = 0; round < 200; ++round) {
        const std::size_t w = 3 + rng() % 9, h = 3 + rng() % 7;
        Grid g(w, h);
        for (std::size_t y = 0; y < h; ++y)
            for (std::size_t x = 0; x < w; ++x) g.set(x, y, 0.3 + 0.01 * double(rng() % 5));
        for (auto& u : g.used) u = rng() % 3 == 0 ? std::uint8_t(1 + rng() % 255) : 0;
        std::uint32_t seed = std::uint32_t(rng() % (w * h));
        while (g.used[seed]) seed = (seed + 1) % std::uint32_t(w * h);
        std::vector<std::uint8_t> used_ref = g.used;
        std::vector<std::uint32_t> got, ref;
        const double a = grow_region(seed, g.field.data(), g.used.data(), got, kPi8, w, h);
        const double b = reference_grow(seed, g.field, used_ref, ref, kPi8, long(w), long(h));
        CHECK(got == ref);
        CHECK(same_bits(a, b));
        CHECK(g.used == used_ref);
    }
}

TEST_CASE("growing with a given cosine returns the sum whose angle grow_region gives") {
    std::mt19937 rng(34);
    const long w = 23, h = 17;
    for (int round = 0; round < 80; ++round) {
        std::vector<Px> field(w * h);
        std::uniform_real_distribution<double> jitter(-0.4, 0.4);
        const double base = jitter(rng) * 8.0;
        for (long i = 0; i < w * h; ++i) {
            const double a = base + 0.04 * double(i % w) + jitter(rng);
            // Some exact zeros: the sum may come back to (0, 0) or (-0, ...).
            field[i] = rng() % 11 == 0 ? Px{0.0f, 0.0f, 0.0f} : Px{5.0f, float(std::cos(a)), float(std::sin(a))};
        }
        std::vector<std::uint8_t> used(w * h, 0);
        for (std::size_t i = rng() % 5; i < used.size(); i += 5 + round % 7) used[i] = 1;
        std::vector<std::uint8_t> used_sum = used;
        const double tau = round % 5 == 0 ? 0.0 : round % 5 == 1 ? 3.2 : std::uniform_real_distribution<double>(0.05, 1.0)(rng);
        std::uint32_t seed = std::uint32_t(rng() % (w * h));
        while (used[seed]) seed = (seed + 1) % std::uint32_t(w * h);
        std::vector<std::uint32_t> plain, summed{7, 7, 7};
        const double a = grow_region(seed, field.data(), used.data(), plain, tau, w, h);
        const DirectionSum s = grow_region_sum(seed, field.data(), used_sum.data(), summed, std::cos(tau), w, h);
        CHECK(plain == summed);
        CHECK(used == used_sum);
        CHECK(same_bits(a, s.angle()));
        // The sum is the plain float-to-double sum in joining order.
        double sx = 0.0, sy = 0.0;
        for (std::uint32_t i : summed) {
            sx += field[i].ux;
            sy += field[i].uy;
        }
        CHECK(same_bits(sx, s.sx));
        CHECK(same_bits(sy, s.sy));
    }
}

namespace {

// The rectangle fit with every position recomputed from the index in each pass.
Rect reference_rect(const std::vector<std::uint32_t>& region, const std::vector<Px>& field, std::uint32_t w,
                    double angle, double p) {
    constexpr double pi = std::numbers::pi;
    double sum_w = 0.0, sum_x = 0.0, sum_y = 0.0;
    for (std::uint32_t i : region) {
        const double wt = field[i].norm;
        sum_w += wt;
        sum_x += wt * double(i % w);
        sum_y += wt * double(i / w);
    }
    const double cx = sum_x / sum_w, cy = sum_y / sum_w;
    double ixx = 0.0, iyy = 0.0, sxy = 0.0;
    for (std::uint32_t i : region) {
        const double wt = field[i].norm;
        const double ex = double(i % w) - cx, ey = double(i / w) - cy;
        ixx += wt * (ey * ey);
        iyy += wt * (ex * ex);
        sxy += wt * ex * ey;
    }
    const double ixy = -sxy;
    const double d = ixx - iyy;
    const double lambda = ((ixx + iyy) - std::sqrt(4.0 * (ixy * ixy) + d * d)) * 0.5;
    double theta = std::fabs(ixx - lambda) > std::fabs(iyy - lambda) ? std::atan2(lambda - ixx, ixy)
                                                                      : std::atan2(ixy, lambda - iyy);
    double diff = theta - angle;
    while (diff <= -pi) diff += 2.0 * pi;
    while (diff > pi) diff -= 2.0 * pi;
    if (std::fabs(diff) > kPi8) theta += pi;
    const double dx = std::cos(theta), dy = std::sin(theta);
    double l_min = 0.0, l_max = 0.0, t_min = 0.0, t_max = 0.0;
    for (std::uint32_t i : region) {
        const double ex = double(i % w) - cx, ey = double(i / w) - cy;
        const double l = dx * ex + dy * ey, t = dx * ey - dy * ex;
        if (l < l_min) l_min = l;
        if (l > l_max) l_max = l;
        if (t < t_min) t_min = t;
        if (t > t_max) t_max = t;
    }
    const double across = t_max - t_min;
    return Rect{cx + l_min * dx, cy + l_min * dy, cx + l_max * dx, cy + l_max * dy, across >= 1.0 ? across : 1.0,
                dx, dy, kPi8, p};
}

// Whether `r` is the fit of the region as worked out another way, in long
// double: the axis is the direction of greatest weighted spread,
// half of atan2(2 Sxy, Sxx - Syy) (either way along it; checked only where
// the spread has a clear direction), and the end points and width are the
// extents of the pixels along and across it about the centroid.
void check_fit(const Rect& r, const std::vector<std::uint32_t>& region, const std::vector<Px>& field,
               std::uint32_t w) {
    long double sw = 0, sx = 0, sy = 0;
    for (std::uint32_t i : region) {
        sw += field[i].norm;
        sx += field[i].norm * (long double)(i % w);
        sy += field[i].norm * (long double)(i / w);
    }
    if (!std::isfinite(sw) || !(sw > 0)) return;
    const long double cx = sx / sw, cy = sy / sw;
    long double sxx = 0, syy = 0, sxy = 0;
    for (std::uint32_t i : region) {
        const long double ex = (long double)(i % w) - cx, ey = (long double)(i / w) - cy;
        sxx += field[i].norm * ex * ex;
        syy += field[i].norm * ey * ey;
        sxy += field[i].norm * ex * ey;
    }
    const long double gap = std::hypot(sxx - syy, 2 * sxy);
    if (gap > 1e-3L * (sxx + syy)) {
        const long double phi = 0.5L * std::atan2(2 * sxy, sxx - syy);
        CHECK(std::fabs(r.dx * std::sin(phi) - r.dy * std::cos(phi)) < 1e-9L);
    }
    long double l_min = 0, l_max = 0, t_min = 0, t_max = 0;
    for (std::uint32_t i : region) {
        const long double ex = (long double)(i % w) - cx, ey = (long double)(i / w) - cy;
        l_min = std::min(l_min, r.dx * ex + r.dy * ey);
        l_max = std::max(l_max, r.dx * ex + r.dy * ey);
        t_min = std::min(t_min, r.dx * ey - r.dy * ex);
        t_max = std::max(t_max, r.dx * ey - r.dy * ex);
    }
    CHECK(std::fabs(r.x1 - (cx + l_min * r.dx)) < 1e-9L);
    CHECK(std::fabs(r.y1 - (cy + l_min * r.dy)) < 1e-9L);
    CHECK(std::fabs(r.x2 - (cx + l_max * r.dx)) < 1e-9L);
    CHECK(std::fabs(r.y2 - (cy + l_max * r.dy)) < 1e-9L);
    CHECK(std::fabs(r.width - std::max(t_max - t_min, 1.0L)) < 1e-9L);
}

}  // namespace

TEST_CASE("region_to_rect equals the fit that recomputes each position in every pass, and the fit worked out another way") {
    std::mt19937 rng(55);
    for (int round = 0; round < 300; ++round) {
        const std::uint32_t w = 1 + rng() % 97, h = 1 + rng() % 61;
        std::vector<Px> field(std::size_t(w) * h);
        for (auto& px : field) {
            const int kind = int(rng() % 13);
            // Mostly ordinary weights, some zero, some tiny or huge, one NaN now and then.
            const float norm = kind == 0 ? 0.0f : kind == 1 ? 1e-30f : kind == 2 ? 3e30f
                             : kind == 3 && round % 9 == 0 ? std::nanf("") : float(1 + rng() % 1000) / 7.0f;
            px = {norm, 0.6f, 0.8f};
        }
        std::vector<std::uint32_t> region;
        const std::size_t n = 1 + rng() % (round % 4 == 0 ? 5 : 400);
        for (std::size_t k = 0; k < n; ++k) region.push_back(std::uint32_t(rng() % field.size()));
        if (round % 5 == 0) {  // a thin line along a row, or a column
            region.clear();
            const std::uint32_t y = rng() % h;
            for (std::uint32_t x = 0; x < w; ++x) region.push_back(y * w + x);
        }
        const double angle = std::uniform_real_distribution<double>(-4.0, 4.0)(rng);
        const Rect got = region_to_rect(region, field.data(), w, angle, 0.125);
        const Rect ref = reference_rect(region, field, w, angle, 0.125);
        CAPTURE(round);
        CHECK(same_bits(got.x1, ref.x1));
        CHECK(same_bits(got.y1, ref.y1));
        CHECK(same_bits(got.x2, ref.x2));
        CHECK(same_bits(got.y2, ref.y2));
        CHECK(same_bits(got.width, ref.width));
        CHECK(same_bits(got.dx, ref.dx));
        CHECK(same_bits(got.dy, ref.dy));
        check_fit(got, region, field, w);
        // A large region, then a small one: the kept positions of the first never leak into the second.
        if (round % 7 == 0) {
            const std::vector<std::uint32_t> one{region[0]};
            const Rect small = region_to_rect(one, field.data(), w, angle, 0.125);
            const Rect small_ref = reference_rect(one, field, w, angle, 0.125);
            CHECK(same_bits(small.x1, small_ref.x1));
            CHECK(same_bits(small.dx, small_ref.dx));
            CHECK(same_bits(small.width, small_ref.width));
        }
    }
}
