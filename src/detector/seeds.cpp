#include "detector/seeds.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>

#include "detector/memory.hpp"
#include "pool/pool.hpp"
#include "sample/isa.hpp"
#include "sample/numeric.hpp"
#include "sample/panic.hpp"

#if TREVALIN_X86
#include <immintrin.h>
#endif

namespace trevalin {

namespace {

// Asked per call: the choice may be capped at run time (cap_isa).
bool has_avx2() { return detected_isa() >= Isa::Avx2; }

constexpr std::size_t kBins = 1024;
// A level past the last: not a seed.
constexpr std::uint32_t kNoSeed = kBins;
// Pixels per work item of the sorting passes, at least.
constexpr std::size_t kBlock = std::size_t{1} << 15;

// The level of a norm, computed in single precision. NaN (m infinite) and
// other out-of-range quotients go through the saturating conversion.
inline std::uint32_t bin_of(float norm, float largest) {
    const float b = (norm / largest) * 1023.0f;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(to_u64_sat(static_cast<double>(b)), kBins - 1));
}

// For each 8-bit mask, the indices of its set bits in increasing order, one
// byte each: the permutation that packs the selected lanes to the front.
constexpr std::array<std::uint64_t, 256> kPack = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned n = 0;
        for (unsigned k = 0; k < 8; ++k)
            if (m >> k & 1u) t[m] |= std::uint64_t{k} << (8 * n++);
    }
    return t;
}();

#if TREVALIN_X86
// The norms of the eight records from `f` on: they sit at floats 0, 3, 6 of
// the first vector of eight, 1, 4, 7 of the second and 2, 5 of the third.
__attribute__((target("avx2"), always_inline)) inline __m256 eight_norms(const float* f) {
    const __m256 a = _mm256_loadu_ps(f), b = _mm256_loadu_ps(f + 8), c = _mm256_loadu_ps(f + 16);
    const __m256 ab = _mm256_blend_ps(a, b, 0b10010010);
    const __m256 abc = _mm256_blend_ps(ab, c, 0b00100100);
    return _mm256_permutevar8x32_ps(abc, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
}

// Eight records at a time: the weak test and the maximum lane by lane, the
// other norms packed to the front of a vector that is stored whole (its tail
// is overwritten by the next eight, and never reaches past the run, as a run
// has at least as many pixels as other norms). Returns the pixels done.
__attribute__((target("avx2"))) std::size_t note_run_avx2(const Px* records, std::size_t count, float threshold,
                                                          BitRun& bits, std::uint32_t* strong, std::uint32_t& n,
                                                          float& largest) {
    const float* f = &records->norm;
    const __m256 limit = _mm256_set1_ps(threshold);
    __m256 m = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8, f += 24) {
        const __m256 norms = eight_norms(f);
        // max(n, m) keeps m where n is NaN.
        m = _mm256_max_ps(norms, m);
        const auto weak = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(norms, limit, _CMP_LE_OQ)));
        bits.put(weak, 8);
        const unsigned keep = ~weak & 0xFFu;
        const __m256i order = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kPack[keep])));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(strong + n),
                            _mm256_castps_si256(_mm256_permutevar8x32_ps(norms, order)));
        n += static_cast<std::uint32_t>(std::popcount(keep));
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, m);
    for (float v : lanes) largest = v > largest ? v : largest;
    _mm256_zeroupper();
    return i;
}
#endif

// The levels of the n norms at `at`, in place (kNoSeed where the norm is not
// above the threshold), counted in `counts` (kBins + 1 entries).
void level_scalar(std::uint32_t* at, std::size_t first, std::size_t n, float threshold, float largest,
                  std::uint32_t* counts) {
    for (std::size_t k = first; k < n; ++k) {
        const float norm = std::bit_cast<float>(at[k]);
        const std::uint32_t level = norm > threshold ? bin_of(norm, largest) : kNoSeed;
        at[k] = level;
        ++counts[level];
    }
}

#if TREVALIN_X86
// Eight at a time: bin_of's single-precision quotient and product, truncated,
// with NaN at level 0 and everything from 1023 up at 1023.
__attribute__((target("avx2"))) void level_avx2(std::uint32_t* at, std::size_t n, float threshold, float largest,
                                                std::uint32_t* counts) {
    const __m256 limit = _mm256_set1_ps(threshold);
    const __m256 top = _mm256_set1_ps(largest);
    const __m256 scale = _mm256_set1_ps(1023.0f);
    const __m256i none = _mm256_set1_epi32(static_cast<int>(kNoSeed));
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256 norms = _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + k)));
        const __m256 strong = _mm256_cmp_ps(norms, limit, _CMP_GT_OQ);
        const __m256 b = _mm256_mul_ps(_mm256_div_ps(norms, top), scale);
        const __m256i level = _mm256_and_si256(_mm256_cvttps_epi32(_mm256_min_ps(b, scale)),
                                               _mm256_castps_si256(_mm256_cmp_ps(b, b, _CMP_ORD_Q)));
        alignas(32) std::uint32_t levels[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(levels),
                           _mm256_blendv_epi8(none, level, _mm256_castps_si256(strong)));
        std::memcpy(at + k, levels, sizeof levels);
        for (std::uint32_t v : levels) ++counts[v];
    }
    _mm256_zeroupper();
    level_scalar(at, k, n, threshold, largest, counts);
}
#endif

