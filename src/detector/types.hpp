#pragma once
// The records that the detector's stages pass to one another, and the angle
// tolerance and gradient threshold that they share.

#include <numbers>

namespace trevalin {

// Angle tolerance of region growing and rectangle fitting, pi / 8.
inline constexpr double kTau = std::numbers::pi / 8;
// Gradient-norm threshold: the single-precision value nearest to 2 / sin(pi / 8).
inline constexpr float kRho = 5.226252f;

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

}  // namespace trevalin
