#pragma once
// The records that the detector's stages pass to one another.

#include <cstdint>

namespace trevalin {

// One record of the level-line field: gradient magnitude and the unit vector
// along the level line (the gradient turned a quarter turn). All zero where
// the gradient vanishes or is not a number.
struct Px {
    float norm;
    float ux;
    float uy;
};

// An oriented rectangle around a centre line from (x1, y1) to (x2, y2), in
// field coordinates. (dx, dy) is the unit axis, prec the angle tolerance of an
// aligned pixel and p the probability of such a pixel under the background model.
struct Rect {
    double x1, y1, x2, y2;
    double width;
    double dx, dy;
    double prec;
    double p;
};

// One detected segment, in input-image coordinates.
struct Segment {
    double x1, y1, x2, y2;
    double width;
    double precision;
    double log_nfa;
};

// A sample as the detector works with it: 16-bit samples are brought to the
// 0..255 range of 8-bit ones, floating-point samples are taken as they are.
inline double working_value(std::uint8_t v) { return static_cast<double>(v); }
inline double working_value(std::uint16_t v) { return static_cast<double>(v) / 257.0; }
inline double working_value(float v) { return static_cast<double>(v); }
inline double working_value(double v) { return v; }

}  // namespace trevalin
