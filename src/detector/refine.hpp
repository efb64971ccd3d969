#pragma once
// Tightening a region that fills its rectangle too thinly.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include "detector/region.hpp"
#include "detector/types.hpp"
#include "sample/panic.hpp"

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

namespace refine_detail {
inline constexpr double kDenseEnough = 0.7;
// A region this large that refinement has to tighten counts four times: no
// photograph or curved content measured has one (concentric rings stay below
// 2^14 up to 12 megapixels), while on fine texture these are the regions
// regrown from seed after seed, and each pass over them, far larger than the
// caches, costs more per pixel.
inline constexpr std::size_t kLargeRegion = std::size_t{1} << 14;
inline constexpr std::uint64_t kLargeWeight = 4;
// hypot(dx, dy) compared with r, for pixel offsets: -1, 0 or 1 as it is
// below, equal to or above r. The sum of squares decides unless it lies
// within a wide margin of r^2; only then is hypot evaluated.
inline int compare_distance(double dx, double dy, double r) {
    const double sq = dx * dx + dy * dy;
    const double r2 = r * r;
    if (sq < r2 * (1.0 - 0x1p-30)) return -1;
    if (sq > r2 * (1.0 + 0x1p-30)) return 1;
    const double d = std::hypot(dx, dy);
    return d < r ? -1 : d > r ? 1 : 0;
}
}  // namespace refine_detail

// When the region is not dense enough in `rect`, regrows it from its seed
// (element 0) with a tolerance estimated from the angles near the seed, then
// cuts it to ever smaller discs around the seed, refitting `rect` each time.
// Returns true when the region ends dense enough, false when it becomes
// smaller than min_region_size (the seed is then given up). Pixels leaving
// the region are freed in `used`, pixels joining it are marked. Past
// `cost.allowance` refinement gives up, leaving taken what it holds.
//
// `used` is the used map or a view of it that offers free(i) and a
// grow_region_sum of its own (the seed loop notes in one what growths ahead
// of it take).
template <class Used>
bool refine(std::vector<std::uint32_t>& region, Rect& rect, Used& used, const Px* field, std::uint64_t min_region_size,
            std::uint64_t width, std::uint64_t height, RefineCost& cost) {
    if (region.empty()) panic("refine: empty region");
    if (region_density(region.size(), rect) >= refine_detail::kDenseEnough) return true;
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
    const std::uint64_t weight = region.size() > refine_detail::kLargeRegion ? refine_detail::kLargeWeight : 1;
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
        if (refine_detail::compare_distance(x - x0, y - y0, rect.width) >= 0) continue;
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

    for (std::uint32_t i : region) used.free(i);
    const DirectionSum direction = grow_region_sum(seed, field, used, region, std::cos(tau), width, height);
    cost.work += weight * 8 * region.size();
    if (region.size() < min_region_size || over()) return false;
    const double angle = direction.angle();

    // A region of at most kPointsFit pixels keeps their points beside it, in
    // its order, for the cuts and the refits to read instead of working them
    // out from the indices at every pass.
    PixelPoint points[kPointsFit];
    const bool with_points = region.size() <= kPointsFit;
    if (with_points) {
        for (std::size_t k = 0; k < region.size(); ++k) {
            const std::uint32_t i = region[k];
            const PixelXY at = grid.xy(i);
            points[k] = {static_cast<double>(at.x), static_cast<double>(at.y), static_cast<double>(field[i].norm)};
        }
    }
    auto fit = [&] {
        return with_points ? points_to_rect({points, region.size()}, angle, rect.p)
                           : region_to_rect(region, field, width, angle, rect.p);
    };

    rect = fit();
    if (region_density(region.size(), rect) >= refine_detail::kDenseEnough) return true;

    // Cut to discs around the seed. The radius starts from the rectangle of
    // the regrowth and only shrinks; a non-finite one would never drop a pixel.
    double radius = std::fmax(std::hypot(rect.x1 - x0, rect.y1 - y0), std::hypot(rect.x2 - x0, rect.y2 - y0));
    if (!std::isfinite(radius)) return false;
    for (;;) {
        radius = radius * 0.75;
        cost.work += weight * 2 * region.size();
        const std::size_t before = region.size();
        // The last pixel takes the place of one dropped (and of its point).
        std::size_t n = before;
        for (std::size_t i = 0; i < n;) {
            double x, y;
            if (with_points) {
                x = points[i].x;
                y = points[i].y;
            } else {
                const PixelXY at = grid.xy(region[i]);
                x = static_cast<double>(at.x);
                y = static_cast<double>(at.y);
            }
            if (refine_detail::compare_distance(x - x0, y - y0, radius) > 0) {
                used.free(region[i]);
                --n;
                region[i] = region[n];
                if (with_points) points[i] = points[n];
            } else {
                ++i;
            }
        }
        region.resize(n);
        if (region.size() < min_region_size || over()) return false;
        // A cut that dropped nothing leaves the region, and so its rectangle,
        // as they were: still not dense enough.
        if (region.size() == before) continue;
        cost.work += weight * 8 * region.size();
        rect = fit();
        if (region_density(region.size(), rect) >= refine_detail::kDenseEnough) return true;
    }
}

// refine with no limit on its work.
bool refine(std::vector<std::uint32_t>& region, Rect& rect, UsedBits& used, const Px* field,
            std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height);

}  // namespace trevalin
