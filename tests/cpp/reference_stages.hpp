#pragma once
// Plain forms of detector stages that the tests take as references: the
// whole-image downscale, the notes, seed order and segments of a finished
// field, growing and refining over a used map of one byte per pixel, and the
// counts and score of a rectangle from a test of every pixel.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "detector/detect.hpp"
#include "detector/downscale.hpp"
#include "detector/field_notes.hpp"
#include "detector/growing_ahead.hpp"
#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "detector/seed_loop.hpp"
#include "detector/seed_step.hpp"
#include "detector/seeds.hpp"
#include "pool/pool.hpp"
#include "sample/buffer.hpp"
#include "sample/numeric.hpp"

namespace detector_test {

using namespace trevalin;

struct Downscaled {
    Buffer<double> image;
    std::uint64_t width;
    std::uint64_t height;
};

// The width x height image resampled to downscaled_size: both blur passes
// over the whole image, one after the other.
template <class T>
Downscaled downscale(const T* image, std::uint64_t width, std::uint64_t height, double scale,
                     Isa isa = detected_isa()) {
    const BlurPlan plan(width, height, scale, isa);
    Buffer<double> across = Buffer<double>::uninitialized(mul_size(plan.w_out, plan.h_in));
    parallel_rows((plan.h_in + plan.group - 1) / plan.group, [&](std::size_t item) {
        const std::size_t g = item * plan.group;
        Buffer<double> scratch = Buffer<double>::uninitialized(plan.scratch_len());
        Buffer<double> spare = Buffer<double>::uninitialized(plan.w_out);  // rows past the last
        Buffer<double*> out = Buffer<double*>::uninitialized(plan.group);
        for (std::size_t r = 0; r < plan.group; ++r)
            out[r] = g + r < plan.h_in ? across.data() + (g + r) * plan.w_out : spare.data();
        plan.horizontal(image, g, scratch.data(), out.data());
    });
    Buffer<double> out = Buffer<double>::uninitialized(mul_size(plan.w_out, plan.h_out));
    for_each_row(out.data(), plan.w_out, plan.h_out, [&](std::size_t y, double* row) {
        Buffer<const double*> lines = Buffer<const double*>::uninitialized(plan.down.stride);
        plan.vertical(y, [&](std::size_t g) { return across.data() + g * plan.w_out; }, lines.data(), row);
    });
    return {std::move(out), plan.w_out, plan.h_out};
}

// The notes of a finished field, its runs of 2^15 pixels noted one after
// another.
inline FieldNotes note_field(const Px* field, std::uint64_t count, float threshold) {
    constexpr std::size_t run = std::size_t{1} << 15;
    FieldNotes notes = start_notes(count, run);
    for (std::size_t r = 0, first = 0; first < count; ++r, first += run) {
        RunNoter noter(notes, r, threshold);
        noter.add(field + first, std::min<std::size_t>(run, count - first));
        noter.finish();
    }
    return notes;
}

// The seed order of a finished field.
inline Buffer<std::uint32_t> seeds_by_norm(const Px* field, std::uint64_t count, float threshold) {
    return seeds_by_notes(note_field(field, count, threshold), count, threshold).seeds;
}

// The segments of a finished field, its notes taken afterwards, longest first.
inline std::vector<Segment> field_segments(const Px* field, std::uint64_t width, std::uint64_t height,
                                           double factor) {
    return trevalin::field_segments(field, note_field(field, mul_size(width, height), kRho), width, height, factor);
}

// The same in seed order, from the plain loop (ahead 0) or with the pool's
// threads growing `ahead` stretches ahead of it.
inline std::vector<Segment> loop_segments(const Px* field, std::uint64_t width, std::uint64_t height, double factor,
                                          std::size_t ahead) {
    SeedLoop in(field, width, height, note_field(field, mul_size(width, height), kRho), factor);
    if (ahead > 0) return loop_growing_ahead(in, ahead);
    std::vector<Segment> found;
    SeedStep step(in);
    each_free_seed(in, in.used, 0, in.seeds.size(), [&](std::size_t, std::uint32_t s) { step(in, s, in.used, found); });
    return found;
}

// The pixels of the width x height field inside `r` (n) and those among them
// aligned with it (k), from a test of every pixel of the field. A pixel at
// (x, y) is inside when |along| <= half length and |across| <= half width,
// bounds included, along and across being its offsets from the centre in
// double precision; aligned when its norm is above rho and its direction's
// dot product with the axis, in single precision, is at least cos(r.prec).
inline AlignedCount reference_count(const Rect& r, const Px* field, std::uint64_t width, std::uint64_t height,
                                    float rho) {
    const double xc = (r.x1 + r.x2) * 0.5, yc = (r.y1 + r.y2) * 0.5;
    const double hl = std::hypot(r.x2 - r.x1, r.y2 - r.y1) * 0.5, hw = 0.5 * r.width;
    const float cp = float(std::cos(r.prec)), dxs = float(r.dx), dys = float(r.dy);
    AlignedCount c{0, 0};
    for (std::uint64_t y = 0; y < height; ++y)
        for (std::uint64_t x = 0; x < width; ++x) {
            const double along = r.dx * (double(x) - xc) + r.dy * (double(y) - yc);
            const double across = r.dx * (double(y) - yc) - r.dy * (double(x) - xc);
            if (!(std::fabs(along) <= hl && std::fabs(across) <= hw)) continue;
            ++c.n;
            const Px& q = field[y * width + x];
            if (q.norm > rho && q.ux * dxs + q.uy * dys >= cp) ++c.k;
        }
    return c;
}

// The score of a rectangle from the counts of every pixel.
inline double rect_log_nfa(const Rect& r, const Px* field, std::uint64_t width, std::uint64_t height, float rho,
                           double log_nt) {
    const AlignedCount c = reference_count(r, field, width, height, rho);
    return binomial_log_nfa(c.n, c.k, r.p, log_nt);
}

// A used map of one byte per pixel (0 free) as bits, and back.
inline UsedBits to_bits(const std::uint8_t* used, std::size_t pixels) {
    Buffer<std::uint64_t> words = Buffer<std::uint64_t>::zeroed(pixels / 64 + 2);
    for (std::size_t i = 0; i < pixels; ++i) words[i >> 6] |= std::uint64_t{used[i] != 0} << (i & 63);
    return UsedBits(std::move(words), pixels);
}
inline void to_bytes(const UsedBits& bits, std::uint8_t* used, std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i)
        if (bits.taken(i) != (used[i] != 0)) used[i] = bits.taken(i) ? 1 : 0;
}

inline DirectionSum grow_region_sum(std::uint32_t seed, const Px* field, std::uint8_t* used,
                                    std::vector<std::uint32_t>& region, double cos_tau, std::uint64_t width,
                                    std::uint64_t height) {
    UsedBits bits = to_bits(used, width * height);
    const DirectionSum sum = trevalin::grow_region_sum(seed, field, bits, region, cos_tau, width, height);
    to_bytes(bits, used, width * height);
    return sum;
}

// Growing with the tolerance itself; returns the angle of the direction sum.
inline double grow_region(std::uint32_t seed, const Px* field, std::uint8_t* used,
                          std::vector<std::uint32_t>& region, double tau, std::uint64_t width, std::uint64_t height) {
    return grow_region_sum(seed, field, used, region, std::cos(tau), width, height).angle();
}

inline bool refine(std::vector<std::uint32_t>& region, Rect& rect, std::uint8_t* used, const Px* field,
                   std::uint64_t min_region_size, std::uint64_t width, std::uint64_t height) {
    UsedBits bits = to_bits(used, width * height);
    const bool kept = trevalin::refine(region, rect, bits, field, min_region_size, width, height);
    to_bytes(bits, used, width * height);
    return kept;
}

}  // namespace detector_test
