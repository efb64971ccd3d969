// Region growing from a seed over the used map, and the rectangle fitted to a region.
#include "detector/region.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <numbers>
#include <utility>
#include <vector>

#include "sample/numeric.hpp"
#include "sample/panic.hpp"

namespace trevalin {

namespace {

// Two doubles worked on lane by lane: the same operations, in the same
// order, as on each alone.
using Pair = double __attribute__((vector_size(16)));

// A region pixel's position (then its offset from the centroid) and weight.
using Offset = PixelPoint;

// The free neighbours of an interior pixel p as bits in visiting order (bits
// 0, 1, 2 the row above, 4 and 6 the left and right neighbours, 9, 10, 11
// the row below).
unsigned free_around(const UsedBits& used, std::size_t p, std::size_t w) {
    const unsigned taken = used.three(p - w - 1) | used.three(p - 1) << 4 | used.three(p + w - 1) << 9;
    return ~taken & 0xE57u;  // bit 5 is p itself
}

// free_around for a pixel on the border of a width x height grid, the
// neighbours outside it left out.
[[gnu::noinline]] unsigned free_around_border(const UsedBits& used, const PixelGrid& grid, std::uint32_t p,
                                              std::size_t w, std::size_t h) {
    constexpr unsigned kRowBit[3] = {0, 4, 9};  // the bit of each row's left neighbour
    const PixelXY at = grid.xy(p);
    const std::size_t x = at.x, y = at.y;
    const std::size_t y0 = y > 0 ? y - 1 : 0, y1 = y + 1 < h ? y + 1 : h - 1;
    const std::size_t x0 = x > 0 ? x - 1 : 0, x1 = x + 1 < w ? x + 1 : w - 1;
    unsigned free = 0;
    for (std::size_t yy = y0; yy <= y1; ++yy)
        for (std::size_t xx = x0; xx <= x1; ++xx)
            if (!used.taken(yy * w + xx)) free |= 1u << (kRowBit[yy + 1 - y] + (xx + 1 - x));
    return free;
}

}  // namespace

UsedBits::UsedBits(Buffer<std::uint64_t> words, std::size_t pixels) : words_(std::move(words)) {
    if (words_.size() < pixels / 64 + 2 || words_[pixels / 64 + 1] != 0) panic("used map: too few words");
}

std::uint32_t index_width(std::uint64_t width) {
    if (width == 0 || width > 0xFFFFFFFFu) panic("pixel grid width outside the 32-bit index range");
    return static_cast<std::uint32_t>(width);
}

GrowthGrid::GrowthGrid(std::uint64_t w, std::uint64_t h)
    : width(w), height(h), pixels(mul_count(w, h)), xy(w), inside_rows(h > 2 ? (h - 2) * w : 0) {
    const std::ptrdiff_t sw = static_cast<std::ptrdiff_t>(w);
    by_bit[0] = -sw - 1;
    by_bit[1] = -sw;
    by_bit[2] = -sw + 1;
    by_bit[4] = -1;
    by_bit[6] = 1;
    by_bit[9] = sw - 1;
    by_bit[10] = sw;
    by_bit[11] = sw + 1;
}

namespace {

// The exact threshold hypot(sx, sy) * c, out of line and cold: rarely asked
// for, and with the tests inlined around it, growth keeps its range and
// threshold in registers instead of on the stack.
[[gnu::noinline, gnu::cold]] double exact_threshold(double sx, double sy, double c) { return std::hypot(sx, sy) * c; }

// Not vectorised by pairs: see the direction sum below.
[[gnu::optimize("no-tree-slp-vectorize")]]
DirectionSum grow(std::uint32_t seed, const Px* field, UsedBits& used, std::vector<std::uint32_t>& region, double cos_tau,
                  std::uint64_t width, std::uint64_t height, std::size_t limit) {
    const GrowthGrid& g = used.growth_grid(width, height);
    const std::size_t w = width, h = height;
    const PixelGrid grid = g.xy;
    const std::uint64_t pixels = g.pixels;
    const std::size_t inside_rows = g.inside_rows;
    const std::ptrdiff_t* const by_bit = g.by_bit;
    if (seed >= pixels) panic("grow_region: seed outside the image");

    region.clear();
    region.push_back(seed);
    used.take(seed);

    const double c = cos_tau;
    // The seed's vector counts as unit length: the threshold starts at c itself.
    // (Sx, Sy) as two doubles, not one pair of lanes: a pair lives across the
    // loop's calls (cold as they are), and GCC gives a vector live across a
    // call no register at all, so it would be loaded at every test and stored
    // at every join, on the path from one join to the next test. For the
    // same reason the function is kept from vectorising the two back into a
    // pair.
    double sx = field[seed].ux, sy = field[seed].uy;

    // The threshold hypot(Sx, Sy) * c changes with every pixel that joins, but
    // almost every test is decided far from it. So a join only takes the cheap
    // estimate (Sx^2 + Sy^2) * c^2 of its square, a few ulps from the square
    // of the threshold and free of a square root on the path from one join to
    // the next test; the exact value is computed when the square of a
    // positive dot product falls within a wide margin of the estimate (or the
    // estimate leaves the range where squares of normal numbers are exact to
    // a few ulps). Squares keep the order of positive values only: a
    // tolerance of a right angle or more (c <= 0, met when refinement widens
    // it) computes every threshold exactly.
    //
    // Every test compares the signed square dot * |dot| with [low, high]:
    // below rejects, above accepts, within asks the threshold itself. With
    // the estimate that range is its margin; with the exact threshold t it
    // is the signed square of t alone, which decides as t does (a rounded
    // signed square never decreases as its argument grows, so a smaller one
    // comes from a smaller value) and leaves ties to t.
    auto signed_square = [](double v) __attribute__((always_inline)) { return v * std::fabs(v); };
    const double c2 = c * c;
    const bool positive_c = c > 0.0;
    double threshold = c;  // exact when `exact` is set
    bool exact = true;
    double low = signed_square(c), high = low;
    auto set_exact = [&]() __attribute__((always_inline)) {
        threshold = exact_threshold(sx, sy, c);
        exact = true;
        low = high = signed_square(threshold);
    };
    auto rejects = [&](double dot) __attribute__((always_inline)) {
        // A negative dot product (below the positive threshold) falls below
        // the estimate too. The threshold is at least 2^-400 c with an
        // estimate, far above any dot product whose square is below the
        // estimate's margin.
        const double square = signed_square(dot);
        if (square < low) return true;
        if (square > high) return false;
        if (!exact) set_exact();
        return threshold > dot;
    };

    // A region that goes on in the direction of a join soon asks for the
    // records a few steps further that way. Addresses are worked out as
    // integers: near the border they fall outside the field, which a
    // prefetch ignores.
    const std::uintptr_t field_at = reinterpret_cast<std::uintptr_t>(field);
    const std::uintptr_t row_bytes = w * sizeof(Px);
    constexpr std::size_t kStepsAhead = 8;
    auto fetch = [](std::uintptr_t at) __attribute__((always_inline)) {
        __builtin_prefetch(reinterpret_cast<const void*>(at));
    };

    // Called for free neighbours only; most neighbours are taken, and that
    // test stays in the loop. `step` is the offset from the pixel whose
    // neighbour it is.
    auto visit_free = [&](std::size_t r, std::ptrdiff_t step) __attribute__((always_inline)) {
        const double ux = field[r].ux, uy = field[r].uy;
        const double dot = sx * ux + sy * uy;
        if (rejects(dot)) return;
        used.take(r);
        region.push_back(static_cast<std::uint32_t>(r));
        const std::uintptr_t at = field_at + r * sizeof(Px);
        fetch(at + static_cast<std::uintptr_t>(step) * (kStepsAhead * sizeof(Px)));
        // Its neighbours are visited when the walk reaches it, and theirs
        // soon after: the three records of the rows above and below are
        // fetched whole (they may straddle two lines), those two rows away
        // in part.
        const std::uintptr_t above = at - row_bytes, below = at + row_bytes;
        fetch(above - sizeof(Px));
        fetch(above + 2 * sizeof(Px) - 1);
        fetch(above - row_bytes);
        fetch(below - sizeof(Px));
        fetch(below + 2 * sizeof(Px) - 1);
        fetch(below + row_bytes);
        sx += ux;
        sy += uy;
        const double square = sx * sx + sy * sy;
        if (positive_c && square > 0x1p-800 && square < 0x1p800) {
            const double estimate = square * c2;
            const double margin = 0x1p-30 * estimate;
            low = estimate - margin;
            high = estimate + margin;
            exact = false;
        } else {
            set_exact();
        }
    };

    // The list grows while it is walked; index, not iterator, since it may reallocate.
    for (std::size_t pos = 0; pos < region.size(); ++pos) {
        if (region.size() > limit) break;
        const std::uint32_t p = region[pos];
        // Off the last row, p + 1 stays below 2^32 as inside_columns asks.
        const bool inside = p - w < inside_rows && grid.inside_columns(p);
        // The neighbours are distinct pixels, so a join among them leaves the
        // others as free or taken as they were: one look at the map serves
        // all eight, visited in increasing bit order.
        for (unsigned free = inside ? free_around(used, p, w) : free_around_border(used, grid, p, w, h); free != 0;
             free &= free - 1) {
            const std::ptrdiff_t step = by_bit[static_cast<unsigned>(__builtin_ctz(free))];
            visit_free(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(p) + step), step);
        }
    }
    return {sx, sy};
}

}  // namespace