// Gives the noted pixels of [first, end), the 0 bits of `weak` there, their
// places in `seeds`: the next free place of their level, from `next`.
void place_run(const std::uint64_t* weak, std::size_t first, std::size_t end, const std::uint32_t* __restrict level,
               std::size_t* __restrict next, std::uint32_t* __restrict seeds) {
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
                // A level's places fill one after another: as one line of
                // them starts, the line after next is asked for.
                if ((at & 15) == 0) __builtin_prefetch(seeds + at + 32, 1);
            }
        }
    }
}

}  // namespace

FieldNotes start_notes(std::size_t pixels, std::size_t run) {
    if (run == 0) panic("field notes: runs of no pixels");
    FieldNotes notes;
    notes.weak = Buffer<std::uint64_t>::zeroed(pixels / 64 + 2);
    notes.strong = Buffer<std::uint32_t>::uninitialized(pixels);
    prefer_huge_pages(notes.strong);
    const std::size_t runs = pixels / run + (pixels % run != 0);
    notes.strong_count = Buffer<std::uint32_t>::uninitialized(runs);
    notes.strong_at = Buffer<std::size_t>::uninitialized(runs);
    notes.run = run;
    return notes;
}

void BitRun::or_in(std::size_t word, std::uint64_t v) {
    std::atomic_ref<std::uint64_t>(words_[word]).fetch_or(v, std::memory_order_relaxed);
}

namespace {

std::size_t run_of(const FieldNotes& notes, std::size_t r) {
    if (r >= notes.strong_count.size()) panic("field notes: a run outside the noted pixels");
    return r;
}

}  // namespace

RunNoter::RunNoter(FieldNotes& notes, std::size_t r, float threshold)
    : notes_(notes),
      r_(run_of(notes, r)),
      end_(std::min(mul_size(r, notes.run) + notes.run, notes.strong.size())),
      threshold_(threshold),
      bits_(notes.weak.data(), r * notes.run),
      stage_(Buffer<std::uint32_t>::uninitialized(end_ - r * notes.run)) {}

void RunNoter::add(const Px* records, std::size_t count) {
    if (count > end_ - bits_.position()) panic("field notes: a run longer than its pixels");
    // NaN never compares greater, so it is skipped.
    std::size_t i = 0;
#if TREVALIN_X86
    if (has_avx2()) i = note_run_avx2(records, count, threshold_, bits_, stage_.data(), n_, largest_);
#endif
    for (; i < count; ++i) {
        const float v = records[i].norm;
        largest_ = v > largest_ ? v : largest_;
        const bool weak = v <= threshold_;
        bits_.put(weak ? 1u : 0u, 1);
        if (!weak) stage_[n_++] = std::bit_cast<std::uint32_t>(v);
    }
}

void RunNoter::finish() {
    if (bits_.position() != end_) panic("field notes: a run left short");
    bits_.finish();
    const std::size_t at = std::atomic_ref<std::size_t>(notes_.strong_end).fetch_add(n_, std::memory_order_relaxed);
    if (n_ != 0) std::memcpy(notes_.strong.data() + at, stage_.data(), n_ * sizeof(std::uint32_t));
    notes_.strong_count[r_] = n_;
    notes_.strong_at[r_] = at;
    // Runs end on several threads at once. The maximum does not depend on
    // their order: largest_ is never NaN, and norms are never -0.
    std::atomic_ref<float> largest(notes_.largest);
    float seen = largest.load(std::memory_order_relaxed);
    while (largest_ > seen && !largest.compare_exchange_weak(seen, largest_, std::memory_order_relaxed)) {
    }
}

FieldNotes note_field(const Px* field, std::uint64_t count, float threshold) {
    FieldNotes notes = start_notes(count, kBlock);
    parallel_rows(notes.strong_count.size(), [&](std::size_t r) {
        const std::size_t first = r * kBlock;
        RunNoter noter(notes, r, threshold);
        noter.add(field + first, std::min<std::size_t>(kBlock, count - first));
        noter.finish();
    });
    return notes;
}

Buffer<std::uint32_t> seeds_by_notes(FieldNotes& notes, std::uint64_t count, float threshold) {
    if (count > (std::uint64_t{1} << 32)) panic("seeds_by_norm: pixel indices do not fit in 32 bits");
    if (notes.strong.size() != count || notes.weak.size() != count / 64 + 2)
        panic("seeds_by_norm: the notes do not cover the field");
    const float largest = notes.largest;
    if (!(largest > 0.0f)) return {};
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
#if TREVALIN_X86
            if (has_avx2()) level_avx2(at, notes.strong_count[r], threshold, largest, mine.data());
            else
#endif
                level_scalar(at, 0, notes.strong_count[r], threshold, largest, mine.data());
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
    if (total == 0) return seeds;
    // Written at a thousand places at once.
    prefer_huge_pages(seeds);
    parallel_rows(blocks, [&](std::size_t b) {
        const auto [r0, r1] = runs_of(b);
        for (std::size_t r = r0; r < r1; ++r)
            place_run(notes.weak.data(), r * run, std::min<std::size_t>((r + 1) * run, count),
                      notes.strong.data() + notes.strong_at[r], place.data() + b * kBins, seeds.data());
    });
    return seeds;
}

Buffer<std::uint32_t> seeds_by_norm(const Px* field, std::uint64_t count, float threshold) {
    if (count > (std::uint64_t{1} << 32)) panic("seeds_by_norm: pixel indices do not fit in 32 bits");
    FieldNotes notes = note_field(field, count, threshold);
    return seeds_by_notes(notes, count, threshold);
}

}  // namespace trevalin
