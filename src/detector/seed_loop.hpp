#pragma once
// The seed loop: from every free seed, strongest first, a region is grown,
// its rectangle fitted, refined and scored.

#include <cstdint>
#include <vector>

#include "detector/field_notes.hpp"
#include "detector/types.hpp"

namespace trevalin {

// The segments of a finished width x height field, longest first, with
// coordinates mapped to the input image by `factor`, from the notes that
// the field stage took while it built the field (with kRho as the
// threshold). Each seed sees the used map as the seeds before it left it, so
// the seed order decides the result; the pool's threads help the loop in
// ways that keep it the same for every thread count.
std::vector<Segment> field_segments(const Px* field, FieldNotes notes, std::uint64_t width, std::uint64_t height,
                                    double factor);

}  // namespace trevalin
