// Scoring a rectangle: its aligned pixels counted and the log-NFA of that count.
#include "detector/nfa.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "detector/lanes.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

double log_nt(std::uint64_t width, std::uint64_t height) {
    // The constant is log10(11).
    return 2.5 * (std::log10(static_cast<double>(width)) + std::log10(static_cast<double>(height))) +
           1.041392685158225;
}

std::uint64_t min_region_size(double log_nt) {
    // The divisor is log10(8) = -log10(kAlignedProbability).
    return to_u64_sat(std::ceil(log_nt / 0.9030899869919435));
}

namespace {

// Smallest x in [lo, hi] with pred(x), or hi + 1 when there is none, for a
// predicate that is false up to some point and true from there on. Starts at
// `guess` and gallops, so a good guess costs two or three tests and a bad one
// a logarithmic number.
template <class Pred>
std::int64_t first_true(std::int64_t lo, std::int64_t hi, double guess, Pred pred) {
    std::int64_t g;
    if (!(guess >= static_cast<double>(lo))) g = lo;  // also NaN
    else if (!(guess <= static_cast<double>(hi))) g = hi;
    else g = static_cast<std::int64_t>(guess);

    std::int64_t no, yes;  // pred(no) false (or no == lo - 1), pred(yes) true (or yes == hi + 1)
    if (pred(g)) {
        yes = g;
        std::int64_t step = 1;
        for (;;) {
            const std::int64_t probe = yes - step;
            if (probe < lo) {
                no = lo - 1;
                break;
            }
            if (!pred(probe)) {
                no = probe;
                break;
            }
            yes = probe;
            step *= 2;
        }
    } else {
        no = g;
        std::int64_t step = 1;
        for (;;) {
            const std::int64_t probe = no + step;
            if (probe > hi) {
                yes = hi + 1;
                break;
            }
            if (pred(probe)) {
                yes = probe;
                break;
            }
            no = probe;
            step *= 2;
        }
    }
    while (yes - no > 1) {
        const std::int64_t mid = no + (yes - no) / 2;
        if (pred(mid)) yes = mid;
        else no = mid;
    }
    return yes;
}

// m^e by repeated squaring, least significant bit first.
double powi(double m, std::uint64_t e) {
    double r = 1.0;
    for (;;) {
        if (e & 1) r *= m;
        e >>= 1;
        if (e == 0) break;
        m *= m;
    }
    return r;
}

// A record aligned with (dx, dy), tested as the vector lanes test it.
inline std::uint64_t aligned_px(const Px& q, float rho, float dx, float dy, float cp) {
    return static_cast<std::uint64_t>(q.norm > rho) & static_cast<std::uint64_t>(q.ux * dx + q.uy * dy >= cp);
}

// A vector of records at a time while a whole one fits, each lane testing one record as
// aligned_px does for each of the T bounds cp: plain single-precision
// products and sum (no FMA is enabled here). Returns the records done.
template <class F, std::size_t T>
[[gnu::always_inline]] inline std::size_t count_aligned_lanes(const Px* row, std::size_t count, float rho, float dx,
                                                              float dy, const float (&cp)[T],
                                                              std::uint64_t (&aligned)[T]) {
    static_assert(sizeof(Px) == 3 * sizeof(float));
    constexpr std::size_t n = lanes::kCount<F>;
    using I = lanes::MaskOf<F>;
    I total[T] = {};  // minus the aligned lanes seen, per lane
    std::size_t x = 0;
    for (; x + n <= count; x += n) {
        const float* f = &row[x].norm;
        const F norm = lanes::every_third<F, 0>(f), ux = lanes::every_third<F, 1>(f), uy = lanes::every_third<F, 2>(f);
        const F dot = ux * dx + uy * dy;
        const I strong = norm > rho;
        for (std::size_t t = 0; t < T; ++t) total[t] += strong & (dot >= cp[t]);
    }
    // A run lies within one row of an image of fewer than 2^32 pixels: no lane overflows.
    for (std::size_t t = 0; t < T; ++t)
        for (std::size_t i = 0; i < n; ++i) aligned[t] += static_cast<std::uint32_t>(-total[t][i]);
    return x;
}

// Adds to aligned[t] the records among row[0..count) whose norm is above rho
// and whose direction has a dot product of at least cp[t] with (dx, dy), both
// products and their sum taken in single precision in that order: whole
// vectors of F, then the last records one at a time.
template <class F, std::size_t T>
[[gnu::always_inline]] inline void count_aligned_runs(const Px* row, std::size_t count, float rho, float dx, float dy,
                                                      const float (&cp)[T], std::uint64_t (&aligned)[T]) {
    const std::size_t x = count_aligned_lanes<F, T>(row, count, rho, dx, dy, cp, aligned);
    count_aligned_lanes<lanes::One<F>, T>(row + x, count - x, rho, dx, dy, cp, aligned);
}

// The vectors of the two ways of counting, for the vectors W of an
// instruction set: runs are short (eight lanes at most), boxes narrow (four
// at most).
template <class W>
using RunLanes = lanes::Vec<float, std::min<std::size_t>(2 * W::doubles, 8)>;
template <class W>
using BoxLanes = lanes::Vec<double, std::min<std::size_t>(W::doubles, 4)>;

// For each of W widths, the pixels inside a rectangle (n) and, for each of T
// tolerances, those aligned within it (k).
template <std::size_t W, std::size_t T>
struct AlignedCounts {
    std::uint64_t n[W] = {};
    std::uint64_t k[W][T] = {};
};

// The pixels that may lie inside a rectangle: rows y_lo..y_hi, columns
// x_lo..x_hi (none when a low bound is above its high one).
struct Box {
    std::uint64_t x_lo, x_hi, y_lo, y_hi;
    bool has_row(std::uint64_t y) const { return y_lo <= y && y <= y_hi; }
};

// What the pixel-by-pixel scan of a box needs, in the types the tests take,
// for W half-widths hw: the box of the first width holds the boxes of the
// others, and a pixel counts for a width when it lies in that width's box.
template <std::size_t W, std::size_t T>
struct BoxScan {
    double xc, yc, dx, dy, hl;
    double hw[W];
    Box box[W];
    float rho, dxs, dys;
    float cp[T];
};

// Columns lo..hi of one row of the box of each width, as doubles: those of
// the first width are the row's columns scanned; the rows a box does not
// reach have no columns.
template <std::size_t W>
struct RowColumns {
    double lo[W], hi[W];

