// The seed order: the field's strong pixels sorted by quantised norm.
#include "detector/seeds.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "detector/lanes.hpp"
#include "pool/pool.hpp"
#include "sample/memory.hpp"
#include "sample/numeric.hpp"
#include "sample/panic.hpp"

namespace trevalin {

namespace {

constexpr std::size_t kBins = 1024;
// A level past the last: not a seed.
constexpr std::uint32_t kNoSeed = kBins;
// Pixels per work item of the sorting passes, at least.
constexpr std::size_t kBlock = std::size_t{1} << 15;

// The levels of the norms at at[k..n), in place (kNoSeed where the norm is
// not above the threshold), counted in `counts` (kBins + 1 entries); a
// vector of floats at a time while a whole one fits, and returns the first
// norm not done. A norm's level is (norm / largest) * 1023 in single
// precision, truncated, with NaN at level 0 and everything from 1023 up at 1023.
template <class F>
[[gnu::always_inline]] inline std::size_t level_lanes(std::uint32_t* at, std::size_t k, std::size_t n, float threshold,
                                                      float largest, std::uint32_t* counts) {
    constexpr std::size_t lanes_n = lanes::kCount<F>;
    using I = lanes::MaskOf<F>;
    const F top = lanes::splat<F>(1023.0f);
    for (; k + lanes_n <= n; k += lanes_n) {
        const F norms = lanes::load<F>(at + k);
        const I strong = norms > threshold;
        const F b = (norms / largest) * 1023.0f;
        // NaN and negative quotients to 0 (as the saturating conversion takes them), then the top level.
        const F above = lanes::as<F>(lanes::as<I>(b) & (b > 0.0f));
        const I level = __builtin_convertvector(above < top ? above : top, I);
        const I chosen = (level & strong) | (static_cast<int>(kNoSeed) & ~strong);
        std::uint32_t levels[lanes_n];
        std::memcpy(levels, &chosen, sizeof levels);
        std::memcpy(at + k, levels, sizeof levels);
        for (std::uint32_t v : levels) ++counts[v];
    }
    return k;
}

// Gives the noted pixels of [first, end), the 0 bits of `weak` there, their
// places in `seeds`: the next free place of their level, from `next`. Not
// inlined: inside the loop over runs its cursors would live on the stack.
[[gnu::noinline]] void place_run(const std::uint64_t* weak, std::size_t first, std::size_t end,
                                 const std::uint32_t* __restrict level, std::size_t* __restrict next,
                                 std::uint32_t* __restrict seeds) {
    const std::size_t last_word = (end - 1) >> 6;
    for (std::size_t word = first >> 6; word <= last_word; ++word) {
        std::uint64_t noted = ~weak[word];
        if (word == first >> 6) noted &= ~std::uint64_t{0} << (first & 63);
        if (word == last_word && (end & 63) != 0) noted &= (std::uint64_t{1} << (end & 63)) - 1;
        for (; noted != 0; noted &= noted - 1) {
            const std::uint32_t l = *level++;
            if (l != kNoSeed) {
                const std::size_t at = next[l]++;
                seeds[at] = static_cast<std::uint32_t>(word * 64 + std::countr_zero(noted));
                // A level's places fill one after another: the line after
                // next is asked for (at every place, which costs less than
                // a branch to ask once a line).
                __builtin_prefetch(seeds + at + 32, 1);
            }
        }
    }
}

}  // namespace

SeedStart seeds_by_notes(FieldNotes notes, std::uint64_t count, float threshold) {
    if (count > (std::uint64_t{1} << 32)) panic("seed order: pixel indices do not fit in 32 bits");
    if (notes.strong.size() != count || notes.weak.size() != count / 64 + 2)
        panic("seed order: the notes do not cover the field");
    const float largest = notes.largest;
    if (!(largest > 0.0f)) return {{}, std::move(notes.weak)};
    const std::size_t run = notes.run;
    const std::size_t runs = notes.strong_count.size();
    const std::size_t per_block = std::max<std::size_t>(1, kBlock / run);
    const std::size_t blocks = (runs + per_block - 1) / per_block;
    auto runs_of = [&](std::size_t b) { return std::pair{b * per_block, std::min(runs, (b + 1) * per_block)}; };

    // Counting sort over blocks of runs. Each block turns its noted norms
    // into levels in place and counts them; the counts give every (level,
    // block) pair its place in the output, so the blocks fill their places
    // independently and the result is the sequential raster-order bucketing.
    Buffer<std::uint32_t> counts = Buffer<std::uint32_t>::uninitialized(mul_size(blocks, kBins));
    parallel_rows(blocks, [&](std::size_t b) {
        std::array<std::uint32_t, kBins + 1> mine{};
        const auto [r0, r1] = runs_of(b);
        for (std::size_t r = r0; r < r1; ++r) {
            std::uint32_t* at = notes.strong.data() + notes.strong_at[r];
            const std::size_t n = notes.strong_count[r];
            lanes::dispatch([&](auto w) {
                using F = typename decltype(w)::F;
                const std::size_t done = level_lanes<F>(at, 0, n, threshold, largest, mine.data());
                level_lanes<lanes::One<F>>(at, done, n, threshold, largest, mine.data());
            });
        }
        std::memcpy(counts.data() + b * kBins, mine.data(), kBins * sizeof(std::uint32_t));
    });
    // Level by level from the strongest, block by block within a level; the
    // tables are walked block by block, in memory order.
    std::array<std::size_t, kBins> next{};
    for (std::size_t b = 0; b < blocks; ++b)
        for (std::size_t level = 0; level < kBins; ++level) next[level] += counts[b * kBins + level];
    std::size_t total = 0;
    for (std::size_t level = kBins; level-- > 0;) {
        const std::size_t n = next[level];
        next[level] = total;
        total += n;
    }
    Buffer<std::size_t> place = Buffer<std::size_t>::uninitialized(mul_size(blocks, kBins));
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t level = 0; level < kBins; ++level) {
            place[b * kBins + level] = next[level];
            next[level] += counts[b * kBins + level];
        }
    }
    Buffer<std::uint32_t> seeds = Buffer<std::uint32_t>::uninitialized(total);
    if (total == 0) return {std::move(seeds), std::move(notes.weak)};
    // Written at a thousand places at once.
    prefer_huge_pages(seeds);
    parallel_rows(blocks, [&](std::size_t b) {
        const auto [r0, r1] = runs_of(b);
        for (std::size_t r = r0; r < r1; ++r)
            place_run(notes.weak.data(), r * run, std::min<std::size_t>((r + 1) * run, count),
                      notes.strong.data() + notes.strong_at[r], place.data() + b * kBins, seeds.data());
    });
    return {std::move(seeds), std::move(notes.weak)};
}

}  // namespace trevalin
