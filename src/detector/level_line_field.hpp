#pragma once
// The level-line field of the working image.

#include <cstdint>

#include "detector/seeds.hpp"
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
//
// With `notes`, the seed loop's starting state is noted while each row of
// records is still in cache (see FieldNotes), with `weak` as the threshold.
template <class T>
Buffer<Px> level_line_field(const T* image, std::uint64_t width, std::uint64_t height, float weak = 0.0f,
                            FieldNotes* notes = nullptr);

extern template Buffer<Px> level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t, float, FieldNotes*);
extern template Buffer<Px> level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t, float, FieldNotes*);
extern template Buffer<Px> level_line_field(const float*, std::uint64_t, std::uint64_t, float, FieldNotes*);
extern template Buffer<Px> level_line_field(const double*, std::uint64_t, std::uint64_t, float, FieldNotes*);

// One row of level_line_field: the records of the blocks whose top-left
// pixels are top[0 .. width - 2], with `bottom` the row below. Writes all
// `width` records of `out`, zero ones included. Blocks go `lanes` at a time
// at most (8, 4 or 1), as far as the CPU allows; the records are the same.
template <class T>
void level_line_row(const T* top, const T* bottom, std::uint64_t width, float weak, Px* out, int lanes = 8);

extern template void level_line_row(const std::uint8_t*, const std::uint8_t*, std::uint64_t, float, Px*, int);
extern template void level_line_row(const std::uint16_t*, const std::uint16_t*, std::uint64_t, float, Px*, int);
extern template void level_line_row(const float*, const float*, std::uint64_t, float, Px*, int);
extern template void level_line_row(const double*, const double*, std::uint64_t, float, Px*, int);

}  // namespace trevalin
