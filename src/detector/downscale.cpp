#include "detector/downscale.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <immintrin.h>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

#include "detector/level_line_field.hpp"
#include "detector/memory.hpp"
#include "detector/working_oct.hpp"
#include "detector/types.hpp"
#include "pool/pool.hpp"
#include "sample/isa.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

ScaledSize downscaled_size(std::uint64_t width, std::uint64_t height, double scale) {
    auto side = [scale](std::uint64_t n) {
        return std::max<std::uint64_t>(to_u64_sat(std::floor(static_cast<double>(n) * scale)), 2);
    };
    return {side(width), side(height)};
}

Buffer<double> gaussian_kernel(double scale) {
    const double sigma = 0.6 / scale;
    // sqrt(2 ln 1000): the kernel ends where the Gaussian falls to 1/1000 of its peak.
    const std::uint64_t h = to_u64_sat(std::ceil(sigma * 3.7169221888498383));
    if (h > (std::numeric_limits<std::size_t>::max() - 1) / 2) throw std::bad_alloc();
    Buffer<double> kernel = Buffer<double>::uninitialized(2 * h + 1);
    const double hd = static_cast<double>(h);
    double sum = 0.0;
    for (std::size_t k = 0; k < kernel.size(); ++k) {
        const double q = (static_cast<double>(k) - hd) / sigma;
        kernel[k] = std::exp(-0.5 * (q * q));
        sum += kernel[k];
    }
    for (double& w : kernel) w /= sum;
    return kernel;
}

std::uint64_t source_index(std::uint64_t i, double scale, std::uint64_t limit) {
    return std::min(to_u64_sat(static_cast<double>(i) / scale), limit - 1);
}

