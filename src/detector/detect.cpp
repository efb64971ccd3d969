// The detector's driver: the working image, its field and the seed loop.
#include "detector/detect.hpp"

#include <string>
#include <utility>

#include "detector/downscale.hpp"
#include "detector/downscaled_field.hpp"
#include "detector/level_line_field.hpp"
#include "detector/seed_loop.hpp"
#include "sample/buffer.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

namespace {

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
        return field_segments(small.field.data(), std::move(notes), small.width, small.height, 1.0 / scale);
    }

    // At full size the field reads the caller's samples directly.
    FieldNotes notes;
    const Buffer<Px> field = level_line_field(samples, width, height, kRho, &notes);
    return field_segments(field.data(), std::move(notes), width, height, 1.0);
}

template Outcome<std::vector<Segment>> detect(const std::uint8_t*, std::uint64_t, std::uint64_t, std::uint64_t,
                                              double);
template Outcome<std::vector<Segment>> detect(const std::uint16_t*, std::uint64_t, std::uint64_t, std::uint64_t,
                                              double);
template Outcome<std::vector<Segment>> detect(const float*, std::uint64_t, std::uint64_t, std::uint64_t, double);
template Outcome<std::vector<Segment>> detect(const double*, std::uint64_t, std::uint64_t, std::uint64_t, double);

}  // namespace trevalin
