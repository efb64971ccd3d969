#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "sample/filter.hpp"
#include "warp/sampler.hpp"

using namespace trevalin;

namespace {

const Buffer<Lanczos3Weights>& table() {
    static const Buffer<Lanczos3Weights> t = lanczos3_table();
    return t;
}

template <class T, int C>
struct Sampler {
    std::vector<T> src;
    std::size_t w, h;

    // Samples at (x, y) into a pixel prefilled with `fill`; returns the pixel.
    std::vector<T> at(Filter f, double x, double y, T fill = 77) const {
        std::vector<T> px(C, fill);
        if (f == Filter::Bilinear)
            sample_bilinear<T, C>(src.data(), src.size(), w, h, px.data(), x, y);
        else
            sample_lanczos3<T, C>(src.data(), src.size(), w, h, px.data(), x, y, table().data(), table().size());
        return px;
    }
    std::vector<T> pixel(std::size_t x, std::size_t y) const {
        return std::vector<T>(src.begin() + (y * w + x) * C, src.begin() + (y * w + x + 1) * C);
    }
};

// A w x h image of distinct-looking values covering the whole sample range.
template <class T, int C>
Sampler<T, C> pattern(std::size_t w, std::size_t h) {
    Sampler<T, C> s{std::vector<T>(w * h * C), w, h};
    std::uint32_t state = 12345;
    for (auto& v : s.src) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<T>(state >> 16);
    }
    return s;
}

template <class T, int C>
Sampler<T, C> constant(std::size_t w, std::size_t h, T value) {
    return Sampler<T, C>{std::vector<T>(w * h * C, value), w, h};
}

const Filter filters[] = {Filter::Bilinear, Filter::Lanczos3};

}  // namespace

TEST_CASE("the Lanczos-3 table") {
    const auto& t = table();
    REQUIRE(t.size() == 1025);
    // Fraction 0 puts (almost) all weight on offset 0, fraction 1 on offset +1.
    CHECK(t[0].tap[2] == doctest::Approx(1.0).epsilon(1e-15));
    CHECK(t[1024].tap[3] == doctest::Approx(1.0).epsilon(1e-15));
    for (int k : {0, 1, 3, 4, 5}) CHECK(std::fabs(t[0].tap[k]) < 1e-15);
    for (int k : {0, 1, 2, 4, 5}) CHECK(std::fabs(t[1024].tap[k]) < 1e-15);
    const double mid[6] = {0.0244565, -0.13587, 0.611413, 0.611413, -0.13587, 0.0244565};
    for (int k = 0; k < 6; ++k) CHECK(t[512].tap[k] == doctest::Approx(mid[k]).epsilon(1e-5));
    CHECK(t[512].tap[0] == t[512].tap[5]);
    CHECK(t[512].tap[2] == t[512].tap[3]);
    for (std::size_t i = 0; i < t.size(); i += 31) {
        double sum = 0;
        for (double v : t[i].tap) sum += v;
        CHECK(sum == doctest::Approx(1.0).epsilon(1e-14));
    }
}

TEST_CASE("table index rounds halves away from zero") {
    for (std::size_t k : {0u, 1u, 511u, 1023u}) {
        double half = (static_cast<double>(k) + 0.5) / 1024.0;
        CHECK(lanczos3_index(half) == k + 1);
        CHECK(lanczos3_index(std::nextafter(half, 0.0)) == k);
    }
    CHECK(lanczos3_index(std::nextafter(1.0, 0.0)) == 1024);
    // Through the sampler: a unit step seen at fraction (k + 0.5) / 1024 uses
    // entry k + 1, i.e. the same value as the next representable fraction.
    auto s = constant<std::uint16_t, 1>(8, 8, 0);
    for (std::size_t y = 0; y < 8; ++y)
        for (std::size_t x = 4; x < 8; ++x) s.src[y * 8 + x] = 65535;
    double x = 3.0 + 300.5 / 1024.0;
    CHECK(s.at(Filter::Lanczos3, x, 3.0) == s.at(Filter::Lanczos3, 3.0 + 301.0 / 1024.0, 3.0));
    CHECK(s.at(Filter::Lanczos3, x, 3.0) != s.at(Filter::Lanczos3, 3.0 + 300.0 / 1024.0, 3.0));
}

TEST_CASE_TEMPLATE("grid points return the pixel exactly", T, std::uint8_t, std::uint16_t) {
    auto s1 = pattern<T, 1>(9, 7);
    auto s3 = pattern<T, 3>(9, 7);
    for (Filter f : filters)
        for (std::size_t y = 0; y < 7; ++y)
            for (std::size_t x = 0; x < 9; ++x) {
                CHECK(s1.at(f, double(x), double(y)) == s1.pixel(x, y));
                CHECK(s3.at(f, double(x), double(y)) == s3.pixel(x, y));
            }
}

