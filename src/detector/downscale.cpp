// Gaussian resampling of the working image: the taps of each output row and
// column, and the two blur passes over vectors of every width.
#include "detector/downscale.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "detector/lanes.hpp"
#include "detector/working_value.hpp"
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

// The taps of positions 0 .. n - 1 of `all`, n at most its positions: the
// same as axis_taps(n, scale) for the scale that gave `all`, with the
// stride of those n.
AxisTaps leading_taps(const AxisTaps& all, std::size_t n) {
    AxisTaps taps;
    taps.first = Buffer<std::int64_t>::uninitialized(n);
    taps.count = Buffer<std::size_t>::uninitialized(n);
    std::copy_n(all.first.data(), n, taps.first.data());
    std::copy_n(all.count.data(), n, taps.count.data());
    for (std::size_t i = 0; i < n; ++i) taps.stride = std::max(taps.stride, taps.count[i]);
    taps.weights = Buffer<double>::zeroed(mul_size(n, taps.stride));
    for (std::size_t i = 0; i < n; ++i)
        std::copy_n(all.weights.data() + i * all.stride, taps.count[i], taps.weights.data() + i * taps.stride);
    return taps;
}

using lanes::kCount;

// Input rows g .. g + m * n - 1 blurred along x, n = kCount<Vec> and
// m = BlurPlan::stacks_of(n): the rows go in m stacks of n, each held in one
// vector. The output columns go in chunks. The input samples a chunk reads
// are first interleaved, sample x of row s * n + r at
// scratch[(x - lo) * m * n + s * n + r] with the edge pixels beyond the row,
// so that m vectors hold a column of the rows and every tap is one weight
// and m loads for all of them; the sums of n neighbouring output columns
// are then turned back into rows, a stack at a time.
template <class Vec, class T>
[[gnu::always_inline]] inline void across_rows(const BlurPlan& p, const T* image, std::size_t g, double* scratch,
                                               double* const* out) {
    constexpr std::size_t n = kCount<Vec>;
    constexpr std::size_t m = BlurPlan::stacks_of(n);
    constexpr std::size_t all = m * n;
    scratch = reinterpret_cast<double*>((reinterpret_cast<std::uintptr_t>(scratch) + 63) & ~std::uintptr_t{63});
    const std::int64_t width = static_cast<std::int64_t>(p.w_in);
    const T* rows[all];
    for (std::size_t r = 0; r < all; ++r) rows[r] = image + std::min(g + r, p.h_in - 1) * p.w_in;
    Vec left_edge[m], right_edge[m];
    for (std::size_t s = 0; s < m; ++s) {
        double ends[n];
        for (std::size_t r = 0; r < n; ++r) ends[r] = working_value(rows[s * n + r][0]);
        left_edge[s] = lanes::load<Vec>(ends);
        for (std::size_t r = 0; r < n; ++r) ends[r] = working_value(rows[s * n + r][width - 1]);
        right_edge[s] = lanes::load<Vec>(ends);
    }

    const AxisTaps& taps = p.across;
    constexpr std::size_t kChains = BlurPlan::chains_of(n);
    for (std::size_t i0 = 0; i0 < p.w_out; i0 += BlurPlan::kChunk) {
        const std::size_t i1 = std::min(p.w_out, i0 + BlurPlan::kChunk);
        const BlurPlan::Span span = p.spans[i0 / BlurPlan::kChunk];
        std::int64_t x = span.lo;
        auto at = [&](std::int64_t x) { return scratch + static_cast<std::size_t>(x - span.lo) * all; };
        for (; x < std::min<std::int64_t>(span.end, 0); ++x)
            for (std::size_t s = 0; s < m; ++s) lanes::store(at(x) + s * n, left_edge[s]);
        const std::int64_t body_end = std::min(span.end, width);
        for (; x + static_cast<std::int64_t>(n) <= body_end; x += n) {
            for (std::size_t s = 0; s < m; ++s) {
                Vec v[n];
                for (std::size_t r = 0; r < n; ++r) v[r] = lanes::load_working<Vec>(rows[s * n + r] + x);
                lanes::transpose(v);
                for (std::size_t c = 0; c < n; ++c) lanes::store(at(x + c) + s * n, v[c]);
            }
        }
        for (; x < body_end; ++x)
            for (std::size_t r = 0; r < all; ++r) at(x)[r] = working_value(rows[r][x]);
        for (; x < span.end; ++x)
            for (std::size_t s = 0; s < m; ++s) lanes::store(at(x) + s * n, right_edge[s]);

        // The sums of n neighbouring columns go side by side, a few at a
        // time, over the taps they all have, then over the further taps of
        // those that have more (where each column starts and how many taps
        // the few share come from the plan). Every sum keeps its tap order.
        std::size_t i = i0;
        for (; i + n <= i1; i += n) {
            const double* wt = p.tile_weights.data() + (i / n) * taps.stride * n;  // tap k of column c: wt[k * n + c]
            Vec sums[m][n];
            for (std::size_t c0 = 0; c0 < n; c0 += kChains) {
                const double* from[kChains];
                std::size_t count[kChains];
                for (std::size_t c = 0; c < kChains; ++c) {
                    from[c] = scratch + p.offsets[i + c0 + c] * all;
                    count[c] = taps.count[i + c0 + c];
                }
                const auto [shared, longest] = p.chain_taps[(i + c0) / kChains];
                Vec acc[m][kChains] = {};
                std::size_t k = 0;
                for (; k < shared; ++k)
                    for (std::size_t c = 0; c < kChains; ++c) {
                        const double w = wt[k * n + c0 + c];
                        for (std::size_t s = 0; s < m; ++s)
                            acc[s][c] += w * lanes::load<Vec>(from[c] + k * all + s * n);
                    }
                for (; k < longest; ++k)
                    for (std::size_t c = 0; c < kChains; ++c)
                        if (k < count[c]) {
                            const double w = wt[k * n + c0 + c];
                            for (std::size_t s = 0; s < m; ++s)
                                acc[s][c] += w * lanes::load<Vec>(from[c] + k * all + s * n);
                        }
                for (std::size_t s = 0; s < m; ++s)
                    for (std::size_t c = 0; c < kChains; ++c) sums[s][c0 + c] = acc[s][c];
            }
            for (std::size_t s = 0; s < m; ++s) {
                lanes::transpose(sums[s]);
                for (std::size_t r = 0; r < n; ++r) lanes::store(out[s * n + r] + i, sums[s][r]);
            }
        }
        for (; i < i1; ++i) {
            const double* w = taps.weights.data() + i * taps.stride;
            const double* from = scratch + p.offsets[i] * all;
            Vec acc[m] = {};
            for (std::size_t k = 0, count = taps.count[i]; k < count; ++k)
                for (std::size_t s = 0; s < m; ++s) acc[s] += w[k] * lanes::load<Vec>(from + k * all + s * n);
            for (std::size_t s = 0; s < m; ++s) {
                double sums[n];
                lanes::store(sums, acc[s]);
                for (std::size_t r = 0; r < n; ++r) out[s * n + r][i] = sums[r];
            }
        }
    }
}

