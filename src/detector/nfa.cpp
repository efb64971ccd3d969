// Scoring a rectangle: its aligned pixels counted and the log-NFA of that count.
#include "detector/nfa.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "sample/isa.hpp"
#if TREVALIN_X86
#include <immintrin.h>
#endif
#include "sample/numeric.hpp"

namespace trevalin {

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

#if TREVALIN_X86
// Four floats from lo in the low half, four from hi in the high half.
__attribute__((target("avx2"), always_inline)) inline __m256 load_halves(const float* lo, const float* hi) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(lo)), _mm_loadu_ps(hi), 1);
}

// Eight records are three vectors of eight floats. Each 128-bit half takes
// four records (12 floats) of one of two groups, so that every shuffle stays
// within its half: blends gather the norms of records 0, 3, 2, 1 of a group
// in that lane order, and of ux and uy after an in-half permute. Lane order
// does not matter for a count. Products and sum are plain single-precision
// operations (no FMA is enabled here), so every lane is the scalar test.
__attribute__((target("avx2"))) std::size_t count_aligned_avx2(const Px* row, std::size_t count, float rho,
                                                                float dx, float dy, float cp,
                                                                std::uint64_t& aligned) {
    static_assert(sizeof(Px) == 3 * sizeof(float));
    const __m256 vrho = _mm256_set1_ps(rho), vdx = _mm256_set1_ps(dx), vdy = _mm256_set1_ps(dy),
                 vcp = _mm256_set1_ps(cp);
    __m256i total = _mm256_setzero_si256();  // minus the aligned lanes seen, per lane
    std::size_t x = 0;
    for (; x + 8 <= count; x += 8) {
        const float* f = reinterpret_cast<const float*>(row + x);
        const __m256 a = load_halves(f, f + 12);      // n0 x0 y0 n1
        const __m256 b = load_halves(f + 4, f + 16);  // x1 y1 n2 x2
        const __m256 c = load_halves(f + 8, f + 20);  // y2 n3 x3 y3
        // Lanes hold records 0 3 2 1 after the blends for norm; x1 x0 x3 x2
        // and y2 y1 y0 y3 for ux and uy, permuted to the same order.
        const __m256 norm = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x44), c, 0x22);
        const __m256 ux = _mm256_permute_ps(_mm256_blend_ps(_mm256_blend_ps(a, b, 0x99), c, 0x44), 0x39);
        const __m256 uy = _mm256_permute_ps(_mm256_blend_ps(_mm256_blend_ps(a, b, 0x22), c, 0x99), 0x4E);
        const __m256 dot = _mm256_add_ps(_mm256_mul_ps(ux, vdx), _mm256_mul_ps(uy, vdy));
        const __m256 hit = _mm256_and_ps(_mm256_cmp_ps(norm, vrho, _CMP_GT_OQ), _mm256_cmp_ps(dot, vcp, _CMP_GE_OQ));
        total = _mm256_sub_epi32(total, _mm256_castps_si256(hit));
    }
    // A run lies within one row of an image of fewer than 2^32 pixels: no lane overflows.
    alignas(32) std::uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
    for (std::uint32_t v : lanes) aligned += v;
    return x;
}
#endif

// What the pixel-by-pixel scan of a box needs, in the types the tests take.
struct BoxScan {
    double xc, yc, dx, dy, hl, hw;
    float rho, dxs, dys, cp;
};

// Whether pixel x of a row is inside the rectangle and whether it is aligned,
// added to `count`; along_y and across_y are the row's share of the tests.
inline void scan_px(const BoxScan& s, const Px* row, std::int64_t x, double along_y, double across_y,
                    AlignedCount& count) {
    const double rel = static_cast<double>(x) - s.xc;
    const std::uint64_t inside = static_cast<std::uint64_t>(std::fabs(s.dx * rel + along_y) <= s.hl) &
                                 static_cast<std::uint64_t>(std::fabs(across_y - s.dy * rel) <= s.hw);
    count.n += inside;
    count.k += inside & aligned_px(row[x], s.rho, s.dxs, s.dys, s.cp);
}

