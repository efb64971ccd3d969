#pragma once
// Vectors of doubles for the detector's kernels, written once for every
// width: each operation on a vector is the same IEEE operation on each lane,
// so a kernel gives the bits of its scalar form on every instruction set.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

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
// correctly rounded one in every lane.
template <class Vec, class T>
[[gnu::always_inline]] inline Vec load_working(const T* p) {
    if constexpr (sizeof(T) == sizeof(double)) {
        return load<Vec>(p);
    } else {
        typedef T Samples __attribute__((vector_size(sizeof(T) * kCount<Vec>)));
        Samples s;
        std::memcpy(&s, p, sizeof s);
        const Vec v = __builtin_convertvector(s, Vec);
        if constexpr (std::is_same_v<T, std::uint16_t>) return v / 257.0;
        return v;
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
