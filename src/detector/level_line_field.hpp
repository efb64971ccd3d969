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
//
// With `notes`, the seed loop's starting state is noted while each row of
// records is still in cache (see FieldNotes), with `weak` as the threshold.
struct FieldNotes;
template <class T>
Buffer<Px> level_line_field(const T* image, std::uint64_t width, std::uint64_t height, float weak = 0.0f,
                            FieldNotes* notes = nullptr);

extern template Buffer<Px> level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t, float, FieldNotes*);
extern template Buffer<Px> level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t, float, FieldNotes*);
extern template Buffer<Px> level_line_field(const float*, std::uint64_t, std::uint64_t, float, FieldNotes*);
extern template Buffer<Px> level_line_field(const double*, std::uint64_t, std::uint64_t, float, FieldNotes*);

// What the seed loop needs of a field besides its records: the used map's
// starting state (1 where the norm is at most a threshold, 0 elsewhere) and
// the largest norm (from 0, skipping NaN).
struct FieldNotes {
    Buffer<std::uint8_t> weak;
    float largest = 0.0f;
};

// The notes of a whole field, in one parallel pass.
FieldNotes note_field(const Px* field, std::uint64_t count, float threshold);

// The notes of one row of records: its weak bytes into `weak`; returns its
// largest norm (from 0, skipping NaN).
float note_row(const Px* row, std::size_t count, float threshold, std::uint8_t* weak);

// The notes of the rows [first, end) of a field being built, into notes.weak
// and row_max[first, end).
void note_rows(const Px* field, std::size_t width, std::size_t first, std::size_t end, float threshold,
               FieldNotes& notes, float* row_max);

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

// Indices of the pixels whose norm is above `threshold`, strongest first by
// norm quantised into 1024 levels of the largest norm, raster order within a
// level. Empty when the field has no positive norm.
Buffer<std::uint32_t> seeds_by_norm(const Px* field, std::uint64_t count, float threshold);

// seeds_by_norm with the largest norm of the field already known.
Buffer<std::uint32_t> seeds_by_level(const Px* field, std::uint64_t count, float threshold, float largest);

}  // namespace trevalin
