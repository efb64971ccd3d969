#pragma once
// Gaussian resampling of the working image by a factor below 1: each output
// pixel is a separable Gaussian average centred on its exact input position.

#include <cstddef>
#include <cstdint>

#include "sample/buffer.hpp"
#include "sample/isa.hpp"

namespace trevalin {

struct ScaledSize {
    std::uint64_t width;
    std::uint64_t height;
};

// max(floor(n * scale), 2) in each direction (negative or NaN products give 2).
ScaledSize downscaled_size(std::uint64_t width, std::uint64_t height, double scale);

// The Gaussian taps along one axis. Output position i stands for input
// position c = i / scale and averages the input positions first[i] ..
// first[i] + count[i] - 1, the integers within h of c, with the normalised
// weights weights[i * stride ..]; positions outside the image take its edge.
// sigma = 0.6 / scale and h = ceil(sigma * sqrt(2 ln 1000)).
struct AxisTaps {
    Buffer<std::int64_t> first;
    Buffer<std::size_t> count;
    Buffer<double> weights;
    std::size_t stride = 0;  // the largest count
};

AxisTaps axis_taps(std::uint64_t out_n, double scale);

// A blur in two passes: along x over every input row at the output columns,
// then along y at the output rows. Only the sums that the output needs are
// formed, each in increasing tap order from 0.0.
struct BlurPlan {
    std::size_t w_in = 0, h_in = 0, w_out = 0, h_out = 0;
    AxisTaps across;  // the taps of the output columns
    AxisTaps down;    // the taps of the output rows
    std::size_t group = 0;  // input rows blurred along x at a time
    std::size_t tile = 0;   // output columns summed side by side: the doubles of a vector
    // A group's rows go in stacks_of(tile) vectors of `tile` rows each, so
    // that every weight serves eight rows.
    static constexpr std::size_t stacks_of(std::size_t tile) { return tile < 8 ? 8 / tile : 1; }
    // across.weights in tiles of `tile` columns: tap k of column i at
    // [(i / tile * across.stride + k) * tile + i % tile].
    Buffer<double> tile_weights;
    Isa isa = Isa::Scalar;

    // Output columns blurred along x at a time, and the input samples
    // [lo, end) that the columns of a chunk read.
    static constexpr std::size_t kChunk = 64;
    struct Span {
        std::int64_t lo, end;
    };
    Buffer<Span> spans;  // chunk i0 / kChunk's
    // Column i's first tap as an offset into its chunk's span.
    Buffer<std::size_t> offsets;
    // The columns of a tile are summed chains_of(tile) side by side; the
    // fewest and the most taps among each such set of columns, in order.
    static constexpr std::size_t chains_of(std::size_t tile) { return tile < 4 ? tile : 4; }
    struct ChainTaps {
        std::size_t shared, longest;
    };
    Buffer<ChainTaps> chain_taps;

    BlurPlan(std::uint64_t width, std::uint64_t height, double scale, Isa isa);

    // Input rows g .. g + group - 1 (beyond the last row: the last row again)
    // blurred along x into out[0 .. group - 1], w_out values each. `scratch`
    // holds scratch_len() doubles.
    template <class T>
    void horizontal(const T* image, std::size_t g, double* scratch, double* const* out) const;

    // Room for a chunk's interleaved samples, aligned to whole cache lines.
    std::size_t scratch_len() const { return scratch_doubles; }

    // The first and last input rows (within the image) that output row y reads.
    std::size_t first_row(std::size_t y) const;
    std::size_t last_row(std::size_t y) const;

    // Output row y from the rows blurred along x; row_of(g) gives input row g's.
    template <class RowOf>
    void vertical(std::size_t y, RowOf&& row_of, const double** lines, double* out) const {
        const std::size_t taps = down.count[y];
        const std::int64_t top = down.first[y], last = static_cast<std::int64_t>(h_in) - 1;
        for (std::size_t k = 0; k < taps; ++k) {
            const std::int64_t g = top + static_cast<std::int64_t>(k);
            lines[k] = row_of(static_cast<std::size_t>(g < 0 ? 0 : g > last ? last : g));
        }
        vertical_sums(lines, down.weights.data() + y * down.stride, taps, out);
    }

private:
    std::size_t scratch_doubles = 0;
    void vertical_sums(const double* const* lines, const double* weights, std::size_t taps, double* out) const;
};

}  // namespace trevalin
