// Gaussian resampling of the working image: the taps of each output row and
// column, and the two blur passes over vectors of every width.
#include "detector/downscale.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "detector/lanes.hpp"
#include "detector/memory.hpp"
#include "detector/types.hpp"
#include "pool/pool.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

ScaledSize downscaled_size(std::uint64_t width, std::uint64_t height, double scale) {
    auto side = [scale](std::uint64_t n) {
        return std::max<std::uint64_t>(to_u64_sat(std::floor(static_cast<double>(n) * scale)), 2);
    };
    return {side(width), side(height)};
}

namespace {

// Truncation toward zero with saturation to the signed 64-bit range (NaN gives 0).
std::int64_t to_i64_sat(double v) {
    if (!(v == v)) return 0;
    if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// Tap positions further than this from the image are refused as an
// allocation that cannot succeed; the driver never comes near it.
constexpr std::int64_t kFarthest = std::int64_t{1} << 48;

}  // namespace

AxisTaps axis_taps(std::uint64_t out_n, double scale) {
    const double sigma = 0.6 / scale;
    // sqrt(2 ln 1000): the kernel ends where the Gaussian falls to 1/1000 of its peak.
    const double h = static_cast<double>(to_u64_sat(std::ceil(sigma * 3.7169221888498383)));
    AxisTaps taps;
    taps.first = Buffer<std::int64_t>::uninitialized(out_n);
    taps.count = Buffer<std::size_t>::uninitialized(out_n);
    for (std::size_t i = 0; i < out_n; ++i) {
        const double c = static_cast<double>(i) / scale;
        const std::int64_t lo = to_i64_sat(std::ceil(c - h)), hi = to_i64_sat(std::floor(c + h));
        if (lo < -kFarthest || hi > kFarthest) throw std::bad_alloc();
        taps.first[i] = lo;
        taps.count[i] = hi >= lo ? static_cast<std::size_t>(hi - lo) + 1 : 0;
        taps.stride = std::max(taps.stride, taps.count[i]);
    }
    taps.weights = Buffer<double>::zeroed(mul_size(out_n, taps.stride));
    for (std::size_t i = 0; i < out_n; ++i) {
        const double c = static_cast<double>(i) / scale;
        double* w = taps.weights.data() + i * taps.stride;
        double sum = 0.0;
        for (std::size_t t = 0; t < taps.count[i]; ++t) {
            const double e = (static_cast<double>(taps.first[i] + static_cast<std::int64_t>(t)) - c) / sigma;
            w[t] = std::exp(-0.5 * (e * e));
            sum += w[t];
        }
        for (std::size_t t = 0; t < taps.count[i]; ++t) w[t] /= sum;
    }
    return taps;
}

namespace {

using lanes::kCount;

// Input rows g .. g + n - 1 blurred along x, n = kCount<Vec> at a time. The
// rows are first widened by their edge pixels and interleaved, sample x of
// row r at scratch[x * n + r], so that one vector holds a column of the n
// rows and every tap is one load and one weight for all of them; the sums of
// n neighbouring output columns are then turned back into rows.
template <class Vec, class T>
[[gnu::always_inline]] inline void across_rows(const BlurPlan& p, const T* image, std::size_t g, double* scratch,
                                               double* const* out) {
    constexpr std::size_t n = kCount<Vec>;
    const std::size_t width = p.w_in;
    const T* rows[n];
    for (std::size_t r = 0; r < n; ++r) rows[r] = image + std::min(g + r, p.h_in - 1) * width;

    double ends[n];
    for (std::size_t r = 0; r < n; ++r) ends[r] = working_value(rows[r][0]);
    const Vec left_edge = lanes::load<Vec>(ends);
    for (std::size_t x = 0; x < p.left; ++x) lanes::store(scratch + x * n, left_edge);
    double* body = scratch + p.left * n;
    std::size_t x = 0;
    for (; x + n <= width; x += n) {
        Vec v[n];
        for (std::size_t r = 0; r < n; ++r) v[r] = lanes::load_working<Vec>(rows[r] + x);
        lanes::transpose(v);
        for (std::size_t c = 0; c < n; ++c) lanes::store(body + (x + c) * n, v[c]);
    }
    for (; x < width; ++x)
        for (std::size_t r = 0; r < n; ++r) body[x * n + r] = working_value(rows[r][x]);
    for (std::size_t r = 0; r < n; ++r) ends[r] = working_value(rows[r][width - 1]);
    const Vec right_edge = lanes::load<Vec>(ends);
    for (std::size_t x = p.left + width; x < p.padded_len; ++x) lanes::store(scratch + x * n, right_edge);

    const AxisTaps& taps = p.across;
    const std::int64_t left = static_cast<std::int64_t>(p.left);
    auto column = [&](std::size_t i) {
        const double* at = scratch + static_cast<std::size_t>(taps.first[i] + left) * n;
        const double* w = taps.weights.data() + i * taps.stride;
        Vec acc = {};
        for (std::size_t k = 0, count = taps.count[i]; k < count; ++k) acc += w[k] * lanes::load<Vec>(at + k * n);
        return acc;
    };
    std::size_t i = 0;
    for (; i + n <= p.w_out; i += n) {
        Vec sums[n];
        for (std::size_t c = 0; c < n; ++c) sums[c] = column(i + c);
        lanes::transpose(sums);
        for (std::size_t r = 0; r < n; ++r) lanes::store(out[r] + i, sums[r]);
    }
    for (; i < p.w_out; ++i) {
        double sums[n];
        lanes::store(sums, column(i));
        for (std::size_t r = 0; r < n; ++r) out[r][i] = sums[r];
    }
}

// out[x] = sum over k of weights[k] * lines[k][x], accumulated from 0.0 in
// increasing k; four vectors of columns at a time, then one, then single columns.
template <class Vec>
[[gnu::always_inline]] inline void down_sums(const double* const* lines, const double* weights, std::size_t taps,
                                             std::size_t n, double* out) {
    constexpr std::size_t kLanes = kCount<Vec>;
    std::size_t x = 0;
    for (; x + 4 * kLanes <= n; x += 4 * kLanes) {
        Vec a0 = {}, a1 = {}, a2 = {}, a3 = {};
        for (std::size_t k = 0; k < taps; ++k) {
            const double w = weights[k];
            const double* l = lines[k] + x;
            a0 += w * lanes::load<Vec>(l);
            a1 += w * lanes::load<Vec>(l + kLanes);
            a2 += w * lanes::load<Vec>(l + 2 * kLanes);
            a3 += w * lanes::load<Vec>(l + 3 * kLanes);
        }
        lanes::store(out + x, a0);
        lanes::store(out + x + kLanes, a1);
        lanes::store(out + x + 2 * kLanes, a2);
        lanes::store(out + x + 3 * kLanes, a3);
    }
    for (; x + kLanes <= n; x += kLanes) {
        Vec a = {};
        for (std::size_t k = 0; k < taps; ++k) a += weights[k] * lanes::load<Vec>(lines[k] + x);
        lanes::store(out + x, a);
    }
    for (; x < n; ++x) {
        double a = 0.0;
        for (std::size_t k = 0; k < taps; ++k) a += weights[k] * lines[k][x];
        out[x] = a;
    }
}

// The kernels of each instruction set; the baseline one works on pairs.
template <class T>
void across_base(const BlurPlan& p, const T* image, std::size_t g, double* scratch, double* const* out) {
    across_rows<lanes::Pair>(p, image, g, scratch, out);
}

void down_base(const double* const* lines, const double* weights, std::size_t taps, std::size_t n, double* out) {
    down_sums<lanes::Pair>(lines, weights, taps, n, out);
}

#if defined(__x86_64__)
#define TREVALIN_AVX2 __attribute__((target("avx2")))
#define TREVALIN_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))

template <class T>
TREVALIN_AVX2 void across_avx2(const BlurPlan& p, const T* image, std::size_t g, double* scratch,
                               double* const* out) {
    across_rows<lanes::Quad>(p, image, g, scratch, out);
}

TREVALIN_AVX2 void down_avx2(const double* const* lines, const double* weights, std::size_t taps, std::size_t n,
                             double* out) {
    down_sums<lanes::Quad>(lines, weights, taps, n, out);
}

template <class T>
TREVALIN_AVX512 void across_avx512(const BlurPlan& p, const T* image, std::size_t g, double* scratch,
                                   double* const* out) {
    across_rows<lanes::Oct>(p, image, g, scratch, out);
}

TREVALIN_AVX512 void down_avx512(const double* const* lines, const double* weights, std::size_t taps,
                                 std::size_t n, double* out) {
    down_sums<lanes::Oct>(lines, weights, taps, n, out);
}
#endif

std::size_t rows_per_group(Isa isa) {
    switch (isa) {
        case Isa::Avx512: return kCount<lanes::Oct>;
        case Isa::Avx2: return kCount<lanes::Quad>;
        default: return kCount<lanes::Pair>;
    }
}

}  // namespace

BlurPlan::BlurPlan(std::uint64_t width, std::uint64_t height, double scale, Isa chosen)
    : w_in(width), h_in(height), isa(chosen) {
#if !defined(__x86_64__)
    isa = Isa::Scalar;
#endif
    const ScaledSize size = downscaled_size(width, height, scale);
    w_out = size.width;
    h_out = size.height;
    across = axis_taps(w_out, scale);
    down = axis_taps(h_out, scale);
    group = rows_per_group(isa);
    // Widen the rows far enough for every tap of every output column.
    std::int64_t lo = 0, end = static_cast<std::int64_t>(w_in);
    for (std::size_t i = 0; i < w_out; ++i) {
        if (across.count[i] == 0) continue;
        lo = std::min(lo, across.first[i]);
        end = std::max(end, across.first[i] + static_cast<std::int64_t>(across.count[i]));
    }
    left = static_cast<std::size_t>(-lo);
    padded_len = static_cast<std::size_t>(end - lo);
    mul_size(padded_len, group, sizeof(double));  // throws when it could never be allocated
}

std::size_t BlurPlan::first_row(std::size_t y) const {
    return static_cast<std::size_t>(std::clamp<std::int64_t>(down.first[y], 0, static_cast<std::int64_t>(h_in) - 1));
}

std::size_t BlurPlan::last_row(std::size_t y) const {
    const std::int64_t last = down.first[y] + static_cast<std::int64_t>(down.count[y]) - 1;
    return static_cast<std::size_t>(std::clamp<std::int64_t>(last, 0, static_cast<std::int64_t>(h_in) - 1));
}

template <class T>
void BlurPlan::horizontal(const T* image, std::size_t g, double* scratch, double* const* out) const {
    switch (isa) {
#if defined(__x86_64__)
        case Isa::Avx512: return across_avx512(*this, image, g, scratch, out);
        case Isa::Avx2: return across_avx2(*this, image, g, scratch, out);
#endif
        default: return across_base(*this, image, g, scratch, out);
    }
}

template void BlurPlan::horizontal(const std::uint8_t*, std::size_t, double*, double* const*) const;
template void BlurPlan::horizontal(const std::uint16_t*, std::size_t, double*, double* const*) const;
template void BlurPlan::horizontal(const float*, std::size_t, double*, double* const*) const;
template void BlurPlan::horizontal(const double*, std::size_t, double*, double* const*) const;

void BlurPlan::vertical_sums(const double* const* lines, const double* weights, std::size_t taps, double* out) const {
    switch (isa) {
#if defined(__x86_64__)
        case Isa::Avx512: return down_avx512(lines, weights, taps, w_out, out);
        case Isa::Avx2: return down_avx2(lines, weights, taps, w_out, out);
#endif
        default: return down_base(lines, weights, taps, w_out, out);
    }
}

template <class T>
Downscaled downscale(const T* image, std::uint64_t width, std::uint64_t height, double scale, Isa isa) {
    const BlurPlan plan(width, height, scale, isa);
    Buffer<double> across = Buffer<double>::uninitialized(mul_size(plan.w_out, plan.h_in));
    prefer_huge_pages(across);
    parallel_rows((plan.h_in + plan.group - 1) / plan.group, [&](std::size_t item) {
        const std::size_t g = item * plan.group;
        Buffer<double> scratch = Buffer<double>::uninitialized(plan.padded_len * plan.group);
        Buffer<double> spare = Buffer<double>::uninitialized(plan.w_out);  // rows past the last
        Buffer<double*> out = Buffer<double*>::uninitialized(plan.group);
        for (std::size_t r = 0; r < plan.group; ++r)
            out[r] = g + r < plan.h_in ? across.data() + (g + r) * plan.w_out : spare.data();
        plan.horizontal(image, g, scratch.data(), out.data());
    });

    Buffer<double> out = Buffer<double>::uninitialized(mul_size(plan.w_out, plan.h_out));
    prefer_huge_pages(out);
    for_each_row(out.data(), plan.w_out, plan.h_out, [&](std::size_t y, double* row) {
        Buffer<const double*> lines = Buffer<const double*>::uninitialized(plan.down.stride);
        plan.vertical(y, [&](std::size_t g) { return across.data() + g * plan.w_out; }, lines.data(), row);
    });
    return {std::move(out), plan.w_out, plan.h_out};
}

template Downscaled downscale(const std::uint8_t*, std::uint64_t, std::uint64_t, double, Isa);
template Downscaled downscale(const std::uint16_t*, std::uint64_t, std::uint64_t, double, Isa);
template Downscaled downscale(const float*, std::uint64_t, std::uint64_t, double, Isa);
template Downscaled downscale(const double*, std::uint64_t, std::uint64_t, double, Isa);

}  // namespace trevalin