DirectionSum grow_region_sum(std::uint32_t seed, const Px* field, UsedBits& used, std::vector<std::uint32_t>& region,
                             double cos_tau, std::uint64_t width, std::uint64_t height, std::size_t limit) {
    return grow(seed, field, used, region, cos_tau, width, height, limit);
}

namespace {

// The fit in three passes over the region. With `at` (room for every pixel),
// each pixel's position is worked out once: the first pass keeps it, the
// second turns it into the offset from the centroid, which the third reads.
// Without, every pass works the position out again from the index (the same
// values, so the same sums), and the fit needs no memory of its own however
// large the region. With `given` (the positions in the region's order, with
// `at`), the first pass reads them and the second writes the offsets to `at`.
Rect fit_rect(const std::uint32_t* region, std::size_t n, const Px* field, std::uint64_t width, double angle,
              double p, Offset* at, const Offset* given = nullptr) {
    const PixelGrid grid(width);
    auto position = [&](std::size_t k) {
        const std::uint32_t i = region[k];
        const PixelXY xy = grid.xy(i);
        return Offset{static_cast<double>(xy.x), static_cast<double>(xy.y), static_cast<double>(field[i].norm)};
    };

    // Sums along x and y side by side, each in the order of the region.
    double sum_w = 0.0;
    Pair sum_xy = {0.0, 0.0};
    if (given) {
        for (std::size_t k = 0; k < n; ++k) {
            const Offset o = given[k];
            sum_w += o.wt;
            sum_xy += o.wt * Pair{o.x, o.y};
        }
    } else {
        for (std::size_t k = 0; k < n; ++k) {
            const Offset o = position(k);
            if (at) at[k] = o;
            sum_w += o.wt;
            sum_xy += o.wt * Pair{o.x, o.y};
        }
    }
    const double cx = sum_xy[0] / sum_w;
    const double cy = sum_xy[1] / sum_w;

    const Pair centre = {cx, cy};
    Pair moments = {0.0, 0.0};  // iyy, then ixx
    double sxy = 0.0;
    const Offset* const kept = given ? given : at;
    for (std::size_t k = 0; k < n; ++k) {
        const Offset o = kept ? kept[k] : position(k);
        const double wt = o.wt;
        const Pair e = Pair{o.x, o.y} - centre;  // ex, ey
        if (at) {
            at[k].x = e[0];
            at[k].y = e[1];
        }
        moments += wt * (e * e);
        sxy += wt * e[0] * e[1];
    }
    const double iyy = moments[0], ixx = moments[1];
    // Negated after summing: for a region along a row or a column the sum is
    // +0 and the product moment -0, which picks atan2's branch below.
    const double ixy = -sxy;

    // Smaller eigenvalue of the inertia matrix; its eigenvector is the axis.
    const double d = ixx - iyy;
    const double lambda = ((ixx + iyy) - std::sqrt(4.0 * (ixy * ixy) + d * d)) * 0.5;
    double theta = std::fabs(ixx - lambda) > std::fabs(iyy - lambda) ? std::atan2(lambda - ixx, ixy)
                                                                      : std::atan2(ixy, lambda - iyy);

    // The axis has two directions; take the one that agrees with the region angle.
    double diff = theta - angle;
    while (diff <= -std::numbers::pi) diff += 2.0 * std::numbers::pi;
    while (diff > std::numbers::pi) diff -= 2.0 * std::numbers::pi;
    if (std::fabs(diff) > kTau) theta += std::numbers::pi;

    const double dx = std::cos(theta);
    const double dy = std::sin(theta);

    // Extents start at 0 so the centroid always lies within them; NaN leaves
    // them as they are. Two pixels at a time (the last one twice for an odd
    // count), each lane keeping the extremes of its own pixels: any nonzero
    // extreme has one value, and a zero one is the +0 it started as, so the
    // lanes' extremes give those of the plain walk.
    const Pair along_x = {dx, dx}, along_y = {dy, dy};
    Pair l_low = {0.0, 0.0}, l_high = l_low, t_low = l_low, t_high = l_low;
    for (std::size_t k = 0; k < n; k += 2) {
        const std::size_t k1 = k + 1 < n ? k + 1 : k;
        Pair ex, ey;
        if (at) {
            ex = Pair{at[k].x, at[k1].x};
            ey = Pair{at[k].y, at[k1].y};
        } else {
            const PixelXY xy0 = grid.xy(region[k]), xy1 = grid.xy(region[k1]);
            ex = Pair{static_cast<double>(xy0.x), static_cast<double>(xy1.x)} - cx;
            ey = Pair{static_cast<double>(xy0.y), static_cast<double>(xy1.y)} - cy;
        }
        const Pair l = along_x * ex + along_y * ey;
        const Pair t = along_x * ey - along_y * ex;
        l_low = l < l_low ? l : l_low;
        l_high = l > l_high ? l : l_high;
        t_low = t < t_low ? t : t_low;
        t_high = t > t_high ? t : t_high;
    }
    const double l_min = l_low[1] < l_low[0] ? l_low[1] : l_low[0];
    const double l_max = l_high[1] > l_high[0] ? l_high[1] : l_high[0];
    const double t_min = t_low[1] < t_low[0] ? t_low[1] : t_low[0];
    const double t_max = t_high[1] > t_high[0] ? t_high[1] : t_high[0];

    const double across = t_max - t_min;
    return Rect{cx + l_min * dx,
                cy + l_min * dy,
                cx + l_max * dx,
                cy + l_max * dy,
                across >= 1.0 ? across : 1.0,
                dx,
                dy,
                kTau,
                p};
}

}  // namespace

Rect region_to_rect(std::span<const std::uint32_t> region, const Px* field, std::uint64_t width, double angle,
                    double p) {
    // Most regions are small and keep their positions on the stack; a large
    // one works them out in each pass instead, which costs less than the
    // memory to keep them would (fresh pages, on a region of millions).
    constexpr std::size_t kOnStack = 1024;
    const std::size_t n = region.size();
    if (n > kOnStack) return fit_rect(region.data(), n, field, width, angle, p, nullptr);
    Offset on_stack[kOnStack];
    return fit_rect(region.data(), n, field, width, angle, p, on_stack);
}

Rect points_to_rect(std::span<const PixelPoint> points, double angle, double p) {
    if (points.size() > kPointsFit) panic("rectangle fit: too many points");
    Offset offsets[kPointsFit];
    // No index is read when the points are given.
    return fit_rect(nullptr, points.size(), nullptr, 1, angle, p, offsets, points.data());
}

}  // namespace trevalin