    template <std::size_t T>
    RowColumns(const BoxScan<W, T>& s, std::uint64_t y) {
        for (std::size_t j = 1; j < W; ++j) {
            const bool in = s.box[j].has_row(y);
            lo[j] = in ? static_cast<double>(s.box[j].x_lo) : 1.0;
            hi[j] = in ? static_cast<double>(s.box[j].x_hi) : 0.0;
        }
    }
};

// Whether pixel x of a row is inside the rectangle of each width and whether
// it is aligned, added to `count`; along_y and across_y are the row's share
// of the tests.
template <std::size_t W, std::size_t T>
inline void scan_px(const BoxScan<W, T>& s, const RowColumns<W>& cols, const Px* row, std::int64_t x, double along_y,
                    double across_y, AlignedCounts<W, T>& count) {
    const double rel = static_cast<double>(x) - s.xc;
    const double xd = static_cast<double>(x);
    const std::uint64_t along_in = static_cast<std::uint64_t>(std::fabs(s.dx * rel + along_y) <= s.hl);
    const double across = std::fabs(across_y - s.dy * rel);
    std::uint64_t aligned[T];
    for (std::size_t t = 0; t < T; ++t) aligned[t] = aligned_px(row[x], s.rho, s.dxs, s.dys, s.cp[t]);
    for (std::size_t j = 0; j < W; ++j) {
        std::uint64_t inside = along_in & static_cast<std::uint64_t>(across <= s.hw[j]);
        if (j > 0) inside &= static_cast<std::uint64_t>(cols.lo[j] <= xd) & static_cast<std::uint64_t>(xd <= cols.hi[j]);
        count.n[j] += inside;
        for (std::size_t t = 0; t < T; ++t) count.k[j][t] += inside & aligned[t];
    }
}

// Every pixel of the first box, a vector of columns at a time: the inside
// tests in double lanes, the alignment test in float lanes, each lane
// computing what scan_px computes; the last columns of a row that do not
// fill a vector go through scan_px. (The kernel run a lane at a time would
// serve as well, but GCC keeps one-lane vectors of the box scan on the stack
// and moves every inside test through integer registers: a fifth more
// instructions in this function on photographs.)
template <class D, std::size_t W, std::size_t T>
[[gnu::always_inline]] inline AlignedCounts<W, T> scan_box_lanes(const BoxScan<W, T>& s, const Px* field,
                                                                 std::uint64_t width) {
    constexpr std::size_t lanes_n = lanes::kCount<D>;
    using F = lanes::Vec<float, lanes_n>;
    using M = lanes::MaskOf<D>;
    const Box& box = s.box[0];
    D x_first;
    for (std::size_t i = 0; i < lanes_n; ++i) x_first[i] = static_cast<double>(box.x_lo) + static_cast<double>(i);
    const M magnitude = lanes::splat<M>(0x7FFF'FFFF'FFFF'FFFF);
    const std::int64_t lo = static_cast<std::int64_t>(box.x_lo), hi = static_cast<std::int64_t>(box.x_hi);
    M n[W] = {}, k[W][T] = {};  // minus the counts, per lane
    AlignedCounts<W, T> tail;
    for (std::uint64_t y = box.y_lo; y <= box.y_hi; ++y) {
        const double ry = static_cast<double>(y) - s.yc;
        const double along_y = s.dy * ry, across_y = s.dx * ry;
        const Px* row = field + y * width;
        const RowColumns<W> cols(s, y);
        D xs = x_first;
        std::int64_t x = lo;
        for (; x + static_cast<std::int64_t>(lanes_n) - 1 <= hi; x += lanes_n) {
            const D rel = xs - s.xc;
            const D along = lanes::as<D>(lanes::as<M>(s.dx * rel + along_y) & magnitude);
            const D across = lanes::as<D>(lanes::as<M>(across_y - s.dy * rel) & magnitude);
            const M along_in = along <= s.hl;
            const float* f = &row[x].norm;
            const F norm = lanes::every_third<F, 0>(f), ux = lanes::every_third<F, 1>(f),
                    uy = lanes::every_third<F, 2>(f);
            const F dot = ux * s.dxs + uy * s.dys;
            M aligned[T];
            for (std::size_t t = 0; t < T; ++t) aligned[t] = __builtin_convertvector((norm > s.rho) & (dot >= s.cp[t]), M);
            for (std::size_t j = 0; j < W; ++j) {
                M inside = along_in & (across <= s.hw[j]);
                if (j > 0) inside &= (xs >= cols.lo[j]) & (xs <= cols.hi[j]);
                n[j] += inside;
                for (std::size_t t = 0; t < T; ++t) k[j][t] += inside & aligned[t];
            }
            xs += static_cast<double>(lanes_n);
        }
        for (; x <= hi; ++x) scan_px(s, cols, row, x, along_y, across_y, tail);
    }
    for (std::size_t j = 0; j < W; ++j)
        for (std::size_t i = 0; i < lanes_n; ++i) {
            tail.n[j] -= static_cast<std::uint64_t>(n[j][i]);
            for (std::size_t t = 0; t < T; ++t) tail.k[j][t] -= static_cast<std::uint64_t>(k[j][t][i]);
        }
    return tail;
}

// The counts of the boxes of `s` that count_aligned_each finds run by run:
// the inside run of each row and width found by searching its bounds, then
// its records counted a vector of F at a time. The runs of the widths in a
// row lie each within the one before: the records of the innermost one are
// counted, then those of each ring around it.
template <class F, std::size_t W, std::size_t T>
[[gnu::always_inline]] inline AlignedCounts<W, T> count_box_runs(const BoxScan<W, T>& s, const Px* field,
                                                                 std::uint64_t width) {
    const double xc = s.xc, yc = s.yc, dx = s.dx, dy = s.dy, hl = s.hl;
    const Box& box = s.box[0];
    const std::int64_t lo = static_cast<std::int64_t>(box.x_lo), hi = static_cast<std::int64_t>(box.x_hi);
    const double inv_dx = 1.0 / dx, inv_dy = 1.0 / dy;

    AlignedCounts<W, T> count;
    for (std::uint64_t y = box.y_lo; y <= box.y_hi; ++y) {
        const double ry = static_cast<double>(y) - yc;
        const double along_y = dy * ry;
        const double across_y = dx * ry;
        auto along = [&](std::int64_t x) { return dx * (static_cast<double>(x) - xc) + along_y; };
        auto across = [&](std::int64_t x) { return across_y - dy * (static_cast<double>(x) - xc); };
        auto above_low_l = [&](std::int64_t x) { return along(x) >= -hl; };
        auto below_high_l = [&](std::int64_t x) { return along(x) <= hl; };
        auto not_ = [](auto pred) { return [pred](std::int64_t x) { return !pred(x); }; };
        // The columns from `from` to `to` where |across| <= hw, as s2..e2.
        // Estimates only, so reciprocals serve: first_true finds the same
        // bound from any starting point.
        std::int64_t s2[W], e2[W];
        auto across_run = [&](std::size_t j, std::int64_t from, std::int64_t to) {
            const double hw = s.hw[j];
            auto above_low_t = [&](std::int64_t x) { return across(x) >= -hw; };
            auto below_high_t = [&](std::int64_t x) { return across(x) <= hw; };
            const double at_low_t = xc + (across_y + hw) * inv_dy;
            const double at_high_t = xc + (across_y - hw) * inv_dy;
            if (dy >= 0.0) {  // across shrinks as x grows
                s2[j] = first_true(from, to, std::ceil(at_high_t), below_high_t);
                e2[j] = first_true(from, to, std::floor(at_low_t) + 1.0, not_(above_low_t)) - 1;
            } else {
                s2[j] = first_true(from, to, std::ceil(at_low_t), above_low_t);
                e2[j] = first_true(from, to, std::floor(at_high_t) + 1.0, not_(below_high_t)) - 1;
            }
        };
        across_run(0, lo, hi);
        if (s2[0] > e2[0]) continue;
        // A narrower width's columns lie within the first one's.
        for (std::size_t j = 1; j < W; ++j) across_run(j, s2[0], e2[0]);
        // Away from the ends of a long rectangle both bounds along it hold at
        // both ends of the run across it, and so (each holding on a prefix or
        // a suffix) all over it: that run is the row's.
        std::int64_t s1, e1;
        auto along_holds = [&](std::int64_t x) { return above_low_l(x) && below_high_l(x); };
        if (along_holds(s2[0]) && along_holds(e2[0])) {
            s1 = s2[0];
            e1 = e2[0];
        } else {
            const double at_low_l = xc + (-hl - along_y) * inv_dx;
            const double at_high_l = xc + (hl - along_y) * inv_dx;
            if (dx >= 0.0) {  // along grows with x
                s1 = first_true(lo, hi, std::ceil(at_low_l), above_low_l);
                e1 = first_true(lo, hi, std::floor(at_high_l) + 1.0, not_(below_high_l)) - 1;
            } else {
                s1 = first_true(lo, hi, std::ceil(at_high_l), below_high_l);
                e1 = first_true(lo, hi, std::floor(at_low_l) + 1.0, not_(above_low_l)) - 1;
            }
        }
        // Whether a pixel is aligned is close to random from one pixel to the
        // next: counted without branches.
        auto add_aligned = [&](std::int64_t from, std::int64_t to, std::uint64_t(&aligned)[T]) {
            if (from <= to)
                count_aligned_runs<F, T>(field + y * width + from, static_cast<std::size_t>(to - from + 1), s.rho,
                                         s.dxs, s.dys, s.cp, aligned);
        };
        std::int64_t inner_first = 0, inner_last = -1;  // the run of the width after j, none yet
        std::uint64_t aligned[T] = {};
        for (std::size_t j = W; j-- > 0;) {
            std::int64_t first = std::max(s1, s2[j]);
            std::int64_t last = std::min(e1, e2[j]);
            if (j > 0) {
                if (!s.box[j].has_row(y)) continue;
                first = std::max(first, static_cast<std::int64_t>(s.box[j].x_lo));
                last = std::min(last, static_cast<std::int64_t>(s.box[j].x_hi));
            }
            if (first > last) continue;
            if (W == 1) {
                count.n[j] += static_cast<std::uint64_t>(last - first + 1);
                add_aligned(first, last, count.k[j]);
                continue;
            }
            if (inner_first > inner_last) {
                add_aligned(first, last, aligned);
            } else {
                // A ring is a pixel or two at each end.
                const Px* row = field + y * width;
                for (std::int64_t x = first; x < inner_first; ++x)
                    for (std::size_t t = 0; t < T; ++t) aligned[t] += aligned_px(row[x], s.rho, s.dxs, s.dys, s.cp[t]);
                for (std::int64_t x = inner_last + 1; x <= last; ++x)
                    for (std::size_t t = 0; t < T; ++t) aligned[t] += aligned_px(row[x], s.rho, s.dxs, s.dys, s.cp[t]);
            }
            inner_first = first;
            inner_last = last;
            count.n[j] += static_cast<std::uint64_t>(last - first + 1);
            for (std::size_t t = 0; t < T; ++t) count.k[j][t] += aligned[t];
        }
    }
    return count;
}

// Boxes at most this wide are scanned pixel by pixel; wider ones look for the
// inside run of each row first. The searches' branches go either way at
// random: up to 20 columns, scanning every pixel costs a few more
// instructions than the searches and mispredicts a third fewer branches in
// scoring on photographs.
constexpr std::uint64_t kDirectScanWidth = 20;

// The counts of `rect` with each of the widths widths[j] in place of
// rect.width and each of the tolerances precs[t] in place of rect.prec.
// Widths after the first are counted in the first one's pass when they are
// finite and do not grow, and the rectangle's centre, half length and axis
// are finite: then each width's box lies within the one before (every value
// it is computed from moves the same way or not at all), and a narrower
// width's inside pixels are among a wider one's.
template <std::size_t W, std::size_t T>
AlignedCounts<W, T> count_aligned_each(const Rect& rect, const double (&widths)[W], const double (&precs)[T],
                                       const Px* field, std::uint64_t width, std::uint64_t height, float rho) {
    const double xc = (rect.x1 + rect.x2) * 0.5;
    const double yc = (rect.y1 + rect.y2) * 0.5;
    const double hl = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1) * 0.5;
    const double dx = rect.dx, dy = rect.dy;
    if constexpr (W > 1) {
        bool nested = std::isfinite(xc) && std::isfinite(yc) && std::isfinite(hl) && std::isfinite(dx) &&
                      std::isfinite(dy) && std::isfinite(widths[0]);
        for (std::size_t j = 1; j < W; ++j) nested = nested && std::isfinite(widths[j]) && widths[j] <= widths[j - 1];
        if (!nested) {
            AlignedCounts<W, T> each;
            for (std::size_t j = 0; j < W; ++j) {
                const double one[1] = {widths[j]};
                const AlignedCounts<1, T> c = count_aligned_each<1, T>(rect, one, precs, field, width, height, rho);
                each.n[j] = c.n[0];
                for (std::size_t t = 0; t < T; ++t) each.k[j][t] = c.k[0][t];
            }
            return each;
        }
    }

    BoxScan<W, T> scan{xc, yc, dx, dy, hl, {}, {}, rho, static_cast<float>(dx), static_cast<float>(dy), {}};
    for (std::size_t j = 0; j < W; ++j) {
        const double hw = 0.5 * widths[j];
        const double ex = hw * std::fabs(dy) + hl * std::fabs(dx);
        const double ey = hw * std::fabs(dx) + hl * std::fabs(dy);
        scan.hw[j] = hw;
        scan.box[j] = Box{to_u64_sat(std::floor(xc - ex)), std::min(to_u64_sat(std::ceil(xc + ex)), width - 1),
                          to_u64_sat(std::floor(yc - ey)), std::min(to_u64_sat(std::ceil(yc + ey)), height - 1)};
    }
    const Box& box = scan.box[0];
    if (width == 0 || height == 0 || box.y_lo > box.y_hi || box.x_lo > box.x_hi) return {};
    for (std::size_t t = 0; t < T; ++t) scan.cp[t] = static_cast<float>(std::cos(precs[t]));

    // In a fixed row, x - xc grows with x and rounding keeps that order, so
    // `along` and `across` are monotone in x and each of the four bounds holds
    // on a prefix or a suffix of the row. The inside pixels form one run,
    // found exactly by searching each bound from an estimate. A non-finite
    // axis could break the monotony (inf * 0); such rectangles are scanned.
    const bool runs = box.x_hi - box.x_lo >= kDirectScanWidth && std::isfinite(dx) && std::isfinite(dy);
    return lanes::dispatch([&](auto w) {
        using Wd = decltype(w);
        if (!runs) return scan_box_lanes<BoxLanes<Wd>, W, T>(scan, field, width);
        return count_box_runs<RunLanes<Wd>, W, T>(scan, field, width);
    });
}

}  // namespace

