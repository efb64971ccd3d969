#pragma once
// Gaussian blur and decimation of the working image by a factor below 1.

#include <cstddef>
#include <cstdint>

#include "detector/level_line_field.hpp"
#include "detector/types.hpp"
#include "sample/buffer.hpp"

namespace trevalin {

struct ScaledSize {
    std::uint64_t width;
    std::uint64_t height;
};

// max(floor(n * scale), 2) in each direction (negative or NaN products give 2).
ScaledSize downscaled_size(std::uint64_t width, std::uint64_t height, double scale);

// The normalised separable Gaussian for `scale`: 2h + 1 taps, tap k standing
// for offset k - h, with sigma = 0.6 / scale and h = ceil(sigma * sqrt(2 ln 1000)).
Buffer<double> gaussian_kernel(double scale);

// The input row or column that output row or column i samples:
// min(floor(i / scale), limit - 1).
std::uint64_t source_index(std::uint64_t i, double scale, std::uint64_t limit);

// out[x] = sum over k of weights[k] * src[columns[x] + k] for x < n,
// accumulated from 0.0 in increasing k: one row of the blur at the kept
// columns. `columns` is non-decreasing and columns[x] + taps <= src_len.
// Neighbouring columns are summed in vectors of up to `lanes` doubles (8, 4
// or 2) as far as the CPU allows, with the same bits: 8 and 4 sum whole
// spans of input columns and keep the kept ones, 2 sums kept columns in pairs.
void blur_at_columns(const double* src, std::size_t src_len, const std::size_t* columns, std::size_t n,
                     const double* weights, std::size_t taps, double* out, int lanes = 8);

struct Downscaled {
    Buffer<double> image;
    std::uint64_t width;
    std::uint64_t height;
};

// Blurs the width x height image (samples taken through working_value) with
// the kernel of `scale`, replicating edge pixels, and keeps blurred pixel
// (source_index(x), source_index(y)) as output pixel (x, y).
template <class T>
Downscaled downscale(const T* image, std::uint64_t width, std::uint64_t height, double scale);

extern template Downscaled downscale(const std::uint8_t*, std::uint64_t, std::uint64_t, double);
extern template Downscaled downscale(const std::uint16_t*, std::uint64_t, std::uint64_t, double);
extern template Downscaled downscale(const float*, std::uint64_t, std::uint64_t, double);
extern template Downscaled downscale(const double*, std::uint64_t, std::uint64_t, double);

struct DownscaledField {
    Buffer<Px> field;
    std::uint64_t width;
    std::uint64_t height;
};

// level_line_field(downscale(image, width, height, scale), weak, notes),
// computed in bands of rows without ever holding the downscaled image or the
// blurred intermediate: each band blurs just the rows it needs, with the same
// sums in the same order, so the field is the same bit for bit.
template <class T>
DownscaledField downscaled_level_line_field(const T* image, std::uint64_t width, std::uint64_t height, double scale,
                                            float weak, FieldNotes* notes = nullptr);

extern template DownscaledField downscaled_level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t, double,
                                                            float, FieldNotes*);
extern template DownscaledField downscaled_level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t,
                                                            double, float, FieldNotes*);
extern template DownscaledField downscaled_level_line_field(const float*, std::uint64_t, std::uint64_t, double, float,
                                                            FieldNotes*);
extern template DownscaledField downscaled_level_line_field(const double*, std::uint64_t, std::uint64_t, double,
                                                            float, FieldNotes*);

}  // namespace trevalin
