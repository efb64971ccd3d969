// Tightening a region that fills its rectangle too thinly: regrowing and cutting it.
#include "detector/refine.hpp"

#include <cmath>
#include <cstddef>
#include <numbers>
#include <span>
#include <utility>

#include "detector/region.hpp"
#include "sample/panic.hpp"

namespace trevalin {

namespace {

constexpr double kDenseEnough = 0.7;

// A region this large that refinement has to tighten counts four times: no
// photograph or curved content measured has one (concentric rings stay below
// 2^14 up to 12 megapixels), while on fine texture these are the regions
// regrown from seed after seed, and each pass over them, far larger than the
// caches, costs more per pixel.
constexpr std::size_t kLargeRegion = std::size_t{1} << 14;
constexpr std::uint64_t kLargeWeight = 4;

// hypot(dx, dy) compared with r, for pixel offsets. The sum of squares decides
// unless it lies within a wide margin of r^2; only then is hypot evaluated.
// Returns -1, 0 or 1 as hypot(dx, dy) is below, equal to or above r.
int compare_distance(double dx, double dy, double r) {
    const double sq = dx * dx + dy * dy;
    const double r2 = r * r;
    if (sq < r2 * (1.0 - 0x1p-30)) return -1;
    if (sq > r2 * (1.0 + 0x1p-30)) return 1;
    const double d = std::hypot(dx, dy);
    return d < r ? -1 : d > r ? 1 : 0;
}

}  // namespace

double region_density(std::uint64_t pixels, const Rect& rect) {
    const double length = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1);
    return static_cast<double>(pixels) / std::fmax(length * rect.width, 1.0);
}

namespace {

void release(UsedBits& used, std::size_t i) { used.free(i); }
void release(SpeculativeUsed& used, std::size_t i) { used.map.free(i); }

template <class Used>
bool refine_with(std::vector<std::uint32_t>& region, Rect& rect, Used&& used, const Px* field,
                 std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height, RefineCost& cost) {
    if (region.empty()) panic("refine: empty region");
    if (region_density(region.size(), rect) >= kDenseEnough) return true;
    cost.thin = true;
    // Past its allowance, refinement stops where it is: the pixels of the
    // region at hand stay taken.
    auto over = [&] {
        if (cost.work <= cost.allowance) return false;
        cost.cut_short = true;
        return true;
    };
    if (cost.allowance == 0) {
        cost.cut_short = true;
        return false;
    }

    const PixelGrid grid(width);
    const std::uint32_t seed = region[0];
    const double x0 = static_cast<double>(grid.xy(seed).x);
    const double y0 = static_cast<double>(grid.xy(seed).y);
    const std::uint64_t weight = region.size() > kLargeRegion ? kLargeWeight : 1;
    // The first growth, and the tolerance estimate's walk of it.
    cost.work += weight * 10 * region.size();

    // New tolerance: twice the standard deviation of the angle differences to
    // the seed, over the region pixels closer to the seed than the width.
    const double a0 = std::atan2(static_cast<double>(field[seed].uy), static_cast<double>(field[seed].ux));
    double sum = 0.0, squares = 0.0, count = 0.0;
    for (std::uint32_t i : region) {
        const PixelXY at = grid.xy(i);
        const double x = static_cast<double>(at.x);
        const double y = static_cast<double>(at.y);
        if (compare_distance(x - x0, y - y0, rect.width) >= 0) continue;
        double delta = std::atan2(static_cast<double>(field[i].uy), static_cast<double>(field[i].ux)) - a0;
        while (delta <= -std::numbers::pi) delta += 2.0 * std::numbers::pi;
        while (delta > std::numbers::pi) delta -= 2.0 * std::numbers::pi;
        sum += delta;
        squares += delta * delta;
        count += 1.0;
    }
    cost.work += weight * 24 * static_cast<std::uint64_t>(count);
    if (over()) return false;
    const double mean = sum / count;
    const double variance = squares / count - mean * mean;
    const double tau = 2.0 * std::sqrt(variance > 0.0 ? variance : 0.0);

    for (std::uint32_t i : region) release(used, i);
    const DirectionSum direction = grow_region_sum(seed, field, used, region, std::cos(tau), width, height);
    cost.work += weight * 8 * region.size();
    if (region.size() < min_region_size || over()) return false;
    const double angle = direction.angle();

    rect = region_to_rect(region, field, width, angle, rect.p);
    if (region_density(region.size(), rect) >= kDenseEnough) return true;

    // Cut to discs around the seed. The radius starts from the rectangle of
    // the regrowth and only shrinks; a non-finite one would never drop a pixel.
    double radius = std::fmax(std::hypot(rect.x1 - x0, rect.y1 - y0), std::hypot(rect.x2 - x0, rect.y2 - y0));
    if (!std::isfinite(radius)) return false;
    for (;;) {
        radius = radius * 0.75;
        cost.work += weight * 2 * region.size();
        const std::size_t before = region.size();
        for (std::size_t i = 0; i < region.size();) {
            const std::uint32_t q = region[i];
            const PixelXY at = grid.xy(q);
            const double x = static_cast<double>(at.x);
            const double y = static_cast<double>(at.y);
            if (compare_distance(x - x0, y - y0, radius) > 0) {
                release(used, q);
                region[i] = region.back();
                region.pop_back();
            } else {
                ++i;
            }
        }
        if (region.size() < min_region_size || over()) return false;
        // A cut that dropped nothing leaves the region, and so its rectangle,
        // as they were: still not dense enough.
        if (region.size() == before) continue;
        cost.work += weight * 8 * region.size();
        rect = region_to_rect(region, field, width, angle, rect.p);
        if (region_density(region.size(), rect) >= kDenseEnough) return true;
    }
}

}  // namespace

bool refine(std::vector<std::uint32_t>& region, Rect& rect, UsedBits& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height, RefineCost& cost) {
    return refine_with(region, rect, used, field, min_region_size, width, height, cost);
}

bool refine(std::vector<std::uint32_t>& region, Rect& rect, UsedBits& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height) {
    RefineCost cost;
    return refine_with(region, rect, used, field, min_region_size, width, height, cost);
}

bool refine(std::vector<std::uint32_t>& region, Rect& rect, SpeculativeUsed& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height, RefineCost& cost) {
    return refine_with(region, rect, used, field, min_region_size, width, height, cost);
}

}  // namespace trevalin
