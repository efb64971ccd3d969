#pragma once
// The order in which the field's pixels are tried as region seeds, and the
// notes of a field from which the seed loop starts.

#include <cstddef>
#include <cstdint>

#include "detector/types.hpp"
#include "sample/buffer.hpp"

namespace trevalin {

// What the seed loop needs of a field besides its records, noted in runs of
// `run` pixels (the last run may be shorter):
// - `weak`, the used map's starting state as bits: bit i (bit i % 64 of word
//   i / 64) is 1 where the norm is at most the threshold. Two spare words
//   follow the map's bits, and every bit past the last pixel is 0.
// - `strong`, for each run r, the bits of the norms of its other pixels
//   (above the threshold, or NaN) in raster order, from strong[r * run] on;
//   there are strong_count[r] of them. The seed order is sorted from these,
//   so the records themselves are not read a second time.
// - `largest`, the largest norm (from 0, skipping NaN).
struct FieldNotes {
    Buffer<std::uint64_t> weak;
    Buffer<std::uint32_t> strong;
    Buffer<std::uint32_t> strong_count;
    std::size_t run = 0;
    float largest = 0.0f;

    bool is_weak(std::size_t i) const { return (weak[i >> 6] >> (i & 63)) & 1u; }
};

// Notes for `pixels` pixels in runs of `run` (at least 1), with nothing noted yet.
FieldNotes start_notes(std::size_t pixels, std::size_t run);

// Notes the run r, whose records are `records[0 .. count)`; returns its
// largest norm. Runs may be noted in any order and from several threads at once.
float note_run(const Px* records, std::size_t count, std::size_t r, float threshold, FieldNotes& notes);

// The notes of the rows [first, end) of a field being built, whose runs are
// its rows, with each row's largest norm into row_max.
void note_rows(const Px* field, std::size_t width, std::size_t first, std::size_t end, float threshold,
               FieldNotes& notes, float* row_max);

// The notes of a whole field, in one parallel pass.
FieldNotes note_field(const Px* field, std::uint64_t count, float threshold);

// The seed order from the notes of a field of `count` pixels taken with
// `threshold`: the pixels whose norm is above it, strongest first by norm
// quantised into 1024 levels of the largest norm, raster order within a
// level. Empty when the field has no positive norm. Uses notes.strong as
// its scratch space, which leaves the other notes as they were.
Buffer<std::uint32_t> seeds_by_notes(FieldNotes& notes, std::uint64_t count, float threshold);

// The seed order of a field: seeds_by_notes of its notes.
Buffer<std::uint32_t> seeds_by_norm(const Px* field, std::uint64_t count, float threshold);

}  // namespace trevalin
