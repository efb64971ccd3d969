#pragma once
// Helpers shared by the detector tests: deterministic random images and
// bitwise comparison of doubles.

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <doctest/doctest.h>

#include "sample/isa.hpp"

namespace detector_test {

// The kernel paths as types, for TEST_CASE_TEMPLATE(..., P, EVERY_PATH): the
// test then runs once per path, opening with `HoldPath hold(P::isa); if
// (!hold.runs) return;`.
template <trevalin::Isa I>
struct Path {
    static constexpr trevalin::Isa isa = I;
};
#define EVERY_PATH                                                                               \
    detector_test::Path<trevalin::Isa::Scalar>, detector_test::Path<trevalin::Isa::Avx2>, \
        detector_test::Path<trevalin::Isa::Avx512>

// Holds every kernel to one instruction set for a scope; `runs` is false
// where neither the CPU nor the build offers it, and the test reports the
// case as skipped.
class HoldPath {
public:
    explicit HoldPath(trevalin::Isa isa) : runs(isa <= trevalin::detected_isa()) {
        trevalin::cap_isa(isa);
        // A path that cannot run here says so rather than passing unseen.
        if (!runs) MESSAGE((std::string("skipped: the ") + name(isa) + " path is not offered here"));
    }
    ~HoldPath() { trevalin::cap_isa(trevalin::Isa::Avx512); }
    static const char* name(trevalin::Isa isa) {
        return isa == trevalin::Isa::Avx512 ? "AVX-512" : isa == trevalin::Isa::Avx2 ? "AVX2" : "scalar";
    }
    HoldPath(const HoldPath&) = delete;
    HoldPath& operator=(const HoldPath&) = delete;
    const bool runs;
};

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
