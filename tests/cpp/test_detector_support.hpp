#pragma once
// Helpers shared by the detector tests: deterministic random images and
// bitwise comparison of doubles.

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <doctest/doctest.h>

#include "paths.hpp"

namespace detector_test {

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A noisy image with a few bright shapes, 0..255.
inline std::vector<double> random_image(std::size_t w, std::size_t h, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> noise(-8.0, 8.0);
    std::vector<double> img(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            double v = 60.0 + noise(rng);
            if (x > w / 4 && x < 3 * w / 4 && y > h / 3 && y < 2 * h / 3) v += 120.0;
            if ((x + 2 * y) % 37 < 3) v += 50.0;
            img[y * w + x] = v;
        }
    return img;
}

}  // namespace detector_test
