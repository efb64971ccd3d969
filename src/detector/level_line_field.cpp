// The level-line field: gradient norm and level-line direction of every 2 x 2 block, row by row in parallel.
#include "detector/level_line_field.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "sample/memory.hpp"
#include "detector/working_value.hpp"
#include "pool/pool.hpp"
#include "sample/isa.hpp"
#include "sample/numeric.hpp"
#include "sample/panic.hpp"

#if TREVALIN_X86
#include <immintrin.h>

#include "detector/working_oct.hpp"
#endif

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

template <class T>
void level_line_row_scalar(const T* top, const T* bottom, std::size_t first, std::size_t width, float weak, Px* out) {
    const double weak_sq = weak_square(weak);
    // Each sample is converted once: the right column of one block is the
    // left column of the next.
    double a = working_value(top[first]);
    double c = working_value(bottom[first]);
    for (std::size_t x = first; x + 1 < width; ++x) {
        const double b = working_value(top[x + 1]);
        const double d = working_value(bottom[x + 1]);
        const double gx = (((b + d) - a) - c) * 0.5;
        const double gy = (((c + d) - a) - b) * 0.5;
        a = b;
        c = d;
        out[x] = Px{0.0f, 0.0f, 0.0f};
        if (gx * gx + gy * gy <= weak_sq) continue;
        finish_record(gx, gy, weak, out[x]);
    }
    out[width - 1] = Px{0.0f, 0.0f, 0.0f};
}

#if TREVALIN_X86
// Four blocks at a time: the gradients and the weak test are the scalar
// operations lane by lane, so the records are the same bit for bit; only
// the blocks that are not clearly weak go on, one by one.
typedef double Quad __attribute__((vector_size(32)));
typedef long long QuadMask __attribute__((vector_size(32)));

// Four working values, converted in one vector: integer and float samples
// are exact in double, and the 16-bit division is the correctly rounded one
// of working_value in every lane.
__attribute__((target("avx2"), always_inline)) inline Quad load_quad(const std::uint8_t* p) {
    std::int32_t bytes;
    std::memcpy(&bytes, p, sizeof bytes);
    return reinterpret_cast<Quad>(_mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(bytes))));
}

__attribute__((target("avx2"), always_inline)) inline Quad load_quad(const std::uint16_t* p) {
    const __m128i words = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const Quad v = reinterpret_cast<Quad>(_mm256_cvtepi32_pd(_mm_cvtepu16_epi32(words)));
    return v / Quad{257.0, 257.0, 257.0, 257.0};
}

__attribute__((target("avx2"), always_inline)) inline Quad load_quad(const float* p) {
    return reinterpret_cast<Quad>(_mm256_cvtps_pd(_mm_loadu_ps(p)));
}

