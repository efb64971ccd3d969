#pragma once
// The level-line field of the working image and the order in which its
// pixels are tried as region seeds.

#include <cstdint>

#include "detector/types.hpp"
#include "sample/buffer.hpp"

namespace trevalin {

// One Px per pixel from the 2 x 2 forward differences of the image (samples
// taken through working_value): the record at (x, y) describes the block whose
// top-left pixel is (x, y). The last column and the last row stay zero.
//
// With a positive `weak`, the records whose norm would be at most `weak` (in
// single precision) are left zero as well. The detector never reads more of
// such a record than that its norm is not above its threshold, and most of a
// photograph's pixels are weak, so it skips their hypot and divisions.
template <class T>
Buffer<Px> level_line_field(const T* image, std::uint64_t width, std::uint64_t height, float weak = 0.0f);

extern template Buffer<Px> level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t, float);
extern template Buffer<Px> level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t, float);
extern template Buffer<Px> level_line_field(const float*, std::uint64_t, std::uint64_t, float);
extern template Buffer<Px> level_line_field(const double*, std::uint64_t, std::uint64_t, float);

// One row of level_line_field: the records of the blocks whose top-left
// pixels are top[0 .. width - 2], with `bottom` the row below.
template <class T>
void level_line_row(const T* top, const T* bottom, std::uint64_t width, float weak, Px* out);

extern template void level_line_row(const std::uint8_t*, const std::uint8_t*, std::uint64_t, float, Px*);
extern template void level_line_row(const std::uint16_t*, const std::uint16_t*, std::uint64_t, float, Px*);
extern template void level_line_row(const float*, const float*, std::uint64_t, float, Px*);
extern template void level_line_row(const double*, const double*, std::uint64_t, float, Px*);

// Indices of the pixels whose norm is above `threshold`, strongest first by
// norm quantised into 1024 levels of the largest norm, raster order within a
// level. Empty when the field has no positive norm. When `weak` is given,
// weak[i] becomes 1 where the norm is at most `threshold` and 0 elsewhere,
// in the same pass that finds the largest norm.
Buffer<std::uint32_t> seeds_by_norm(const Px* field, std::uint64_t count, float threshold,
                                    std::uint8_t* weak = nullptr);

}  // namespace trevalin
