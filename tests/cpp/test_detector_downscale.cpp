#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "detector/downscale.hpp"
#include "detector/downscaled_field.hpp"
#include "detector/level_line_field.hpp"
#include "sample/numeric.hpp"
#include "reference_stages.hpp"
#include "test_detector_support.hpp"

using namespace trevalin;
using detector_test::downscale;
using detector_test::Downscaled;
using detector_test::note_field;
using detector_test::random_image;
using detector_test::same_bits;

namespace {

std::int64_t clamp_index(std::int64_t p, std::size_t n) { return std::clamp<std::int64_t>(p, 0, (std::int64_t)n - 1); }

// The taps of one axis written out: output i centred on input i / scale.
struct Taps {
    std::vector<std::int64_t> lo;
    std::vector<std::vector<double>> w;
};

Taps reference_taps(std::size_t n_out, double scale) {
    const double sigma = 0.6 / scale;
    const double h = double(to_u64_sat(std::ceil(sigma * 3.7169221888498383)));
    Taps t;
    for (std::size_t i = 0; i < n_out; ++i) {
        const double c = double(i) / scale;
        const auto lo = (std::int64_t)std::ceil(c - h), hi = (std::int64_t)std::floor(c + h);
        std::vector<double> w;
        double sum = 0.0;
        for (std::int64_t p = lo; p <= hi; ++p) {
            const double e = (double(p) - c) / sigma;
            w.push_back(std::exp(-0.5 * (e * e)));
            sum += w.back();
        }
        for (double& v : w) v /= sum;
        t.lo.push_back(lo);
        t.w.push_back(w);
    }
    return t;
}

// Both passes over the whole image, one output value at a time.
std::vector<double> reference_downscale(const std::vector<double>& img, std::size_t w, std::size_t h, double scale,
                                        std::size_t& w_out, std::size_t& h_out) {
    w_out = std::max<std::uint64_t>(to_u64_sat(std::floor(double(w) * scale)), 2);
    h_out = std::max<std::uint64_t>(to_u64_sat(std::floor(double(h) * scale)), 2);
    const Taps tx = reference_taps(w_out, scale), ty = reference_taps(h_out, scale);
    std::vector<double> t1(w_out * h), out(w_out * h_out);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t i = 0; i < w_out; ++i) {
            double acc = 0.0;
            for (std::size_t k = 0; k < tx.w[i].size(); ++k)
                acc += tx.w[i][k] * img[y * w + clamp_index(tx.lo[i] + (std::int64_t)k, w)];
            t1[y * w_out + i] = acc;
        }
    for (std::size_t j = 0; j < h_out; ++j)
        for (std::size_t i = 0; i < w_out; ++i) {
            double acc = 0.0;
            for (std::size_t k = 0; k < ty.w[j].size(); ++k)
                acc += ty.w[j][k] * t1[clamp_index(ty.lo[j] + (std::int64_t)k, h) * w_out + i];
            out[j * w_out + i] = acc;
        }
    return out;
}

// The earlier downscale, which blurred the whole image and kept blurred pixel
// floor(i / scale): at scales whose inverse is a whole number it is the same
// resampling.
std::vector<double> blur_then_decimate(const std::vector<double>& img, std::size_t w, std::size_t h, double scale) {
    const double sigma = 0.6 / scale;
    const std::size_t half = to_u64_sat(std::ceil(sigma * 3.7169221888498383));
    std::vector<double> k(2 * half + 1);
    double sum = 0.0;
    for (std::size_t i = 0; i < k.size(); ++i) {
        const double q = (double(i) - double(half)) / sigma;
        k[i] = std::exp(-0.5 * (q * q));
        sum += k[i];
    }
    for (double& v : k) v /= sum;
    std::vector<double> t1(w * h), t2(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            double acc = 0.0;
            for (std::size_t i = 0; i < k.size(); ++i) acc += k[i] * img[y * w + clamp_index(x + i - half, w)];
            t1[y * w + x] = acc;
        }
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            double acc = 0.0;
            for (std::size_t i = 0; i < k.size(); ++i) acc += k[i] * t1[clamp_index(y + i - half, h) * w + x];
            t2[y * w + x] = acc;
        }
    const std::size_t w_out = std::size_t(double(w) * scale), h_out = std::size_t(double(h) * scale);
    std::vector<double> out(w_out * h_out);
    for (std::size_t y = 0; y < h_out; ++y)
        for (std::size_t x = 0; x < w_out; ++x) out[y * w_out + x] = t2[std::size_t(y / scale) * w + std::size_t(x / scale)];
    return out;
}