TEST_CASE_TEMPLATE("a constant image stays constant up to the outer edge", T, std::uint8_t, std::uint16_t) {
    const T value = static_cast<T>(sample_max<T> * 0.7);
    auto s = constant<T, 3>(10, 8, value);
    const std::vector<T> expect(3, value);
    const double xs[] = {-0.5, -0.3, 0.0, 0.25, 1.7, 4.5, 8.9, 9.2, 9.5};
    const double ys[] = {-0.5, -0.01, 0.5, 3.3, 6.999, 7.25, 7.5};
    for (Filter f : filters)
        for (double x : xs)
            for (double y : ys) CHECK(s.at(f, x, y) == expect);
}

TEST_CASE("inside limits are inclusive, anything beyond is untouched") {
    auto s = pattern<std::uint8_t, 3>(5, 4);
    const double w = 5, h = 4;
    // Written pixels do not depend on what the output held before.
    auto written = [&](Filter f, double x, double y) { return s.at(f, x, y, 0) == s.at(f, x, y, 255); };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (Filter f : filters) {
        CAPTURE(f);
        CHECK(written(f, -0.5, 1.0));
        CHECK(written(f, w - 0.5, 1.0));
        CHECK(written(f, 2.0, -0.5));
        CHECK(written(f, 2.0, h - 0.5));
        CHECK(written(f, -0.5, h - 0.5));
        CHECK(!written(f, std::nextafter(-0.5, -1.0), 1.0));
        CHECK(!written(f, std::nextafter(w - 0.5, 9.0), 1.0));
        CHECK(!written(f, 2.0, std::nextafter(-0.5, -1.0)));
        CHECK(!written(f, 2.0, std::nextafter(h - 0.5, 9.0)));
        CHECK(!written(f, nan, 1.0));
        CHECK(!written(f, 1.0, nan));
        CHECK(!written(f, inf, 1.0));
        CHECK(!written(f, 1.0, -inf));
    }
    CHECK(s.at(Filter::Bilinear, -0.5, 1.0) == s.pixel(0, 1));
    CHECK(s.at(Filter::Bilinear, w - 0.5, h - 0.5) == s.pixel(4, 3));
}

TEST_CASE("an empty source is never sampled") {
    for (Filter f : filters) {
        for (auto wh : {std::pair<std::size_t, std::size_t>{0, 3}, {3, 0}, {0, 0}}) {
            Sampler<std::uint8_t, 1> s{{}, wh.first, wh.second};
            for (double p : {-0.5, 0.0, 0.3, 2.0})
                CHECK(s.at(f, p, p) == std::vector<std::uint8_t>{77});
        }
    }
}

TEST_CASE("bilinear in the half-pixel border uses the edge pixel alone") {
    auto s = pattern<std::uint16_t, 3>(6, 5);
    for (std::size_t j = 0; j < 5; ++j) {
        CHECK(s.at(Filter::Bilinear, -0.25, double(j)) == s.pixel(0, j));
        CHECK(s.at(Filter::Bilinear, 6 - 0.75, double(j)) == s.pixel(5, j));
    }
    for (std::size_t i = 0; i < 6; ++i) CHECK(s.at(Filter::Bilinear, double(i), 4.4) == s.pixel(i, 4));
}

TEST_CASE("bilinear weights and rounding") {
    // Two pixels 10 and 20: x = 0.25 gives 12.5, stored as 13 (halves round up).
    Sampler<std::uint8_t, 1> s{{10, 20}, 2, 1};
    CHECK(s.at(Filter::Bilinear, 0.25, 0.0)[0] == 13);
    CHECK(s.at(Filter::Bilinear, 0.5, 0.2)[0] == 15);
    CHECK(s.at(Filter::Bilinear, 0.74, 0.0)[0] == 17);
}

TEST_CASE("a source one pixel wide or high uses its single column or row") {
    auto col = pattern<std::uint8_t, 3>(1, 6);
    auto row = pattern<std::uint8_t, 3>(6, 1);
    for (Filter f : filters)
        for (std::size_t k = 0; k < 6; ++k)
            for (double d : {-0.5, -0.2, 0.0, 0.4, 0.5}) {
                CHECK(col.at(f, d, double(k)) == col.pixel(0, k));
                CHECK(row.at(f, double(k), d) == row.pixel(k, 0));
            }
}

TEST_CASE_TEMPLATE("Lanczos-3 saturates at 0 and MAX beside a step", T, std::uint8_t, std::uint16_t) {
    const T top = static_cast<T>(sample_max<T>);
    auto s = constant<T, 1>(16, 3, 0);
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 8; x < 16; ++x) s.src[y * 16 + x] = top;
    // The negative lobes undershoot left of the step and overshoot right of it.
    bool low = false, high = false;
    for (int k = 0; k <= 64; ++k) {
        double x = 5.0 + k / 16.0;
        T v = s.at(Filter::Lanczos3, x, 1.0)[0];
        if (x <= 7.0) CHECK(v <= top / 10);
        if (x >= 8.0) CHECK(v >= top - top / 10);
        low |= v == 0 && x > 6.0 && x < 7.0;
        high |= v == top && x > 8.0 && x < 9.0;
    }
    CHECK(low);
    CHECK(high);
}
