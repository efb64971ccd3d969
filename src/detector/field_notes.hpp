#pragma once
// The notes of a level-line field from which the seed loop starts, taken by
// the field stage while it writes the records.

#include <cstddef>
#include <cstdint>

#include "detector/types.hpp"
#include "sample/buffer.hpp"

namespace trevalin {

// What the seed loop needs of a field besides its records, noted in runs of
// `run` pixels (the last run may be shorter):
// - `weak`, the used map's starting state as bits: bit i (bit i % 64 of word
//   i / 64) is 1 where the norm is at most the threshold. Two spare words
//   follow the map's bits, and every bit past the last pixel is 0.
// - `strong`, for each run r, the bits of the norms of its other pixels
//   (above the threshold, or NaN) in raster order, from strong[strong_at[r]]
//   on; there are strong_count[r] of them. The seed order is sorted from
//   these, so the records themselves are not read a second time. Runs are
//   packed one after another in the order they end, up to strong_end, so
//   only as much of the buffer is written as there are such norms.
// - `largest`, the largest norm of the runs noted so far (from 0, skipping NaN).
struct FieldNotes {
    Buffer<std::uint64_t> weak;
    Buffer<std::uint32_t> strong;
    Buffer<std::uint32_t> strong_count;
    Buffer<std::size_t> strong_at;
    std::size_t strong_end = 0;
    std::size_t run = 0;
    float largest = 0.0f;

    bool is_weak(std::size_t i) const { return (weak[i >> 6] >> (i & 63)) & 1u; }
};

// Notes for `pixels` pixels in runs of `run` (at least 1), with nothing noted yet.
FieldNotes start_notes(std::size_t pixels, std::size_t run);

// Writes the bits of consecutive pixels, from `first` on, into a bit map
// that starts zero and that other threads write other pixel ranges of at the
// same time: the words at either end of the range may hold their pixels too,
// and are or-ed in atomically; the words in between are this range's alone.
class BitRun {
public:
    BitRun(std::uint64_t* words, std::size_t first) : words_(words), pos_(first), first_word_(first >> 6) {}

    // The low n bits of `bits` (n at most 8) for the next n pixels.
    void put(std::uint64_t bits, unsigned n) {
        const unsigned shift = pos_ & 63;
        acc_ |= bits << shift;
        if (shift + n >= 64) {
            store(pos_ >> 6, acc_);
            // shift + n >= 64 with n <= 8 means shift is at least 56.
            acc_ = bits >> (64 - shift);
        }
        pos_ += n;
    }
    // Writes the last, partly filled word.
    void finish() {
        if (pos_ & 63) or_in(pos_ >> 6, acc_);
    }
    std::size_t position() const { return pos_; }

private:
    void store(std::size_t word, std::uint64_t v) {
        if (word == first_word_) or_in(word, v);
        else words_[word] = v;
    }
    void or_in(std::size_t word, std::uint64_t v);

    std::uint64_t* words_;
    std::size_t pos_;
    std::size_t first_word_;
    std::uint64_t acc_ = 0;
};

// Notes the run r from consecutive pieces of its records, in order. Runs
// may be noted in any order and from several threads at once.
class RunNoter {
public:
    RunNoter(FieldNotes& notes, std::size_t r, float threshold);
    // The records of the run's next `count` pixels.
    void add(const Px* records, std::size_t count);
    // Ends the run, which must be whole, and takes its largest norm into
    // notes.largest.
    void finish();

private:
    FieldNotes& notes_;
    std::size_t r_, end_;
    float threshold_;
    BitRun bits_;
    // The run's norms, gathered while its records are in cache and copied
    // to their packed place when it ends.
    Buffer<std::uint32_t> stage_;
    std::uint32_t n_ = 0;
    float largest_ = 0.0f;
};

}  // namespace trevalin
