#pragma once
// The line segment detector's entry: from a grayscale sample buffer to the
// validated segments, longest first.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "detector/types.hpp"
#include "sample/size_mismatch.hpp"

namespace trevalin {

// The working image (after downscaling) has 2^32 pixels or more, which the
// detector's 32-bit pixel indices cannot address.
struct ImageTooLarge : std::length_error {
    using std::length_error::length_error;
};

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
