// The seed loop: which way the pool's threads help it, the plain loop, the
// loop with scoring beside it, and the order of the segments found.
#include "detector/seed_loop.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

#include "detector/growing_ahead.hpp"
#include "detector/seed_step.hpp"
#include "pool/pipeline.hpp"
#include "pool/pool.hpp"

namespace trevalin {

namespace {

// The plain loop, on the calling thread.
std::vector<Segment> plain_loop(SeedLoop& in) {
    std::vector<Segment> found;
    SeedStep step(in);
    each_free_seed(in, in.used, 0, in.seeds.size(),
                   [&](std::size_t, std::uint32_t seed) { step(in, seed, in.used, found); });
    return found;
}

// The plain loop with the rectangles scored on other threads: scoring reads
// only the field, never the used map, so the loop goes on while the pool
// scores what it refined, at most `ring` rectangles waiting; the segments
// are collected in seed order.
std::vector<Segment> scoring_aside(SeedLoop& in, std::size_t ring) {
    struct Candidate {
        Rect rect;
        double score;
    };
    std::vector<Segment> found;
    pipeline<Candidate>(
        ring,
        [&](auto push) {
            SeedStep step(in);
            each_free_seed(in, in.used, 0, in.seeds.size(), [&](std::size_t, std::uint32_t seed) {
                Rect rect;
                if (step.grow(in, seed, in.used, rect)) push(Candidate{rect, 0.0});
            });
        },
        [&](Candidate& c) { c.score = improve_rect(c.rect, in.field, in.width, in.height, kRho, in.nt); },
        [&](Candidate c) {
            if (c.score > 0.0) found.push_back(segment_of(in, c.rect, c.score));
        });
    return found;
}

// With one thread the seed loop is the plain loop. With more, every thread
// grows stretches of seeds ahead of the loop, except on two threads and a
// small field: there the stretches are few, setting them up weighs more, and
// the pool scores the refined rectangles beside the loop instead (which
// occupies two threads at most). Two threads, mosaics of photographs, best
// of 120 calls in alternation: at 320 x 240 scoring aside takes 2.07-2.18 ms,
// growing ahead 2.43-3.03 and the plain loop 2.54-2.70; at 640 x 480 growing
// ahead is the faster, 8.66-9.66 ms against 9.98-10.46.
std::vector<Segment> seed_order_segments(SeedLoop& in) {
    const std::size_t threads = pool_thread_count();
    if (threads == 1) return plain_loop(in);
    if (threads == 2 && in.width * in.height < (std::uint64_t{1} << 18)) return scoring_aside(in, 256);
    // Stretches in flight: two for every thread, and at least eight.
    return loop_growing_ahead(in, std::max<std::size_t>(8, 2 * threads));
}

// Orders doubles by the IEEE 754 total order (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN).
std::int64_t total_order_key(double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace

std::vector<Segment> field_segments(const Px* field, FieldNotes notes, std::uint64_t width, std::uint64_t height,
                                    double factor) {
    SeedLoop in(field, width, height, std::move(notes), factor);
    if (in.seeds.empty()) return {};
    const std::vector<Segment> found = seed_order_segments(in);
    // Longest first; equal lengths keep the seed order.
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

}  // namespace trevalin
