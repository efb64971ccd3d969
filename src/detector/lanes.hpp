#pragma once
// Vectors for the detector's kernels, written once for every width: each
// operation on a vector is the same IEEE operation on each lane, so a kernel
// gives the bits of its scalar form on every instruction set. dispatch runs a
// kernel with the widest vectors the CPU may use.

#include <array>
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

template <class T, std::size_t N>
struct VecOf {
    typedef T type __attribute__((vector_size(sizeof(T) * N)));
};
// N lanes of T.
template <class T, std::size_t N>
using Vec = typename VecOf<T, N>::type;

typedef Vec<double, 2> Pair;
typedef Vec<double, 4> Quad;
typedef Vec<double, 8> Oct;

// Lanes of a vector, and what comparing two such vectors gives: a lane of
// all ones where the comparison holds, of zeros elsewhere.
template <class V>
constexpr std::size_t kCount = sizeof(V) / sizeof(V{}[0]);
template <class V>
using MaskOf = decltype(V{} < V{});

// A single lane of V's element type: a kernel run at this width does what
// its wider vectors do, one element at a time, so it finishes the elements
// that do not fill a whole vector with the same operations.
template <class V>
using One = Vec<std::remove_cvref_t<decltype(V{}[0])>, 1>;

// The bit of every lane of an N-lane mask.
template <std::size_t N>
constexpr unsigned kAll = N >= 32 ? ~0u : (1u << N) - 1;

template <class V, class E>
[[gnu::always_inline]] inline V load(const E* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V, class E>
[[gnu::always_inline]] inline void store(E* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

template <class V, class E>
[[gnu::always_inline]] inline V splat(E x) {
    V v;
    for (std::size_t i = 0; i < kCount<V>; ++i) v[i] = x;
    return v;
}

// The same bits as another vector type of the same size.
template <class To, class From>
[[gnu::always_inline]] inline To as(const From& v) {
    static_assert(sizeof(To) == sizeof(From));
    return (To)v;
}

// Lane i is p[3 * i + K]: one of the three fields of kCount<V> records of
// three floats in a row, such as those of Px.
template <class V, std::size_t K, std::size_t... I>
[[gnu::always_inline]] inline V every_third(const float* p, std::index_sequence<I...>) {
    constexpr std::size_t n = sizeof...(I);
    const V a = load<V>(p), b = load<V>(p + n), c = load<V>(p + 2 * n);
    // The lanes from a and b first (the others are a's, soon replaced), then those from c.
    const V ab = __builtin_shufflevector(a, b, (3 * I + K < 2 * n ? static_cast<int>(3 * I + K) : 0)...);
    return __builtin_shufflevector(
        ab, c, (3 * I + K < 2 * n ? static_cast<int>(I) : static_cast<int>(3 * I + K - n))...);
}
template <class V, std::size_t K>
[[gnu::always_inline]] inline V every_third(const float* p) {
    return every_third<V, K>(p, std::make_index_sequence<kCount<V>>());
}

// The lanes of a mask as the bits of an integer, lane i at bit i (see below
// for the instruction sets that have one instruction for it).
template <class M>
[[gnu::always_inline]] inline unsigned bits(const M& m) {
    unsigned r = 0;
    for (std::size_t i = 0; i < kCount<M>; ++i) r |= static_cast<unsigned>(m[i] & 1) << i;
    return r;
}

// Lane by lane square roots of doubles, correctly rounded as std::sqrt;
// a pair at a time where SSE2 is the baseline, which clang widens.
template <class V>
[[gnu::always_inline]] inline V sqrt(const V& v) {
    double d[kCount<V>];
    std::memcpy(d, &v, sizeof v);
#if defined(__SSE2__)
    if constexpr (kCount<V> % 2 == 0) {
        for (std::size_t i = 0; i < kCount<V>; i += 2) _mm_storeu_pd(d + i, _mm_sqrt_pd(_mm_loadu_pd(d + i)));
        return load<V>(d);
    }
#endif
    for (double& x : d) x = __builtin_sqrt(x);
    return load<V>(d);
}

// For each 8-bit mask, the indices of its set bits in increasing order, one
// byte each: the permutation that packs the selected lanes to the front.
inline constexpr std::array<std::uint64_t, 256> kPack = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned n = 0;
        for (unsigned k = 0; k < 8; ++k)
            if (m >> k & 1u) t[m] |= std::uint64_t{k} << (8 * n++);
    }
    return t;
}();