std::size_t differing(const std::vector<double>& a, const Buffer<double>& b) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.size(); ++i) n += !same_bits(a[i], b[i]);
    return n;
}

}  // namespace

TEST_CASE("taps of the common scales: Gaussian weights centred on i / scale, summing to one") {
    // Output 4 at 0.8 and output 2 at 0.5 sit on input 5 and 4: the worked
    // kernels, symmetric about the centre.
    const std::vector<double> k08 = {0.531907, 0.218674, 0.015194, 0.000178};
    const std::vector<double> k05 = {0.332453, 0.234927, 0.082898, 0.014607, 0.001285, 0.000056};
    for (auto [scale, i, centre, kernel] : {std::tuple{0.8, 4, 5, k08}, std::tuple{0.5, 2, 4, k05}}) {
        const AxisTaps t = axis_taps(8, scale);
        const std::size_t half = kernel.size() - 1;
        REQUIRE(t.count[i] == 2 * half + 1);
        CHECK(t.first[i] == centre - (std::int64_t)half);
        for (std::size_t d = 0; d <= half; ++d) {
            CHECK(t.weights[i * t.stride + half + d] == doctest::Approx(kernel[d]).epsilon(5e-6));
            CHECK(same_bits(t.weights[i * t.stride + half + d], t.weights[i * t.stride + half - d]));
        }
    }
    // Output 1 at 0.8 sits at 1.25: six taps from -1 to 4, heavier on the near side.
    const AxisTaps t = axis_taps(512, 0.8);
    CHECK(t.first[1] == -1);
    CHECK(t.count[1] == 6);
    CHECK(t.weights[t.stride + 2] > t.weights[t.stride + 3]);
    for (std::size_t i = 0; i < 512; ++i) {
        double sum = 0.0;
        for (std::size_t k = 0; k < t.count[i]; ++k) sum += t.weights[i * t.stride + k];
        CHECK(sum == doctest::Approx(1.0).epsilon(1e-15));
    }
    CHECK(downscaled_size(640, 480, 0.8).width == 512);
    CHECK(downscaled_size(640, 480, 0.8).height == 384);
}

TEST_CASE("sizes below three are raised to two; negative and NaN scales give 2 x 2") {
    CHECK(downscaled_size(3, 100, 0.5).width == 2);
    CHECK(downscaled_size(1, 100, 0.9).width == 2);
    CHECK(downscaled_size(640, 480, -1.0).width == 2);
    CHECK(downscaled_size(640, 480, -1.0).height == 2);
    CHECK(downscaled_size(640, 480, std::nan("")).width == 2);
    CHECK(downscaled_size(640, 480, 0.0).height == 2);
}

TEST_CASE("downscale equals the resampling written out in full, on every instruction set") {
    struct Case {
        std::size_t w, h;
        double scale;
    };
    // Widths and heights around the vector widths, and sizes raised to two.
    const Case cases[] = {{64, 48, 0.8}, {57, 31, 0.5}, {40, 41, 0.25}, {33, 20, 0.37}, {101, 37, 0.6},
                          {3, 9, 0.5},   {5, 4, 0.9},   {19, 7, 0.1},   {23, 17, 0.99}};
    const std::vector<Isa> paths = test_paths::offered_paths();
    std::uint32_t seed = 1;
    for (const Case& c : cases) {
        CAPTURE(c.w);
        CAPTURE(c.h);
        CAPTURE(c.scale);
        std::vector<double> img = random_image(c.w, c.h, seed++);
        // Odd values: a signed zero, an infinity.
        img[img.size() / 2] = -0.0;
        if (c.w > 30) img[c.w + 29] = std::numeric_limits<double>::infinity();
        std::size_t w_ref, h_ref;
        const std::vector<double> ref = reference_downscale(img, c.w, c.h, c.scale, w_ref, h_ref);
        for (Isa isa : paths) {
            CAPTURE(int(isa));
            test_paths::HoldPath hold(isa);
            const Downscaled got = downscale(img.data(), c.w, c.h, c.scale, isa);
            REQUIRE(got.width == w_ref);
            REQUIRE(got.height == h_ref);
            CHECK(differing(ref, got.image) == 0);
        }
    }
}

TEST_CASE("at scales one half and one quarter the resampling is the blur of the whole image, decimated") {
    const std::vector<double> img = random_image(83, 61, 5);
    for (double scale : {0.5, 0.25}) {
        const std::vector<double> old = blur_then_decimate(img, 83, 61, scale);
        CHECK(differing(old, downscale(img.data(), 83, 61, scale).image) == 0);
    }
}

