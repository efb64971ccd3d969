// Coordinate-map remap: every output row sampled on the pool.
#include "warp/remap.hpp"

#include "pool/pool.hpp"
#include "sample/numeric.hpp"
#include "warp/row_kernels.hpp"
#include "warp/sampler.hpp"

namespace trevalin {

template <class T, int C>
Outcome<Buffer<T>> remap(const T* src, std::size_t src_len, std::size_t w, std::size_t h, const float* map_x,
                         std::size_t map_x_len, const float* map_y, std::size_t map_y_len, std::size_t map_w,
                         std::size_t map_h, Filter filter) {
    // Saturating products: an overflowing size never equals a real length.
    std::uint64_t src_count = mul_count(mul_count(w, h), C);
    if (src_len != src_count) return SizeMismatch{src_count, src_len};
    std::uint64_t map_count = mul_count(map_w, map_h);
    if (map_x_len != map_count) return SizeMismatch{map_count, map_x_len};
    if (map_y_len != map_x_len) return SizeMismatch{map_count, map_y_len};

    Buffer<Lanczos3Weights> table;
    if (filter == Filter::Lanczos3) table = lanczos3_table();
    const std::size_t count = mul_size(map_count, C);
    // No rows to cut (map width 0) or no source pixel to sample: all zero.
    if (count == 0 || w == 0 || h == 0) return Buffer<T>::zeroed(count);
    // The row kernels write every pixel, 0 outside the source.
    auto out = Buffer<T>::uninitialized(count);

    SourceImage<T> image{src, src_len, w, h};
    RemapRowFn<T, C> kernel = remap_row_kernel<T, C>(filter, image);
    const Lanczos3Weights* weights = table.data();
    for_each_row(out.data(), map_w * C, map_h, [&](std::size_t y, T* row) {
        kernel(image, map_x + y * map_w, map_y + y * map_w, map_w, row, weights);
    });
    return out;
}

#define TREVALIN_REMAP(T, C)                                                                               \
    template Outcome<Buffer<T>> remap<T, C>(const T*, std::size_t, std::size_t, std::size_t, const float*, \
                                            std::size_t, const float*, std::size_t, std::size_t, std::size_t, Filter);
TREVALIN_REMAP(std::uint8_t, 1)
TREVALIN_REMAP(std::uint8_t, 3)
TREVALIN_REMAP(std::uint16_t, 1)
TREVALIN_REMAP(std::uint16_t, 3)
#undef TREVALIN_REMAP

}  // namespace trevalin
