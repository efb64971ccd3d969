#pragma once
// Vectors of doubles for the detector's kernels, written once for every
// width: each operation on a vector is the same IEEE operation on each lane,
// so a kernel gives the bits of its scalar form on every instruction set.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "sample/isa.hpp"

#if TREVALIN_X86
#include <immintrin.h>
#endif

// The kernels inline every helper, so no vector crosses a call boundary.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace trevalin::lanes {

typedef double Pair __attribute__((vector_size(16)));
typedef double Quad __attribute__((vector_size(32)));
typedef double Oct __attribute__((vector_size(64)));

template <class Vec>
constexpr std::size_t kCount = sizeof(Vec) / sizeof(double);

template <class Vec>
[[gnu::always_inline]] inline Vec load(const double* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class Vec>
[[gnu::always_inline]] inline void store(double* p, Vec v) {
    std::memcpy(p, &v, sizeof v);
}

// Working values (see working_value) of kCount<Vec> samples: integer and
// float samples are exact in double, and the 16-bit quotient is the
// correctly rounded one in every lane. The baseline converts lane by lane;
// AVX2 and AVX-512 convert whole vectors (see below).
template <class Vec, class T>
inline Vec working(std::type_identity<Vec>, const T* p) {
    double v[kCount<Vec>];
    for (std::size_t i = 0; i < kCount<Vec>; ++i) {
        if constexpr (std::is_same_v<T, std::uint16_t>)
            v[i] = static_cast<double>(p[i]) / 257.0;
        else
            v[i] = static_cast<double>(p[i]);
    }
    return load<Vec>(v);
}

#if TREVALIN_X86
// Kernels built on these helpers are compiled per instruction set with the
// attributes below; TREVALIN_FLATTEN inlines every helper into them.
#define TREVALIN_AVX2 __attribute__((target("avx2"), flatten))
#define TREVALIN_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl"), flatten))
#define TREVALIN_LANES_AVX2 __attribute__((target("avx2"))) inline
#define TREVALIN_LANES_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl"))) inline

TREVALIN_LANES_AVX2 Quad working(std::type_identity<Quad>, const std::uint8_t* p) {
    std::int32_t four;
    std::memcpy(&four, p, sizeof four);
    return (Quad)_mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(four)));
}
TREVALIN_LANES_AVX2 Quad working(std::type_identity<Quad>, const std::uint16_t* p) {
    const __m128i words = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    return (Quad)_mm256_div_pd(_mm256_cvtepi32_pd(words), _mm256_set1_pd(257.0));
}
TREVALIN_LANES_AVX2 Quad working(std::type_identity<Quad>, const float* p) {
    return (Quad)_mm256_cvtps_pd(_mm_loadu_ps(p));
}

#if !defined(__clang__)
// GCC 12 flags the deliberately undefined lanes inside its own AVX-512 intrinsics.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
TREVALIN_LANES_AVX512 Oct working(std::type_identity<Oct>, const std::uint8_t* p) {
    return (Oct)_mm512_cvtepi32_pd(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}
TREVALIN_LANES_AVX512 Oct working(std::type_identity<Oct>, const std::uint16_t* p) {
    const __m256i words = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return (Oct)_mm512_div_pd(_mm512_cvtepi32_pd(words), _mm512_set1_pd(257.0));
}
TREVALIN_LANES_AVX512 Oct working(std::type_identity<Oct>, const float* p) {
    return (Oct)_mm512_cvtps_pd(_mm256_loadu_ps(p));
}
#endif

// The same conversion written with generic vectors: clang turns it into the
// same few instructions, and it does not allow a kernel compiled for the
// baseline to call the AVX helpers above even where they end up inlined.
template <class Vec, class T>
inline Vec working_generic(const T* p) {
    typedef T Samples __attribute__((vector_size(sizeof(T) * kCount<Vec>)));
    typedef std::int32_t Ints __attribute__((vector_size(sizeof(std::int32_t) * kCount<Vec>)));
    Samples s;
    std::memcpy(&s, p, sizeof s);
    if constexpr (std::is_same_v<T, float>) {
        return __builtin_convertvector(s, Vec);
    } else {
        const Vec v = __builtin_convertvector(__builtin_convertvector(s, Ints), Vec);
        if constexpr (std::is_same_v<T, std::uint16_t>) return v / 257.0;
        return v;
    }
}

template <class Vec, class T>
inline Vec load_working(const T* p) {
    if constexpr (std::is_same_v<T, double>) {
        return load<Vec>(p);
    } else {
#if TREVALIN_X86 && !defined(__clang__)
        return working(std::type_identity<Vec>(), p);
#else
        if constexpr (std::is_same_v<Vec, Pair>)
            return working(std::type_identity<Vec>(), p);
        else
            return working_generic<Vec>(p);
#endif
    }
}

namespace detail {

// Lane e of zip<B, Hi>(a, b): the blocks of B lanes of a and b taken in turn,
// the even-numbered blocks for the low half, the odd-numbered for the high.
template <std::size_t N, std::size_t B, bool Hi>
constexpr int zip_lane(std::size_t e) {
    const std::size_t block = 2 * (e / (2 * B)) + (Hi ? 1 : 0), within = e % (2 * B);
    return within < B ? static_cast<int>(block * B + within) : static_cast<int>(N + block * B + within - B);
}

template <std::size_t B, bool Hi, class Vec, std::size_t... E>
[[gnu::always_inline]] inline Vec zip(Vec a, Vec b, std::index_sequence<E...>) {
    return __builtin_shufflevector(a, b, zip_lane<sizeof...(E), B, Hi>(E)...);
}

}  // namespace detail

// Transposes the square of kCount<Vec> vectors in place: lane c of v[r]
// moves to lane r of v[c]. Only moves values.
template <class Vec, std::size_t B = 1>
[[gnu::always_inline]] inline void transpose(Vec* v) {
    constexpr std::size_t n = kCount<Vec>;
    if constexpr (B < n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (i & B) continue;
            const Vec lo = detail::zip<B, false>(v[i], v[i + B], std::make_index_sequence<n>());
            const Vec hi = detail::zip<B, true>(v[i], v[i + B], std::make_index_sequence<n>());
            v[i] = lo;
            v[i + B] = hi;
        }
        transpose<Vec, 2 * B>(v);
    }
}

}  // namespace trevalin::lanes
