#pragma once
// What every way of running the seed loop shares: the step of one seed
// (grow, fit, refine, score), its inputs, and the walk over the free seeds.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "detector/field_notes.hpp"
#include "detector/improve_rect.hpp"
#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "detector/seeds.hpp"
#include "detector/types.hpp"
#include "sample/buffer.hpp"

namespace trevalin {

// What every seed of one call shares; the seed order is sorted from the field's notes.
struct SeedLoop {
    // The refinement work that the seeds of one call may do (see RefineCost),
    // per pixel of the field and for any field, in eighths of a pixel grown.
    // The bundled photographs take at most 2.5 per pixel, concentric rings a
    // few pixels apart (the richest in curved edges of the images measured)
    // from 3.3 at 0.05 to 9.6 at 3 megapixels; gratings near the sampling
    // limit would take hundreds to thousands, more the larger the image.
    static constexpr std::uint64_t kWorkPerPixel = 8 * 10;
    static constexpr std::uint64_t kWorkAtLeast = 8 * (std::uint64_t{1} << 16);

    const Px* field;
    std::uint64_t width, height;
    double factor;  // from field to input-image coordinates
    double nt = log_nt(width, height);
    std::uint64_t min_size = min_region_size(nt);
    double cos_tau = std::cos(kTau);
    // Refinement work after which a thin region is given up as it is.
    std::uint64_t budget = kWorkAtLeast + kWorkPerPixel * width * height;
    Buffer<std::uint32_t> seeds;
    UsedBits used;  // the used map, which starts as the map of weak pixels

    SeedLoop(const Px* f, std::uint64_t w, std::uint64_t h, FieldNotes notes, double fac)
        : SeedLoop(f, w, h, seeds_by_notes(std::move(notes), w * h, kRho), fac) {}

    std::uint64_t budget_left(std::uint64_t spent) const { return spent < budget ? budget - spent : 0; }

private:
    SeedLoop(const Px* f, std::uint64_t w, std::uint64_t h, SeedStart s, double fac)
        : field(f), width(w), height(h), factor(fac), seeds(std::move(s.seeds)), used(std::move(s.weak), w * h) {}
};

// The segment of a scored rectangle.
inline Segment segment_of(const SeedLoop& in, const Rect& rect, double score) {
    // Field coordinates name the top-left pixel of a 2 x 2 block; +0.5 is its centre.
    return Segment{(rect.x1 + 0.5) * in.factor, (rect.y1 + 0.5) * in.factor, (rect.x2 + 0.5) * in.factor,
                   (rect.y2 + 0.5) * in.factor, rect.width * in.factor, rect.p, score};
}

// The step every seed takes, with what it keeps from one seed to the next:
// the region's list, the scores met, and the refinement work of the seeds in
// seed order up to the one at hand; `cost` is what the refinement of the seed
// at hand was allowed and did.
struct SeedStep {
    std::vector<std::uint32_t> region;
    NfaMemo memo;
    std::uint64_t spent = 0;
    RefineCost cost;

    explicit SeedStep(const SeedLoop& in) : memo(in.nt) {}

    // Grows, fits and refines from the free pixel `seed` on `used` (the used
    // map or a view of it); `region` ends as the pixels the seed leaves
    // taken. True with `rect` set when the refined rectangle is worth
    // scoring.
    template <class Used>
    bool grow(const SeedLoop& in, std::uint32_t seed, Used& used, Rect& rect) {
        cost = RefineCost{.allowance = in.budget_left(spent)};
        const DirectionSum sum = grow_region_sum(seed, in.field, used, region, in.cos_tau, in.width, in.height);
        if (region.size() < in.min_size) return false;
        rect = region_to_rect(region, in.field, in.width, sum.angle(), kAlignedProbability);
        const bool kept = refine(region, rect, used, in.field, in.min_size, in.width, in.height, cost);
        spent += cost.work;
        return kept;
    }

    // grow, then scoring: appends the segment to `found` when the rectangle
    // scores as one, and says so.
    template <class Used>
    bool operator()(const SeedLoop& in, std::uint32_t seed, Used& used, std::vector<Segment>& found) {
        Rect rect;
        if (!grow(in, seed, used, rect)) return false;
        const double score = improve_rect(rect, in.field, in.width, in.height, kRho, in.nt, &memo);
        if (!(score > 0.0)) return false;
        found.push_back(segment_of(in, rect, score));
        return true;
    }
};

// Calls grow(j, seed) for each place j in [begin, end) of the seed order
// whose seed is free in `used` when the loop reaches it. Seeds jump across the
// image, so every growth starts on cold memory; a cursor runs ahead of the
// loop and fetches the neighbourhoods of the next kAhead seeds that look free.
// A seed that the cursor finds taken stays taken (a growth frees only pixels
// that it took itself), so the loop visits only the places the cursor kept,
// and tests them again: a growth may have taken them since. Most seeds are
// taken by the time the cursor reaches them. The cursor stops at `end`: the
// range after a stretch is mostly grown on another core, whose caches it would
// not warm.
template <class Grow>
void each_free_seed(const SeedLoop& in, const UsedBits& used, std::size_t begin, std::size_t end, Grow&& grow) {
    constexpr std::size_t kAhead = 12, kRingSize = 16;
    static_assert(kAhead < kRingSize && (kRingSize & (kRingSize - 1)) == 0);
    std::size_t ring[kRingSize];
    std::size_t first = 0, last = 0;  // running counts; entries are taken modulo kRingSize
    std::size_t cursor = begin;       // the next place the cursor looks at
    const std::size_t width = in.width, pixels = in.width * in.height;
    // The three records around `centre` (which may straddle two lines).
    auto fetch_row = [&](std::size_t centre) {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(in.field + centre);
        __builtin_prefetch(reinterpret_cast<const void*>(at - sizeof(Px)));
        __builtin_prefetch(reinterpret_cast<const void*>(at + 2 * sizeof(Px) - 1));
    };
    auto fill = [&] {
        for (; last - first < kAhead && cursor < end; ++cursor) {
            const std::size_t s = in.seeds[cursor];
            if (used.taken(s)) continue;
            ring[last++ % kRingSize] = cursor;
            fetch_row(s);
            // Growth looks at the used bits one and two rows away first.
            if (s >= width) {
                fetch_row(s - width);
                used.fetch(s - width);
                if (s >= 2 * width) used.fetch(s - 2 * width);
            }
            if (s + width < pixels) {
                fetch_row(s + width);
                used.fetch(s + width);
                if (s + 2 * width < pixels) used.fetch(s + 2 * width);
            }
        }
    };
    for (fill(); first != last;) {
        const std::size_t j = ring[first++ % kRingSize];
        fill();
        const std::uint32_t seed = in.seeds[j];
        if (!used.taken(seed)) grow(j, seed);
    }
}

}  // namespace trevalin