#if TREVALIN_X86
// Every pixel of rows y_lo..y_hi, columns x_lo..x_hi, four at a time: the
// inside tests in double lanes, the alignment test in float lanes after the
// same in-register deinterleave as count_aligned_avx2 (lanes hold records
// 0 3 2 1 and are permuted back to column order). Every lane computes what
// scan_px computes; the last columns of a row that do not fill four lanes
// go through scan_px.
__attribute__((target("avx2"))) AlignedCount scan_box_avx2(const BoxScan& s, const Px* field, std::uint64_t width,
                                                          std::uint64_t x_lo, std::uint64_t x_hi, std::uint64_t y_lo,
                                                          std::uint64_t y_hi) {
    const __m256d sign = _mm256_set1_pd(-0.0), vxc = _mm256_set1_pd(s.xc), vdx = _mm256_set1_pd(s.dx),
                  vdy = _mm256_set1_pd(s.dy), vhl = _mm256_set1_pd(s.hl), vhw = _mm256_set1_pd(s.hw),
                  four = _mm256_set1_pd(4.0);
    const __m128 vrho = _mm_set1_ps(s.rho), vdx_s = _mm_set1_ps(s.dxs), vdy_s = _mm_set1_ps(s.dys),
                 vcp = _mm_set1_ps(s.cp);
    const __m256d x_first = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(x_lo)), _mm256_set_pd(3.0, 2.0, 1.0, 0.0));
    const std::int64_t lo = static_cast<std::int64_t>(x_lo), hi = static_cast<std::int64_t>(x_hi);
    __m256i n = _mm256_setzero_si256(), k = _mm256_setzero_si256();  // minus the counts, per lane
    AlignedCount tail{0, 0};
    for (std::uint64_t y = y_lo; y <= y_hi; ++y) {
        const double ry = static_cast<double>(y) - s.yc;
        const double along_y = s.dy * ry, across_y = s.dx * ry;
        const __m256d val = _mm256_set1_pd(along_y), vac = _mm256_set1_pd(across_y);
        const Px* row = field + y * width;
        __m256d xs = x_first;
        std::int64_t x = lo;
        for (; x + 3 <= hi; x += 4) {
            const __m256d rel = _mm256_sub_pd(xs, vxc);
            const __m256d along = _mm256_add_pd(_mm256_mul_pd(vdx, rel), val);
            const __m256d across = _mm256_sub_pd(vac, _mm256_mul_pd(vdy, rel));
            const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(_mm256_andnot_pd(sign, along), vhl, _CMP_LE_OQ),
                                                 _mm256_cmp_pd(_mm256_andnot_pd(sign, across), vhw, _CMP_LE_OQ));
            const float* f = reinterpret_cast<const float*>(row + x);
            const __m128 a = _mm_loadu_ps(f), b = _mm_loadu_ps(f + 4), c = _mm_loadu_ps(f + 8);
            const __m128 norm = _mm_blend_ps(_mm_blend_ps(a, b, 0x4), c, 0x2);
            const __m128 ux = _mm_permute_ps(_mm_blend_ps(_mm_blend_ps(a, b, 0x9), c, 0x4), 0x39);
            const __m128 uy = _mm_permute_ps(_mm_blend_ps(_mm_blend_ps(a, b, 0x2), c, 0x9), 0x4E);
            const __m128 dot = _mm_add_ps(_mm_mul_ps(ux, vdx_s), _mm_mul_ps(uy, vdy_s));
            const __m128 hit = _mm_permute_ps(
                _mm_and_ps(_mm_cmp_ps(norm, vrho, _CMP_GT_OQ), _mm_cmp_ps(dot, vcp, _CMP_GE_OQ)), 0x6C);
            const __m256i in = _mm256_castpd_si256(inside);
            n = _mm256_sub_epi64(n, in);
            k = _mm256_sub_epi64(k, _mm256_and_si256(in, _mm256_cvtepi32_epi64(_mm_castps_si128(hit))));
            xs = _mm256_add_pd(xs, four);
        }
        for (; x <= hi; ++x) scan_px(s, row, x, along_y, across_y, tail);
    }
    alignas(32) std::uint64_t lanes_n[4], lanes_k[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes_n), n);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes_k), k);
    for (int i = 0; i < 4; ++i) {
        tail.n += lanes_n[i];
        tail.k += lanes_k[i];
    }
    return tail;
}

// Asked per call: the choice may be capped at run time (cap_isa).
bool has_avx2() { return detected_isa() >= Isa::Avx2; }
#endif

// Boxes at most this wide are scanned pixel by pixel; wider ones look for the
// inside run of each row first.
constexpr std::uint64_t kDirectScanWidth = 12;

}  // namespace

std::uint64_t count_aligned_run(const Px* row, std::size_t count, float rho, float dx, float dy, float cp) {
    std::uint64_t aligned = 0;
    std::size_t x = 0;
#if TREVALIN_X86
    if (has_avx2()) x = count_aligned_avx2(row, count, rho, dx, dy, cp, aligned);
#endif
    for (; x < count; ++x) aligned += aligned_px(row[x], rho, dx, dy, cp);
    return aligned;
}

AlignedCount count_aligned(const Rect& rect, const Px* field, std::uint64_t width, std::uint64_t height, float rho) {
    const double xc = (rect.x1 + rect.x2) * 0.5;
    const double yc = (rect.y1 + rect.y2) * 0.5;
    const double hl = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1) * 0.5;
    const double hw = 0.5 * rect.width;
    const double dx = rect.dx, dy = rect.dy;
    const double ex = hw * std::fabs(dy) + hl * std::fabs(dx);
    const double ey = hw * std::fabs(dx) + hl * std::fabs(dy);

    const std::uint64_t x_lo = to_u64_sat(std::floor(xc - ex));
    const std::uint64_t y_lo = to_u64_sat(std::floor(yc - ey));
    const std::uint64_t x_hi = std::min(to_u64_sat(std::ceil(xc + ex)), width - 1);
    const std::uint64_t y_hi = std::min(to_u64_sat(std::ceil(yc + ey)), height - 1);
    if (width == 0 || height == 0 || y_lo > y_hi || x_lo > x_hi) return {0, 0};

    const float cp = static_cast<float>(std::cos(rect.prec));
    const float dxs = static_cast<float>(dx);
    const float dys = static_cast<float>(dy);

    // In a fixed row, x - xc grows with x and rounding keeps that order, so
    // `along` and `across` are monotone in x and each of the four bounds holds
    // on a prefix or a suffix of the row. The inside pixels form one run,
    // found exactly by searching each bound from an estimate. A non-finite
    // axis could break the monotony (inf * 0); such rectangles are scanned.
    const bool runs = x_hi - x_lo >= kDirectScanWidth && std::isfinite(dx) && std::isfinite(dy);
    const BoxScan scan{xc, yc, dx, dy, hl, hw, rho, dxs, dys, cp};