TEST_CASE("integer samples are converted before blurring") {
    const std::size_t w = 30, h = 20;
    std::vector<std::uint8_t> u8(w * h);
    std::vector<std::uint16_t> u16(w * h);
    std::vector<double> f64(w * h);
    for (std::size_t i = 0; i < w * h; ++i) {
        u8[i] = std::uint8_t((i * 37) % 251);
        u16[i] = std::uint16_t(u8[i] * 257);
        f64[i] = u8[i];
    }
    const Downscaled a = downscale(u8.data(), w, h, 0.6);
    const Downscaled b = downscale(u16.data(), w, h, 0.6);
    const Downscaled c = downscale(f64.data(), w, h, 0.6);
    for (std::size_t i = 0; i < a.image.size(); ++i) {
        CHECK(same_bits(a.image[i], b.image[i]));
        CHECK(same_bits(a.image[i], c.image[i]));
    }
    // Arbitrary 16-bit and float samples give the blur of their working
    // values (the 16-bit quotients rounded, the floats widened).
    std::vector<std::uint16_t> words(w * h);
    std::vector<float> floats(w * h);
    std::vector<double> of_words(w * h), of_floats(w * h);
    for (std::size_t i = 0; i < w * h; ++i) {
        words[i] = std::uint16_t((i * 7919u) % 65536u);
        of_words[i] = double(words[i]) / 257.0;
        floats[i] = float(i * 0.37) - 61.3f;
        of_floats[i] = double(floats[i]);
    }
    const Downscaled d = downscale(words.data(), w, h, 0.6), e = downscale(of_words.data(), w, h, 0.6);
    const Downscaled f = downscale(floats.data(), w, h, 0.6), g = downscale(of_floats.data(), w, h, 0.6);
    for (std::size_t i = 0; i < d.image.size(); ++i) {
        CHECK(same_bits(d.image[i], e.image[i]));
        CHECK(same_bits(f.image[i], g.image[i]));
    }
}

TEST_CASE("a constant image stays constant up to the rounding of the weights, borders included") {
    const std::vector<double> img(50 * 40, 200.0);
    const std::vector<Isa> paths = test_paths::offered_paths();
    for (double scale : {0.3, 0.6, 0.8})
        for (Isa isa : paths) {
            test_paths::HoldPath hold(isa);
            const Downscaled d = downscale(img.data(), 50, 40, scale, isa);
            for (double v : d.image) CHECK(v == doctest::Approx(200.0).epsilon(1e-14));
        }
}

TEST_CASE("the banded field of the downscaled image equals the field of downscale()") {
    struct Case {
        std::size_t w, h;
        double scale;
        float weak;
    };
    const Case cases[] = {{64, 48, 0.8, 0.0f}, {200, 150, 0.8, 5.226252f}, {57, 95, 0.5, 0.0f},
                          {40, 41, 0.25, 5.226252f}, {9, 7, 0.4, 0.0f}, {101, 37, 0.99, 0.0f},
                          // 17 and 33 rows: the last, zero row alone in its band
                          {40, 34, 0.5, 5.226252f}, {23, 66, 0.5, 0.0f}};
    const std::vector<Isa> paths = test_paths::offered_paths();
    std::uint32_t seed = 30;
    for (const Case& c : cases) {
        CAPTURE(c.w);
        CAPTURE(c.scale);
        const std::vector<double> img = random_image(c.w, c.h, seed++);
        const Downscaled small = downscale(img.data(), c.w, c.h, c.scale);
        const Buffer<Px> ref = level_line_field(small.image.data(), small.width, small.height, c.weak);
        for (Isa isa : paths) {
            test_paths::HoldPath hold(isa);
            const DownscaledField got = downscaled_level_line_field(img.data(), c.w, c.h, c.scale, c.weak, nullptr, isa);
            REQUIRE(got.width == small.width);
            REQUIRE(got.height == small.height);
            CHECK(std::memcmp(ref.data(), got.field.data(), ref.size() * sizeof(Px)) == 0);
        }
        // Notes taken band by band equal notes of the finished field.
        FieldNotes noted;
        const DownscaledField with_notes = downscaled_level_line_field(img.data(), c.w, c.h, c.scale, c.weak, &noted);
        CHECK(std::memcmp(ref.data(), with_notes.field.data(), ref.size() * sizeof(Px)) == 0);
        const FieldNotes whole = note_field(ref.data(), ref.size(), c.weak);
        REQUIRE(noted.weak.size() == whole.weak.size());
        CHECK(std::memcmp(noted.weak.data(), whole.weak.data(), whole.weak.size() * 8) == 0);
        CHECK(noted.largest == whole.largest);
        CHECK(noted.largest > 0.0f);
    }
}
