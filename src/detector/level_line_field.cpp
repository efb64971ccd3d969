#include "detector/level_line_field.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "pool/pool.hpp"
#include "sample/numeric.hpp"
#include "sample/panic.hpp"

namespace trevalin {

template <class T>
Buffer<Px> level_line_field(const T* image, std::uint64_t width, std::uint64_t height) {
    const std::size_t w = width;
    Buffer<Px> field = Buffer<Px>::zeroed(mul_size(width, height));
    if (width < 2 || height < 2) return field;
    for_each_row(field.data(), w, height - 1, [&](std::size_t y, Px* out) {
        const T* top = image + y * w;
        const T* bottom = top + w;
        // Each sample is converted once: the right column of one block is the
        // left column of the next.
        double a = working_value(top[0]);
        double c = working_value(bottom[0]);
        for (std::size_t x = 0; x + 1 < w; ++x) {
            const double b = working_value(top[x + 1]);
            const double d = working_value(bottom[x + 1]);
            const double gx = (((b + d) - a) - c) * 0.5;
            const double gy = (((c + d) - a) - b) * 0.5;
            // hypot with one zero argument is exactly the other's magnitude.
            const double norm = gy == 0.0 ? std::fabs(gx) : gx == 0.0 ? std::fabs(gy) : std::hypot(gx, gy);
            if (norm > 0.0) {
                out[x] = {static_cast<float>(norm), static_cast<float>(-gy / norm), static_cast<float>(gx / norm)};
            }
            a = b;
            c = d;
        }
    });
    return field;
}

template Buffer<Px> level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t);
template Buffer<Px> level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t);
template Buffer<Px> level_line_field(const float*, std::uint64_t, std::uint64_t);
template Buffer<Px> level_line_field(const double*, std::uint64_t, std::uint64_t);

namespace {

constexpr std::size_t kBins = 1024;

// The level of a norm, computed in single precision. NaN (m infinite) and
// other out-of-range quotients go through the saturating conversion.
inline std::size_t bin_of(float norm, float largest) {
    const float b = (norm / largest) * 1023.0f;
    return static_cast<std::size_t>(std::min<std::uint64_t>(to_u64_sat(static_cast<double>(b)), kBins - 1));
}

}  // namespace

Buffer<std::uint32_t> seeds_by_norm(const Px* field, std::uint64_t count, float threshold) {
    if (count > (std::uint64_t{1} << 32)) panic("seeds_by_norm: pixel indices do not fit in 32 bits");
    float largest = 0.0f;
    for (std::size_t i = 0; i < count; ++i)
        if (field[i].norm > largest) largest = field[i].norm;  // NaN never compares greater
    if (!(largest > 0.0f)) return {};

    // Counting sort: one pass sizes the levels, a second fills them.
    std::array<std::size_t, kBins> start{};
    for (std::size_t i = 0; i < count; ++i)
        if (field[i].norm > threshold) ++start[bin_of(field[i].norm, largest)];
    std::size_t total = 0;
    for (std::size_t b = kBins; b-- > 0;) {
        const std::size_t n = start[b];
        start[b] = total;
        total += n;
    }
    Buffer<std::uint32_t> seeds = Buffer<std::uint32_t>::uninitialized(total);
    for (std::size_t i = 0; i < count; ++i)
        if (field[i].norm > threshold) seeds[start[bin_of(field[i].norm, largest)]++] = static_cast<std::uint32_t>(i);
    return seeds;
}

}  // namespace trevalin
