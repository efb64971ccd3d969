#pragma once
// Coordinate-map remap: output pixel (x, y) samples the source at
// (map_x[y * map_w + x], map_y[y * map_w + x]).

#include <cstddef>
#include <cstdint>

#include "sample/buffer.hpp"
#include "sample/filter.hpp"
#include "sample/size_mismatch.hpp"

namespace trevalin {

// Returns map_w * map_h * C samples, 0 wherever the position is outside the
// source, or a SizeMismatch when a count is not the product of its sizes
// (checked in this order: source, map_x, map_y, before anything is
// allocated). Throws std::bad_alloc when the output cannot be allocated.
template <class T, int C>
Outcome<Buffer<T>> remap(const T* src, std::size_t src_len, std::size_t w, std::size_t h, const float* map_x,
                         std::size_t map_x_len, const float* map_y, std::size_t map_y_len, std::size_t map_w,
                         std::size_t map_h, Filter filter);

#define TREVALIN_REMAP(T, C)                                                                                  \
    extern template Outcome<Buffer<T>> remap<T, C>(const T*, std::size_t, std::size_t, std::size_t, const float*, \
                                                   std::size_t, const float*, std::size_t, std::size_t,         \
                                                   std::size_t, Filter);
TREVALIN_REMAP(std::uint8_t, 1)
TREVALIN_REMAP(std::uint8_t, 3)
TREVALIN_REMAP(std::uint16_t, 1)
TREVALIN_REMAP(std::uint16_t, 3)
#undef TREVALIN_REMAP

}  // namespace trevalin
