#pragma once
// The level-line field of the downscaled image, built band by band without
// holding the downscaled image.

#include <cstdint>

#include "detector/level_line_field.hpp"
#include "detector/types.hpp"
#include "sample/buffer.hpp"
#include "sample/isa.hpp"

namespace trevalin {

struct DownscaledField {
    Buffer<Px> field;
    std::uint64_t width;
    std::uint64_t height;
};

// level_line_field(downscale(image, width, height, scale), weak, notes): each
// band of field rows blurs just the input rows it needs, with the same sums
// in the same order, so the field is the same bit for bit.
template <class T>
DownscaledField downscaled_level_line_field(const T* image, std::uint64_t width, std::uint64_t height, double scale,
                                            float weak, FieldNotes* notes = nullptr, Isa isa = detected_isa());

extern template DownscaledField downscaled_level_line_field(const std::uint8_t*, std::uint64_t, std::uint64_t, double,
                                                            float, FieldNotes*, Isa);
extern template DownscaledField downscaled_level_line_field(const std::uint16_t*, std::uint64_t, std::uint64_t,
                                                            double, float, FieldNotes*, Isa);
extern template DownscaledField downscaled_level_line_field(const float*, std::uint64_t, std::uint64_t, double, float,
                                                            FieldNotes*, Isa);
extern template DownscaledField downscaled_level_line_field(const double*, std::uint64_t, std::uint64_t, double,
                                                            float, FieldNotes*, Isa);

}  // namespace trevalin
