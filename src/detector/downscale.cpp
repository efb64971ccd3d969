#include "detector/downscale.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>

#include "detector/types.hpp"
#include "pool/pool.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

ScaledSize downscaled_size(std::uint64_t width, std::uint64_t height, double scale) {
    auto side = [scale](std::uint64_t n) {
        return std::max<std::uint64_t>(to_u64_sat(std::floor(static_cast<double>(n) * scale)), 2);
    };
    return {side(width), side(height)};
}

Buffer<double> gaussian_kernel(double scale) {
    const double sigma = 0.6 / scale;
    // sqrt(2 ln 1000): the kernel ends where the Gaussian falls to 1/1000 of its peak.
    const std::uint64_t h = to_u64_sat(std::ceil(sigma * 3.7169221888498383));
    if (h > (std::numeric_limits<std::size_t>::max() - 1) / 2) throw std::bad_alloc();
    Buffer<double> kernel = Buffer<double>::uninitialized(2 * h + 1);
    const double hd = static_cast<double>(h);
    double sum = 0.0;
    for (std::size_t k = 0; k < kernel.size(); ++k) {
        const double q = (static_cast<double>(k) - hd) / sigma;
        kernel[k] = std::exp(-0.5 * (q * q));
        sum += kernel[k];
    }
    for (double& w : kernel) w /= sum;
    return kernel;
}

std::uint64_t source_index(std::uint64_t i, double scale, std::uint64_t limit) {
    return std::min(to_u64_sat(static_cast<double>(i) / scale), limit - 1);
}

// Only the blurred pixels that decimation keeps are computed. The horizontal
// pass runs over every input row but only at the kept columns; the vertical
// pass only at the kept rows. Each blurred value is still the same sum, in the
// same tap order, as a full-image blur would give.
template <class T>
Downscaled downscale(const T* image, std::uint64_t width, std::uint64_t height, double scale) {
    const ScaledSize out_size = downscaled_size(width, height, scale);
    const std::size_t w_in = width, h_in = height;
    const std::size_t w_out = out_size.width, h_out = out_size.height;

    const Buffer<double> kernel = gaussian_kernel(scale);
    const std::size_t taps = kernel.size();
    const std::size_t half = taps / 2;
    const double* weights = kernel.data();

    Buffer<std::size_t> columns = Buffer<std::size_t>::uninitialized(w_out);
    for (std::size_t x = 0; x < w_out; ++x) columns[x] = source_index(x, scale, w_in);

    // Horizontal pass at the kept columns, every input row. A row is first
    // widened by `half` copies of its edge pixels on each side, so every tap
    // is a plain load.
    Buffer<double> across = Buffer<double>::uninitialized(mul_size(w_out, h_in));
    std::size_t padded_len;
    if (__builtin_add_overflow(w_in, 2 * half, &padded_len)) throw std::bad_alloc();
    for_each_row(across.data(), w_out, h_in, [&](std::size_t y, double* out) {
        Buffer<double> padded = Buffer<double>::uninitialized(padded_len);
        const T* row = image + y * w_in;
        const double first = working_value(row[0]);
        const double last = working_value(row[w_in - 1]);
        for (std::size_t j = 0; j < half; ++j) padded[j] = first;
        for (std::size_t x = 0; x < w_in; ++x) padded[half + x] = working_value(row[x]);
        for (std::size_t j = half + w_in; j < padded_len; ++j) padded[j] = last;
        for (std::size_t x = 0; x < w_out; ++x) {
            const double* src = padded.data() + columns[x];
            double acc = 0.0;
            for (std::size_t k = 0; k < taps; ++k) acc += weights[k] * src[k];
            out[x] = acc;
        }
    });

    // Vertical pass at the kept rows, written straight into the output.
    Buffer<double> out = Buffer<double>::uninitialized(mul_size(w_out, h_out));
    const double* src = across.data();
    for_each_row(out.data(), w_out, h_out, [&](std::size_t y, double* row) {
        const std::int64_t centre = static_cast<std::int64_t>(source_index(y, scale, h_in));
        const std::int64_t last = static_cast<std::int64_t>(h_in) - 1;
        for (std::size_t x = 0; x < w_out; ++x) row[x] = 0.0;
        for (std::size_t k = 0; k < taps; ++k) {
            const std::int64_t g =
                std::clamp<std::int64_t>(centre + static_cast<std::int64_t>(k) - static_cast<std::int64_t>(half), 0, last);
            const double* line = src + static_cast<std::size_t>(g) * w_out;
            const double wk = weights[k];
            for (std::size_t x = 0; x < w_out; ++x) row[x] += wk * line[x];
        }
    });
    return {std::move(out), w_out, h_out};
}

template Downscaled downscale(const std::uint8_t*, std::uint64_t, std::uint64_t, double);
template Downscaled downscale(const std::uint16_t*, std::uint64_t, std::uint64_t, double);
template Downscaled downscale(const float*, std::uint64_t, std::uint64_t, double);
template Downscaled downscale(const double*, std::uint64_t, std::uint64_t, double);

}  // namespace trevalin