namespace {

// Two doubles side by side; every operation on it is the same IEEE operation
// on each lane, so vector code gives the bits of the scalar code.
typedef double Pair __attribute__((vector_size(16)));

// Four columns at a time, as two pairs of lanes.
std::size_t blur_at_columns_pairs(const double* src, const std::size_t* columns, std::size_t n, const double* weights,
                                  std::size_t taps, double* out) {
    std::size_t x = 0;
    for (; x + 4 <= n; x += 4) {
        const double* a = src + columns[x];
        const double* b = src + columns[x + 1];
        const double* c = src + columns[x + 2];
        const double* d = src + columns[x + 3];
        Pair lo = {0.0, 0.0}, hi = {0.0, 0.0};
        for (std::size_t k = 0; k < taps; ++k) {
            const Pair w = {weights[k], weights[k]};
            lo += w * Pair{a[k], b[k]};
            hi += w * Pair{c[k], d[k]};
        }
        out[x] = lo[0];
        out[x + 1] = lo[1];
        out[x + 2] = hi[0];
        out[x + 3] = hi[1];
    }
    return x;
}

typedef double Quad __attribute__((vector_size(32)));
typedef double Oct __attribute__((vector_size(64)));

// The sums at 4 x lanes neighbouring input columns, four vectors summed side
// by side from one unaligned load each per tap; every kept column among them
// takes its lane. Stops at the first kept column whose sums would read past
// the source. Vec is the vector of doubles that the caller's instruction set
// holds.
template <class Vec>
[[gnu::always_inline]] inline std::size_t blur_spans(const double* src, std::size_t src_len,
                                                     const std::size_t* columns, std::size_t n,
                                                     const double* weights, std::size_t taps, double* out) {
    constexpr std::size_t kLanes = sizeof(Vec) / sizeof(double);
    constexpr std::size_t kSpan = 4 * kLanes;
    std::size_t x = 0;
    while (x < n) {
        const std::size_t base = columns[x];
        if (src_len - base < taps + (kSpan - 1)) break;
        const double* at = src + base;
        Vec a0 = {}, a1 = {}, a2 = {}, a3 = {};
        for (std::size_t k = 0; k < taps; ++k) {
            const double w = weights[k];
            Vec v0, v1, v2, v3;
            std::memcpy(&v0, at + k, sizeof v0);
            std::memcpy(&v1, at + k + kLanes, sizeof v1);
            std::memcpy(&v2, at + k + 2 * kLanes, sizeof v2);
            std::memcpy(&v3, at + k + 3 * kLanes, sizeof v3);
            a0 += w * v0;
            a1 += w * v1;
            a2 += w * v2;
            a3 += w * v3;
        }
        double lanes[kSpan];
        std::memcpy(lanes, &a0, sizeof a0);
        std::memcpy(lanes + kLanes, &a1, sizeof a1);
        std::memcpy(lanes + 2 * kLanes, &a2, sizeof a2);
        std::memcpy(lanes + 3 * kLanes, &a3, sizeof a3);
        do {
            out[x] = lanes[columns[x] - base];
            ++x;
        } while (x < n && columns[x] - base < kSpan);
    }
    return x;
}

__attribute__((target("avx2"))) std::size_t blur_at_columns_avx2(const double* src, std::size_t src_len,
                                                                 const std::size_t* columns, std::size_t n,
                                                                 const double* weights, std::size_t taps,
                                                                 double* out) {
    return blur_spans<Quad>(src, src_len, columns, n, weights, taps, out);
}

// Where the kept columns of a row fall in spans of 32 input columns: each
// span's first column and a bit per input column kept. The spans are the
// same for every row of an image, so they are worked out once. They stop at
// the first kept column whose span would read past the source, or that
// repeats the one before it.
struct ColumnSpans {
    struct Span {
        std::size_t base;
        std::uint32_t kept;
    };
    std::vector<Span> spans;
    std::size_t columns_done = 0;
};

ColumnSpans plan_spans(std::size_t src_len, const std::size_t* columns, std::size_t n, std::size_t taps) {
    constexpr std::size_t kSpan = 32;
    ColumnSpans plan;
    std::size_t x = 0;
    while (x < n) {
        const std::size_t base = columns[x];
        if (src_len - base < taps + (kSpan - 1) || (x > 0 && base == columns[x - 1])) break;
        std::uint32_t kept = 0;
        std::size_t y = x;
        do {
            kept |= std::uint32_t{1} << (columns[y] - base);
            ++y;
        } while (y < n && columns[y] - base < kSpan && columns[y] != columns[y - 1]);
        plan.spans.push_back({base, kept});
        x = y;
    }
    plan.columns_done = x;
    return plan;
}

// The sums of blur_spans over 32 columns, the kept lanes packed together
// and stored one after another.
__attribute__((target("avx512f"))) void blur_planned_avx512(const double* src, const ColumnSpans& plan,
                                                            const double* weights, std::size_t taps, double* out) {
    for (const ColumnSpans::Span& span : plan.spans) {
        const double* at = src + span.base;
        __m512d a0 = _mm512_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
        for (std::size_t k = 0; k < taps; ++k) {
            const __m512d w = _mm512_set1_pd(weights[k]);
            a0 = _mm512_add_pd(a0, _mm512_mul_pd(w, _mm512_loadu_pd(at + k)));
            a1 = _mm512_add_pd(a1, _mm512_mul_pd(w, _mm512_loadu_pd(at + k + 8)));
            a2 = _mm512_add_pd(a2, _mm512_mul_pd(w, _mm512_loadu_pd(at + k + 16)));
            a3 = _mm512_add_pd(a3, _mm512_mul_pd(w, _mm512_loadu_pd(at + k + 24)));
        }
        const __m512d a[4] = {a0, a1, a2, a3};
        for (int i = 0; i < 4; ++i) {
            const auto kept = static_cast<__mmask8>(span.kept >> (8 * i));
            const int count = __builtin_popcount(kept);
            _mm512_mask_storeu_pd(out, static_cast<__mmask8>((1u << count) - 1), _mm512_maskz_compress_pd(kept, a[i]));
            out += count;
        }
    }
}

// Asked per call: the choice may be capped at run time (cap_isa).
bool has_avx2() { return detected_isa() >= Isa::Avx2; }
bool has_avx512() { return detected_isa() >= Isa::Avx512; }

// The kept-column sums one column at a time, for columns x .. n - 1.
void blur_remaining_columns(const double* src, const std::size_t* columns, std::size_t x, std::size_t n,
                            const double* weights, std::size_t taps, double* out) {
    for (; x < n; ++x) {
        const double* a = src + columns[x];
        double acc = 0.0;
        for (std::size_t k = 0; k < taps; ++k) acc += weights[k] * a[k];
        out[x] = acc;
    }
}

}  // namespace