__attribute__((target("avx2"), always_inline)) inline Quad load_quad(const double* p) {
    Quad v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The single-precision values of four doubles, and whether each lane's
// value would round to the same float anywhere within a relative 2^-40 of
// it (false for NaN).
__attribute__((target("avx2"), always_inline)) inline __m128 stable_floats(Quad v, int& stable) {
    const __m256d d = reinterpret_cast<__m256d>(v);
    const __m128 f = _mm256_cvtpd_ps(d);
    const __m128 low = _mm256_cvtpd_ps(_mm256_mul_pd(d, _mm256_set1_pd(1.0 - 0x1p-40)));
    const __m128 high = _mm256_cvtpd_ps(_mm256_mul_pd(d, _mm256_set1_pd(1.0 + 0x1p-40)));
    stable &= _mm_movemask_ps(_mm_and_ps(_mm_cmpeq_ps(f, low), _mm_cmpeq_ps(f, high)));
    return f;
}

// The records of four blocks, given their gradients, squared magnitudes
// (gx^2 + gy^2) and weak lanes; writes all four (zero for weak blocks).
//
// A record needs the norm hypot(gx, gy) only through three roundings to
// single precision: of the norm and of -gy / norm and gx / norm. The square
// root of the squared magnitude is within a few ulps of the C library's
// hypot (both are within an ulp of the true magnitude when the squares
// neither overflow nor underflow), so wherever the three floats are the same
// across a margin a million times wider, they are the record's own floats.
// The rare lanes that are not, and those with a zero component (whose norm
// is exactly the other one's magnitude), go through finish_record.
__attribute__((target("avx2"))) void finish_quad(Quad gx, Quad gy, Quad square, QuadMask weak_lane, float weak,
                                                 Px* out) {
    const __m256d sq = reinterpret_cast<__m256d>(square);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d in_range = _mm256_and_pd(_mm256_cmp_pd(sq, _mm256_set1_pd(0x1p-1000), _CMP_GE_OQ),
                                           _mm256_cmp_pd(sq, _mm256_set1_pd(0x1p1000), _CMP_LE_OQ));
    const __m256d both_nonzero =
        _mm256_and_pd(_mm256_cmp_pd(reinterpret_cast<__m256d>(gx), zero, _CMP_NEQ_OQ),
                      _mm256_cmp_pd(reinterpret_cast<__m256d>(gy), zero, _CMP_NEQ_OQ));
    int fast = _mm256_movemask_pd(_mm256_and_pd(in_range, both_nonzero));
    const Quad norm = reinterpret_cast<Quad>(_mm256_sqrt_pd(sq));
    __m128 n = stable_floats(norm, fast);
    __m128 u = stable_floats(-gy / norm, fast);
    __m128 v = stable_floats(gx / norm, fast);
    // Lanes written from the vectors: fast ones that are not weak and whose
    // norm is above `weak` (when positive); the others are written zero.
    const int strong = _mm256_movemask_pd(reinterpret_cast<__m256d>(~weak_lane));
    const int taken = fast & strong & (weak > 0.0f ? _mm_movemask_ps(_mm_cmpgt_ps(n, _mm_set1_ps(weak))) : 15);
    const __m128i bit = _mm_setr_epi32(1, 2, 4, 8);
    const __m128 keep = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(taken), bit), bit));
    n = _mm_and_ps(n, keep);
    u = _mm_and_ps(u, keep);
    v = _mm_and_ps(v, keep);
    // Four records of (norm, ux, uy) in a row: n0 u0 v0 n1 | u1 v1 n2 u2 | v2 n3 u3 v3.
    const __m128 nu_low = _mm_unpacklo_ps(n, u);                    // n0 u0 n1 u1
    const __m128 nu_high = _mm_unpackhi_ps(n, u);                   // n2 u2 n3 u3
    const __m128 v0n1 = _mm_shuffle_ps(v, nu_low, _MM_SHUFFLE(2, 2, 0, 0));   // v0 v0 n1 n1
    const __m128 first = _mm_shuffle_ps(nu_low, v0n1, _MM_SHUFFLE(2, 0, 1, 0));  // n0 u0 v0 n1
    const __m128 u1v1 = _mm_shuffle_ps(nu_low, v, _MM_SHUFFLE(1, 1, 3, 3));   // u1 u1 v1 v1
    const __m128 second = _mm_shuffle_ps(u1v1, nu_high, _MM_SHUFFLE(1, 0, 2, 0));  // u1 v1 n2 u2
    const __m128 v2n3 = _mm_shuffle_ps(v, nu_high, _MM_SHUFFLE(2, 2, 2, 2));  // v2 v2 n3 n3
    const __m128 u3v3 = _mm_shuffle_ps(nu_high, v, _MM_SHUFFLE(3, 3, 3, 3));  // u3 u3 v3 v3
    const __m128 third = _mm_shuffle_ps(v2n3, u3v3, _MM_SHUFFLE(2, 0, 2, 0));  // v2 n3 u3 v3
    float* f = &out->norm;
    _mm_storeu_ps(f, first);
    _mm_storeu_ps(f + 4, second);
    _mm_storeu_ps(f + 8, third);
    // The rare lanes that the vectors cannot settle.
    for (int slow = strong & ~fast; slow != 0; slow &= slow - 1) {
        const int i = __builtin_ctz(static_cast<unsigned>(slow));
        finish_record(gx[i], gy[i], weak, out[i]);
    }
}

