#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "detector/downscale.hpp"
#include "detector/level_line_field.hpp"
#include "sample/numeric.hpp"
#include "test_detector_support.hpp"

using namespace trevalin;
using detector_test::random_image;
using detector_test::same_bits;

namespace {

// The blur written out in full: both passes over the whole image into two
// intermediate images, then decimation.
std::vector<double> reference_downscale(const std::vector<double>& img, std::size_t w, std::size_t h, double scale,
                                        std::size_t& w_out, std::size_t& h_out) {
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
    std::vector<double> t1(w * h, 0.0), t2(w * h, 0.0);
    const long long lh = (long long)half;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            double acc = 0.0;
            for (std::size_t i = 0; i < k.size(); ++i) {
                const long long sx = std::clamp<long long>((long long)x + (long long)i - lh, 0, (long long)w - 1);
                acc += k[i] * img[y * w + sx];
            }
            t1[y * w + x] = acc;
        }
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t i = 0; i < k.size(); ++i) {
            const long long g = std::clamp<long long>((long long)y + (long long)i - lh, 0, (long long)h - 1);
            for (std::size_t x = 0; x < w; ++x) t2[y * w + x] += k[i] * t1[g * w + x];
        }
    w_out = std::max<std::uint64_t>(to_u64_sat(std::floor(double(w) * scale)), 2);
    h_out = std::max<std::uint64_t>(to_u64_sat(std::floor(double(h) * scale)), 2);
    std::vector<double> out(w_out * h_out);
    for (std::size_t y = 0; y < h_out; ++y) {
        const std::size_t s = std::min<std::uint64_t>(to_u64_sat(double(y) / scale), h - 1);
        for (std::size_t x = 0; x < w_out; ++x) {
            const std::size_t c = std::min<std::uint64_t>(to_u64_sat(double(x) / scale), w - 1);
            out[y * w_out + x] = t2[s * w + c];
        }
    }
    return out;
}

}  // namespace

TEST_CASE("gaussian kernels, output sizes and source columns of the common scales") {
    struct Case {
        double scale;
        std::vector<double> from_centre;
        std::uint64_t w, h;
        std::vector<std::uint64_t> columns;
    };
    const Case cases[] = {
        {0.8, {0.531907, 0.218674, 0.015194, 0.000178}, 512, 384, {0, 1, 2, 3, 5, 6}},
        {0.5, {0.332453, 0.234927, 0.082898, 0.014607, 0.001285, 0.000056}, 320, 240, {0, 2, 4, 6, 8, 10}},
        {0.25, {0.166237, 0.152415, 0.117471, 0.076109}, 160, 120, {0, 4, 8, 12, 16, 20}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.scale);
        const Buffer<double> k = gaussian_kernel(c.scale);
        const std::size_t half = k.size() / 2;
        double sum = 0.0;
        for (double v : k) sum += v;
        CHECK(sum == doctest::Approx(1.0).epsilon(1e-15));
        for (std::size_t d = 0; d < c.from_centre.size(); ++d) {
            CHECK(k[half + d] == doctest::Approx(c.from_centre[d]).epsilon(5e-6));
            CHECK(same_bits(k[half + d], k[half - d]));
        }
        const ScaledSize size = downscaled_size(640, 480, c.scale);
        CHECK(size.width == c.w);
        CHECK(size.height == c.h);
        for (std::size_t i = 0; i < c.columns.size(); ++i) CHECK(source_index(i, c.scale, 640) == c.columns[i]);
    }
    CHECK(gaussian_kernel(0.8).size() == 7);   // 0.6 / 0.8 rounds just below 0.75: h = 3
    CHECK(gaussian_kernel(0.25).size() == 19);
}

TEST_CASE("sizes below three are raised to two; negative and NaN scales give 2 x 2") {
    CHECK(downscaled_size(3, 100, 0.5).width == 2);
    CHECK(downscaled_size(1, 100, 0.9).width == 2);
    CHECK(downscaled_size(640, 480, -1.0).width == 2);
    CHECK(downscaled_size(640, 480, -1.0).height == 2);
    CHECK(downscaled_size(640, 480, std::nan("")).width == 2);
    CHECK(downscaled_size(640, 480, 0.0).height == 2);
    // Caps at the last row and column when the size was raised.
    CHECK(source_index(1, 0.1, 3) == 2);
    CHECK(gaussian_kernel(-0.5).size() == 1);
    CHECK(gaussian_kernel(-0.5)[0] == 1.0);
}

