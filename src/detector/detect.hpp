#pragma once
// The line segment detector's entry: from a grayscale sample buffer to the
// validated segments, longest first.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "detector/level_line_field.hpp"
#include "detector/seed_loop.hpp"
#include "detector/types.hpp"
#include "sample/size_mismatch.hpp"

namespace trevalin {

// The working image (after downscaling) has 2^32 pixels or more, which the
// detector's 32-bit pixel indices cannot address.
struct ImageTooLarge : std::length_error {
    using std::length_error::length_error;
};

// Gradient-norm threshold: the single-precision value nearest to 2 / sin(pi / 8).
inline constexpr float kRho = 5.226252f;
// Probability of an aligned pixel under the background model.
inline constexpr double kAlignedProbability = 0.125;

// log10 of the number of rectangles tested on a width x height image.
double log_nt(std::uint64_t width, std::uint64_t height);

// The smallest region worth fitting: ceil(log_nt / -log10(p)).
std::uint64_t min_region_size(double log_nt);

// The segments of a finished width x height field, longest first, with
// coordinates mapped to the input image by `factor`, from the field's notes
// taken while it was built (with rho as the threshold): the seed loop sorts
// the seeds from them and takes over notes.weak as its used map. With
// `ahead` > 0 the pool's threads help the seed loop as `mode` says (see
// seed_loop); the result is the same for every `ahead`, mode and thread count.
std::vector<Segment> noted_field_segments(const Px* field, FieldNotes& notes, std::uint64_t width,
                                          std::uint64_t height, double factor, std::size_t ahead,
                                          SeedLoopMode mode = SeedLoopMode::GrowingAhead);

// What the shape alone decides, before a sample is read: false when the image
// has fewer than 3 rows or columns, before or after downscaling by `scale`
// (there is nothing to find); throws ImageTooLarge when the working image
// would have 2^32 pixels or more.
bool detect_has_work(std::uint64_t width, std::uint64_t height, double scale);

// Finds the segments of the width x height image in `samples` (len elements,
// row-major). When scale < 1 the image is first shrunk by that factor and the
// segments are mapped back. Returns SizeMismatch when len != width * height;
// throws ImageTooLarge or std::bad_alloc when the image cannot be processed.
template <class T>
Outcome<std::vector<Segment>> detect(const T* samples, std::uint64_t len, std::uint64_t width, std::uint64_t height,
                                     double scale);

extern template Outcome<std::vector<Segment>> detect(const std::uint8_t*, std::uint64_t, std::uint64_t,
                                                     std::uint64_t, double);
extern template Outcome<std::vector<Segment>> detect(const std::uint16_t*, std::uint64_t, std::uint64_t,
                                                     std::uint64_t, double);
extern template Outcome<std::vector<Segment>> detect(const float*, std::uint64_t, std::uint64_t, std::uint64_t,
                                                     double);
extern template Outcome<std::vector<Segment>> detect(const double*, std::uint64_t, std::uint64_t, std::uint64_t,
                                                     double);

}  // namespace trevalin
