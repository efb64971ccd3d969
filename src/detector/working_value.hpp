#pragma once
// The samples of the input image as the detector works with them.

#include <cstdint>

namespace trevalin {

// A sample as the detector works with it: 16-bit samples are brought to the
// 0..255 range of 8-bit ones, floating-point samples are taken as they are.
inline double working_value(std::uint8_t v) { return static_cast<double>(v); }
inline double working_value(std::uint16_t v) { return static_cast<double>(v) / 257.0; }
inline double working_value(float v) { return static_cast<double>(v); }
inline double working_value(double v) { return v; }

}  // namespace trevalin