AlignedCount count_aligned(const Rect& rect, const Px* field, std::uint64_t width, std::uint64_t height, float rho) {
    const double widths[1] = {rect.width}, prec[1] = {rect.prec};
    const AlignedCounts<1, 1> c = count_aligned_each<1, 1>(rect, widths, prec, field, width, height, rho);
    return {c.n[0], c.k[0][0]};
}

std::uint64_t count_aligned_tolerances(const Rect& rect, const double (&precs)[kTolerances], const Px* field,
                                       std::uint64_t width, std::uint64_t height, float rho,
                                       std::uint64_t (&k)[kTolerances]) {
    const double widths[1] = {rect.width};
    const AlignedCounts<1, kTolerances> c =
        count_aligned_each<1, kTolerances>(rect, widths, precs, field, width, height, rho);
    for (std::size_t t = 0; t < kTolerances; ++t) k[t] = c.k[0][t];
    return c.n[0];
}

void count_aligned_widths(const Rect& rect, const double (&widths)[kWidths], const Px* field, std::uint64_t width,
                          std::uint64_t height, float rho, AlignedCount (&counts)[kWidths]) {
    const double prec[1] = {rect.prec};
    const AlignedCounts<kWidths, 1> c = count_aligned_each<kWidths, 1>(rect, widths, prec, field, width, height, rho);
    for (std::size_t j = 0; j < kWidths; ++j) counts[j] = {c.n[j], c.k[j][0]};
}