// Columns x.. of down_sums, `vecs` vectors of them side by side, as long as
// they fit before n; returns the first column not done.
template <class Vec, std::size_t vecs>
[[gnu::always_inline]] inline std::size_t down_sums_by(const double* const* lines, const double* weights,
                                                       std::size_t taps, std::size_t x, std::size_t n, double* out) {
    constexpr std::size_t kLanes = kCount<Vec>;
    for (; x + vecs * kLanes <= n; x += vecs * kLanes) {
        Vec a[vecs] = {};
        for (std::size_t k = 0; k < taps; ++k) {
            const double w = weights[k];
            const double* l = lines[k] + x;
            for (std::size_t v = 0; v < vecs; ++v) a[v] += w * lanes::load<Vec>(l + v * kLanes);
        }
        for (std::size_t v = 0; v < vecs; ++v) lanes::store(out + x + v * kLanes, a[v]);
    }
    return x;
}

// out[x] = sum over k of weights[k] * lines[k][x], accumulated from 0.0 in
// increasing k; eight vectors of columns at a time (one line pointer and
// weight serve them all), then one, then single columns.
template <class Vec>
[[gnu::always_inline]] inline void down_sums(const double* const* lines, const double* weights, std::size_t taps,
                                             std::size_t n, double* out) {
    std::size_t x = down_sums_by<Vec, 8>(lines, weights, taps, 0, n, out);
    x = down_sums_by<Vec, 1>(lines, weights, taps, x, n, out);
    down_sums_by<lanes::One<Vec>, 1>(lines, weights, taps, x, n, out);
}

