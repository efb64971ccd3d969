// The level-line field: gradient norm and level-line direction of every 2 x 2 block, row by row in parallel.
#include "detector/level_line_field.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include <utility>

#include "detector/lanes.hpp"
#include "pool/pool.hpp"
#include "sample/memory.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

namespace {

// The record of one block from its gradient, when the block is not weak.
inline void finish_record(double gx, double gy, float weak, Px& out) {
    // hypot with one zero argument is exactly the other's magnitude.
    const double norm = gy == 0.0 ? std::fabs(gx) : gx == 0.0 ? std::fabs(gy) : std::hypot(gx, gy);
    if (!(norm > 0.0)) return;
    const float stored = static_cast<float>(norm);
    if (weak > 0.0f && !(stored > weak)) return;
    out = {stored, static_cast<float>(-gy / norm), static_cast<float>(gx / norm)};
}

// A squared magnitude this far below weak^2 cannot round to a norm above
// weak: the margin covers the rounding of the sum and of hypot many times.
inline double weak_square(float weak) {
    return weak > 0.0f ? static_cast<double>(weak) * static_cast<double>(weak) * (1.0 - 0x1p-20) : -1.0;
}

// The single-precision values of kCount<D> doubles; clears the bits of
// `stable` whose lanes' values would not round to the same float anywhere
// within a relative 2^-40 of them (NaN included).
template <class D>
[[gnu::always_inline]] inline lanes::Vec<float, lanes::kCount<D>> stable_floats(const D& d, unsigned& stable) {
    using F = lanes::Vec<float, lanes::kCount<D>>;
    const F f = __builtin_convertvector(d, F);
    const F low = __builtin_convertvector(d * (1.0 - 0x1p-40), F);
    const F high = __builtin_convertvector(d * (1.0 + 0x1p-40), F);
    stable &= lanes::bits(f == low) & lanes::bits(f == high);
    return f;
}

// Where float k of n interleaved records (norm, ux, uy) comes from, in the
// shuffle of the norms and first components (lanes 0 .. 2n - 1) with the
// second components (from lane 2n on).
constexpr int record_lane(std::size_t k, std::size_t n) {
    return static_cast<int>((k % 3) * n + k / 3);
}

// The n records of the lanes of n, u and v, written to out[0 .. n).
template <class F, std::size_t... K>
[[gnu::always_inline]] inline void store_records(Px* out, const F& n, const F& u, const F& v,
                                                 std::index_sequence<K...>) {
    constexpr std::size_t c = lanes::kCount<F>;
    const auto nu = __builtin_shufflevector(n, u, K..., (c + K)...);
    const auto vv = __builtin_shufflevector(v, v, K..., (c + K)...);
    float* f = &out->norm;
    const auto first = __builtin_shufflevector(nu, vv, record_lane(K, c)..., record_lane(c + K, c)...);
    const auto last = __builtin_shufflevector(nu, vv, record_lane(2 * c + K, c)...);
    std::memcpy(f, &first, sizeof first);
    std::memcpy(f + 2 * c, &last, sizeof last);
}

// The records of kCount<D> blocks, given their gradients, squared
// magnitudes (gx^2 + gy^2) and weak lanes (as bits); writes them all (zero
// for weak blocks).
//
// A record needs the norm hypot(gx, gy) only through three roundings to
// single precision: of the norm and of -gy / norm and gx / norm. The square
// root of the squared magnitude is within a few ulps of the C library's
// hypot (both are within an ulp of the true magnitude when the squares
// neither overflow nor underflow), so wherever the three floats are the same
// across a margin a million times wider, they are the record's own floats.
// The rare lanes that are not, and those with a zero component (whose norm
// is exactly the other one's magnitude), go through finish_record.
template <class D>
[[gnu::always_inline]] inline void finish_lanes(const D& gx, const D& gy, const D& square, unsigned weak_lanes,
                                                float weak, Px* out) {
    constexpr std::size_t n_lanes = lanes::kCount<D>;
    using F = lanes::Vec<float, n_lanes>;
    using I = lanes::MaskOf<F>;
    // Each comparison straight to bits: GCC 12 takes the lanes of a combined
    // mask of eight doubles one by one.
    unsigned fast = lanes::bits(square >= 0x1p-1000) & lanes::bits(square <= 0x1p1000) & lanes::bits(gx != 0.0) &
                    lanes::bits(gy != 0.0);
    const D norm = lanes::sqrt(square);
    F n = stable_floats(norm, fast);
    F u = stable_floats(-gy / norm, fast);
    F v = stable_floats(gx / norm, fast);
    // Lanes written from the vectors: fast ones that are not weak and whose
    // norm is above `weak` (when positive); the others are written zero.
    const unsigned strong = ~weak_lanes & lanes::kAll<n_lanes>;
    unsigned taken = fast & strong;
    if (weak > 0.0f) taken &= lanes::bits(n > weak);
    I lane_bit;
    for (std::size_t i = 0; i < n_lanes; ++i) lane_bit[i] = 1 << i;
    const I keep = (lane_bit & static_cast<int>(taken)) != 0;
    n = lanes::as<F>(lanes::as<I>(n) & keep);
    u = lanes::as<F>(lanes::as<I>(u) & keep);
    v = lanes::as<F>(lanes::as<I>(v) & keep);
    store_records(out, n, u, v, std::make_index_sequence<n_lanes>());
    // The rare lanes that the vectors cannot settle.
    if (const unsigned slow = strong & ~fast; slow != 0) [[unlikely]] {
        for (unsigned rest = slow; rest != 0; rest &= rest - 1) {
            const int i = __builtin_ctz(rest);
            finish_record(gx[i], gy[i], weak, out[i]);
        }
    }
}

// The blocks from x on, kCount<D> at a time while a whole vector of them
// fits before the row's last column; returns the first block not done. The
// gradients and the weak test are the scalar operations lane by lane, so the
// records are the same bit for bit at every width; only the blocks that are
// not clearly weak go on.
template <class D, class T>
[[gnu::always_inline]] inline std::size_t level_line_blocks(const T* top, const T* bottom, std::size_t x,
                                                            std::size_t width, float weak, Px* out) {
    constexpr std::size_t n = lanes::kCount<D>;
    const double weak_sq = weak_square(weak);
    for (; x + n + 1 <= width; x += n) {
        const D a = lanes::load_working<D>(top + x), b = lanes::load_working<D>(top + x + 1);
        const D c = lanes::load_working<D>(bottom + x), d = lanes::load_working<D>(bottom + x + 1);
        const D gx = (((b + d) - a) - c) * 0.5;
        const D gy = (((c + d) - a) - b) * 0.5;
        const D square = gx * gx + gy * gy;
        const unsigned weak_lanes = lanes::bits(square <= weak_sq);  // false for NaN, as in the scalar test
        if (weak_lanes == lanes::kAll<n>) {
            std::memset(static_cast<void*>(out + x), 0, n * sizeof(Px));
            continue;
        }
        finish_lanes(gx, gy, square, weak_lanes, weak, out + x);
    }
    return x;
}

// A row of blocks: whole vectors, then the rest one block at a time; the
// last column has no block.
template <class D, class T>
[[gnu::always_inline]] inline void level_line_row_lanes(const T* top, const T* bottom, std::size_t width, float weak,
                                                        Px* out) {
    const std::size_t x = level_line_blocks<D>(top, bottom, 0, width, weak, out);
    level_line_blocks<lanes::One<D>>(top, bottom, x, width, weak, out);
    out[width - 1] = Px{0.0f, 0.0f, 0.0f};
}

}  // namespace

