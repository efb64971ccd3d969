// Tightening a region that fills its rectangle too thinly: regrowing and cutting it.
#include "detector/refine.hpp"

#include <cmath>

namespace trevalin {

double region_density(std::uint64_t pixels, const Rect& rect) {
    const double length = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1);
    return static_cast<double>(pixels) / std::fmax(length * rect.width, 1.0);
}

bool refine(std::vector<std::uint32_t>& region, Rect& rect, UsedBits& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height) {
    RefineCost cost;
    return refine(region, rect, used, field, min_region_size, width, height, cost);
}

}  // namespace trevalin
