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
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
// GCC 12 flags the deliberately undefined lanes inside its own intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC target("avx2,fma")
#endif

namespace trevalin {
namespace {

#include "warp/row_kernels_simd.inl"

template <int first, int count>
constexpr ByteShuffle<32> pick = pick_bytes<32, first, count, true>();
template <int pixel>
constexpr ByteShuffle<32> repeat = repeat_first<32, pixel>();

constexpr ByteShuffle<32> rgb_lanes = rgb_of_lanes<32>();
constexpr ByteShuffle<32> pair_samples[3] = {pair_samples_of<32>(0), pair_samples_of<32>(1), pair_samples_of<32>(2)};

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
    [[gnu::always_inline]] static M every() { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
    // Whether 0 <= x < x_end and 0 <= y < y_end in every lane, read from sign
    // bits: x - x_end is negative exactly when x < x_end (a difference never
    // rounds to zero), and a NaN's difference keeps its sign.
    [[gnu::always_inline]] static bool all_within(D x, D y, D x_end, D y_end) {
        const D below = _mm256_and_pd(_mm256_sub_pd(x, x_end), _mm256_sub_pd(y, y_end));
        return _mm256_movemask_pd(_mm256_andnot_pd(_mm256_or_pd(x, y), below)) == 0xf;
    }
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
    [[gnu::always_inline]] static I keep_i32(M m, I v) {
        // The low half of each 64-bit lane mask.
        const __m256i picked =
            _mm256_permutevar8x32_epi32(_mm256_castpd_si256(m), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
        return _mm_and_si128(_mm256_castsi256_si128(picked), v);
    }
    // The 8 bytes at base + offset for each lane (int32 offsets), by scalar
    // loads.
    [[gnu::always_inline]] static R words(const unsigned char* base, I offsets) {
        alignas(16) int at[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(at), offsets);
        long long w[4];
        for (int k = 0; k < 4; ++k) std::memcpy(&w[k], base + at[k], 8);
        return assemble(w);
    }
    [[gnu::always_inline]] static D max(D a, D b) { return _mm256_max_pd(a, b); }
    [[gnu::always_inline]] static D min(D a, D b) { return _mm256_min_pd(a, b); }
    [[gnu::always_inline]] static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    // A byte offset (a whole number held as a double) biased by 2^52 for
    // words_from; lanes outside m get offset 0.
    [[gnu::always_inline]] static D bias(M m, D offset) { return _mm256_add_pd(_mm256_and_pd(m, offset), set(0x1p52)); }
    // The biased byte offset y * row + x * pixel of whole numbers y, x: exact,
    // every product and sum being a whole number below 2^53.
    [[gnu::always_inline]] static D biased_offset(D y, D row, D x, D pixel) {
        return _mm256_fmadd_pd(y, row, _mm256_fmadd_pd(x, pixel, set(0x1p52)));
    }
    // The 8 bytes at each lane's biased offset (see two52_indexed).
    [[gnu::always_inline]] static R words_from(const unsigned char* base, D biased) {
        long long at[4];
        indices(biased, at);
        const std::uintptr_t from = two52_indexed(base);
        const long long w[4] = {word_at(from, at[0]), word_at(from, at[1]), word_at(from, at[2]), word_at(from, at[3])};
        return assemble(w);
    }
    // Each lane's biased offset as a 64-bit index from two52_indexed.
    [[gnu::always_inline]] static void indices(D biased, long long (&at)[4]) {
        const __m256i index = _mm256_castpd_si256(biased);
        const __m128i lo = _mm256_castsi256_si128(index), hi = _mm256_extracti128_si256(index, 1);
        at[0] = _mm_cvtsi128_si64(lo);
        at[1] = _mm_extract_epi64(lo, 1);
        at[2] = _mm_cvtsi128_si64(hi);
        at[3] = _mm_extract_epi64(hi, 1);
    }
    // The word at each lane's biased offset (as words_from) and the word
    // `skip` bytes after it, from one 16-byte read per lane.
    template <int skip>
    [[gnu::always_inline]] static void word_pairs_from(const unsigned char* base, D biased, R& first, R& second) {
        long long at[4];
        indices(biased, at);
        const std::uintptr_t from = two52_indexed(base);
        auto load16 = [from](long long a) __attribute__((always_inline)) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + static_cast<std::uintptr_t>(a)));
        };
        // Lanes 0 and 2 in one register, 1 and 3 in the other, so that the
        // unpacks put the words back in lane order.
        const __m256i a = _mm256_inserti128_si256(_mm256_castsi128_si256(load16(at[0])), load16(at[2]), 1);
        const __m256i b = _mm256_inserti128_si256(_mm256_castsi128_si256(load16(at[1])), load16(at[3]), 1);
        first = _mm256_unpacklo_epi64(a, b);
        second = _mm256_unpacklo_epi64(_mm256_srli_si256(a, skip), _mm256_srli_si256(b, skip));
    }
    [[gnu::always_inline]] static R assemble(const long long (&w)[4]) {
        const __m128i w01 = _mm_insert_epi64(_mm_cvtsi64_si128(w[0]), w[1], 1);
        const __m128i w23 = _mm_insert_epi64(_mm_cvtsi64_si128(w[2]), w[3], 1);
        return _mm256_inserti128_si256(_mm256_castsi128_si256(w01), w23, 1);
    }
    // Each word of the lanes not in m with its first pixel copied over the
    // second.
    template <int pixel>
    [[gnu::always_inline]] static R repeat_pixel_unless(R word, M m) {
        const R copied =
            _mm256_shuffle_epi8(word, _mm256_load_si256(reinterpret_cast<const __m256i*>(repeat<pixel>.b)));
        return _mm256_blendv_epi8(copied, word, _mm256_castpd_si256(m));
    }
    // The six weights of each lane's table entry (offsets in doubles), one
    // register per tap: loaded whole and transposed.
    [[gnu::always_inline]] static void table_entries(M, const double* table, I offsets, D (&w)[6]) {
        alignas(16) int at[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(at), offsets);
        const double* e[4] = {table + at[0], table + at[1], table + at[2], table + at[3]};
        const D a0 = _mm256_loadu_pd(e[0]), a1 = _mm256_loadu_pd(e[1]);
        const D a2 = _mm256_loadu_pd(e[2]), a3 = _mm256_loadu_pd(e[3]);
        const D t0 = _mm256_unpacklo_pd(a0, a1), t1 = _mm256_unpackhi_pd(a0, a1);
        const D t2 = _mm256_unpacklo_pd(a2, a3), t3 = _mm256_unpackhi_pd(a2, a3);
        w[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
        w[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
        w[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
        w[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
        const D b02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(e[0] + 4)), _mm_loadu_pd(e[2] + 4), 1);
        const D b13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(e[1] + 4)), _mm_loadu_pd(e[3] + 4), 1);
        w[4] = _mm256_unpacklo_pd(b02, b13);
        w[5] = _mm256_unpackhi_pd(b02, b13);
    }
    // Bytes to bits, as one 64-bit shift count per lane.
    [[gnu::always_inline]] static R shift_count(I bytes) { return _mm256_cvtepu32_epi64(_mm_slli_epi32(bytes, 3)); }
    [[gnu::always_inline]] static R shift_out(R word, R bits) { return _mm256_srlv_epi64(word, bits); }

