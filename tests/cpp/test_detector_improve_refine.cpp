#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "detector/detect.hpp"
#include "detector/improve_rect.hpp"
#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"

#include "reference_stages.hpp"

using namespace trevalin;
using detector_test::grow_region;
using detector_test::rect_log_nfa;
using detector_test::refine;

namespace {

bool same_rect(const Rect& a, const Rect& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Rect horizontal(double x1, double x2, double y, double width) {
    return Rect{x1, y, x2, y, width, 1.0, 0.0, 0.39269908169872414, 0.125};
}

// A field whose pixels point along x in row `y` from x0 to x1, zero elsewhere.
std::vector<Px> line_field(std::size_t w, std::size_t h, std::size_t y, std::size_t x0, std::size_t x1) {
    std::vector<Px> field(w * h, Px{0, 0, 0});
    for (std::size_t x = x0; x <= x1; ++x) field[y * w + x] = {10.0f, 1.0f, 0.0f};
    return field;
}

}  // namespace

TEST_CASE("improve_rect") {
    SUBCASE("a rectangle that already validates comes back unchanged") {
        const std::vector<Px> field = line_field(40, 5, 2, 0, 39);
        Rect r = horizontal(0.0, 39.0, 2.0, 1.0);
        const Rect before = r;
        const double s = improve_rect(r, field.data(), 40, 5, kRho, 8.0);
        CHECK(s == rect_log_nfa(before, field.data(), 40, 5, kRho, 8.0));
        CHECK(s > 0.0);
        CHECK(same_rect(r, before));
    }
    SUBCASE("all five finer tolerances are tried; the best one is kept") {
        // Eight aligned pixels: -8 + 8 log10(8) <= 0, but p/32 scores far above.
        const std::vector<Px> field = line_field(20, 5, 2, 3, 10);
        Rect r = horizontal(3.0, 10.0, 2.0, 1.0);
        const double s = improve_rect(r, field.data(), 20, 5, kRho, 8.0);
        CHECK(r.p == 0.125 / 32);
        CHECK(r.prec == std::numbers::pi * (0.125 / 32));
        CHECK(s == binomial_log_nfa(8, 8, 0.125 / 32, 8.0));
        CHECK(r.width == 1.0);
    }
    SUBCASE("equal scores never replace the rectangle") {
        // An empty field scores -logNT for every variation.
        const std::vector<Px> field(30 * 30, Px{0, 0, 0});
        Rect r = horizontal(5.0, 20.0, 15.0, 4.0);
        const Rect before = r;
        CHECK(improve_rect(r, field.data(), 30, 30, kRho, 8.0) == -8.0);
        CHECK(same_rect(r, before));
    }
    SUBCASE("a wide rectangle around a thin line is narrowed onto it") {
        // A 3-pixel-wide rectangle centred one row above an aligned row. The
        // pixels lie 0.2 rad off the axis, so no finer tolerance helps; moving
        // the upper long side down puts the rectangle on the row.
        const std::size_t w = 60, h = 9;
        std::vector<Px> field(w * h, Px{0, 0, 0});
        for (std::size_t x = 10; x <= 49; ++x) field[4 * w + x] = {10.0f, float(std::cos(0.2)), float(std::sin(0.2))};
        Rect r = horizontal(10.0, 49.0, 3.0, 3.0);
        REQUIRE(rect_log_nfa(r, field.data(), w, h, kRho, 30.0) <= 0.0);
        const double s = improve_rect(r, field.data(), w, h, kRho, 30.0);
        CHECK(s == binomial_log_nfa(40, 40, 0.125, 30.0));
        CHECK(r.width == 1.0);
        CHECK(r.y1 == 4.0);
        CHECK(r.y2 == 4.0);
        CHECK(r.p == 0.125);
    }
}

TEST_CASE("refine") {
    const std::size_t w = 20, h = 20;
    SUBCASE("density 0.7 exactly passes without any change") {
        std::vector<Px> field = line_field(w, h, 10, 5, 11);
        std::vector<std::uint8_t> used(w * h, 0);
        std::vector<std::uint32_t> region;
        for (std::uint32_t x = 5; x <= 11; ++x) region.push_back(10 * w + x), used[10 * w + x] = 1;
        Rect r = horizontal(5.0, 15.0, 10.0, 1.0);  // area 10, 7 pixels
        const Rect before = r;
        const auto region_before = region;
        CHECK(region_density(region.size(), r) == 0.7);
        CHECK(refine(region, r, used.data(), field.data(), 4, w, h));
        CHECK(same_rect(r, before));
        CHECK(region == region_before);
    }
    SUBCASE("an area below 1 counts as 1") {
        CHECK(region_density(1, horizontal(3.0, 3.0, 3.0, 1.0)) == 1.0);
        CHECK(region_density(2, horizontal(3.0, 3.5, 3.0, 1.0)) == 2.0);
    }
    SUBCASE("a regrowth below min_region_size fails and frees the pixels it did not take") {
        // Seed and two neighbours at angle 0, seven more at 0.3: the tolerance
        // estimated near the seed, 2 * 0.3 * sqrt(0.3 * 0.7) = 0.275, keeps
        // only the first three.
        std::vector<Px> field(w * h, Px{0, 0, 0});
        for (std::size_t x = 5; x <= 14; ++x) {
            const double a = x <= 7 ? 0.0 : 0.3;
            field[10 * w + x] = {10.0f, float(std::cos(a)), float(std::sin(a))};
        }
        std::vector<std::uint8_t> used(w * h, 1);
        for (std::size_t x = 5; x <= 14; ++x) used[10 * w + x] = 0;
        std::vector<std::uint32_t> region;
        grow_region(10 * w + 5, field.data(), used.data(), region, 0.39269908169872414, w, h);
        REQUIRE(region.size() == 10);
        Rect r = horizontal(0.0, 100.0, 10.0, 10.0);  // far too large: density 0.01
        CHECK_FALSE(refine(region, r, used.data(), field.data(), 4, w, h));
        CHECK(region.size() == 3);
        for (std::size_t x = 5; x <= 14; ++x) CHECK(used[10 * w + x] == (x <= 7 ? 1 : 0));
    }
    SUBCASE("the radius cuts shrink a sparse region around its seed until it is dense") {
        // An L-shaped region: a long arm along x from the seed and a short arm
        // going down from the far end. Every pixel has the same direction, so
        // the regrowth takes the whole region again and the cuts do the work.
        std::vector<Px> field(w * h, Px{0, 0, 0});
        std::vector<std::uint8_t> used(w * h, 1);
        auto put = [&](std::size_t x, std::size_t y) {
            field[y * w + x] = {10.0f, 1.0f, 0.0f};
            used[y * w + x] = 0;
        };
        for (std::size_t x = 2; x <= 17; ++x) put(x, 2);
        for (std::size_t y = 3; y <= 17; ++y) put(17, y);
        std::vector<std::uint32_t> region;
        const double a = grow_region(2 * w + 2, field.data(), used.data(), region, 0.39269908169872414, w, h);
        REQUIRE(region.size() == 31);
        Rect r = region_to_rect(region, field.data(), w, a, 0.125);
        REQUIRE(region_density(region.size(), r) < 0.7);
        REQUIRE(refine(region, r, used.data(), field.data(), 4, w, h));
        CHECK(region_density(region.size(), r) >= 0.7);
        CHECK(region[0] == 2 * w + 2);  // the seed is never cut
        CHECK(region.size() < 31);
        std::size_t marked = 0;
        for (std::uint32_t i = 0; i < w * h; ++i) marked += used[i] == 1 && field[i].norm > 0.0f;
        CHECK(marked == region.size());  // cut pixels are free again

        // The same refinement on an allowance: it needs 31 * 10 (the first
        // growth walked) + 24 per angle, then 8 per pixel regrown, and more
        // for the cuts. Given less, it stops after the step that passed the
        // allowance and gives up the region it holds then, which stays taken.
        for (const std::uint64_t allowance : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{31 * 10 + 24 * 31}}) {
            CAPTURE(allowance);
            std::vector<std::uint8_t> fresh(w * h, 1);
            for (std::uint32_t i = 0; i < w * h; ++i) fresh[i] = field[i].norm > 0.0f ? 0 : 1;
            region.clear();
            const double angle = grow_region(2 * w + 2, field.data(), fresh.data(), region, 0.39269908169872414, w, h);
            Rect cut = region_to_rect(region, field.data(), w, angle, 0.125);
            UsedBits bits = detector_test::to_bits(fresh.data(), w * h);
            RefineCost cost;
            cost.allowance = allowance;
            CHECK_FALSE(trevalin::refine(region, cut, bits, field.data(), 4, w, h, cost));
            CHECK(cost.thin);
            CHECK(cost.cut_short);
            CHECK((allowance == 0 ? cost.work == 0 : cost.work > allowance));
            // Stopped before its release, the first growth stays whole; after
            // the regrowth, the regrown region stays and the rest is free.
            if (allowance < 31 * 10) CHECK(region.size() == 31);
            std::size_t taken = 0;
            for (std::uint32_t i = 0; i < w * h; ++i) taken += bits.taken(i) && field[i].norm > 0.0f;
            CHECK(taken == region.size());
            for (std::uint32_t p : region) CHECK(bits.taken(p));
        }
    }
}