#if TREVALIN_X86
    if (!runs && has_avx2()) return scan_box_avx2(scan, field, width, x_lo, x_hi, y_lo, y_hi);
#endif
    const std::int64_t lo = static_cast<std::int64_t>(x_lo), hi = static_cast<std::int64_t>(x_hi);

    AlignedCount count{0, 0};
    for (std::uint64_t y = y_lo; y <= y_hi; ++y) {
        const double ry = static_cast<double>(y) - yc;
        const double along_y = dy * ry;
        const double across_y = dx * ry;
        auto along = [&](std::int64_t x) { return dx * (static_cast<double>(x) - xc) + along_y; };
        auto across = [&](std::int64_t x) { return across_y - dy * (static_cast<double>(x) - xc); };

        std::int64_t first = lo, last = hi;
        if (runs) {
            auto above_low_l = [&](std::int64_t x) { return along(x) >= -hl; };
            auto below_high_l = [&](std::int64_t x) { return along(x) <= hl; };
            auto above_low_t = [&](std::int64_t x) { return across(x) >= -hw; };
            auto below_high_t = [&](std::int64_t x) { return across(x) <= hw; };
            auto not_ = [](auto pred) { return [pred](std::int64_t x) { return !pred(x); }; };
            const double at_low_l = xc + (-hl - along_y) / dx;
            const double at_high_l = xc + (hl - along_y) / dx;
            const double at_low_t = xc + (across_y + hw) / dy;
            const double at_high_t = xc + (across_y - hw) / dy;
            std::int64_t s1, e1, s2, e2;
            if (dx >= 0.0) {  // along grows with x
                s1 = first_true(lo, hi, std::ceil(at_low_l), above_low_l);
                e1 = first_true(lo, hi, std::floor(at_high_l) + 1.0, not_(below_high_l)) - 1;
            } else {
                s1 = first_true(lo, hi, std::ceil(at_high_l), below_high_l);
                e1 = first_true(lo, hi, std::floor(at_low_l) + 1.0, not_(above_low_l)) - 1;
            }
            if (dy >= 0.0) {  // across shrinks as x grows
                s2 = first_true(lo, hi, std::ceil(at_high_t), below_high_t);
                e2 = first_true(lo, hi, std::floor(at_low_t) + 1.0, not_(above_low_t)) - 1;
            } else {
                s2 = first_true(lo, hi, std::ceil(at_low_t), above_low_t);
                e2 = first_true(lo, hi, std::floor(at_high_t) + 1.0, not_(below_high_t)) - 1;
            }
            first = std::max(s1, s2);
            last = std::min(e1, e2);
            if (first > last) continue;
        }

        // Whether a pixel is inside, and whether it is aligned, are close to
        // random from one pixel to the next: both are counted without branches.
        const Px* row = field + y * width;
        if (runs) {
            const std::size_t run = static_cast<std::size_t>(last - first + 1);
            count.n += run;
            count.k += count_aligned_run(row + first, run, rho, dxs, dys, cp);
        } else {
            for (std::int64_t x = first; x <= last; ++x) scan_px(scan, row, x, along_y, across_y, count);
        }
    }
    return count;
}

double binomial_log_nfa(std::uint64_t n, std::uint64_t k, double p, double log_nt) {
    if (n == 0 || k == 0) return -log_nt;
    const double nd = static_cast<double>(n);
    const double kd = static_cast<double>(k);
    if (k == n) return -log_nt - std::log10(p) * kd;

    // ln of the probability of exactly k aligned pixels among n.
    const double l = log_gamma(nd + 1.0) - log_gamma(kd + 1.0) - log_gamma(nd - kd + 1.0) + std::log(p) * kd +
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

NfaMemo::NfaMemo(double log_nt) : log_nt_(log_nt), slots_(new Slot[kSlots]) {}

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
        slot = Slot{n, k, p_bits, binomial_log_nfa(n, k, p, log_nt_)};
    return slot.score;
}

double rect_log_nfa(const Rect& rect, const Px* field, std::uint64_t width, std::uint64_t height, float rho,
                    double log_nt) {
    const AlignedCount c = count_aligned(rect, field, width, height, rho);
    return binomial_log_nfa(c.n, c.k, rect.p, log_nt);
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
