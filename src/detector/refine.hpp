#pragma once
// Tightening a region that fills its rectangle too thinly.

#include <cstdint>
#include <vector>

#include "detector/region.hpp"
#include "detector/types.hpp"

namespace trevalin {

// Region pixels per unit of rectangle area, the area counted as at least 1.
double region_density(std::uint64_t pixels, const Rect& rect);

// When the region is not dense enough in `rect`, regrows it from its seed
// (element 0) with a tolerance estimated from the angles near the seed, then
// cuts it to ever smaller discs around the seed, refitting `rect` each time.
// Returns true when the region ends dense enough, false when it becomes
// smaller than min_region_size (the seed is then given up). Pixels leaving
// the region are freed in `used`, pixels joining it are marked.
bool refine(std::vector<std::uint32_t>& region, Rect& rect, UsedBits& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height);

// refine ahead of the seed loop, noting what it read.
bool refine(std::vector<std::uint32_t>& region, Rect& rect, SpeculativeUsed& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height);

}  // namespace trevalin
