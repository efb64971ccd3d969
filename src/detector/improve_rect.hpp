#pragma once
// A second chance for a rectangle that does not validate: finer tolerances,
// narrower widths and long sides moved inwards.

#include <cstdint>

#include "detector/types.hpp"

namespace trevalin {

class NfaMemo;

// Scores `rect` and, unless the score is already above 0, tries a fixed
// sequence of variations of it, keeping each one that scores strictly higher.
// `rect` is left as the best rectangle met; returns its score. With `memo`
// (made with the same log_nt) the scores are taken from it.
double improve_rect(Rect& rect, const Px* field, std::uint64_t width, std::uint64_t height, float rho,
                    double log_nt, NfaMemo* memo = nullptr);

}  // namespace trevalin
