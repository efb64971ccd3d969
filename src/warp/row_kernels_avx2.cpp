// Row kernels for AVX2: four output pixels per step. Only called after the
// CPU has reported AVX2 (detected_isa). Nothing in the target region below may
// use inline functions shared with other translation units: their copies
// would be built for AVX2 and could replace the portable ones at link time.

#include "sample/isa.hpp"
#if TREVALIN_X86

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "warp/row_kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
// GCC 12 flags the deliberately undefined lanes inside its own gather intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC target("avx2")
#endif

namespace trevalin {
namespace {

#include "warp/row_kernels_simd.inl"

template <int first, int count>
constexpr ByteShuffle<32> pick = pick_bytes<32, first, count>();

struct Avx2 {
    static constexpr int lanes = 4;
    using D = __m256d;
    using I = __m128i;
    using M = __m256d;
    using R = __m256i;

    [[gnu::always_inline]] static D set(double v) { return _mm256_set1_pd(v); }
    [[gnu::always_inline]] static I set_i32(int v) { return _mm_set1_epi32(v); }
    [[gnu::always_inline]] static D load(const double* p) { return _mm256_loadu_pd(p); }
    [[gnu::always_inline]] static D load_floats(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    [[gnu::always_inline]] static void spill(double* p, D v) { _mm256_store_pd(p, v); }
    [[gnu::always_inline]] static D add(D a, D b) { return _mm256_add_pd(a, b); }
    [[gnu::always_inline]] static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    [[gnu::always_inline]] static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    [[gnu::always_inline]] static D div(D a, D b) { return _mm256_div_pd(a, b); }
    [[gnu::always_inline]] static D floor(D a) { return _mm256_round_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    [[gnu::always_inline]] static M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    [[gnu::always_inline]] static M le(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    [[gnu::always_inline]] static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    [[gnu::always_inline]] static bool all(M m) { return _mm256_movemask_pd(m) == 0xf; }
    [[gnu::always_inline]] static M both(M a, M b) { return _mm256_and_pd(a, b); }
    [[gnu::always_inline]] static M none() { return _mm256_setzero_pd(); }
    [[gnu::always_inline]] static bool any(M m) { return _mm256_movemask_pd(m) != 0; }
    [[gnu::always_inline]] static D keep(M m, D v) { return _mm256_and_pd(m, v); }
    [[gnu::always_inline]] static I to_i32(D v) { return _mm256_cvttpd_epi32(v); }
    [[gnu::always_inline]] static I to_i32_or_zero(M m, D v) { return _mm256_cvttpd_epi32(_mm256_and_pd(m, v)); }
    [[gnu::always_inline]] static I add_i32(I a, I b) { return _mm_add_epi32(a, b); }
    [[gnu::always_inline]] static I sub_i32(I a, I b) { return _mm_sub_epi32(a, b); }
    [[gnu::always_inline]] static I max_i32(I a, I b) { return _mm_max_epi32(a, b); }
    [[gnu::always_inline]] static I min_i32(I a, I b) { return _mm_min_epi32(a, b); }
    [[gnu::always_inline]] static I mul_i32(I a, I b) { return _mm_mullo_epi32(a, b); }
    template <int k>
    [[gnu::always_inline]] static I shl_i32(I a) {
        return _mm_slli_epi32(a, k);
    }
    [[gnu::always_inline]] static bool any_above(M m, I v, I limit) {
        int above = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(v, limit)));
        return (above & _mm256_movemask_pd(m)) != 0;
    }
    [[gnu::always_inline]] static R gather64(M m, const unsigned char* base, I offsets) {
        return _mm256_mask_i32gather_epi64(_mm256_setzero_si256(), reinterpret_cast<const long long*>(base), offsets,
                                           _mm256_castpd_si256(m), 1);
    }
    [[gnu::always_inline]] static D max(D a, D b) { return _mm256_max_pd(a, b); }
    [[gnu::always_inline]] static D min(D a, D b) { return _mm256_min_pd(a, b); }
    [[gnu::always_inline]] static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    // The 8 bytes at each lane's offset, a whole number held as a double
    // (see two52_indexed).
    [[gnu::always_inline]] static R gather_at(M m, const unsigned char* base, D offset) {
        const __m256i index = _mm256_castpd_si256(_mm256_add_pd(offset, _mm256_set1_pd(0x1p52)));
        return _mm256_mask_i64gather_epi64(_mm256_setzero_si256(), two52_indexed(base), index,
                                           _mm256_castpd_si256(m), 1);
    }
    // Each word of the lanes in m shifted down by `bits`; the others as they are.
    template <int bits>
    [[gnu::always_inline]] static R shift_out_where(R word, M m) {
        return _mm256_blendv_epi8(word, _mm256_srli_epi64(word, bits), _mm256_castpd_si256(m));
    }
    [[gnu::always_inline]] static D gather_table(M m, const double* base, I offsets) {
        return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, offsets, m, 8);
    }
    // Bytes to bits, as one 64-bit shift count per lane.
    [[gnu::always_inline]] static R shift_count(I bytes) { return _mm256_cvtepu32_epi64(_mm_slli_epi32(bytes, 3)); }
    [[gnu::always_inline]] static R shift_out(R word, R bits) { return _mm256_srlv_epi64(word, bits); }

    // Unsigned integer to double through the exponent of 2^52: exact below 2^52.
    template <int first, int count>
    [[gnu::always_inline]] static D channel(R raw) {
        const R mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(pick<first, count>.b));
        const R magic = _mm256_set1_epi64x(0x4330000000000000LL);
        R bits = _mm256_or_si256(_mm256_shuffle_epi8(raw, mask), magic);
        return _mm256_sub_pd(_mm256_castsi256_pd(bits), _mm256_castsi256_pd(magic));
    }

    template <class T, int C>
    [[gnu::always_inline]] static void store(T* out, const I (&q)[C]) {
        store4<T, C>(out, q);
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
RemapRowFn<T, C> avx2_remap_row(Filter filter) {
    return filter == Filter::Bilinear ? &remap_row<Avx2, T, C, Filter::Bilinear>
                                      : &remap_row<Avx2, T, C, Filter::Lanczos3>;
}

template <class T>
WarpRowFn<T> avx2_warp_row(Filter filter) {
    return filter == Filter::Bilinear ? &warp_row<Avx2, T, Filter::Bilinear> : &warp_row<Avx2, T, Filter::Lanczos3>;
}

template RemapRowFn<std::uint8_t, 1> avx2_remap_row<std::uint8_t, 1>(Filter);
template RemapRowFn<std::uint8_t, 3> avx2_remap_row<std::uint8_t, 3>(Filter);
template RemapRowFn<std::uint16_t, 1> avx2_remap_row<std::uint16_t, 1>(Filter);
template RemapRowFn<std::uint16_t, 3> avx2_remap_row<std::uint16_t, 3>(Filter);
template WarpRowFn<std::uint8_t> avx2_warp_row<std::uint8_t>(Filter);
template WarpRowFn<std::uint16_t> avx2_warp_row<std::uint16_t>(Filter);

}  // namespace trevalin

#endif  // TREVALIN_X86