TEST_CASE_TEMPLATE("downscale equals the full two-pass blur bit for bit, on every kernel path", P, EVERY_PATH) {
    detector_test::HoldPath hold(P::isa);
    if (!hold.runs) return;
    struct Case {
        std::size_t w, h;
        double scale;
    };
    const Case cases[] = {{64, 48, 0.8}, {57, 31, 0.5}, {40, 41, 0.25}, {33, 20, 0.37},
                          {3, 9, 0.5},   {5, 4, 0.9},   {19, 7, 0.1},   {12, 12, -2.0}};
    std::uint32_t seed = 1;
    for (const Case& c : cases) {
        CAPTURE(c.w);
        CAPTURE(c.h);
        CAPTURE(c.scale);
        const std::vector<double> img = random_image(c.w, c.h, seed++);
        std::size_t w_ref, h_ref;
        const std::vector<double> ref = reference_downscale(img, c.w, c.h, c.scale, w_ref, h_ref);
        const Downscaled got = downscale(img.data(), c.w, c.h, c.scale);
        REQUIRE(got.width == w_ref);
        REQUIRE(got.height == h_ref);
        std::size_t differ = 0;
        for (std::size_t i = 0; i < ref.size(); ++i) differ += !same_bits(ref[i], got.image[i]);
        CHECK(differ == 0);
    }
}

TEST_CASE("a row blurred at the kept columns is the plain sum, with vectors of every width") {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> value(-300.0, 300.0);
    // Scales whose kept columns are dense, sparse or repeated at the end, and
    // rows whose last vectors run into the end of the source.
    const double scales[] = {0.8, 0.5, 0.37, 0.25, 0.9, 0.1};
    const std::size_t widths[] = {1, 2, 3, 4, 5, 7, 8, 9, 31, 64, 65, 203};
    for (double scale : scales) {
        const Buffer<double> kernel = gaussian_kernel(scale);
        const std::size_t taps = kernel.size(), half = taps / 2;
        for (std::size_t w_in : widths) {
            CAPTURE(scale);
            CAPTURE(w_in);
            const std::size_t len = w_in + 2 * half;
            std::vector<double> src(len);
            for (double& v : src) v = value(rng);
            // An odd value now and then: signed zeros, a NaN, an infinity.
            if (len > 6) {
                src[len / 2] = -0.0;
                src[len / 3] = std::numeric_limits<double>::quiet_NaN();
                src[len - 2] = std::numeric_limits<double>::infinity();
            }
            const std::size_t n = downscaled_size(w_in, 3, scale).width;
            std::vector<std::size_t> columns(n);
            for (std::size_t x = 0; x < n; ++x) columns[x] = source_index(x, scale, w_in);
            std::vector<double> expect(n);
            for (std::size_t x = 0; x < n; ++x) {
                double acc = 0.0;
                for (std::size_t k = 0; k < taps; ++k) acc += kernel[k] * src[columns[x] + k];
                expect[x] = acc;
            }
            for (int lanes : {2, 4, 8}) {
                CAPTURE(lanes);
                std::vector<double> got(n, 12345.0);
                blur_at_columns(src.data(), len, columns.data(), n, kernel.data(), taps, got.data(), lanes);
                std::size_t differ = 0;
                for (std::size_t x = 0; x < n; ++x) differ += !same_bits(expect[x], got[x]);
                CHECK(differ == 0);
            }
        }
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
    const Downscaled d = downscale(img.data(), 50, 40, 0.3);
    for (double v : d.image) CHECK(v == doctest::Approx(200.0).epsilon(1e-14));
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
    std::uint32_t seed = 30;
    for (const Case& c : cases) {
        CAPTURE(c.w);
        CAPTURE(c.scale);
        const std::vector<double> img = random_image(c.w, c.h, seed++);
        const Downscaled small = downscale(img.data(), c.w, c.h, c.scale);
        const Buffer<Px> ref = level_line_field(small.image.data(), small.width, small.height, c.weak);
        const DownscaledField got = downscaled_level_line_field(img.data(), c.w, c.h, c.scale, c.weak);
        REQUIRE(got.width == small.width);
        REQUIRE(got.height == small.height);
        CHECK(std::memcmp(ref.data(), got.field.data(), ref.size() * sizeof(Px)) == 0);
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
