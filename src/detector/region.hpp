#pragma once
// Growing a region of aligned pixels from a seed, and fitting a rectangle to it.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "detector/types.hpp"
#include "sample/buffer.hpp"

namespace trevalin {

// Column and row of a pixel index. Region pixel indices and the width fit in
// 32 bits, and a 32-bit division costs a fraction of a 64-bit one.
struct PixelXY {
    std::uint32_t x, y;
};
inline PixelXY pixel_xy(std::uint32_t index, std::uint32_t width) { return {index % width, index / width}; }

// The width as the 32-bit divisor of pixel_xy; a wider grid breaks the
// detector's 32-bit indexing and stops the call.
std::uint32_t index_width(std::uint64_t width);

// pixel_xy for one width without a division: with m = ceil(2^64 / width),
// the high half of m * index is the quotient, exactly for every 32-bit index
// and width above 1 (Lemire, Kaser and Kurz, "Faster remainder by direct
// computation", 2019), and the remainder follows with one 32-bit multiply.
// Width 1 has m = 0 and takes the plain quotient.
class PixelGrid {
public:
    explicit PixelGrid(std::uint64_t width)
        : width_(index_width(width)), m_(~std::uint64_t{0} / width_ + 1) {}

    PixelXY xy(std::uint32_t index) const {
        const auto q = static_cast<std::uint32_t>((static_cast<unsigned __int128>(m_) * index) >> 64);
        const std::uint32_t y = width_ == 1 ? index : q;
        return {index - y * width_, y};
    }

    // Whether the pixel lies in neither the first nor the last column, for an
    // index + 1 below 2^32. The low half of m * index is the remainder's
    // fraction of the width (same paper): below m exactly when the index is a
    // multiple of the width, and at or above 2^64 - m exactly when index + 1
    // is (adding m to it wraps). Widths 1 and 2 have no such column, and
    // 2^64 - 2m wraps to 0 for them.
    bool inside_columns(std::uint32_t index) const { return m_ * index - m_ < std::uint64_t{0} - 2 * m_; }

private:
    std::uint32_t width_;
    std::uint64_t m_;
};

// What region growing needs to know of a width x height grid beyond the two
// sizes: worked out at a map's first growth, kept for the next ones (most
// growths take a few pixels, and would otherwise spend more on this than on
// the pixels).
struct GrowthGrid {
    std::uint64_t width = ~std::uint64_t{0}, height = 0;  // no grid has this width
    std::uint64_t pixels = 0;
    PixelGrid xy{1};
    // Pixels p with p - width below this lie in neither the first nor the last row.
    std::uint64_t inside_rows = 0;
    // Index offset of each neighbour by its bit in the mask of free
    // neighbours that growth reads around a pixel.
    std::ptrdiff_t by_bit[12] = {};

    GrowthGrid() = default;
    GrowthGrid(std::uint64_t w, std::uint64_t h);
};

// The used map as one bit per pixel, 1 for taken. The seed loop reads it at
// every seed and around every pixel it grows, all over the image: an eighth
// of a map of bytes, it stays in cache on large images.
class UsedBits {
public:
    // Takes over the words of a map of `pixels` bits laid out as this one's
    // (bit i % 64 of word i / 64) and followed by a spare zero word.
    UsedBits(Buffer<std::uint64_t> words, std::size_t pixels);

    bool taken(std::size_t i) const { return (words_[i >> 6] >> (i & 63)) & 1u; }
    void take(std::size_t i) { words_[i >> 6] |= std::uint64_t{1} << (i & 63); }
    void free(std::size_t i) { words_[i >> 6] &= ~(std::uint64_t{1} << (i & 63)); }
    // Asks for the word that holds bit i.
    void fetch(std::size_t i) const { __builtin_prefetch(words_.data() + (i >> 6)); }
    // Bits first, first + 1 and first + 2 as bits 0, 1 and 2 (first + 2 inside
    // the map), from the word that holds the first and the next one (the
    // spare word at the end is there for it). Whole-word loads, so a word that
    // growth has just written is forwarded from the store; the two words
    // shifted as one take a single double shift on x86-64.
    unsigned three(std::size_t first) const {
        const std::size_t word = first >> 6;
        const unsigned __int128 pair = static_cast<unsigned __int128>(words_[word + 1]) << 64 | words_[word];
        return static_cast<unsigned>(pair >> (first & 63)) & 7u;
    }

    // The grid of growths over this map, for a width x height image.
    const GrowthGrid& growth_grid(std::uint64_t width, std::uint64_t height) {
        if (grid_.width != width || grid_.height != height) grid_ = GrowthGrid(width, height);
        return grid_;
    }

    // A map with the same pixels taken.
    UsedBits copy() const {
        Buffer<std::uint64_t> words = Buffer<std::uint64_t>::uninitialized(words_.size());
        std::memcpy(words.data(), words_.data(), words_.size() * sizeof(std::uint64_t));
        UsedBits out;
        out.words_ = std::move(words);
        return out;
    }

private:
    UsedBits() = default;

    Buffer<std::uint64_t> words_;
    GrowthGrid grid_;
};

// The direction sum of a grown region; its angle is asked for only when the
// region is large enough to be kept (most growths give a few pixels).
struct DirectionSum {
    double sx, sy;
    double angle() const { return std::atan2(sy, sx); }
};

// Grows from `seed` (a free pixel) the connected set of free pixels whose
// level-line direction lies within the tolerance (given as its cosine) of the
// running direction sum, in breadth-first order. `region` is emptied first
// and receives the seed, then the other pixels in joining order; every pixel
// taken is marked in `used`. Returns the direction sum. Stops once the
// region holds more than `limit` pixels (the sum is then of no use).
DirectionSum grow_region_sum(std::uint32_t seed, const Px* field, UsedBits& used, std::vector<std::uint32_t>& region,
                             double cos_tau, std::uint64_t width, std::uint64_t height,
                             std::size_t limit = SIZE_MAX);

// The rectangle around the region: centroid and principal axis weighted by
// gradient norm, turned to agree with `angle`, extents along and across the axis.
Rect region_to_rect(std::span<const std::uint32_t> region, const Px* field, std::uint64_t width, double angle,
                    double p);

// A region pixel's column, row and gradient norm, as the rectangle fit reads them.
struct PixelPoint {
    double x, y, wt;
};

// The most pixels points_to_rect takes.
inline constexpr std::size_t kPointsFit = 1024;

// region_to_rect for a region of at most kPointsFit pixels given as their
// points, in the region's order: the same rectangle.
Rect points_to_rect(std::span<const PixelPoint> points, double angle, double p);

}  // namespace trevalin