    // Unsigned integer to double through the exponent of 2^52, exact below
    // 2^52: with_exponent writes the exponent's two bytes into the top of the
    // word once, and each channel's shuffle keeps them above its sample.
    [[gnu::always_inline]] static R with_exponent(R word) {
        return _mm256_blend_epi16(word, _mm256_set1_epi64x(0x4330000000000000LL), 0x88);
    }
    template <int first, int count>
    [[gnu::always_inline]] static D channel(R raw) {
        return _mm256_sub_pd(biased_channel<first, count>(raw), _mm256_set1_pd(0x1p52));
    }
    // The same without the subtraction: the sample plus 2^52.
    template <int first, int count>
    [[gnu::always_inline]] static D biased_channel(R raw) {
        const R mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(pick<first, count>.b));
        return _mm256_castsi256_pd(_mm256_shuffle_epi8(raw, mask));
    }
    [[gnu::always_inline]] static D fmadd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }

    template <class T, int C>
    [[gnu::always_inline]] static void store(T* out, const I (&q)[C]) {
        store4<T, C>(out, q);
    }

    // Single-precision lanes for two groups: estimates only (see
    // bilinear_finish_floats), so fused multiply-adds are welcome here.
    using F = __m256;
    using J = __m256i;
    [[gnu::always_inline]] static F fset(float v) { return _mm256_set1_ps(v); }
    [[gnu::always_inline]] static F floats(D lo, D hi) { return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo)); }
    [[gnu::always_inline]] static F fadd(F a, F b) { return _mm256_add_ps(a, b); }
    [[gnu::always_inline]] static F fsub(F a, F b) { return _mm256_sub_ps(a, b); }
    [[gnu::always_inline]] static F fmul(F a, F b) { return _mm256_mul_ps(a, b); }
    [[gnu::always_inline]] static F fmadd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    [[gnu::always_inline]] static J ftrunc(F v) { return _mm256_cvttps_epi32(v); }
    [[gnu::always_inline]] static J same(J a, J b) { return _mm256_cmpeq_epi32(a, b); }
    [[gnu::always_inline]] static J both_j(J a, J b) { return _mm256_and_si256(a, b); }
    [[gnu::always_inline]] static bool all_j(J m) { return _mm256_movemask_epi8(m) == -1; }
    // The words of two groups (a, b) regrouped: x holds the first two lanes
    // of each, y the last two.
    [[gnu::always_inline]] static void regroup(R a, R b, R& x, R& y) {
        x = _mm256_permute2x128_si256(a, b, 0x20);
        y = _mm256_permute2x128_si256(a, b, 0x31);
    }
    // Channel c of both pixels of each word (8-bit RGB words holding two
    // pixels), as floats in pixel order: the first pixel's into `first`, the
    // second's into `second`.
    [[gnu::always_inline]] static void pixel_pair(R x, R y, int c, F& first, F& second) {
        const __m256i mask = _mm256_load_si256(reinterpret_cast<const __m256i*>(pair_samples[c].b));
        const __m256i sx = _mm256_shuffle_epi8(x, mask), sy = _mm256_shuffle_epi8(y, mask);
        first = _mm256_cvtepi32_ps(_mm256_unpacklo_epi64(sx, sy));
        second = _mm256_cvtepi32_ps(_mm256_unpackhi_epi64(sx, sy));
    }
    // Eight 8-bit RGB pixels of truncated sums, saturated by the packs.
    template <class T, int C>
    [[gnu::always_inline]] static void store_pair(T* out, const J (&q)[C]) {
        static_assert(sizeof(T) == 1 && C == 3);
        const __m256i bytes =
            _mm256_packus_epi16(_mm256_packus_epi32(q[0], q[1]), _mm256_packus_epi32(q[2], q[2]));
        const __m256i lanes =
            _mm256_shuffle_epi8(bytes, _mm256_load_si256(reinterpret_cast<const __m256i*>(rgb_lanes.b)));
        const __m256i packed = _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
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
