#pragma once
// The seed loop: from every free seed, strongest first, a region is grown,
// its rectangle fitted, refined and scored.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "detector/seeds.hpp"
#include "detector/types.hpp"

namespace trevalin {

// How the seed loop uses the pool's threads (with `ahead` > 0).
enum class SeedLoopMode {
    // The loop grows and refines on the calling thread while the pool scores
    // the rectangles, at most `ahead` of them waiting.
    ScoringAside,
    // The pool grows stretches of seeds ahead of the loop (below), so that
    // every thread shares the growing, refining and scoring.
    GrowingAhead,
};

// The segments found from the seeds of a width x height field, in seed
// order, with coordinates mapped to the input image by `factor`. The seeds
// are sorted from `notes`, whose weak map becomes the used map.
//
// Each seed sees the used map as the seeds before it left it, so the order
// decides the result. With `ahead` > 0 and GrowingAhead, the pool's threads
// grow, refine and score the seeds of up to `ahead` stretches of the seed
// order beyond the one the loop has reached, each on its own copy of the
// used map as the loop had left it a moment before (the loop's thread on the
// loop's map itself, which it restores afterwards); the loop keeps such a
// result when every pixel that its growth took is still free when the loop
// reaches its seed (the pixels it found taken stay taken), and grows the
// seed again otherwise. The segments are the same for every `ahead` and thread
// count. The loop's thread grows a stretch itself, on its own map, when
// nobody has started it by the time the loop reaches it; with `all_ahead`
// (for measuring) it grows it ahead like the others.
//
// With `counts`, how many seeds grown ahead were kept, how many were grown
// again, how many were dropped because a region of an earlier seed had
// taken them by the time the loop reached them (their growth ahead was work
// thrown away), and the time the loop's thread spent on its own map (taking
// stretches in and growing them itself).
struct SeedLoopCounts {
    std::uint64_t kept = 0, regrown = 0, dropped = 0;
    double commit_seconds = 0.0;
};
std::vector<Segment> seed_loop(const Px* field, FieldNotes& notes, std::uint64_t width, std::uint64_t height,
                               double factor, std::size_t ahead, SeedLoopMode mode = SeedLoopMode::GrowingAhead,
                               SeedLoopCounts* counts = nullptr, bool all_ahead = false);

}  // namespace trevalin
