// The field's notes for the seed order: the weak pixels as bits and the
// other norms run by run, taken while the field's records are in cache.
#include "detector/field_notes.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "detector/lanes.hpp"
#include "sample/memory.hpp"
#include "sample/numeric.hpp"
#include "sample/panic.hpp"

namespace trevalin {

namespace {

// Records i.. of count, a vector of them at a time while a whole one fits:
// the weak test and the maximum lane by lane, the other norms packed to the
// front of a vector that is stored whole (its tail is overwritten by the next
// ones, and never reaches past the run, as a run has at least as many pixels
// as other norms). Returns the first record not done.
template <class F>
[[gnu::always_inline]] inline std::size_t note_run_lanes(const Px* records, std::size_t i, std::size_t count,
                                                         float threshold, BitRun& bits, std::uint32_t* strong,
                                                         std::uint32_t& n, float& largest) {
    constexpr std::size_t lanes_n = lanes::kCount<F>;
    const float* f = &records[i].norm;
    F m = {};
    for (; i + lanes_n <= count; i += lanes_n, f += 3 * lanes_n) {
        const F norms = lanes::every_third<F, 0>(f);
        // m is kept where the norm is NaN.
        m = norms > m ? norms : m;
        const unsigned weak = lanes::bits(norms <= threshold);
        for (std::size_t b = 0; b < lanes_n; b += 8) bits.put(weak >> b & 0xFFu, std::min<std::size_t>(lanes_n - b, 8));
        const unsigned keep = ~weak & lanes::kAll<lanes_n>;
        lanes::compress_store(strong + n, norms, keep);
        n += static_cast<std::uint32_t>(std::popcount(keep));
    }
    for (std::size_t k = 0; k < lanes_n; ++k) largest = m[k] > largest ? m[k] : largest;
    return i;
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
    lanes::dispatch([&](auto w) {
        using F = typename decltype(w)::F;
        const std::size_t i = note_run_lanes<F>(records, 0, count, threshold_, bits_, stage_.data(), n_, largest_);
        note_run_lanes<lanes::One<F>>(records, i, count, threshold_, bits_, stage_.data(), n_, largest_);
    });
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

}  // namespace trevalin