namespace {

// blur_at_columns, with the spans of the kept columns when they are already
// planned (AVX-512 only).
void blur_kept_columns(const double* src, std::size_t src_len, const std::size_t* columns, std::size_t n,
                       const double* weights, std::size_t taps, double* out, int lanes, const ColumnSpans* spans) {
    std::size_t x;
    if (lanes >= 8 && has_avx512()) {
        const ColumnSpans own = spans ? ColumnSpans{} : plan_spans(src_len, columns, n, taps);
        const ColumnSpans& plan = spans ? *spans : own;
        blur_planned_avx512(src, plan, weights, taps, out);
        x = plan.columns_done;
    } else {
        x = lanes >= 4 && has_avx2() ? blur_at_columns_avx2(src, src_len, columns, n, weights, taps, out)
                                   : blur_at_columns_pairs(src, columns, n, weights, taps, out);
    }
    blur_remaining_columns(src, columns, x, n, weights, taps, out);
}

}  // namespace

void blur_at_columns(const double* src, std::size_t src_len, const std::size_t* columns, std::size_t n,
                     const double* weights, std::size_t taps, double* out, int lanes) {
    blur_kept_columns(src, src_len, columns, n, weights, taps, out, lanes, nullptr);
}

namespace {

// out[x] = sum over k of weights[k] * lines[k][x], accumulated from 0.0 in
// increasing k, 4 x lanes columns at a time held in registers, from column
// `first` on; returns the first column not done.
template <class Vec>
[[gnu::always_inline]] inline std::size_t blur_rows_lanes(const double* const* lines, std::size_t first,
                                                          std::size_t n, const double* weights, std::size_t taps,
                                                          double* out) {
    constexpr std::size_t kLanes = sizeof(Vec) / sizeof(double);
    std::size_t x = first;
    for (; x + 4 * kLanes <= n; x += 4 * kLanes) {
        Vec a0 = {}, a1 = {}, a2 = {}, a3 = {};
        for (std::size_t k = 0; k < taps; ++k) {
            const double w = weights[k];
            const double* l = lines[k] + x;
            Vec v0, v1, v2, v3;
            std::memcpy(&v0, l, sizeof v0);
            std::memcpy(&v1, l + kLanes, sizeof v1);
            std::memcpy(&v2, l + 2 * kLanes, sizeof v2);
            std::memcpy(&v3, l + 3 * kLanes, sizeof v3);
            a0 += w * v0;
            a1 += w * v1;
            a2 += w * v2;
            a3 += w * v3;
        }
        std::memcpy(out + x, &a0, sizeof a0);
        std::memcpy(out + x + kLanes, &a1, sizeof a1);
        std::memcpy(out + x + 2 * kLanes, &a2, sizeof a2);
        std::memcpy(out + x + 3 * kLanes, &a3, sizeof a3);
    }
    return x;
}

__attribute__((target("avx512f"))) std::size_t blur_rows_avx512(const double* const* lines, std::size_t n,
                                                                 const double* weights, std::size_t taps,
                                                                 double* out) {
    return blur_rows_lanes<Oct>(lines, 0, n, weights, taps, out);
}

void blur_rows(const double* const* lines, std::size_t n, const double* weights, std::size_t taps, double* out) {
    std::size_t x = has_avx512() ? blur_rows_avx512(lines, n, weights, taps, out) : 0;
    x = blur_rows_lanes<Pair>(lines, x, n, weights, taps, out);
    for (; x < n; ++x) {
        double acc = 0.0;
        for (std::size_t k = 0; k < taps; ++k) acc += weights[k] * lines[k][x];
        out[x] = acc;
    }
}

#if !defined(__clang__)
// GCC 12 flags the deliberately undefined lanes inside its own AVX-512 intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Working values of n samples, eight at a time; returns the samples done.
template <class T>
__attribute__((target("avx512f,avx512dq,avx512vl"))) std::size_t working_values_avx512(const T* in, std::size_t n,
                                                                                     double* out) {
    std::size_t x = 0;
    for (; x + 8 <= n; x += 8) _mm512_storeu_pd(out + x, load_oct(in + x));
    return x;
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

template <class T>
void working_values(const T* in, std::size_t n, double* out) {
    if constexpr (std::is_same_v<T, double>) {
        std::memcpy(out, in, n * sizeof(double));
    } else {
        std::size_t x = has_avx512() ? working_values_avx512(in, n, out) : 0;
        for (; x < n; ++x) out[x] = working_value(in[x]);
    }
}

// What both passes share: the kernel, the kept columns and the sizes.
struct BlurPlan {
    std::size_t w_in, h_in, w_out, h_out;
    double scale;
    Buffer<double> kernel;
    std::size_t half;
    Buffer<std::size_t> columns;
    std::size_t padded_len;
    ColumnSpans spans;  // with AVX-512 only

    BlurPlan(std::uint64_t width, std::uint64_t height, double s) : w_in(width), h_in(height), scale(s) {
        const ScaledSize size = downscaled_size(width, height, scale);
        w_out = size.width;
        h_out = size.height;
        kernel = gaussian_kernel(scale);
        half = kernel.size() / 2;
        columns = Buffer<std::size_t>::uninitialized(w_out);
        for (std::size_t x = 0; x < w_out; ++x) columns[x] = source_index(x, scale, w_in);
        if (__builtin_add_overflow(w_in, 2 * half, &padded_len)) throw std::bad_alloc();
        if (has_avx512()) spans = plan_spans(padded_len, columns.data(), w_out, kernel.size());
    }

    // Input row g blurred along x at the kept columns. The row is first
    // widened by `half` copies of its edge pixels on each side, so every tap
    // is a plain load.
    template <class T>
    void horizontal(const T* image, std::size_t g, double* padded, double* out) const {
        const T* row = image + g * w_in;
        const double first = working_value(row[0]);
        const double last = working_value(row[w_in - 1]);
        for (std::size_t j = 0; j < half; ++j) padded[j] = first;
        working_values(row, w_in, padded + half);
        for (std::size_t j = half + w_in; j < padded_len; ++j) padded[j] = last;
        blur_kept_columns(padded, padded_len, columns.data(), w_out, kernel.data(), kernel.size(), out, 8, &spans);
    }

    // The input rows that the taps of output row y read, edge rows repeated.
    std::size_t tap_row(std::size_t y, std::size_t k) const {
        const std::int64_t g = static_cast<std::int64_t>(source_index(y, scale, h_in)) + static_cast<std::int64_t>(k) -
                               static_cast<std::int64_t>(half);
        return static_cast<std::size_t>(std::clamp<std::int64_t>(g, 0, static_cast<std::int64_t>(h_in) - 1));
    }

    // Output row y from the horizontally blurred rows; `first` is the input
    // row held at across[0].
    void vertical(std::size_t y, const double* across, std::size_t first, const double** lines, double* out) const {
        for (std::size_t k = 0; k < kernel.size(); ++k) lines[k] = across + (tap_row(y, k) - first) * w_out;
        blur_rows(lines, w_out, kernel.data(), kernel.size(), out);
    }
};

}  // namespace

// Only the blurred pixels that decimation keeps are computed. The horizontal
// pass runs over every input row but only at the kept columns; the vertical
// pass only at the kept rows. Each blurred value is still the same sum, in the
// same tap order, as a full-image blur would give.
template <class T>
Downscaled downscale(const T* image, std::uint64_t width, std::uint64_t height, double scale) {
    const BlurPlan plan(width, height, scale);

    Buffer<double> across = Buffer<double>::uninitialized(mul_size(plan.w_out, plan.h_in));
    prefer_huge_pages(across);
    for_each_row(across.data(), plan.w_out, plan.h_in, [&](std::size_t g, double* out) {
        Buffer<double> padded = Buffer<double>::uninitialized(plan.padded_len);
        plan.horizontal(image, g, padded.data(), out);
    });

    Buffer<double> out = Buffer<double>::uninitialized(mul_size(plan.w_out, plan.h_out));
    prefer_huge_pages(out);
    for_each_row(out.data(), plan.w_out, plan.h_out, [&](std::size_t y, double* row) {
        Buffer<const double*> lines = Buffer<const double*>::uninitialized(plan.kernel.size());
        plan.vertical(y, across.data(), 0, lines.data(), row);
    });
    return {std::move(out), plan.w_out, plan.h_out};
}

template Downscaled downscale(const std::uint8_t*, std::uint64_t, std::uint64_t, double);
template Downscaled downscale(const std::uint16_t*, std::uint64_t, std::uint64_t, double);
template Downscaled downscale(const float*, std::uint64_t, std::uint64_t, double);
template Downscaled downscale(const double*, std::uint64_t, std::uint64_t, double);

template <class T>
DownscaledField downscaled_level_line_field(const T* image, std::uint64_t width, std::uint64_t height, double scale,
                                            float weak, FieldNotes* notes) {
    const BlurPlan plan(width, height, scale);
    const std::size_t w = plan.w_out, h = plan.h_out;
    Buffer<Px> field = Buffer<Px>::uninitialized(mul_size(w, h));
    prefer_huge_pages(field);
    // Field rows y need downscaled rows y and y + 1, and downscaled row y
    // needs the horizontally blurred input rows tap_row(y, 0) ..
    // tap_row(y, taps - 1), a run of at most `taps` consecutive rows that
    // only moves down from one output row to the next. So a band keeps those
    // rows in a ring of `taps` slots (row g in slot g % taps) and its two
    // latest downscaled rows, and works in cache however wide the image is.
    const std::size_t taps = plan.kernel.size();
    build_field_bands(field.data(), w, h, weak, notes, [&](std::size_t y0, std::size_t y1, auto& note) {
        Buffer<double> padded = Buffer<double>::uninitialized(plan.padded_len);
        Buffer<double> across = Buffer<double>::uninitialized(mul_size(taps, w));
        Buffer<const double*> lines = Buffer<const double*>::uninitialized(taps);
        Buffer<double> rows = Buffer<double>::uninitialized(mul_size(2, w));
        std::size_t next = plan.tap_row(y0, 0);  // the next input row to blur along x
        auto downscaled_row = [&](std::size_t y) {
            for (const std::size_t last = plan.tap_row(y, taps - 1); next <= last; ++next)
                plan.horizontal(image, next, padded.data(), across.data() + (next % taps) * w);
            for (std::size_t k = 0; k < taps; ++k) lines[k] = across.data() + (plan.tap_row(y, k) % taps) * w;
            double* out = rows.data() + (y % 2) * w;
            blur_rows(lines.data(), w, plan.kernel.data(), taps, out);
            return out;
        };
        const double* top = downscaled_row(y0);
        for (std::size_t y = y0; y < y1; ++y) {
            const double* bottom = downscaled_row(y + 1);
            level_line_row(top, bottom, w, weak, field.data() + y * w);
            note(y);
            top = bottom;
        }
    });
    return {std::move(field), w, h};
}

template DownscaledField downscaled_level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t, double, float, FieldNotes*);
template DownscaledField downscaled_level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t, double, float, FieldNotes*);
template DownscaledField downscaled_level_line_field(const float*, std::uint64_t, std::uint64_t, double, float, FieldNotes*);
template DownscaledField downscaled_level_line_field(const double*, std::uint64_t, std::uint64_t, double, float, FieldNotes*);

}  // namespace trevalin