namespace {

// binomial_log_nfa, with log_gamma_of(i) giving log_gamma(i + 1.0) for the
// counts i.
template <class LogGamma>
double binomial_log_nfa_with(std::uint64_t n, std::uint64_t k, double p, double log_nt, LogGamma log_gamma_of) {
    if (n == 0 || k == 0) return -log_nt;
    const double nd = static_cast<double>(n);
    const double kd = static_cast<double>(k);
    if (k == n) return -log_nt - std::log10(p) * kd;

    // ln of the probability of exactly k aligned pixels among n.
    // (nd - kd is n - k exactly: both are integers below 2^53.)
    const double l = log_gamma_of(n) - log_gamma_of(k) - log_gamma_of(n - k) + std::log(p) * kd +
                     std::log(1.0 - p) * (nd - kd);
    double term = std::exp(l);
    if (term == 0.0) {
        // Underflow: the first term alone stands for the tail when it lies beyond the mean.
        return nd * p < kd ? l / -2.302585092994046 - log_nt : -log_nt;
    }

    double tail = term;
    const double r = p / (1.0 - p);
    for (std::uint64_t i = k + 1; i <= n; ++i) {
        const double id = static_cast<double>(i);
        const double b = ((nd - id) + 1.0) / id;
        const double m = r * b;
        term = term * m;
        tail = tail + term;
        if (i == n) break;
        if (b < 1.0) {
            // Once the ratio of successive terms is below 1 the rest is bounded
            // by a geometric series; stop when it cannot move the score by 10%.
            const double err = term * ((1.0 - powi(m, n - i + 1)) / (1.0 - m) - 1.0);
            if (0.1 * std::fabs(-std::log10(tail) - log_nt) * tail > err) break;
        }
    }
    return -std::log10(tail) - log_nt;
}

}  // namespace

