// Row kernels for AVX-512 (F, BW, DQ, VL): eight output pixels per step. Only
// called after the CPU has reported those extensions (detected_isa). Nothing in the target region below may
// use inline functions shared with other translation units: their copies
// would be built for AVX2 and could replace the portable ones at link time.

#include "sample/isa.hpp"
#if TREVALIN_X86

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "warp/row_kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,fma"))), apply_to = function)
#else
#pragma GCC push_options
// GCC 12 flags the deliberately undefined lanes inside its own intrinsics.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl,fma")
#endif

namespace trevalin {
namespace {

struct Words32 {
    alignas(64) short w[32];
};

// Word k of the interleaved output is channel k % 3 of pixel k / 3, picked
// from the packed layout that Avx512::store describes.
constexpr Words32 interleave_words() {
    Words32 r{};
    for (int k = 0; k < 24; ++k) {
        int p = k / 3;
        int lane = p / 4;
        int base = k % 3 == 0 ? 0 : k % 3 == 1 ? 16 : 4;
        r.w[k] = static_cast<short>(base + 8 * lane + p % 4);
    }
    return r;
}

constexpr Words32 interleave3 = interleave_words();

#include "warp/row_kernels_simd.inl"

template <int first, int count>
constexpr ByteShuffle<64> pick = pick_bytes<64, first, count>();
template <int pixel>
constexpr ByteShuffle<64> repeat = repeat_first<64, pixel>();

constexpr ByteShuffle<64> rgb_lanes = rgb_of_lanes<64>();
constexpr ByteShuffle<64> pair_samples[3] = {pair_samples_of<64>(0), pair_samples_of<64>(1), pair_samples_of<64>(2)};

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
    [[gnu::always_inline]] static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    [[gnu::always_inline]] static bool all(M m) { return m == 0xff; }
    [[gnu::always_inline]] static M both(M a, M b) { return static_cast<M>(a & b); }
    [[gnu::always_inline]] static M none() { return 0; }
    [[gnu::always_inline]] static M every() { return 0xff; }
    // Whether 0 <= x < x_end and 0 <= y < y_end in every lane.
    [[gnu::always_inline]] static bool all_within(D x, D y, D x_end, D y_end) {
        // Each comparison masked by the ones before it: one mask, no mask ands.
        const D zero = _mm512_setzero_pd();
        M in = ge(x, zero);
        in = _mm512_mask_cmp_pd_mask(in, x, x_end, _CMP_LT_OQ);
        in = _mm512_mask_cmp_pd_mask(in, y, zero, _CMP_GE_OQ);
        return all(_mm512_mask_cmp_pd_mask(in, y, y_end, _CMP_LT_OQ));
    }
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
    [[gnu::always_inline]] static I keep_i32(M m, I v) { return _mm256_maskz_mov_epi32(m, v); }
    // The 8 bytes at base + offset for each lane (int32 offsets), by scalar
    // loads, which outrun the hardware gathers on AMD Zen 4.
    [[gnu::always_inline]] static R words(const unsigned char* base, I offsets) {
        alignas(32) int at[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(at), offsets);
        long long w[8];
        for (int k = 0; k < 8; ++k) std::memcpy(&w[k], base + at[k], 8);
        return assemble(w);
    }
    [[gnu::always_inline]] static D max(D a, D b) { return _mm512_max_pd(a, b); }
    [[gnu::always_inline]] static D min(D a, D b) { return _mm512_min_pd(a, b); }
    [[gnu::always_inline]] static M gt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    // A byte offset (a whole number held as a double) biased by 2^52 for
    // words_from; lanes outside m get offset 0.
    [[gnu::always_inline]] static D bias(M m, D offset) {
        return _mm512_add_pd(_mm512_maskz_mov_pd(m, offset), set(0x1p52));
    }
    // The biased byte offset y * row + x * pixel of whole numbers y, x: exact,
    // every product and sum being a whole number below 2^53.
    [[gnu::always_inline]] static D biased_offset(D y, D row, D x, D pixel) {
        return _mm512_fmadd_pd(y, row, _mm512_fmadd_pd(x, pixel, set(0x1p52)));
    }
    // The 8 bytes at each lane's biased offset (see two52_indexed).
    [[gnu::always_inline]] static R words_from(const unsigned char* base, D biased) {
        const std::uintptr_t from = two52_indexed(base);
        alignas(64) long long at[8];
        indices(biased, at);
        long long w[8];
        for (int k = 0; k < 8; ++k) w[k] = word_at(from, at[k]);
        return assemble(w);
    }
    // The word at each lane's biased offset (as words_from) and the word
    // `skip` bytes after it, from one 16-byte read per lane.
    template <int skip>
    [[gnu::always_inline]] static void word_pairs_from(const unsigned char* base, D biased, R& first, R& second) {
        const std::uintptr_t from = two52_indexed(base);
        alignas(64) long long at[8];
        indices(biased, at);
        auto load16 = [from](long long a) __attribute__((always_inline)) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + static_cast<std::uintptr_t>(a)));
        };
        // Even lanes in one register, odd lanes in the other, so that the
        // unpacks put the words back in lane order.
        auto four = [&](int k) __attribute__((always_inline)) {
            const __m256i low = _mm256_inserti128_si256(_mm256_castsi128_si256(load16(at[k])), load16(at[k + 2]), 1);
            const __m256i high =
                _mm256_inserti128_si256(_mm256_castsi128_si256(load16(at[k + 4])), load16(at[k + 6]), 1);
            return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
        };
        const __m512i a = four(0), b = four(1);
        first = _mm512_unpacklo_epi64(a, b);
        second = _mm512_unpacklo_epi64(_mm512_bsrli_epi128(a, skip), _mm512_bsrli_epi128(b, skip));
    }
    // Each lane's biased offset as a 64-bit index from two52_indexed.
    [[gnu::always_inline]] static void indices(D biased, long long (&at)[8]) {
        _mm512_store_si512(at, _mm512_castpd_si512(biased));
    }
    [[gnu::always_inline]] static R assemble(const long long (&w)[8]) {
        const __m128i w01 = _mm_insert_epi64(_mm_cvtsi64_si128(w[0]), w[1], 1);
        const __m128i w23 = _mm_insert_epi64(_mm_cvtsi64_si128(w[2]), w[3], 1);
        const __m128i w45 = _mm_insert_epi64(_mm_cvtsi64_si128(w[4]), w[5], 1);
        const __m128i w67 = _mm_insert_epi64(_mm_cvtsi64_si128(w[6]), w[7], 1);
        const __m256i low = _mm256_inserti128_si256(_mm256_castsi128_si256(w01), w23, 1);
        const __m256i high = _mm256_inserti128_si256(_mm256_castsi128_si256(w45), w67, 1);
        return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
    }
    // Each word of the lanes not in m with its first pixel copied over the
    // second.
    template <int pixel>
    [[gnu::always_inline]] static R repeat_pixel_unless(R word, M m) {
        const R copied = _mm512_shuffle_epi8(word, _mm512_load_si512(repeat<pixel>.b));
        return _mm512_mask_mov_epi64(word, static_cast<M>(~m), copied);
    }
    // The six weights of each lane's table entry (offsets in doubles), one
    // register per tap: loaded whole and transposed.
    [[gnu::always_inline]] static void table_entries(M, const double* table, I offsets, D (&w)[6]) {
        alignas(32) int at[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(at), offsets);
        const double* e[8];
        for (int k = 0; k < 8; ++k) e[k] = table + at[k];
        // Rows k and k + 4 side by side: taps 0-3 of entries k | k + 4.
        D z[4];
        for (int k = 0; k < 4; ++k)
            z[k] = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(e[k])), _mm256_loadu_pd(e[k + 4]), 1);
        const D t0 = _mm512_unpacklo_pd(z[0], z[1]), t1 = _mm512_unpackhi_pd(z[0], z[1]);
        const D t2 = _mm512_unpacklo_pd(z[2], z[3]), t3 = _mm512_unpackhi_pd(z[2], z[3]);
        const __m512i even = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
        const __m512i odd = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
        w[0] = _mm512_permutex2var_pd(t0, even, t2);
        w[1] = _mm512_permutex2var_pd(t1, even, t3);
        w[2] = _mm512_permutex2var_pd(t0, odd, t2);
        w[3] = _mm512_permutex2var_pd(t1, odd, t3);
        // Taps 4-5 of entries 0-3 and 4-7, one pair per 128-bit lane.
        D p[2];
        for (int h = 0; h < 2; ++h) {
            const __m256d lo = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(e[4 * h] + 4)),
                                                    _mm_loadu_pd(e[4 * h + 1] + 4), 1);
            const __m256d hi = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(e[4 * h + 2] + 4)),
                                                    _mm_loadu_pd(e[4 * h + 3] + 4), 1);
            p[h] = _mm512_insertf64x4(_mm512_castpd256_pd512(lo), hi, 1);
        }
        w[4] = _mm512_permutex2var_pd(p[0], _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), p[1]);
        w[5] = _mm512_permutex2var_pd(p[0], _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), p[1]);
    }
    // Bytes to bits, as one 64-bit shift count per lane.
    [[gnu::always_inline]] static R shift_count(I bytes) { return _mm512_cvtepu32_epi64(_mm256_slli_epi32(bytes, 3)); }
    [[gnu::always_inline]] static R shift_out(R word, R bits) { return _mm512_srlv_epi64(word, bits); }

    [[gnu::always_inline]] static R with_exponent(R word) { return word; }
    // The picked bytes form a small non-negative 64-bit integer: exact.
    template <int first, int count>
    [[gnu::always_inline]] static D channel(R raw) {
        const R mask = _mm512_load_si512(pick<first, count>.b);
        return _mm512_cvtepi64_pd(_mm512_shuffle_epi8(raw, mask));
    }

    // Eight pixels of truncated sums, saturated and interleaved in registers
    // and written with one masked store.
    template <class T, int C>
    [[gnu::always_inline]] static void store(T* out, const I (&q)[C]) {
        if constexpr (C == 1) {
            // Words of pixels 0-3 and 4-7 sit in the low quarter of each half.
            __m128i w = _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi32(q[0], q[0]), 0x08));
            if constexpr (sizeof(T) == 2)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), w);
            else
                _mm_mask_cvtusepi16_storeu_epi8(out, 0xff, w);
        } else {
            // The unsigned pack saturates to [0, 65535]; the word order is then
            // r0-3 b0-3 | r4-7 b4-7 | g0-3 0 | g4-7 0, one 128-bit lane each.
            __m512i rg = _mm512_inserti64x4(_mm512_castsi256_si512(q[0]), q[1], 1);
            __m512i words = _mm512_packus_epi32(rg, _mm512_zextsi256_si512(q[2]));
            __m512i rgb = _mm512_permutexvar_epi16(_mm512_load_si512(interleave3.w), words);
            if constexpr (sizeof(T) == 2)
                _mm512_mask_storeu_epi16(out, 0xffffff, rgb);
            else
                _mm512_mask_cvtusepi16_storeu_epi8(out, 0xffffff, rgb);
        }
    }

    // Single-precision lanes for two groups: estimates only (see
    // bilinear_finish_floats), so fused multiply-adds are welcome here.
    using F = __m512;
    using J = __m512i;
    [[gnu::always_inline]] static F fset(float v) { return _mm512_set1_ps(v); }
    [[gnu::always_inline]] static F floats(D lo, D hi) {
        return _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(lo)), _mm512_cvtpd_ps(hi), 1);
    }
    [[gnu::always_inline]] static F fadd(F a, F b) { return _mm512_add_ps(a, b); }
    [[gnu::always_inline]] static F fsub(F a, F b) { return _mm512_sub_ps(a, b); }
    [[gnu::always_inline]] static F fmul(F a, F b) { return _mm512_mul_ps(a, b); }
    [[gnu::always_inline]] static F fmadd(F a, F b, F c) { return _mm512_fmadd_ps(a, b, c); }
    [[gnu::always_inline]] static J ftrunc(F v) { return _mm512_cvttps_epi32(v); }
    [[gnu::always_inline]] static __mmask16 same(J a, J b) { return _mm512_cmpeq_epi32_mask(a, b); }
    [[gnu::always_inline]] static __mmask16 both_j(__mmask16 a, __mmask16 b) { return a & b; }
    [[gnu::always_inline]] static bool all_j(__mmask16 m) { return m == 0xffff; }
    // The words of two groups (a, b) regrouped so that each 128-bit lane of
    // x holds the first two of four neighbouring pixels, the same lane of y
    // the last two.
    [[gnu::always_inline]] static void regroup(R a, R b, R& x, R& y) {
        x = _mm512_permutex2var_epi64(a, _mm512_setr_epi64(0, 1, 4, 5, 8, 9, 12, 13), b);
        y = _mm512_permutex2var_epi64(a, _mm512_setr_epi64(2, 3, 6, 7, 10, 11, 14, 15), b);
    }
    // Channel c of both pixels of each word (8-bit RGB words holding two
    // pixels), as floats in pixel order: the first pixel's into `first`, the
    // second's into `second`.
    [[gnu::always_inline]] static void pixel_pair(R x, R y, int c, F& first, F& second) {
        const __m512i mask = _mm512_load_si512(pair_samples[c].b);
        const __m512i sx = _mm512_shuffle_epi8(x, mask), sy = _mm512_shuffle_epi8(y, mask);
        first = _mm512_cvtepi32_ps(_mm512_unpacklo_epi64(sx, sy));
        second = _mm512_cvtepi32_ps(_mm512_unpackhi_epi64(sx, sy));
    }
    // Sixteen 8-bit RGB pixels of truncated sums, saturated by the packs.
    template <class T, int C>
    [[gnu::always_inline]] static void store_pair(T* out, const J (&q)[C]) {
        static_assert(sizeof(T) == 1 && C == 3);
        const __m512i bytes =
            _mm512_packus_epi16(_mm512_packus_epi32(q[0], q[1]), _mm512_packus_epi32(q[2], q[2]));
        const __m512i lanes = _mm512_shuffle_epi8(bytes, _mm512_load_si512(rgb_lanes.b));
        const __m512i packed =
            _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15), lanes);
        _mm512_mask_storeu_epi8(out, (__mmask64{1} << 48) - 1, packed);
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

#endif  // TREVALIN_X86
