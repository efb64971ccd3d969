#pragma once
// The order in which the field's pixels are tried as region seeds, sorted
// from the field's notes.

#include <cstddef>
#include <cstdint>

#include "detector/field_notes.hpp"
#include "sample/buffer.hpp"

namespace trevalin {

// Where the seed loop starts: the seed order, and the used map's words (the
// notes' weak map, taken over as it is).
struct SeedStart {
    Buffer<std::uint32_t> seeds;
    Buffer<std::uint64_t> weak;
};

// The seed order from the notes of a field of `count` pixels taken with
// `threshold`: the pixels whose norm is above it, strongest first by norm
// quantised into 1024 levels of the largest norm, raster order within a
// level. Empty when the field has no positive norm. Takes the notes over
// (their strong norms are sorted in place) and hands on their weak map.
SeedStart seeds_by_notes(FieldNotes notes, std::uint64_t count, float threshold);

}  // namespace trevalin
