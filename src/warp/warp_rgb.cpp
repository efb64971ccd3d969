// Perspective warp: the output rows through the inverse homography, on the pool.
#include "warp/warp_rgb.hpp"

#include "pool/pool.hpp"
#include "sample/numeric.hpp"
#include "warp/row_kernels.hpp"
#include "warp/sampler.hpp"

namespace trevalin {
namespace {

// Everything a row pass reads; shared read-only by all rows of a call.
template <class T>
struct WarpPass {
    SourceImage<T> src;
    const double* h;  // the inverse homography, row-major
    double scale;
    double off_y;
    const double* columns;  // h0 u, h3 u and h6 u of every output column, in three runs
    std::size_t out_w;
    WarpRowFn<T> kernel;
    const Lanczos3Weights* table;
};

template <class T>
WarpRow row_geometry(const WarpPass<T>& pass, std::size_t y) {
    const double* h = pass.h;
    double v = static_cast<double>(y) / pass.scale + pass.off_y;
    const double* c = pass.columns;
    return WarpRow{c, c + pass.out_w, c + 2 * pass.out_w, h[1] * v + h[2], h[4] * v + h[5], h[7] * v + h[8]};
}

// The two row passes; `kernel` samples with their filter.
template <class T>
void warp_bilinear(const WarpPass<T>& pass, std::size_t y, T* row) {
    pass.kernel(pass.src, row_geometry(pass, y), pass.out_w, row, nullptr);
}

template <class T>
void warp_lanczos3(const WarpPass<T>& pass, std::size_t y, T* row) {
    pass.kernel(pass.src, row_geometry(pass, y), pass.out_w, row, pass.table);
}

}  // namespace

template <class T>
Outcome<Buffer<T>> warp_rgb(const T* src, std::size_t src_len, std::size_t w, std::size_t h, std::size_t out_w,
                            std::size_t out_h, const double inverse[9], double scale, double off_x, double off_y,
                            Filter filter) {
    std::uint64_t src_count = mul_count(mul_count(w, h), 3);
    if (src_len != src_count) return SizeMismatch{src_count, src_len};

    Buffer<Lanczos3Weights> table;
    if (filter == Filter::Lanczos3) table = lanczos3_table();
    const std::size_t count = mul_size(out_w, out_h, 3);
    // No rows to cut (output width 0) or no source pixel to sample: all zero.
    if (count == 0 || w == 0 || h == 0) return Buffer<T>::zeroed(count);
    // The row kernels write every pixel, 0 outside the source.
    auto out = Buffer<T>::uninitialized(count);

    // u = x / scale + off_x and its products with the matrix depend on the
    // column only: computed once per call, not once per pixel.
    auto columns = Buffer<double>::uninitialized(mul_size(out_w, 3));
    for (std::size_t x = 0; x < out_w; ++x) {
        double u = static_cast<double>(x) / scale + off_x;
        columns[x] = inverse[0] * u;
        columns[out_w + x] = inverse[3] * u;
        columns[2 * out_w + x] = inverse[6] * u;
    }

    WarpPass<T> pass{SourceImage<T>{src, src_len, w, h}, inverse, scale, off_y, columns.data(), out_w, nullptr,
                     table.data()};
    pass.kernel = warp_row_kernel<T>(filter, pass.src);
    auto row_pass = filter == Filter::Bilinear ? &warp_bilinear<T> : &warp_lanczos3<T>;
    for_each_row(out.data(), out_w * 3, out_h, [&](std::size_t y, T* row) {
        row_pass(pass, y, row);
    });
    return out;
}

template Outcome<Buffer<std::uint8_t>> warp_rgb<std::uint8_t>(const std::uint8_t*, std::size_t, std::size_t,
                                                              std::size_t, std::size_t, std::size_t, const double[9],
                                                              double, double, double, Filter);
template Outcome<Buffer<std::uint16_t>> warp_rgb<std::uint16_t>(const std::uint16_t*, std::size_t, std::size_t,
                                                                std::size_t, std::size_t, std::size_t,
                                                                const double[9], double, double, double, Filter);

}  // namespace trevalin
