// Row kernels: the portable forms and the choice of the vectorised ones.
#include "warp/row_kernels.hpp"

#include <climits>
#include <cstring>

namespace trevalin {
namespace {

template <class T, int C, Filter F>
inline void sample_at(const SourceImage<T>& src, T* out_px, double x, double y, const Lanczos3Weights* table) {
    if constexpr (F == Filter::Bilinear)
        sample_bilinear<T, C>(src.data, src.len, src.w, src.h, out_px, x, y);
    else
        sample_lanczos3<T, C>(src.data, src.len, src.w, src.h, out_px, x, y, table, lanczos3_entries);
}

template <class T, int C, Filter F>
void remap_row_scalar(const SourceImage<T>& src, const float* map_x, const float* map_y, std::size_t n, T* out,
                      const Lanczos3Weights* table) {
    std::memset(out, 0, sizeof(T) * C * n);
    for (std::size_t x = 0; x < n; ++x)
        sample_at<T, C, F>(src, out + x * C, static_cast<double>(map_x[x]), static_cast<double>(map_y[x]), table);
}

template <class T, Filter F>
void warp_row_scalar(const SourceImage<T>& src, const WarpRow& row, std::size_t n, T* out,
                     const Lanczos3Weights* table) {
    std::memset(out, 0, sizeof(T) * 3 * n);
    for (std::size_t x = 0; x < n; ++x) {
        double w = row.h6u[x] + row.cw;
        if (w == 0.0) continue;
        sample_at<T, 3, F>(src, out + x * 3, (row.h0u[x] + row.cx) / w, (row.h3u[x] + row.cy) / w, table);
    }
}

// The vector kernels read 8 bytes per tap and address the source with 32-bit
// byte offsets.
template <class T>
bool vector_addressable(const SourceImage<T>& src) {
    std::size_t bytes = src.len * sizeof(T);
    return bytes >= 8 && bytes <= static_cast<std::size_t>(INT_MAX);
}

}  // namespace

template <class T, int C>
RemapRowFn<T, C> remap_row_kernel(Filter filter, [[maybe_unused]] const SourceImage<T>& src, Isa isa) {
    if (isa > detected_isa()) isa = detected_isa();
    RemapRowFn<T, C> fn = nullptr;
#if TREVALIN_X86
    if (vector_addressable(src)) {
        if (isa == Isa::Avx512) fn = avx512_remap_row<T, C>(filter);
        if (!fn && isa >= Isa::Avx2) fn = avx2_remap_row<T, C>(filter);
    }
#endif
    if (fn) return fn;
    return filter == Filter::Bilinear ? &remap_row_scalar<T, C, Filter::Bilinear>
                                      : &remap_row_scalar<T, C, Filter::Lanczos3>;
}

template <class T>
WarpRowFn<T> warp_row_kernel(Filter filter, [[maybe_unused]] const SourceImage<T>& src, Isa isa) {
    if (isa > detected_isa()) isa = detected_isa();
    WarpRowFn<T> fn = nullptr;
#if TREVALIN_X86
    if (vector_addressable(src)) {
        if (isa == Isa::Avx512) fn = avx512_warp_row<T>(filter);
        if (!fn && isa >= Isa::Avx2) fn = avx2_warp_row<T>(filter);
    }
#endif
    if (fn) return fn;
    return filter == Filter::Bilinear ? &warp_row_scalar<T, Filter::Bilinear> : &warp_row_scalar<T, Filter::Lanczos3>;
}

template RemapRowFn<std::uint8_t, 1> remap_row_kernel<std::uint8_t, 1>(Filter, const SourceImage<std::uint8_t>&, Isa);
template RemapRowFn<std::uint8_t, 3> remap_row_kernel<std::uint8_t, 3>(Filter, const SourceImage<std::uint8_t>&, Isa);
template RemapRowFn<std::uint16_t, 1> remap_row_kernel<std::uint16_t, 1>(Filter, const SourceImage<std::uint16_t>&,
                                                                         Isa);
template RemapRowFn<std::uint16_t, 3> remap_row_kernel<std::uint16_t, 3>(Filter, const SourceImage<std::uint16_t>&,
                                                                         Isa);
template WarpRowFn<std::uint8_t> warp_row_kernel<std::uint8_t>(Filter, const SourceImage<std::uint8_t>&, Isa);
template WarpRowFn<std::uint16_t> warp_row_kernel<std::uint16_t>(Filter, const SourceImage<std::uint16_t>&, Isa);

}  // namespace trevalin
