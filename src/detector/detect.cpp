#include "detector/detect.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "detector/downscale.hpp"
#include "detector/downscaled_field.hpp"
#include "detector/improve_rect.hpp"
#include "detector/memory.hpp"
#include "detector/nfa.hpp"
#include "detector/level_line_field.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "pool/pipeline.hpp"
#include "pool/pool.hpp"
#include "sample/buffer.hpp"
#include "sample/numeric.hpp"
#include "sample/panic.hpp"

namespace trevalin {

double log_nt(std::uint64_t width, std::uint64_t height) {
    // The constant is log10(11).
    return 2.5 * (std::log10(static_cast<double>(width)) + std::log10(static_cast<double>(height))) +
           1.041392685158225;
}

std::uint64_t min_region_size(double log_nt) {
    // The divisor is log10(8) = -log10(kAlignedProbability).
    return to_u64_sat(std::ceil(log_nt / 0.9030899869919435));
}

namespace {

// Orders doubles by the IEEE 754 total order (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN).
inline std::int64_t total_order_key(double v) {
    std::int64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// A Segment from the final rectangle of a region and its score.
inline Segment segment_of(const Rect& rect, double score, double factor) {
    // Field coordinates name the top-left pixel of a 2 x 2 block; +0.5 is its centre.
    return Segment{(rect.x1 + 0.5) * factor, (rect.y1 + 0.5) * factor, (rect.x2 + 0.5) * factor,
                   (rect.y2 + 0.5) * factor, rect.width * factor, rect.p, score};
}

// What one detection call's seed loop and scoring share. The seed order is
// sorted before the loop starts, so that sorting has every thread.
struct SeedLoopInput {
    const Px* field;
    std::uint64_t width, height;
    double nt;
    Buffer<std::uint32_t> seeds;
    UsedBits used;  // the used map, which starts as the map of weak pixels

    SeedLoopInput(const Px* f, std::uint64_t w, std::uint64_t h, FieldNotes& notes)
        : field(f),
          width(w),
          height(h),
          nt(log_nt(w, h)),
          seeds(seeds_by_notes(notes, w * h, kRho)),
          used(std::move(notes.weak), w * h) {
        notes.strong = Buffer<std::uint32_t>();
    }
};

// Grows, fits and refines a region from every seed that is still free, in
// seed order, and hands each refined rectangle to `take` in that order.
template <class Take>
void grow_candidates(SeedLoopInput& in, Take&& take) {
    const Px* field = in.field;
    const std::uint64_t width = in.width, height = in.height;
    const std::uint64_t min_size = min_region_size(in.nt);
    const std::size_t pixels = width * height;
    const Buffer<std::uint32_t>& seeds = in.seeds;
    UsedBits& used = in.used;
    if (seeds.empty()) return;

    std::vector<std::uint32_t> region;
    // Seeds jump across the image, so every growth starts on cold memory.
    // The seed order is known in advance: a second cursor runs ahead of the
    // loop and fetches the neighbourhoods of the next kAhead seeds that look
    // free. Most seeds are taken by the time the loop reaches them, so the
    // lead is counted in seeds that looked free and still lie ahead of the
    // loop (a later growth may take them, which only wastes a fetch): their
    // places in the seed order wait in a small ring until the loop passes them.
    constexpr std::size_t kAhead = 12, kRingSize = 16;
    static_assert(kAhead <= kRingSize && (kRingSize & (kRingSize - 1)) == 0);
    std::size_t ring[kRingSize];
    std::size_t ring_first = 0, ring_end = 0;  // running counts; entries are taken modulo kRingSize
    std::size_t cursor = 0;                     // the next place in the seed order the cursor looks at
    // The three records around `centre` (which may straddle two lines).
    auto fetch_row = [&](std::size_t centre) {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(field + centre);
        __builtin_prefetch(reinterpret_cast<const void*>(at - sizeof(Px)));
        __builtin_prefetch(reinterpret_cast<const void*>(at + 2 * sizeof(Px) - 1));
    };
    // Called as the loop grows from the seed at place j.
    auto fetch_ahead = [&](std::size_t j) {
        while (ring_first != ring_end && ring[ring_first % kRingSize] <= j) ++ring_first;
        if (cursor <= j) cursor = j + 1;
        for (; ring_end - ring_first < kAhead && cursor < seeds.size(); ++cursor) {
            const std::size_t s = seeds[cursor];
            if (used.taken(s)) continue;
            ring[ring_end++ % kRingSize] = cursor;
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
    const double cos_tau = std::cos(kTau);
    for (std::size_t j = 0; j < seeds.size(); ++j) {
        const std::uint32_t seed = seeds[j];
        if (used.taken(seed)) continue;
        fetch_ahead(j);
        const DirectionSum sum = grow_region_sum(seed, field, used, region, cos_tau, width, height);
        if (region.size() < min_size) continue;
        Rect rect = region_to_rect(region, field, width, sum.angle(), kAlignedProbability);
        if (!refine(region, rect, used, field, min_size, width, height)) continue;
        take(rect);
    }
}

}  // namespace

std::vector<Segment> noted_field_segments(const Px* field, FieldNotes& notes, std::uint64_t width,
                                          std::uint64_t height, double factor, std::size_t ring) {
    SeedLoopInput in(field, width, height, notes);
    std::vector<Segment> found;
    auto score = [&](Rect& rect) { return improve_rect(rect, field, width, height, kRho, in.nt); };
    if (ring == 0) {
        // One thread scores every rectangle, so it can remember the scores.
        NfaMemo memo(in.nt);
        grow_candidates(in, [&](Rect& rect) {
            const double s = improve_rect(rect, field, width, height, kRho, in.nt, &memo);
            if (s > 0.0) found.push_back(segment_of(rect, s, factor));
        });
    } else {
        // Scoring reads only the field, never the used map, and its result
        // only decides whether a rectangle becomes a segment. So the seed loop
        // runs ahead while other threads score the rectangles it has refined;
        // they are collected in seed order.
        struct Candidate {
            Rect rect;
            double score;
        };
        pipeline<Candidate>(
            ring, [&](auto push) { grow_candidates(in, [&](const Rect& rect) { push(Candidate{rect, 0.0}); }); },
            [&](Candidate& c) { c.score = score(c.rect); },
            [&](Candidate c) {
                if (c.score > 0.0) found.push_back(segment_of(c.rect, c.score, factor));
            });
    }

    std::vector<std::int64_t> keys(found.size());
    std::vector<std::size_t> order(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        keys[i] = total_order_key(std::hypot(found[i].x2 - found[i].x1, found[i].y2 - found[i].y1));
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] > keys[b]; });
    std::vector<Segment> sorted;
    sorted.reserve(found.size());
    for (std::size_t i : order) sorted.push_back(found[i]);
    return sorted;
}

std::vector<Segment> field_segments(const Px* field, std::uint64_t width, std::uint64_t height, double factor,
                                    std::size_t ring) {
    FieldNotes notes = note_field(field, mul_size(width, height), kRho);
    return noted_field_segments(field, notes, width, height, factor, ring);
}

namespace {

// With one thread there is no one to hand rectangles to; scoring each one
// while its pixels are still in cache is then the fastest.
std::vector<Segment> segments_of(const Px* field, FieldNotes& notes, std::uint64_t width, std::uint64_t height,
                                 double factor) {
    constexpr std::size_t kRing = 256;
    return noted_field_segments(field, notes, width, height, factor, pool_thread_count() > 1 ? kRing : 0);
}

[[noreturn]] void too_large(std::uint64_t width, std::uint64_t height) {
    throw ImageTooLarge("detect supports images of fewer than 2**32 pixels (after downscaling); got " +
                        std::to_string(width) + " x " + std::to_string(height));
}

}  // namespace

template <class T>
Outcome<std::vector<Segment>> detect(const T* samples, std::uint64_t len, std::uint64_t width, std::uint64_t height,
                                     double scale) {
    const std::uint64_t expected = mul_count(width, height);
    if (len != expected) return SizeMismatch{expected, len};
    if (width < 3 || height < 3) return std::vector<Segment>{};

    constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 32;
    if (scale < 1.0) {
        // The size is known before the kernel is built: an image that shrinks
        // below 3 x 3 gives no segments, and so a tiny scale never asks for a
        // kernel wider than about 1.5 times the image.
        const ScaledSize size = downscaled_size(width, height, scale);
        if (size.width < 3 || size.height < 3) return std::vector<Segment>{};
        if (mul_count(size.width, size.height) >= kMaxPixels) too_large(size.width, size.height);
        FieldNotes notes;
        const DownscaledField small = downscaled_level_line_field(samples, width, height, scale, kRho, &notes);
        return segments_of(small.field.data(), notes, small.width, small.height, 1.0 / scale);
    }

    if (expected >= kMaxPixels) too_large(width, height);
    // At full size the field reads the caller's samples directly.
    FieldNotes notes;
    const Buffer<Px> field = level_line_field(samples, width, height, kRho, &notes);
    return segments_of(field.data(), notes, width, height, 1.0);
}

template Outcome<std::vector<Segment>> detect(const std::uint8_t*, std::uint64_t, std::uint64_t, std::uint64_t,
                                              double);
template Outcome<std::vector<Segment>> detect(const std::uint16_t*, std::uint64_t, std::uint64_t, std::uint64_t,
                                              double);
template Outcome<std::vector<Segment>> detect(const float*, std::uint64_t, std::uint64_t, std::uint64_t, double);
template Outcome<std::vector<Segment>> detect(const double*, std::uint64_t, std::uint64_t, std::uint64_t, double);

}  // namespace trevalin