template <class T>
__attribute__((target("avx2"))) void level_line_row_avx2(const T* top, const T* bottom, std::size_t width, float weak,
                                                         Px* out) {
    const double weak_sq = weak_square(weak);
    const Quad half = {0.5, 0.5, 0.5, 0.5};
    const Quad limit = {weak_sq, weak_sq, weak_sq, weak_sq};
    std::size_t x = 0;
    for (; x + 5 <= width; x += 4) {
        const Quad a = load_quad(top + x), b = load_quad(top + x + 1);
        const Quad c = load_quad(bottom + x), d = load_quad(bottom + x + 1);
        const Quad gx = (((b + d) - a) - c) * half;
        const Quad gy = (((c + d) - a) - b) * half;
        const Quad square = gx * gx + gy * gy;
        const QuadMask weak_lane = square <= limit;  // false for NaN, as in the scalar test
        if (weak_lane[0] & weak_lane[1] & weak_lane[2] & weak_lane[3]) {
            std::memset(static_cast<void*>(out + x), 0, 4 * sizeof(Px));
            continue;
        }
        finish_quad(gx, gy, square, weak_lane, weak, out + x);
    }
    level_line_row_scalar(top, bottom, x, width, weak, out);
}

// Asked per call: the choice may be capped at run time (cap_isa).
bool has_avx2() { return detected_isa() >= Isa::Avx2; }
bool has_avx512() { return detected_isa() >= Isa::Avx512; }

#if !defined(__clang__)
// GCC 12 flags the deliberately undefined lanes inside its own AVX-512 intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define TREVALIN_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl")))

// stable_floats for eight doubles; clears the bits of `stable` whose lanes
// are not stable.
TREVALIN_AVX512 inline __m256 stable_floats8(__m512d d, __mmask8& stable) {
    const __m256 f = _mm512_cvtpd_ps(d);
    const __m256 low = _mm512_cvtpd_ps(_mm512_mul_pd(d, _mm512_set1_pd(1.0 - 0x1p-40)));
    const __m256 high = _mm512_cvtpd_ps(_mm512_mul_pd(d, _mm512_set1_pd(1.0 + 0x1p-40)));
    stable = _mm256_mask_cmp_ps_mask(_mm256_mask_cmp_ps_mask(stable, f, low, _CMP_EQ_OQ), f, high, _CMP_EQ_OQ);
    return f;
}

// Where float k of eight interleaved records comes from: record k / 3, field
// k % 3, with the norms at 0-7 and the first components at 8-15 of the first
// source and the second components at 0-7 of the second (16-23 in all).
struct RecordOrder {
    alignas(64) int first[16];
    alignas(64) int second[16];
};

constexpr RecordOrder record_order() {
    RecordOrder r{};
    for (int k = 0; k < 24; ++k) {
        const int from = (k % 3) * 8 + k / 3;
        if (k < 16) r.first[k] = from;
        else r.second[k - 16] = from;
    }
    for (int k = 8; k < 16; ++k) r.second[k] = 0;
    return r;
}

constexpr RecordOrder kRecordOrder = record_order();

// finish_quad for eight blocks.
TREVALIN_AVX512 void finish_oct(__m512d gx, __m512d gy, __m512d sq, __mmask8 weak_lanes, float weak, Px* out) {
    const __m512d zero = _mm512_setzero_pd();
    __mmask8 fast = _mm512_cmp_pd_mask(sq, _mm512_set1_pd(0x1p-1000), _CMP_GE_OQ);
    fast = _mm512_mask_cmp_pd_mask(fast, sq, _mm512_set1_pd(0x1p1000), _CMP_LE_OQ);
    fast = _mm512_mask_cmp_pd_mask(fast, gx, zero, _CMP_NEQ_OQ);
    fast = _mm512_mask_cmp_pd_mask(fast, gy, zero, _CMP_NEQ_OQ);
    const __m512d norm = _mm512_sqrt_pd(sq);
    __m256 n = stable_floats8(norm, fast);
    const __m512d minus_gy = _mm512_xor_pd(gy, _mm512_set1_pd(-0.0));
    __m256 u = stable_floats8(_mm512_div_pd(minus_gy, norm), fast);
    __m256 v = stable_floats8(_mm512_div_pd(gx, norm), fast);
    const __mmask8 strong = static_cast<__mmask8>(~weak_lanes);
    __mmask8 taken = static_cast<__mmask8>(fast & strong);
    if (weak > 0.0f) taken = _mm256_mask_cmp_ps_mask(taken, n, _mm256_set1_ps(weak), _CMP_GT_OQ);
    n = _mm256_maskz_mov_ps(taken, n);
    u = _mm256_maskz_mov_ps(taken, u);
    v = _mm256_maskz_mov_ps(taken, v);
    const __m512 nu = _mm512_insertf32x8(_mm512_castps256_ps512(n), u, 1);
    const __m512 vv = _mm512_castps256_ps512(v);
    float* f = &out->norm;
    _mm512_storeu_ps(f, _mm512_permutex2var_ps(nu, _mm512_load_si512(kRecordOrder.first), vv));
    _mm256_storeu_ps(f + 16, _mm512_castps512_ps256(
                                 _mm512_permutex2var_ps(nu, _mm512_load_si512(kRecordOrder.second), vv)));
    // The rare lanes that the vectors cannot settle.
    const unsigned slow = static_cast<unsigned>(strong & ~fast) & 0xffu;
    if (slow != 0) [[unlikely]] {
        alignas(64) double xs[8], ys[8];
        _mm512_store_pd(xs, gx);
        _mm512_store_pd(ys, gy);
        for (unsigned rest = slow; rest != 0; rest &= rest - 1) {
            const int i = __builtin_ctz(rest);
            finish_record(xs[i], ys[i], weak, out[i]);
        }
    }
}