template <class T>
void level_line_row(const T* top, const T* bottom, std::uint64_t width, float weak, Px* out) {
    if (width < 2) {
        if (width == 1) out[0] = Px{0.0f, 0.0f, 0.0f};
        return;
    }
    lanes::dispatch([&](auto w) { level_line_row_lanes<typename decltype(w)::D>(top, bottom, width, weak, out); });
}

template void level_line_row(const std::uint8_t*, const std::uint8_t*, std::uint64_t, float, Px*);
template void level_line_row(const std::uint16_t*, const std::uint16_t*, std::uint64_t, float, Px*);
template void level_line_row(const float*, const float*, std::uint64_t, float, Px*);
template void level_line_row(const double*, const double*, std::uint64_t, float, Px*);

template <class T>
Buffer<Px> level_line_field(const T* image, std::uint64_t width, std::uint64_t height, float weak,
                            FieldNotes* notes) {
    const std::size_t w = width;
    if (width == 0 || height == 0) {
        // No pixels: no records, and notes with nothing noted.
        if (notes) *notes = start_notes(0, 1);
        return Buffer<Px>::zeroed(0);
    }
    Buffer<Px> field = Buffer<Px>::uninitialized(mul_size(width, height));
    prefer_huge_pages(field);
    build_field_bands(field.data(), w, height, weak, notes, [&](std::size_t y0, std::size_t y1, auto& note) {
        for (std::size_t y = y0; y < y1; ++y) {
            level_line_row(image + y * w, image + (y + 1) * w, w, weak, field.data() + y * w);
            note(y);
        }
    });
    return field;
}

template Buffer<Px> level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t, float, FieldNotes*);
template Buffer<Px> level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t, float, FieldNotes*);
template Buffer<Px> level_line_field(const float*, std::uint64_t, std::uint64_t, float, FieldNotes*);
template Buffer<Px> level_line_field(const double*, std::uint64_t, std::uint64_t, float, FieldNotes*);

}  // namespace trevalin
