#pragma once
// The seed loop with the pool's threads growing the coming seeds ahead of it.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "detector/seed_step.hpp"
#include "detector/types.hpp"

namespace trevalin {

// The segments of the seed loop over `in`, in seed order, the pool's threads
// growing, refining and scoring up to `ahead` stretches of the seed order
// beyond the one the loop has reached: the same segments as the plain loop's,
// for every `ahead` and thread count.
std::vector<Segment> loop_growing_ahead(SeedLoop& in, std::size_t ahead);

// For the seed loop's benchmark, which builds the detector with these
// counts: how many seeds grown ahead were kept, how many were grown again,
// how many were dropped because a region of an earlier seed had taken them
// by the time the loop reached them (their growth ahead was work thrown
// away), and the time the loop's thread spent taking stretches in. With
// `all_ahead` every stretch is grown ahead, also those that the loop's
// thread would grow itself on its own map.
struct SeedLoopCounts {
    std::uint64_t kept = 0, regrown = 0, dropped = 0;
    double commit_seconds = 0.0;
    bool all_ahead = false;
};
#ifdef TREVALIN_SEED_LOOP_COUNTS
std::vector<Segment> loop_growing_ahead(SeedLoop& in, std::size_t ahead, SeedLoopCounts& counts);
#endif

}  // namespace trevalin