double binomial_log_nfa(std::uint64_t n, std::uint64_t k, double p, double log_nt) {
    return binomial_log_nfa_with(n, k, p, log_nt,
                                 [](std::uint64_t i) { return log_gamma(static_cast<double>(i) + 1.0); });
}

NfaMemo::NfaMemo(double log_nt)
    : log_nt_(log_nt), slots_(new Slot[kSlots]), log_gammas_(new double[kLogGammas]) {
    std::fill_n(log_gammas_.get(), kLogGammas, std::numeric_limits<double>::quiet_NaN());
}

double NfaMemo::log_gamma_of(std::uint64_t i) {
    if (i >= kLogGammas) return log_gamma(static_cast<double>(i) + 1.0);
    double& v = log_gammas_[i];
    if (std::isnan(v)) v = log_gamma(static_cast<double>(i) + 1.0);
    return v;
}

double NfaMemo::operator()(std::uint64_t n, std::uint64_t k, double p) {
    std::uint64_t p_bits;
    std::memcpy(&p_bits, &p, sizeof p_bits);
    // n == 0 never reaches a slot, so the empty slots (n = 0) match nothing.
    if (n == 0) return binomial_log_nfa(n, k, p, log_nt_);
    std::uint64_t h = (n * 0x9E3779B97F4A7C15ull) ^ (k * 0xBF58476D1CE4E5B9ull) ^ p_bits;
    h ^= h >> 29;
    h *= 0x94D049BB133111EBull;
    Slot& slot = slots_[(h >> 40) & (kSlots - 1)];
    if (slot.n != n || slot.k != k || slot.p_bits != p_bits)
        slot = Slot{n, k, p_bits,
                    binomial_log_nfa_with(n, k, p, log_nt_, [this](std::uint64_t i) { return log_gamma_of(i); })};
    return slot.score;
}

