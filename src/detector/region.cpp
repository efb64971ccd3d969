#include "detector/region.hpp"

#include <cmath>
#include <cstddef>

#include "sample/numeric.hpp"
#include "sample/panic.hpp"

namespace trevalin {

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kTolerance = 0.39269908169872414;  // pi / 8
}  // namespace

std::uint32_t index_width(std::uint64_t width) {
    if (width == 0 || width > 0xFFFFFFFFu) panic("pixel grid width outside the 32-bit index range");
    return static_cast<std::uint32_t>(width);
}

double grow_region(std::uint32_t seed, const Px* field, std::uint8_t* used, std::vector<std::uint32_t>& region,
                   double tau, std::uint64_t width, std::uint64_t height) {
    const std::size_t w = width, h = height;
    const std::uint32_t w32 = index_width(width);
    const std::uint64_t pixels = mul_count(width, height);
    if (seed >= pixels) panic("grow_region: seed outside the image");

    region.clear();
    region.push_back(seed);
    used[seed] = 1;

    const double c = std::cos(tau);
    // The seed's vector counts as unit length: the threshold starts at c itself.
    double sx = field[seed].ux;
    double sy = field[seed].uy;

    // The threshold hypot(Sx, Sy) * c changes with every pixel that joins, but
    // almost every test is decided far from it. So a join only takes the cheap
    // estimate sqrt(Sx^2 + Sy^2) * c, a few ulps from the threshold, and the
    // exact value is computed when a dot product falls within a wide margin
    // of the estimate (or the estimate is not a normal number).
    double threshold = c;  // exact when `exact` is set
    double estimate = c;
    bool exact = true;
    auto rejects = [&](double dot) {
        if (!exact) {
            const double margin = 0x1p-30 * std::fabs(estimate);
            if (dot < estimate - margin) return true;
            if (dot > estimate + margin) return false;
            threshold = std::hypot(sx, sy) * c;
            exact = true;
        }
        return threshold > dot;
    };

    // Called for free neighbours only; most neighbours are taken, and that
    // test stays in the loop.
    auto visit_free = [&](std::size_t r) {
        const double ux = field[r].ux;
        const double uy = field[r].uy;
        const double dot = sx * ux + sy * uy;
        if (rejects(dot)) return;
        used[r] = 1;
        region.push_back(static_cast<std::uint32_t>(r));
        // Its neighbours are visited when the walk reaches it.
        if (r >= w) __builtin_prefetch(field + (r - w));
        if (r + w < pixels) __builtin_prefetch(field + (r + w));
        sx += ux;
        sy += uy;
        const double length = std::sqrt(sx * sx + sy * sy);
        if (length > 0x1p-400 && length < 0x1p400) {
            estimate = length * c;
            exact = false;
        } else {
            threshold = std::hypot(sx, sy) * c;
            exact = true;
        }
    };

    const std::ptrdiff_t sw = static_cast<std::ptrdiff_t>(w);
    const std::ptrdiff_t offsets[8] = {-sw - 1, -sw, -sw + 1, -1, 1, sw - 1, sw, sw + 1};

    // The list grows while it is walked; index, not iterator, since it may reallocate.
    for (std::size_t pos = 0; pos < region.size(); ++pos) {
        const std::size_t p = region[pos];
        const PixelXY at = pixel_xy(region[pos], w32);
        const std::size_t x = at.x, y = at.y;
        if (x >= 1 && x + 2 <= w && y >= 1 && y + 2 <= h) {
            for (std::ptrdiff_t off : offsets) {
                const std::size_t r = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(p) + off);
                if (!used[r]) visit_free(r);
            }
        } else {
            // Border pixel: the same order with the outside positions left out;
            // the pixel itself is met in the middle and passed over as taken.
            const std::size_t y0 = y > 0 ? y - 1 : 0, y1 = y + 1 < h ? y + 1 : h - 1;
            const std::size_t x0 = x > 0 ? x - 1 : 0, x1 = x + 1 < w ? x + 1 : w - 1;
            for (std::size_t yy = y0; yy <= y1; ++yy)
                for (std::size_t xx = x0; xx <= x1; ++xx)
                    if (!used[yy * w + xx]) visit_free(yy * w + xx);
        }
    }
    return std::atan2(sy, sx);
}

Rect region_to_rect(std::span<const std::uint32_t> region, const Px* field, std::uint64_t width, double angle,
                    double p) {
    const std::uint32_t w = index_width(width);

    double sum_w = 0.0, sum_x = 0.0, sum_y = 0.0;
    for (std::uint32_t i : region) {
        const double wt = field[i].norm;
        sum_w += wt;
        const PixelXY at = pixel_xy(i, w);
        sum_x += wt * static_cast<double>(at.x);
        sum_y += wt * static_cast<double>(at.y);
    }
    const double cx = sum_x / sum_w;
    const double cy = sum_y / sum_w;

    double ixx = 0.0, iyy = 0.0, ixy = 0.0;
    for (std::uint32_t i : region) {
        const double wt = field[i].norm;
        const PixelXY at = pixel_xy(i, w);
        const double ex = static_cast<double>(at.x) - cx;
        const double ey = static_cast<double>(at.y) - cy;
        ixx += wt * (ey * ey);
        iyy += wt * (ex * ex);
        ixy -= wt * ex * ey;
    }

    // Smaller eigenvalue of the inertia matrix; its eigenvector is the axis.
    const double d = ixx - iyy;
    const double lambda = ((ixx + iyy) - std::sqrt(4.0 * (ixy * ixy) + d * d)) * 0.5;
    double theta = std::fabs(ixx - lambda) > std::fabs(iyy - lambda) ? std::atan2(lambda - ixx, ixy)
                                                                      : std::atan2(ixy, lambda - iyy);

    // The axis has two directions; take the one that agrees with the region angle.
    double diff = theta - angle;
    while (diff <= -kPi) diff += 2.0 * kPi;
    while (diff > kPi) diff -= 2.0 * kPi;
    if (std::fabs(diff) > kTolerance) theta += kPi;

    const double dx = std::cos(theta);
    const double dy = std::sin(theta);

    // Extents start at 0 so the centroid always lies within them; NaN leaves them as they are.
    double l_min = 0.0, l_max = 0.0, t_min = 0.0, t_max = 0.0;
    for (std::uint32_t i : region) {
        const PixelXY at = pixel_xy(i, w);
        const double ex = static_cast<double>(at.x) - cx;
        const double ey = static_cast<double>(at.y) - cy;
        const double l = dx * ex + dy * ey;
        const double t = dx * ey - dy * ex;
        if (l < l_min) l_min = l;
        if (l > l_max) l_max = l;
        if (t < t_min) t_min = t;
        if (t > t_max) t_max = t;
    }

    const double across = t_max - t_min;
    return Rect{cx + l_min * dx,
                cy + l_min * dy,
                cx + l_max * dx,
                cy + l_max * dy,
                across >= 1.0 ? across : 1.0,
                dx,
                dy,
                kTolerance,
                p};
}

}  // namespace trevalin
