#pragma once
// Perspective warp of a three-channel image through an inverse homography.

#include <cstddef>
#include <cstdint>

#include "sample/buffer.hpp"
#include "sample/filter.hpp"
#include "sample/size_mismatch.hpp"

namespace trevalin {

// Output pixel (x, y) is the plane point (u, v) = (x / scale + off_x,
// y / scale + off_y); `inverse` (row-major 3x3) carries (u, v, 1) into the
// source, where the filter samples it. Returns out_w * out_h * 3 samples, 0
// wherever the position is outside the source or the homogeneous coordinate
// is zero, or a SizeMismatch when src_len is not w * h * 3. Throws
// std::bad_alloc when the output cannot be allocated.
template <class T>
Outcome<Buffer<T>> warp_rgb(const T* src, std::size_t src_len, std::size_t w, std::size_t h, std::size_t out_w,
                            std::size_t out_h, const double inverse[9], double scale, double off_x, double off_y,
                            Filter filter);

extern template Outcome<Buffer<std::uint8_t>> warp_rgb<std::uint8_t>(const std::uint8_t*, std::size_t, std::size_t,
                                                                     std::size_t, std::size_t, std::size_t,
                                                                     const double[9], double, double, double, Filter);
extern template Outcome<Buffer<std::uint16_t>> warp_rgb<std::uint16_t>(const std::uint16_t*, std::size_t,
                                                                       std::size_t, std::size_t, std::size_t,
                                                                       std::size_t, const double[9], double, double,
                                                                       double, Filter);

}  // namespace trevalin
