// Pixel samplers: bilinear and Lanczos-3 at a real-valued source position.
#include "warp/sampler.hpp"

#include <numbers>

namespace trevalin {
namespace {

constexpr double pi = std::numbers::pi;

double lanczos3_kernel(double d) {
    if (d == 0.0) return 1.0;
    if (std::fabs(d) >= 3.0) return 0.0;
    double a = d * pi;
    double b = a / 3.0;
    return (std::sin(a) / a) * (std::sin(b) / b);
}

}  // namespace

Buffer<Lanczos3Weights> lanczos3_table() {
    auto table = Buffer<Lanczos3Weights>::zeroed(lanczos3_entries);
    for (std::size_t i = 0; i < lanczos3_entries; ++i) {
        double t = static_cast<double>(i) * 0.0009765625;  // i / 1024, exact
        double r[6];
        double sum = 0.0;
        for (int k = 0; k < 6; ++k) {
            r[k] = lanczos3_kernel(t - static_cast<double>(k - 2));
            sum = sum + r[k];
        }
        for (int k = 0; k < 6; ++k) table[i].tap[k] = r[k] / sum;
    }
    return table;
}

template <class T, int C>
void sample_bilinear(const T* src, std::size_t /*src_len*/, std::size_t w, std::size_t h, T* out_px, double x,
                     double y) {
    if (!inside_source(x, y, w, h)) return;
    double fx = std::floor(x);
    double fy = std::floor(y);
    double tx = x - fx;
    double ty = y - fy;
    auto ix = static_cast<std::int64_t>(fx);
    auto iy = static_cast<std::int64_t>(fy);
    std::size_t x0 = clamp_tap(ix, 0, w) * C;
    std::size_t x1 = clamp_tap(ix, 1, w) * C;
    const T* row0 = src + clamp_tap(iy, 0, h) * w * C;
    const T* row1 = src + clamp_tap(iy, 1, h) * w * C;
    double w00 = (1.0 - tx) * (1.0 - ty);
    double w10 = tx * (1.0 - ty);
    double w01 = (1.0 - tx) * ty;
    double w11 = tx * ty;
    for (int c = 0; c < C; ++c) {
        double s = ((static_cast<double>(row0[x0 + c]) * w00 + static_cast<double>(row0[x1 + c]) * w10) +
                    static_cast<double>(row1[x0 + c]) * w01) +
                   static_cast<double>(row1[x1 + c]) * w11;
        out_px[c] = store_sample<T>(s);
    }
}

template <class T, int C>
void sample_lanczos3(const T* src, std::size_t /*src_len*/, std::size_t w, std::size_t h, T* out_px, double x,
                     double y, const Lanczos3Weights* table, std::size_t /*table_len*/) {
    if (!inside_source(x, y, w, h)) return;
    double fx = std::floor(x);
    double fy = std::floor(y);
    // Both indices lie in [0, 1024]: the table always has 1025 entries.
    const double* wx = table[lanczos3_index(x - fx)].tap;
    const double* wy = table[lanczos3_index(y - fy)].tap;
    auto ix = static_cast<std::int64_t>(fx);
    auto iy = static_cast<std::int64_t>(fy);
    double acc[C] = {};
    bool interior = ix >= 2 && iy >= 2 && static_cast<std::size_t>(ix) + 3 <= w - 1 &&
                    static_cast<std::size_t>(iy) + 3 <= h - 1;
    if (interior) {
        const T* run = src + ((static_cast<std::size_t>(iy) - 2) * w + static_cast<std::size_t>(ix) - 2) * C;
        for (int j = 0; j < 6; ++j, run += w * C) {
            for (int i = 0; i < 6; ++i) {
                double wij = wx[i] * wy[j];
                for (int c = 0; c < C; ++c) acc[c] = acc[c] + static_cast<double>(run[i * C + c]) * wij;
            }
        }
    } else {
        std::size_t cols[6];
        for (int i = 0; i < 6; ++i) cols[i] = clamp_tap(ix, i - 2, w) * C;
        for (int j = 0; j < 6; ++j) {
            const T* row = src + clamp_tap(iy, j - 2, h) * w * C;
            for (int i = 0; i < 6; ++i) {
                double wij = wx[i] * wy[j];
                for (int c = 0; c < C; ++c) acc[c] = acc[c] + static_cast<double>(row[cols[i] + c]) * wij;
            }
        }
    }
    for (int c = 0; c < C; ++c) out_px[c] = store_sample<T>(acc[c]);
}

#define TREVALIN_SAMPLERS(T, C)                                                                                  \
    template void sample_bilinear<T, C>(const T*, std::size_t, std::size_t, std::size_t, T*, double, double); \
    template void sample_lanczos3<T, C>(const T*, std::size_t, std::size_t, std::size_t, T*, double, double,  \
                                        const Lanczos3Weights*, std::size_t);
TREVALIN_SAMPLERS(std::uint8_t, 1)
TREVALIN_SAMPLERS(std::uint8_t, 3)
TREVALIN_SAMPLERS(std::uint16_t, 1)
TREVALIN_SAMPLERS(std::uint16_t, 3)
#undef TREVALIN_SAMPLERS

}  // namespace trevalin