double log_gamma(double x) {
    if (x >= 15.0) {
        // Windschitl
        const double x2 = x * x;
        const double x6 = (x2 * x2) * x2;
        return std::log(x) * (x - 0.5) + 0.918938533204673 - x +
               (0.5 * x) * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * x6));
    }
    // Lanczos
    constexpr double q0 = 75122.633153, q1 = 80916.6278952, q2 = 36308.2951477, q3 = 8687.24529705,
                     q4 = 1168.92649479, q5 = 83.8676043424, q6 = 2.50662827511;
    const double x2 = x * x;
    const double x3 = x * x2;
    const double x4 = x2 * x2;
    const double x5 = x * x4;
    const double x6 = x4 * x2;
    double poly = q1 * x + q0;
    poly = poly + q2 * x2;
    poly = poly + q3 * x3;
    poly = poly + q4 * x4;
    poly = poly + q5 * x5;
    poly = poly + q6 * x6;
    const double a = (x + 0.5) * std::log(x + 5.5) - (x + 5.5) - std::log(x) - std::log(x + 1.0) -
                     std::log(x + 2.0) - std::log(x + 3.0) - std::log(x + 4.0) - std::log(x + 5.0) - std::log(x + 6.0);
    return std::log(poly) + a;
}

}  // namespace trevalin
