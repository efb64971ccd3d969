// Row kernels for AVX-512 (F, BW, DQ, VL): eight output pixels per step. Only
// called after the CPU has reported those extensions (detected_isa). Nothing in the target region below may
// use inline functions shared with other translation units: their copies
// would be built for AVX2 and could replace the portable ones at link time.

#include <immintrin.h>

#include <cstring>

#include "warp/row_kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl"))), apply_to = function)
#else
#pragma GCC push_options
// GCC 12 flags the deliberately undefined lanes inside its own gather intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl")
#endif

namespace trevalin {
namespace {

struct Bytes64 {
    alignas(64) signed char b[64];
};

// A byte shuffle that moves `count` bytes starting at `first` of every 64-bit
// word to the bottom of that word and clears the rest.
template <int first, int count>
constexpr Bytes64 pick_bytes() {
    Bytes64 r{};
    for (int i = 0; i < 64; ++i) {
        int word = (i % 16) / 8;
        int b = i % 8;
        r.b[i] = static_cast<signed char>(b < count ? word * 8 + first + b : -128);
    }
    return r;
}

template <int first, int count>
constexpr Bytes64 pick = pick_bytes<first, count>();

#include "warp/row_kernels_simd.inl"

struct Avx512 {
    static constexpr int lanes = 8;
    using D = __m512d;
    using I = __m256i;
    using M = __mmask8;
    using R = __m512i;

    [[gnu::always_inline]] static D set(double v) { return _mm512_set1_pd(v); }
    [[gnu::always_inline]] static I set_i32(int v) { return _mm256_set1_epi32(v); }
    [[gnu::always_inline]] static D load(const double* p) { return _mm512_loadu_pd(p); }
    [[gnu::always_inline]] static D load_floats(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    [[gnu::always_inline]] static void spill(double* p, D v) { _mm512_store_pd(p, v); }
    [[gnu::always_inline]] static D add(D a, D b) { return _mm512_add_pd(a, b); }
    [[gnu::always_inline]] static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    [[gnu::always_inline]] static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    [[gnu::always_inline]] static D div(D a, D b) { return _mm512_div_pd(a, b); }
    [[gnu::always_inline]] static D floor(D a) {
        return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    [[gnu::always_inline]] static M ge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    [[gnu::always_inline]] static M le(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    [[gnu::always_inline]] static M both(M a, M b) { return static_cast<M>(a & b); }
    [[gnu::always_inline]] static bool any(M m) { return m != 0; }
    [[gnu::always_inline]] static D keep(M m, D v) { return _mm512_maskz_mov_pd(m, v); }
    [[gnu::always_inline]] static I to_i32(D v) { return _mm512_cvttpd_epi32(v); }
    [[gnu::always_inline]] static I to_i32_or_zero(M m, D v) { return _mm512_maskz_cvttpd_epi32(m, v); }
    [[gnu::always_inline]] static I add_i32(I a, I b) { return _mm256_add_epi32(a, b); }
    [[gnu::always_inline]] static I sub_i32(I a, I b) { return _mm256_sub_epi32(a, b); }
    [[gnu::always_inline]] static I max_i32(I a, I b) { return _mm256_max_epi32(a, b); }
    [[gnu::always_inline]] static I min_i32(I a, I b) { return _mm256_min_epi32(a, b); }
    [[gnu::always_inline]] static I mul_i32(I a, I b) { return _mm256_mullo_epi32(a, b); }
    template <int k>
    [[gnu::always_inline]] static I shl_i32(I a) {
        return _mm256_slli_epi32(a, k);
    }
    [[gnu::always_inline]] static bool any_above(M m, I v, I limit) {
        return _mm256_mask_cmpgt_epi32_mask(m, v, limit) != 0;
    }
    [[gnu::always_inline]] static R gather64(M m, const unsigned char* base, I offsets) {
        return _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), m, offsets, base, 1);
    }
    [[gnu::always_inline]] static D gather_table(M m, const double* base, I offsets) {
        return _mm512_mask_i32gather_pd(_mm512_setzero_pd(), m, offsets, base, 8);
    }
    // Bytes to bits, as one 64-bit shift count per lane.
    [[gnu::always_inline]] static R shift_count(I bytes) { return _mm512_cvtepu32_epi64(_mm256_slli_epi32(bytes, 3)); }
    [[gnu::always_inline]] static R shift_out(R word, R bits) { return _mm512_srlv_epi64(word, bits); }

    // The picked bytes form a small non-negative 64-bit integer: exact.
    template <int first, int count>
    [[gnu::always_inline]] static D channel(R raw) {
        const R mask = _mm512_load_si512(pick<first, count>.b);
        return _mm512_cvtepi64_pd(_mm512_shuffle_epi8(raw, mask));
    }

    // Eight pixels as two runs of four.
    template <class T, int C>
    [[gnu::always_inline]] static void store(T* out, const I (&q)[C]) {
        if constexpr (C == 1) {
            store4<T, 1>(out, {_mm256_castsi256_si128(q[0])});
            store4<T, 1>(out + 4, {_mm256_extracti128_si256(q[0], 1)});
        } else {
            store4<T, 3>(out, {_mm256_castsi256_si128(q[0]), _mm256_castsi256_si128(q[1]),
                               _mm256_castsi256_si128(q[2])});
            store4<T, 3>(out + 12, {_mm256_extracti128_si256(q[0], 1), _mm256_extracti128_si256(q[1], 1),
                                    _mm256_extracti128_si256(q[2], 1)});
        }
    }
};

}  // namespace
}  // namespace trevalin

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif


namespace trevalin {

template <class T, int C>
RemapRowFn<T, C> avx512_remap_row(Filter filter) {
    return filter == Filter::Bilinear ? &remap_row<Avx512, T, C, Filter::Bilinear>
                                      : &remap_row<Avx512, T, C, Filter::Lanczos3>;
}

template <class T>
WarpRowFn<T> avx512_warp_row(Filter filter) {
    return filter == Filter::Bilinear ? &warp_row<Avx512, T, Filter::Bilinear> : &warp_row<Avx512, T, Filter::Lanczos3>;
}

template RemapRowFn<std::uint8_t, 1> avx512_remap_row<std::uint8_t, 1>(Filter);
template RemapRowFn<std::uint8_t, 3> avx512_remap_row<std::uint8_t, 3>(Filter);
template RemapRowFn<std::uint16_t, 1> avx512_remap_row<std::uint16_t, 1>(Filter);
template RemapRowFn<std::uint16_t, 3> avx512_remap_row<std::uint16_t, 3>(Filter);
template WarpRowFn<std::uint8_t> avx512_warp_row<std::uint8_t>(Filter);
template WarpRowFn<std::uint16_t> avx512_warp_row<std::uint16_t>(Filter);

}  // namespace trevalin
