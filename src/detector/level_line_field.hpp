#pragma once
// The level-line field of the working image.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "detector/field_notes.hpp"
#include "pool/pool.hpp"
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

// Rows of a field being built go in bands of this many, each band one piece
// of work and, with notes, one run of the notes.
constexpr std::size_t kFieldBand = 16;

// Builds the width x height records of `field` (height at least 1) band by
// band on the pool. build(y0, y1, note) writes rows [y0, y1) of a band, which
// never include the last row, and calls note(y) after writing row y, while it
// is in cache; the last row is made zero and noted by its band. With `notes`,
// the field's notes are taken with `weak` as the threshold.
template <class Build>
void build_field_bands(Px* field, std::size_t width, std::size_t height, float weak, FieldNotes* notes,
                       Build&& build) {
    std::fill_n(field + (height - 1) * width, width, Px{0.0f, 0.0f, 0.0f});
    if (notes) *notes = start_notes(width * height, kFieldBand * width);
    parallel_rows((height + kFieldBand - 1) / kFieldBand, [&](std::size_t band) {
        const std::size_t y0 = band * kFieldBand, end = std::min(y0 + kFieldBand, height);
        std::optional<RunNoter> noter;
        if (notes) noter.emplace(*notes, band, weak);
        auto note = [&](std::size_t y) {
            if (noter) noter->add(field + y * width, width);
        };
        if (const std::size_t y1 = std::min(end, height - 1); y0 < y1) build(y0, y1, note);
        if (end == height) note(height - 1);
        if (noter) noter->finish();
    });
}

// One row of level_line_field: the records of the blocks whose top-left
// pixels are top[0 .. width - 2], with `bottom` the row below. Writes all
// `width` records of `out`, zero ones included.
template <class T>
void level_line_row(const T* top, const T* bottom, std::uint64_t width, float weak, Px* out);

extern template void level_line_row(const std::uint8_t*, const std::uint8_t*, std::uint64_t, float, Px*);
extern template void level_line_row(const std::uint16_t*, const std::uint16_t*, std::uint64_t, float, Px*);
extern template void level_line_row(const float*, const float*, std::uint64_t, float, Px*);
extern template void level_line_row(const double*, const double*, std::uint64_t, float, Px*);

}  // namespace trevalin
