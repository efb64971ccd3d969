#pragma once
// Row kernels: one output row of a remap or a warp, sampled pixel by pixel.
//
// The scalar kernels call the samplers once per pixel. The vectorised kernels
// (row_kernels_avx2.cpp, row_kernels_avx512.cpp) sample several neighbouring
// output pixels at once, one pixel per vector lane; every lane performs the
// same double operations in the same order as the scalar sampler, so the two
// give identical bits and may be mixed freely (a row's tail, a source corner).
// The best kernel for the running CPU is picked once per call.
//
// A kernel writes every pixel of its row: the sample where the position is
// inside the source, 0 in every channel elsewhere. The row need not be
// cleared beforehand.

#include <cstddef>
#include <cstdint>

#include "sample/filter.hpp"
#include "sample/isa.hpp"
#include "warp/sampler.hpp"

namespace trevalin {

// A source image of w * h pixels of C interleaved samples, w and h non-zero.
template <class T>
struct SourceImage {
    const T* data;
    std::size_t len;  // w * h * C
    std::size_t w;
    std::size_t h;
};

// What one output row of the perspective warp needs. With u = x / scale +
// off_x the plane abscissa of output column x, the source position is
// ((h0 u + cx) / (h6 u + cw), (h3 u + cy) / (h6 u + cw)). The products h0 u,
// h3 u and h6 u depend on the column only and are shared by all rows; cx, cy
// and cw are the row's constant terms.
struct WarpRow {
    const double* h0u;
    const double* h3u;
    const double* h6u;
    double cx, cy, cw;
};

template <class T, int C>
using RemapRowFn = void (*)(const SourceImage<T>& src, const float* map_x, const float* map_y, std::size_t n, T* out,
                            const Lanczos3Weights* table);

template <class T>
using WarpRowFn = void (*)(const SourceImage<T>& src, const WarpRow& row, std::size_t n, T* out,
                           const Lanczos3Weights* table);

// The kernel of the filter for the given instruction set (at most the
// detected one). Sources too small for an 8-byte read or too large for 32-bit
// byte offsets take the scalar kernel.
template <class T, int C>
RemapRowFn<T, C> remap_row_kernel(Filter filter, const SourceImage<T>& src, Isa isa = detected_isa());
template <class T>
WarpRowFn<T> warp_row_kernel(Filter filter, const SourceImage<T>& src, Isa isa = detected_isa());

// Entry points of the vectorised translation units; null when the filter or
// type has no kernel there.
template <class T, int C>
RemapRowFn<T, C> avx2_remap_row(Filter filter);
template <class T>
WarpRowFn<T> avx2_warp_row(Filter filter);
template <class T, int C>
RemapRowFn<T, C> avx512_remap_row(Filter filter);
template <class T>
WarpRowFn<T> avx512_warp_row(Filter filter);

}  // namespace trevalin
