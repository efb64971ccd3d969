// The level-line field: gradient norm and level-line direction of every 2 x 2 block, row by row in parallel.
#include "detector/level_line_field.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
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
    // An infinite gradient (infinite samples, or differences beyond the
    // doubles) has no direction: its record stays zero, as a NaN one does. A
    // finite one beyond the floats keeps its direction and the largest float
    // as its norm: an infinite norm would outrank every other in the seed
    // order and weigh its pixel infinitely in a rectangle's fit.
    if (!(norm > 0.0) || norm == std::numeric_limits<double>::infinity()) return;
    const float stored = std::min(static_cast<float>(norm), std::numeric_limits<float>::max());
    if (weak > 0.0f && !(stored > weak)) return;
    out = {stored, static_cast<float>(-gy / norm), static_cast<float>(gx / norm)};
}

// A squared magnitude this far below weak^2 cannot round to a norm above
// weak: the margin covers the rounding of the sum and of hypot many times.
inline double weak_square(float weak) {
    return weak > 0.0f ? static_cast<double>(weak) * static_cast<double>(weak) * (1.0 - 0x1p-20) : -1.0;
}

// The lanes (as bits) of kCount<D> doubles that lie within 2^15 units in the
// last place of a point halfway between two floats, or on one; the others
// round to the same float anywhere within a relative 2^-39 of them, provided
// each lies in [2^-126, 2^127), so that its float is a normal one.
//
// A double of magnitude in [2^E, 2^(E+1)), -126 <= E <= 127, has ulp
// 2^(E-52); rounding it to a float keeps the top 24 of its 53 significant
// bits and drops the low 29 bits r of its encoding (the same for either
// sign). The float steps there are 2^29 ulps, so the halfway points of the
// binade are where r = 2^28 (the top one being where floats overflow when
// E = 127), and those of the binades next to it are at least 2^27 ulps off
// (the floats' binade edges are floats). A relative 2^-39 of the double is
// below 2^(E+1-39) = 2^14 ulps, so a lane with |r - 2^28| >= 2^15 has no
// halfway point that near: the rounding is the same all across. The test:
// (bits + 2^28 + 2^15) has zeros in bits 16 .. 28 exactly when
// r + 2^28 + 2^15 lies in [2^29, 2^29 + 2^16), i.e. r in [2^28 - 2^15, 2^28 + 2^15).
template <class D>
[[gnu::always_inline]] inline auto near_halfway(const D& d) {
    using U = lanes::Vec<std::uint64_t, lanes::kCount<D>>;
    constexpr std::uint64_t shift = (std::uint64_t{1} << 28) + (std::uint64_t{1} << 15);
    constexpr std::uint64_t kept = (std::uint64_t{1} << 29) - (std::uint64_t{1} << 16);
    return ((lanes::as<U>(d) + shift) & kept) == 0;
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

// The records of kCount<D> blocks, given their gradients, their squares,
// squared magnitudes (gx^2 + gy^2) and weak lanes (as bits); writes them all
// (zero for weak blocks).
//
// A record needs the norm hypot(gx, gy) only through three roundings to
// single precision: of the norm and of -gy / norm and gx / norm. The square
// root of the squared magnitude is within a few ulps of the C library's
// hypot (both are within an ulp of the true magnitude when the squares
// neither overflow nor underflow), so the three doubles here are within a few
// ulps of the record's, and wherever each rounds to the same float across a
// relative 2^-39 of it (some 2^13 ulps), those are the record's own floats.
//
// The vectors settle the lanes where gx^2 and gy^2 are at least 2^-150 and
// their sum at most 2^100, and none of the three doubles is near_halfway. The
// bounds put all three in [2^-126, 2^127), as near_halfway needs: the norm is
// in [2^-75, 2^50] (the rounded sum is at least either rounded square, which
// is at most the sum), and |gx| / norm (as |gy| / norm) at least
// 2^-75 (1 - 2^-54) / 2^50, so its rounding is at least 2^-126, and at most
// 2^50 (1 + 2^-53) / 2^-75.
// So every lane settled here would also pass a plainer test: both components
// nonzero, the squared magnitude in [2^-1000, 2^1000], and each double scaled
// by 1 - 2^-40 and by 1 + 2^-40 (still within a relative 2^-39 once rounded)
// rounding to its float.
// The rare lanes that are not settled go through finish_record.
template <class D>
[[gnu::always_inline]] inline void finish_lanes(const D& gx, const D& gy, const D& gx2, const D& gy2,
                                                const D& square, unsigned weak_lanes, float weak, Px* out) {
    constexpr std::size_t n_lanes = lanes::kCount<D>;
    using F = lanes::Vec<float, n_lanes>;
    using I = lanes::MaskOf<F>;
    // Each comparison straight to bits: GCC 12 takes the lanes of a combined
    // mask of eight doubles one by one.
    unsigned fast = lanes::bits(gx2 >= 0x1p-150) & lanes::bits(gy2 >= 0x1p-150) & lanes::bits(square <= 0x1p100);
    const D norm = lanes::sqrt(square);
    const D ud = -gy / norm, vd = gx / norm;
    const lanes::MaskOf<D> near = near_halfway(norm) | near_halfway(ud) | near_halfway(vd);
    fast &= ~lanes::bits(near);
    F n = __builtin_convertvector(norm, F);
    F u = __builtin_convertvector(ud, F);
    F v = __builtin_convertvector(vd, F);
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
        const D gx2 = gx * gx, gy2 = gy * gy;
        const D square = gx2 + gy2;
        const unsigned weak_lanes = lanes::bits(square <= weak_sq);  // false for NaN, as in the scalar test
        if (weak_lanes == lanes::kAll<n>) {
            std::memset(static_cast<void*>(out + x), 0, n * sizeof(Px));
            continue;
        }
        finish_lanes(gx, gy, gx2, gy2, square, weak_lanes, weak, out + x);
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