template <class T>
TREVALIN_AVX512 void level_line_row_avx512(const T* top, const T* bottom, std::size_t width, float weak, Px* out) {
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d limit = _mm512_set1_pd(weak_square(weak));
    std::size_t x = 0;
    for (; x + 9 <= width; x += 8) {
        const __m512d a = load_oct(top + x), b = load_oct(top + x + 1);
        const __m512d c = load_oct(bottom + x), d = load_oct(bottom + x + 1);
        const __m512d gx = _mm512_mul_pd(_mm512_sub_pd(_mm512_sub_pd(_mm512_add_pd(b, d), a), c), half);
        const __m512d gy = _mm512_mul_pd(_mm512_sub_pd(_mm512_sub_pd(_mm512_add_pd(c, d), a), b), half);
        const __m512d sq = _mm512_add_pd(_mm512_mul_pd(gx, gx), _mm512_mul_pd(gy, gy));
        const __mmask8 weak_lanes = _mm512_cmp_pd_mask(sq, limit, _CMP_LE_OQ);  // false for NaN
        if (weak_lanes == 0xff) {
            std::memset(static_cast<void*>(out + x), 0, 8 * sizeof(Px));
            continue;
        }
        finish_oct(gx, gy, sq, weak_lanes, weak, out + x);
    }
    level_line_row_scalar(top, bottom, x, width, weak, out);
}

#undef TREVALIN_AVX512

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif  // TREVALIN_X86

}  // namespace

template <class T>
void level_line_row(const T* top, const T* bottom, std::uint64_t width, float weak, Px* out, int lanes) {
    if (width < 2) {
        if (width == 1) out[0] = Px{0.0f, 0.0f, 0.0f};
        return;
    }
#if TREVALIN_X86
    if (has_avx512() && lanes >= 8) level_line_row_avx512(top, bottom, width, weak, out);
    else if (has_avx2() && lanes >= 4) level_line_row_avx2(top, bottom, width, weak, out);
    else
#endif
        level_line_row_scalar(top, bottom, 0, width, weak, out);
}

template void level_line_row(const std::uint8_t*, const std::uint8_t*, std::uint64_t, float, Px*, int);
template void level_line_row(const std::uint16_t*, const std::uint16_t*, std::uint64_t, float, Px*, int);
template void level_line_row(const float*, const float*, std::uint64_t, float, Px*, int);
template void level_line_row(const double*, const double*, std::uint64_t, float, Px*, int);

template <class T>
Buffer<Px> level_line_field(const T* image, std::uint64_t width, std::uint64_t height, float weak,
                            FieldNotes* notes) {
    const std::size_t w = width;
    if (width < 2 || height < 2) {
        Buffer<Px> field = Buffer<Px>::zeroed(mul_size(width, height));
        if (notes) *notes = note_field(field.data(), field.size(), weak);
        return field;
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
