// The detector's driver: the working image, its field, the seed loop and the order of the segments.
#include "detector/detect.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "detector/downscale.hpp"
#include "detector/downscaled_field.hpp"
#include "detector/level_line_field.hpp"
#include "detector/seed_loop.hpp"
#include "pool/pool.hpp"
#include "sample/buffer.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

double log_nt(std::uint64_t width, std::uint64_t height) {
    // The constant is log10(11).
    return 2.5 * (std::log10(static_cast<double>(width)) + std::log10(static_cast<double>(height))) +
           1.041392685158225;
}

std::uint64_t min_region_size(double log_nt) {
    // The divisor is log10(8) = -log10(kAlignedProbability).
    return to_u64_sat(std::ceil(log_nt / 0.9030899869919435));
}

namespace {

// Orders doubles by the IEEE 754 total order (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN).
inline std::int64_t total_order_key(double v) {
    std::int64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace

std::vector<Segment> noted_field_segments(const Px* field, FieldNotes& notes, std::uint64_t width,
                                          std::uint64_t height, double factor, std::size_t ahead,
                                          SeedLoopMode mode) {
    std::vector<Segment> found = seed_loop(field, notes, width, height, factor, ahead, mode);
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

namespace {

// With one thread the seed loop is the plain loop. With more, every thread
// grows stretches of seeds ahead of the loop, except on two threads and a
// small field: there the stretches are few, setting them up weighs more, and
// the pool scores the refined rectangles beside the loop instead (which
// occupies two threads at most).
std::vector<Segment> segments_of(const Px* field, FieldNotes& notes, std::uint64_t width, std::uint64_t height,
                                 double factor) {
    constexpr std::size_t kRing = 256;
    constexpr std::uint64_t kSmall = std::uint64_t{1} << 18;
    const std::size_t threads = pool_thread_count();
    if (threads == 1) return noted_field_segments(field, notes, width, height, factor, 0);
    if (threads == 2 && width * height < kSmall)
        return noted_field_segments(field, notes, width, height, factor, kRing, SeedLoopMode::ScoringAside);
    // Stretches in flight: two for every thread, and at least eight.
    const std::size_t ahead = std::max<std::size_t>(8, 2 * threads);
    return noted_field_segments(field, notes, width, height, factor, ahead, SeedLoopMode::GrowingAhead);
}

[[noreturn]] void too_large(std::uint64_t width, std::uint64_t height) {
    throw ImageTooLarge("detect supports images of fewer than 2**32 pixels (after downscaling); got " +
                        std::to_string(width) + " x " + std::to_string(height));
}

}  // namespace

bool detect_has_work(std::uint64_t width, std::uint64_t height, double scale) {
    constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 32;
    if (width < 3 || height < 3) return false;
    if (scale < 1.0) {
        // The size is known before the kernel is built: an image that shrinks
        // below 3 x 3 gives no segments, and so a tiny scale never asks for a
        // kernel wider than about 1.5 times the image.
        const ScaledSize size = downscaled_size(width, height, scale);
        if (size.width < 3 || size.height < 3) return false;
        if (mul_count(size.width, size.height) >= kMaxPixels) too_large(size.width, size.height);
        return true;
    }
    if (mul_count(width, height) >= kMaxPixels) too_large(width, height);
    return true;
}

template <class T>
Outcome<std::vector<Segment>> detect(const T* samples, std::uint64_t len, std::uint64_t width, std::uint64_t height,
                                     double scale) {
    const std::uint64_t expected = mul_count(width, height);
    if (len != expected) return SizeMismatch{expected, len};
    if (!detect_has_work(width, height, scale)) return std::vector<Segment>{};

    if (scale < 1.0) {
        FieldNotes notes;
        const DownscaledField small = downscaled_level_line_field(samples, width, height, scale, kRho, &notes);
        return segments_of(small.field.data(), notes, small.width, small.height, 1.0 / scale);
    }

    // At full size the field reads the caller's samples directly.
    FieldNotes notes;
    const Buffer<Px> field = level_line_field(samples, width, height, kRho, &notes);
    return segments_of(field.data(), notes, width, height, 1.0);
}

template Outcome<std::vector<Segment>> detect(const std::uint8_t*, std::uint64_t, std::uint64_t, std::uint64_t,
                                              double);
template Outcome<std::vector<Segment>> detect(const std::uint16_t*, std::uint64_t, std::uint64_t, std::uint64_t,
                                              double);
template Outcome<std::vector<Segment>> detect(const float*, std::uint64_t, std::uint64_t, std::uint64_t, double);
template Outcome<std::vector<Segment>> detect(const double*, std::uint64_t, std::uint64_t, std::uint64_t, double);

}  // namespace trevalin