// The lanes of v selected by the bits of `keep`, in order, to out[0..]; the
// lanes of out past them up to kCount<V> may be written as well.
template <class V, class E>
[[gnu::always_inline]] inline void compress_store(E* out, const V& v, unsigned keep) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < kCount<V>; ++i) {
        const auto lane = v[i];
        static_assert(sizeof lane == sizeof(E));
        std::memcpy(out + n, &lane, sizeof lane);
        n += keep >> i & 1u;
    }
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
// attributes below (see dispatch); flatten inlines every helper into them.
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

// One instruction each where the instruction set has it. The baseline's
// (SSE2) are for every compiler; GCC alone inlines the wider ones into the
// kernels built on the generic forms above, clang keeps those.
#if defined(__SSE2__)
inline unsigned bits(MaskOf<Pair> m) { return static_cast<unsigned>(_mm_movemask_pd((__m128d)m)); }
inline unsigned bits(MaskOf<Vec<float, 4>> m) { return static_cast<unsigned>(_mm_movemask_ps((__m128)m)); }
#endif

#if !defined(__clang__)
TREVALIN_LANES_AVX2 unsigned bits(MaskOf<Quad> m) { return static_cast<unsigned>(_mm256_movemask_pd((__m256d)m)); }
TREVALIN_LANES_AVX2 unsigned bits(MaskOf<Vec<float, 8>> m) {
    return static_cast<unsigned>(_mm256_movemask_ps((__m256)m));
}
TREVALIN_LANES_AVX2 Quad sqrt(Quad v) { return (Quad)_mm256_sqrt_pd((__m256d)v); }
TREVALIN_LANES_AVX2 void compress_store(std::uint32_t* out, Vec<float, 8> v, unsigned keep) {
    const __m256i order = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kPack[keep & 0xFFu])));
    _mm256_storeu_ps(reinterpret_cast<float*>(out), _mm256_permutevar8x32_ps((__m256)v, order));
}

TREVALIN_LANES_AVX512 unsigned bits(MaskOf<Oct> m) { return _mm512_movepi64_mask((__m512i)m); }
TREVALIN_LANES_AVX512 unsigned bits(MaskOf<Vec<float, 16>> m) { return _mm512_movepi32_mask((__m512i)m); }
TREVALIN_LANES_AVX512 Oct sqrt(Oct v) { return (Oct)_mm512_sqrt_pd((__m512d)v); }
TREVALIN_LANES_AVX512 void compress_store(std::uint32_t* out, Vec<float, 16> v, unsigned keep) {
    _mm512_storeu_ps(out, _mm512_maskz_compress_ps(static_cast<__mmask16>(keep), (__m512)v));
}
#endif
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

// The vectors of one instruction set: a register holds `doubles` doubles
// (twice as many floats). Kernels take one as a template argument.
template <std::size_t W>
struct Width {
    static constexpr std::size_t doubles = W;
    using D = Vec<double, W>;
    using F = Vec<float, 2 * W>;
};

// kernel(Width<w>()) for the widest vectors of `isa`, in a function compiled
// for that instruction set into which everything the kernel calls is inlined;
// the kernel itself is best always_inline, as clang flattens one level only.
template <class Kernel>
[[gnu::flatten]] decltype(auto) run_base(Kernel& kernel) {
    return kernel(Width<2>());
}
#if TREVALIN_X86
template <class Kernel>
TREVALIN_AVX2 decltype(auto) run_avx2(Kernel& kernel) {
    return kernel(Width<4>());
}
template <class Kernel>
TREVALIN_AVX512 decltype(auto) run_avx512(Kernel& kernel) {
    return kernel(Width<8>());
}
#endif

template <class Kernel>
decltype(auto) dispatch([[maybe_unused]] Isa isa, Kernel&& kernel) {
#if TREVALIN_X86
    if (isa == Isa::Avx512) return run_avx512(kernel);
    if (isa == Isa::Avx2) return run_avx2(kernel);
#endif
    return run_base(kernel);
}

// The path of the instruction set the kernels may use now, asked per call:
// it may be capped at run time (cap_isa).
template <class Kernel>
decltype(auto) dispatch(Kernel&& kernel) {
    return dispatch(detected_isa(), kernel);
}

}  // namespace trevalin::lanes
