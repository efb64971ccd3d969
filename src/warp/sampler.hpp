#pragma once
// Pixel samplers: one output pixel from a real-valued source position.
//
// Pixel (i, j) is centred on the integer position (i, j); the image covers the
// closed rectangle [-0.5, w - 0.5] x [-0.5, h - 0.5]. A position outside it
// (NaN included) leaves the output pixel untouched. Taps beyond the edge are
// clamped to the edge pixel, each tap by its own position. All arithmetic is
// in double precision, in a fixed order, so that every code path that samples
// (scalar or vectorised, clamped or contiguous) gives the same bits.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "sample/buffer.hpp"

namespace trevalin {

// The six Lanczos-3 tap weights of one quantised fraction, for the taps at
// floor(x) - 2 .. floor(x) + 3. Each entry sums to 1 up to rounding.
struct Lanczos3Weights {
    double tap[6];
};

// Entries of the table: fractions 0, 1/1024, ..., 1024/1024.
inline constexpr std::size_t lanczos3_entries = 1025;

// Builds the weight table; once per resampling call.
Buffer<Lanczos3Weights> lanczos3_table();

// Largest sample value as a double.
template <class T>
inline constexpr double sample_max = 0.0;
template <>
inline constexpr double sample_max<std::uint8_t> = 255.0;
template <>
inline constexpr double sample_max<std::uint16_t> = 65535.0;

// Rounds half up and saturates: v = s + 0.5 clamped to [0, MAX], truncated.
template <class T>
inline T store_sample(double s) {
    double v = s + 0.5;
    if (v < 0.0) v = 0.0;
    if (v > sample_max<T>) v = sample_max<T>;
    return static_cast<T>(v);
}

// Inclusive limits; NaN compares false, and an empty source has no inside.
inline bool inside_source(double x, double y, std::size_t w, std::size_t h) {
    return w != 0 && h != 0 && x >= -0.5 && x <= static_cast<double>(w) - 0.5 && y >= -0.5 &&
           y <= static_cast<double>(h) - 0.5;
}

// Table entry of a fraction t in [0, 1]: round(1024 t), halves away from zero.
inline std::size_t lanczos3_index(double t) { return static_cast<std::size_t>(std::round(1024.0 * t)); }

// Tap position f + k clamped into [0, n - 1]; f is the floor of an inside
// coordinate, so it lies in [-1, n - 1].
inline std::size_t clamp_tap(std::int64_t f, std::int64_t k, std::size_t n) {
    std::int64_t p = f + k;
    if (p < 0) return 0;
    if (static_cast<std::size_t>(p) > n - 1) return n - 1;
    return static_cast<std::size_t>(p);
}

// Bilinear over the 2x2 neighbourhood. src holds w * h * C samples (src_len).
template <class T, int C>
void sample_bilinear(const T* src, std::size_t src_len, std::size_t w, std::size_t h, T* out_px, double x, double y);

// Lanczos-3 over the 6x6 neighbourhood, weights from lanczos3_table().
template <class T, int C>
void sample_lanczos3(const T* src, std::size_t src_len, std::size_t w, std::size_t h, T* out_px, double x, double y,
                     const Lanczos3Weights* table, std::size_t table_len);

// Defined out of line so that no vectorised translation unit instantiates
// its own copy.
extern template void sample_bilinear<std::uint8_t, 1>(const std::uint8_t*, std::size_t, std::size_t, std::size_t,
                                                      std::uint8_t*, double, double);
extern template void sample_bilinear<std::uint8_t, 3>(const std::uint8_t*, std::size_t, std::size_t, std::size_t,
                                                      std::uint8_t*, double, double);
extern template void sample_bilinear<std::uint16_t, 1>(const std::uint16_t*, std::size_t, std::size_t, std::size_t,
                                                       std::uint16_t*, double, double);
extern template void sample_bilinear<std::uint16_t, 3>(const std::uint16_t*, std::size_t, std::size_t, std::size_t,
                                                       std::uint16_t*, double, double);
extern template void sample_lanczos3<std::uint8_t, 1>(const std::uint8_t*, std::size_t, std::size_t, std::size_t,
                                                      std::uint8_t*, double, double, const Lanczos3Weights*,
                                                      std::size_t);
extern template void sample_lanczos3<std::uint8_t, 3>(const std::uint8_t*, std::size_t, std::size_t, std::size_t,
                                                      std::uint8_t*, double, double, const Lanczos3Weights*,
                                                      std::size_t);
extern template void sample_lanczos3<std::uint16_t, 1>(const std::uint16_t*, std::size_t, std::size_t, std::size_t,
                                                       std::uint16_t*, double, double, const Lanczos3Weights*,
                                                       std::size_t);
extern template void sample_lanczos3<std::uint16_t, 3>(const std::uint16_t*, std::size_t, std::size_t, std::size_t,
                                                       std::uint16_t*, double, double, const Lanczos3Weights*,
                                                       std::size_t);

}  // namespace trevalin