// The doubles of a vector (the baseline works on pairs).
std::size_t doubles_per_vector(Isa isa) {
    return lanes::dispatch(isa, [](auto w) { return decltype(w)::doubles; });
}

}  // namespace

BlurPlan::BlurPlan(std::uint64_t width, std::uint64_t height, double scale, Isa chosen)
    : w_in(width), h_in(height), isa(chosen) {
#if !TREVALIN_X86
    isa = Isa::Scalar;
#endif
    const ScaledSize size = downscaled_size(width, height, scale);
    w_out = size.width;
    h_out = size.height;
    // Output position i has the same taps along either axis: the shorter
    // axis takes those of the longer one's first positions.
    if (w_out >= h_out) {
        across = axis_taps(w_out, scale);
        down = leading_taps(across, h_out);
    } else {
        down = axis_taps(h_out, scale);
        across = leading_taps(down, w_out);
    }
    tile = doubles_per_vector(isa);
    group = stacks_of(tile) * tile;
    // The column weights again, tap by tap for each tile of `tile` columns.
    tile_weights = Buffer<double>::zeroed(mul_size(w_out / tile * tile, across.stride));
    for (std::size_t i = 0; i < w_out / tile * tile; ++i)
        for (std::size_t k = 0; k < across.count[i]; ++k)
            tile_weights[(i / tile * across.stride + k) * tile + i % tile] = across.weights[i * across.stride + k];
    // The stretch of input samples that each chunk of columns reads, the
    // widest of them, and where each column's taps start in its chunk's.
    spans = Buffer<Span>::uninitialized(w_out / kChunk + (w_out % kChunk != 0));
    offsets = Buffer<std::size_t>::uninitialized(w_out);
    std::size_t widest = 0;
    for (std::size_t i0 = 0; i0 < w_out; i0 += kChunk) {
        const std::size_t i1 = std::min(w_out, i0 + kChunk);
        Span span{across.first[i0], across.first[i0]};
        for (std::size_t i = i0; i < i1; ++i) {
            if (across.count[i] == 0) continue;
            span.lo = std::min(span.lo, across.first[i]);
            span.end = std::max(span.end, across.first[i] + static_cast<std::int64_t>(across.count[i]));
        }
        spans[i0 / kChunk] = span;
        widest = std::max(widest, static_cast<std::size_t>(span.end - span.lo));
        // A column without taps reads nothing; its offset stays in the span.
        for (std::size_t i = i0; i < i1; ++i)
            offsets[i] = across.count[i] == 0 ? 0 : static_cast<std::size_t>(across.first[i] - span.lo);
    }
    scratch_doubles = mul_size(widest, group) + 8;
    const std::size_t chains = chains_of(tile);
    chain_taps = Buffer<ChainTaps>::uninitialized(w_out / chains);
    for (std::size_t j = 0; j < w_out / chains; ++j) {
        ChainTaps t{across.stride, 0};
        for (std::size_t c = 0; c < chains; ++c) {
            t.shared = std::min(t.shared, across.count[j * chains + c]);
            t.longest = std::max(t.longest, across.count[j * chains + c]);
        }
        chain_taps[j] = t;
    }
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
    lanes::dispatch(isa, [&](auto w) { across_rows<typename decltype(w)::D>(*this, image, g, scratch, out); });
}

template void BlurPlan::horizontal(const std::uint8_t*, std::size_t, double*, double* const*) const;
template void BlurPlan::horizontal(const std::uint16_t*, std::size_t, double*, double* const*) const;
template void BlurPlan::horizontal(const float*, std::size_t, double*, double* const*) const;
template void BlurPlan::horizontal(const double*, std::size_t, double*, double* const*) const;

void BlurPlan::vertical_sums(const double* const* lines, const double* weights, std::size_t taps, double* out) const {
    lanes::dispatch(isa, [&](auto w) { down_sums<typename decltype(w)::D>(lines, weights, taps, w_out, out); });
}

}  // namespace trevalin
