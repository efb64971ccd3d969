// The field's notes for the seed order: the weak pixels as bits and the
// other norms run by run, taken while the field's records are in cache.
#include "detector/field_notes.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>

#include "sample/memory.hpp"
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

// Pixels per run of note_field.
constexpr std::size_t kNoteRun = std::size_t{1} << 15;

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
    FieldNotes notes = start_notes(count, kNoteRun);
    parallel_rows(notes.strong_count.size(), [&](std::size_t r) {
        const std::size_t first = r * kNoteRun;
        RunNoter noter(notes, r, threshold);
        noter.add(field + first, std::min<std::size_t>(kNoteRun, count - first));
        noter.finish();
    });
    return notes;
}

}  // namespace trevalin
