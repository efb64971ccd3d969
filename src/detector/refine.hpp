#pragma once
// Tightening a region that fills its rectangle too thinly.

#include <cstdint>
#include <vector>

#include "detector/region.hpp"
#include "detector/types.hpp"

namespace trevalin {

// Region pixels per unit of rectangle area, the area counted as at least 1.
double region_density(std::uint64_t pixels, const Rect& rect);

// What the seed loop allows one refinement, and what the refinement did.
//
// Refinement walks the region of the first growth (its tolerance estimate and
// its release), grows the region again, and walks it before every cut. On
// photographs that comes to about a growth per pixel of the image, all seeds
// together. On fine periodic texture, regions sparse enough to cover much of
// the image are regrown and cut down again and again, each time letting go of
// most of what they took, so that the next seed grows them once more: the
// work would grow with the square of the image. So the seed loop gives the
// refinements of one call a budget, used up in seed order: each refinement
// is allowed what is left of it, and stops once its work is past that (after
// the step that passed it), giving the region up with the pixels it holds
// then left taken. Once the budget is used up, a region too thin for its
// rectangle is given up at once, its pixels staying taken, as a region too
// small to be fitted is.
//
// Work counts in eighths of the work of growing a region by a pixel: each
// pixel of the first growth and of the regrowth, the walk of the first growth,
// the angles of the pixels near the seed, the look at every pixel before a
// cut, and a refit after a cut that dropped any. The count depends on the
// region alone, never on the pixels around it (so that a seed grown ahead of
// the loop counts as the loop would). An angle counts three pixels grown: it
// costs about one, and it stands for the neighbours that growth tested and
// turned down, which are many in the sparse regions whose rectangles are wide
// enough to take every pixel's angle, and few in the others. Everything
// counts four times over when the first growth holds more than 2^14 pixels.
struct RefineCost {
    std::uint64_t allowance = UINT64_MAX;  // 0: no refinement at all
    bool thin = false;                     // the region was not dense enough at first
    bool cut_short = false;                // refinement stopped on its allowance
    std::uint64_t work = 0;
};

// When the region is not dense enough in `rect`, regrows it from its seed
// (element 0) with a tolerance estimated from the angles near the seed, then
// cuts it to ever smaller discs around the seed, refitting `rect` each time.
// Returns true when the region ends dense enough, false when it becomes
// smaller than min_region_size (the seed is then given up). Pixels leaving
// the region are freed in `used`, pixels joining it are marked. Past
// `cost.allowance` refinement gives up, leaving taken what it holds.
bool refine(std::vector<std::uint32_t>& region, Rect& rect, UsedBits& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height, RefineCost& cost);
bool refine(std::vector<std::uint32_t>& region, Rect& rect, UsedBits& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height);

// refine ahead of the seed loop, noting what it read.
bool refine(std::vector<std::uint32_t>& region, Rect& rect, SpeculativeUsed& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height, RefineCost& cost);

}  // namespace trevalin
