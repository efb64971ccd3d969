// The level-line field of the downscaled image, band by band: each band keeps
// its input rows blurred along x in a small ring and its last two downscaled
// rows, so it works in cache however large the image.
#include "detector/downscaled_field.hpp"

#include "detector/downscale.hpp"
#include "sample/memory.hpp"
#include "sample/numeric.hpp"

namespace trevalin {

template <class T>
DownscaledField downscaled_level_line_field(const T* image, std::uint64_t width, std::uint64_t height, double scale,
                                            float weak, FieldNotes* notes, Isa isa) {
    const BlurPlan plan(width, height, scale, isa);
    const std::size_t w = plan.w_out, h = plan.h_out;
    Buffer<Px> field = Buffer<Px>::uninitialized(mul_size(w, h));
    prefer_huge_pages(field);
    // Field row y needs downscaled rows y and y + 1; downscaled row y needs
    // the input rows first_row(y) .. last_row(y), at most down.stride of them,
    // and both ends only move down from one row to the next. Rows are blurred
    // along x a group at a time, so the ring holds a group beyond the taps:
    // row g lives in slot g % ring.
    const std::size_t ring = plan.down.stride + plan.group - 1;
    build_field_bands(field.data(), w, h, weak, notes, [&](std::size_t y0, std::size_t y1, auto& note) {
        Buffer<double> scratch = Buffer<double>::uninitialized(plan.scratch_len());
        Buffer<double> across = Buffer<double>::uninitialized(mul_size(ring, w));
        Buffer<double*> group = Buffer<double*>::uninitialized(plan.group);
        Buffer<const double*> lines = Buffer<const double*>::uninitialized(plan.down.stride);
        Buffer<double> rows = Buffer<double>::uninitialized(mul_size(2, w));
        auto slot = [&](std::size_t g) { return across.data() + (g % ring) * w; };
        std::size_t next = plan.first_row(y0);  // the next input row to blur along x
        auto downscaled_row = [&](std::size_t y) {
            for (const std::size_t last = plan.last_row(y); next <= last; next += plan.group) {
                for (std::size_t r = 0; r < plan.group; ++r) group[r] = slot(next + r);
                plan.horizontal(image, next, scratch.data(), group.data());
            }
            double* out = rows.data() + (y % 2) * w;
            plan.vertical(y, slot, lines.data(), out);
            return out;
        };
        const double* top = downscaled_row(y0);
        for (std::size_t y = y0; y < y1; ++y) {
            const double* bottom = downscaled_row(y + 1);
            level_line_row(top, bottom, w, weak, field.data() + y * w);
            note(y);
            top = bottom;
        }
    });
    return {std::move(field), w, h};
}

template DownscaledField downscaled_level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t, double, float,
                                                     FieldNotes*, Isa);
template DownscaledField downscaled_level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t, double,
                                                     float, FieldNotes*, Isa);
template DownscaledField downscaled_level_line_field(const float*, std::uint64_t, std::uint64_t, double, float,
                                                     FieldNotes*, Isa);
template DownscaledField downscaled_level_line_field(const double*, std::uint64_t, std::uint64_t, double, float,
                                                     FieldNotes*, Isa);

}  // namespace trevalin
