#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "detector/detect.hpp"
#include "detector/downscale.hpp"
#include "detector/downscaled_field.hpp"
#include "detector/improve_rect.hpp"
#include "detector/level_line_field.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "pool/pool.hpp"
#include "reference_stages.hpp"
#include "test_detector_support.hpp"

using namespace trevalin;
using detector_test::downscale;
using detector_test::seeds_by_norm;
using detector_test::field_segments;
using detector_test::loop_segments;
using detector_test::grow_region;
using detector_test::refine;
using detector_test::Downscaled;
using detector_test::random_image;

namespace {

template <class T>
std::vector<Segment> run(const std::vector<T>& img, std::uint64_t w, std::uint64_t h, double scale) {
    auto out = detect(img.data(), img.size(), w, h, scale);
    REQUIRE(std::holds_alternative<std::vector<Segment>>(out));
    return std::get<std::vector<Segment>>(out);
}

bool same_segments(const std::vector<Segment>& a, const std::vector<Segment>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Segment)) == 0);
}

// The pipeline step by step on the full field: every record computed, the
// used map preset in one loop, the seed loop and a stable sort by length.
std::vector<Segment> reference_detect(const std::vector<double>& img, std::size_t w, std::size_t h, double scale) {
    Downscaled small{};
    const double* work = img.data();
    double factor = 1.0;
    if (scale < 1.0) {
        small = downscale(img.data(), w, h, scale);
        if (small.width < 3 || small.height < 3) return {};
        work = small.image.data();
        w = small.width;
        h = small.height;
        factor = 1.0 / scale;
    }
    const Buffer<Px> field = level_line_field(work, w, h);
    const double nt = log_nt(w, h);
    const std::uint64_t min_size = min_region_size(nt);
    const Buffer<std::uint32_t> seeds = seeds_by_norm(field.data(), w * h, kRho);
    std::vector<std::uint8_t> used(w * h);
    for (std::size_t i = 0; i < w * h; ++i) used[i] = field[i].norm <= kRho;
    std::vector<std::uint32_t> region;
    std::vector<Segment> out;
    for (std::uint32_t s : seeds) {
        if (used[s]) continue;
        const double a = grow_region(s, field.data(), used.data(), region, kTau, w, h);
        if (region.size() < min_size) continue;
        Rect r = region_to_rect(region, field.data(), w, a, 0.125);
        if (!refine(region, r, used.data(), field.data(), min_size, w, h)) continue;
        const double score = improve_rect(r, field.data(), w, h, kRho, nt);
        if (!(score > 0.0)) continue;
        out.push_back({(r.x1 + 0.5) * factor, (r.y1 + 0.5) * factor, (r.x2 + 0.5) * factor, (r.y2 + 0.5) * factor,
                       r.width * factor, r.p, score});
    }
    auto length = [](const Segment& s) { return std::hypot(s.x2 - s.x1, s.y2 - s.y1); };
    std::stable_sort(out.begin(), out.end(), [&](const Segment& a, const Segment& b) { return length(a) > length(b); });
    return out;
}

// A dark image with a bright rectangle, a bright disc and two thin lines.
std::vector<double> shapes(std::size_t w, std::size_t h) {
    std::vector<double> img(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            double v = 40.0;
            if (x >= w / 5 && x < w / 2 && y >= h / 4 && y < 3 * h / 4) v = 200.0;
            const double dx = double(x) - 0.75 * double(w), dy = double(y) - 0.5 * double(h);
            if (dx * dx + dy * dy < double(h * h) / 25.0) v = 160.0;
            if ((x + 3 * y) % 97 == 0 || (2 * x + y) % 131 < 2) v = 230.0;
            img[y * w + x] = v;
        }
    return img;
}

std::uint64_t digest(const std::vector<Segment>& segs) {
    std::uint64_t hash = 1469598103934665603ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(segs.data());
    for (std::size_t i = 0; i < segs.size() * sizeof(Segment); ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

}  // namespace

TEST_CASE("size checks and small images") {
    const std::vector<std::uint8_t> img(12, 0);
    auto bad = detect(img.data(), 10, 4, 3, 1.0);
    REQUIRE(std::holds_alternative<SizeMismatch>(bad));
    CHECK(std::get<SizeMismatch>(bad).expected == 12);
    CHECK(std::get<SizeMismatch>(bad).got == 10);
    CHECK(to_string(std::get<SizeMismatch>(bad)) == "SizeMismatch { expected: 12, got: 10 }");
    // The size check comes first, also for images too small to analyse.
    auto narrow = detect(img.data(), 5, 2, 3, 1.0);
    REQUIRE(std::holds_alternative<SizeMismatch>(narrow));
    CHECK(std::get<SizeMismatch>(narrow).expected == 6);
    CHECK(run(std::vector<std::uint8_t>(2 * 50, 7), 2, 50, 1.0).empty());
    CHECK(run(std::vector<std::uint8_t>(3 * 10, 7), 3, 10, 0.8).empty());  // 3 * 0.8 < 3
    CHECK(run(std::vector<std::uint8_t>(60 * 40, 90), 60, 40, 1.0).empty());  // constant: no seeds
}

TEST_CASE("number of tests and smallest region") {
    CHECK(log_nt(512, 384) == doctest::Approx(14.2754).epsilon(1e-5));
    const std::pair<std::uint64_t, std::uint64_t> sizes[] = {{3, 3}, {100, 100}, {512, 384}, {640, 480}, {1920, 1080}};
    const std::uint64_t expected[] = {4, 13, 16, 17, 19};
    for (std::size_t i = 0; i < 5; ++i) CHECK(min_region_size(log_nt(sizes[i].first, sizes[i].second)) == expected[i]);
}

TEST_CASE_TEMPLATE("detect equals the step-by-step pipeline bit for bit, on every kernel path", P, EVERY_PATH) {
    test_paths::HoldPath hold(P::isa);
    if (!hold.runs) return;
    const struct {
        std::size_t w, h;
        double scale;
    } cases[] = {{160, 120, 1.0}, {160, 120, 0.8}, {203, 151, 0.5}, {97, 131, 0.63}, {120, 90, 2.0}};
    for (const auto& c : cases) {
        CAPTURE(c.w);
        CAPTURE(c.scale);
        for (std::uint32_t seed : {1u, 2u}) {
            std::vector<double> img = seed == 1 ? shapes(c.w, c.h) : random_image(c.w, c.h, seed);
            const std::vector<Segment> got = run(img, c.w, c.h, c.scale);
            CHECK(!got.empty());
            CHECK(same_segments(got, reference_detect(img, c.w, c.h, c.scale)));
        }
    }
}

TEST_CASE("a bright rectangle gives segments along its edges, longest first") {
    const std::size_t w = 100, h = 80;
    std::vector<std::uint8_t> img(w * h, 50);
    for (std::size_t y = 20; y < 60; ++y)
        for (std::size_t x = 20; x < 80; ++x) img[y * w + x] = 200;
    for (double scale : {1.0, 0.8}) {
        CAPTURE(scale);
        const std::vector<Segment> segs = run(img, w, h, scale);
        REQUIRE(segs.size() >= 4);
        double previous = std::numeric_limits<double>::infinity();
        for (const Segment& s : segs) {
            const double len = std::hypot(s.x2 - s.x1, s.y2 - s.y1);
            CHECK(len <= previous);
            previous = len;
            CHECK(s.log_nfa > 0.0);
            const bool on_vertical = std::fabs(s.x1 - s.x2) < 1.5 &&
                                      (std::fabs(s.x1 - 19.5) < 1.5 || std::fabs(s.x1 - 79.5) < 1.5);
            const bool on_horizontal = std::fabs(s.y1 - s.y2) < 1.5 &&
                                        (std::fabs(s.y1 - 19.5) < 1.5 || std::fabs(s.y1 - 59.5) < 1.5);
            CHECK((on_vertical || on_horizontal));
        }
        CHECK(std::hypot(segs[0].x2 - segs[0].x1, segs[0].y2 - segs[0].y1) > 40.0);
    }
}

TEST_CASE("all sample types give the same segments") {
    const std::size_t w = 150, h = 110;
    const std::vector<double> f64 = shapes(w, h);
    std::vector<std::uint8_t> u8(w * h);
    std::vector<std::uint16_t> u16(w * h);
    std::vector<float> f32(w * h);
    for (std::size_t i = 0; i < w * h; ++i) {
        u8[i] = std::uint8_t(f64[i]);
        u16[i] = std::uint16_t(u8[i] * 257);
        f32[i] = float(f64[i]);
    }
    for (double scale : {1.0, 0.8, 0.45}) {
        CAPTURE(scale);
        const std::vector<Segment> ref = run(f64, w, h, scale);
        CHECK(!ref.empty());
        CHECK(same_segments(run(u8, w, h, scale), ref));
        CHECK(same_segments(run(u16, w, h, scale), ref));
        CHECK(same_segments(run(f32, w, h, scale), ref));
    }
}

TEST_CASE("results do not depend on threads: concurrent calls agree with a lone call") {
    const std::size_t w = 240, h = 180;
    const std::vector<double> img = shapes(w, h);
    const std::vector<Segment> alone = run(img, w, h, 0.8);
    std::vector<std::vector<Segment>> results(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t)
        threads.emplace_back([&, t] { results[t] = std::get<0>(detect(img.data(), img.size(), w, h, 0.8)); });
    for (std::thread& t : threads) t.join();
    for (const auto& r : results) CHECK(same_segments(r, alone));
    // Printed so that runs with different RAYON_NUM_THREADS can be compared.
    MESSAGE("threads " << pool_thread_count() << " digest " << digest(alone) << " "
                       << digest(run(random_image(333, 251, 9), 333, 251, 0.8)));
}

namespace {

// Images on which neighbouring seeds' regions meet all the time.
std::vector<double> crowded(std::size_t w, std::size_t h, int kind) {
    std::vector<double> img(w * h);
    std::mt19937 rng(kind);
    std::normal_distribution<double> noise(0.0, 6.0);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const double u = 0.8 * x + 0.6 * y, v = -0.6 * x + 0.8 * y;
            double value = 0.0;
            switch (kind) {
                case 0: value = std::fmod(u, 5.0) < 2.0 ? 200.0 : 40.0; break;                          // dense lines
                case 1: value = (std::fmod(u, 7.0) < 2.0) != (std::fmod(v, 9.0) < 3.0) ? 210.0 : 30.0; break;  // crossings
                case 2: value = ((x / 16) + (y / 16)) % 2 ? 220.0 : 20.0; break;                           // checkerboard
                default: value = 128.0 + 2.0 * noise(rng) + (x % 23 < 2 || y % 19 < 2 ? 60.0 : 0.0); break;  // noise and a grid
            }
            img[y * w + x] = value + noise(rng);
        }
    return img;
}

}  // namespace

TEST_CASE("seeds grown ahead of the loop give the segments of the plain loop") {
    const struct {
        std::size_t w, h;
        double scale;
        int kind;
    } cases[] = {{240, 180, 1.0, -1}, {240, 180, 0.8, -1}, {301, 207, 0.7, -2}, {96, 64, 1.0, -3},
                 {320, 240, 1.0, 0},  {320, 240, 0.8, 1},  {256, 256, 1.0, 2},  {200, 150, 1.0, 3}};
    for (const auto& c : cases) {
        CAPTURE(c.w);
        CAPTURE(c.scale);
        CAPTURE(c.kind);
        const std::vector<double> img = c.kind == -1   ? shapes(c.w, c.h)
                                        : c.kind < -1 ? random_image(c.w, c.h, 3 - c.kind)
                                                      : crowded(c.w, c.h, c.kind);
        Buffer<Px> own;
        const Px* field;
        std::size_t w = c.w, h = c.h;
        DownscaledField small{};
        if (c.scale < 1.0) {
            small = downscaled_level_line_field(img.data(), c.w, c.h, c.scale, kRho);
            field = small.field.data();
            w = small.width;
            h = small.height;
        } else {
            own = level_line_field(img.data(), w, h, kRho);
            field = own.data();
        }
        const double factor = 1.0 / std::fmin(c.scale, 1.0);
        const std::vector<Segment> sequential = loop_segments(field, w, h, factor, 0);
        CHECK(sequential.size() > 3);
        CHECK(same_segments(field_segments(field, w, h, factor), run(img, c.w, c.h, c.scale)));
        for (std::size_t ahead : {1u, 2u, 3u, 17u}) {
            CAPTURE(ahead);
            CHECK(same_segments(loop_segments(field, w, h, factor, ahead), sequential));
        }
        // Several calls at once keep the pool busy, so that some of them grow
        // everything in the loop's own thread.
        std::vector<std::vector<Segment>> results(4);
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < results.size(); ++t)
            threads.emplace_back([&, t] { results[t] = loop_segments(field, w, h, factor, 1 + 7 * t); });
        for (std::thread& t : threads) t.join();
        for (const auto& r : results) CHECK(same_segments(r, sequential));
    }
}

TEST_CASE("odd scales never allocate a huge kernel and end with a list") {
    const std::size_t w = 64, h = 48;
    const std::vector<double> img = shapes(w, h);
    for (double scale : {0.0, 1e-300, 5e-324, -0.5, -std::numeric_limits<double>::infinity()})
        CHECK(run(img, w, h, scale).empty());
    // NaN and +inf do not downscale.
    CHECK(same_segments(run(img, w, h, std::nan("")), run(img, w, h, 1.0)));
    CHECK(same_segments(run(img, w, h, std::numeric_limits<double>::infinity()), run(img, w, h, 1.0)));
    // Just large enough for 3 x 3: the kernel stays within about 1.5 widths.
    CHECK(run(img, w, h, 3.0 / 48.0).size() <= 1);
}

namespace {

// What every list of segments of a w x h image holds, whatever the samples:
// end points on the image (the pixel centres of a downscaled image, scaled
// back, stay within it), a width of at least one analysed pixel, a finite
// score above 0, and the list longest first.
void check_well_formed(const std::vector<Segment>& segments, double w, double h, double scale) {
    const double pixel = scale < 1.0 ? 1.0 / scale : 1.0;
    double last = std::numeric_limits<double>::infinity();
    for (const Segment& s : segments) {
        for (double x : {s.x1, s.x2}) CHECK((x >= 0.0 && x <= w));
        for (double y : {s.y1, s.y2}) CHECK((y >= 0.0 && y <= h));
        CHECK((s.width >= pixel && std::isfinite(s.width)));
        CHECK((s.log_nfa > 0.0 && std::isfinite(s.log_nfa)));
        const double length = std::hypot(s.x2 - s.x1, s.y2 - s.y1);
        CHECK(length <= last);
        last = length;
    }
}

}  // namespace

TEST_CASE("extreme and non-finite samples end with a well-formed list") {
    const std::size_t w = 60, h = 50;
    // A step as high as single-precision norms allow, and one beyond them.
    std::vector<double> step(w * h, 0.0), beyond(w * h, 0.0);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = w / 2; x < w; ++x) {
            step[y * w + x] = 1e30;
            beyond[y * w + x] = 1e300;
        }
    // NaN and infinite samples over the first eight columns, clear of the shapes.
    const std::vector<double> clean = shapes(w, h);
    std::vector<double> nan_img = clean, inf_img = clean;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < 8; ++x)
            if ((x + y) % 3 == 0) {
                nan_img[y * w + x] = std::numeric_limits<double>::quiet_NaN();
                inf_img[y * w + x] = x % 2 ? std::numeric_limits<double>::infinity()
                                           : -std::numeric_limits<double>::infinity();
            }
    for (double scale : {1.0, 0.8}) {
        CAPTURE(scale);
        for (const std::vector<double>* img : {&step, &beyond}) {
            const std::vector<Segment> edge = run(*img, w, h, scale);
            REQUIRE(edge.size() == 1);
            check_well_formed(edge, w, h, scale);
            // Beyond the floats, the blurred columns beside the edge are held
            // at the same norm as the edge's and weigh as much in the fit.
            const double off = img == &step || scale == 1.0 ? 0.01 : 0.25;
            CHECK(std::fabs(edge[0].x1 - 29.5) < off);
            CHECK(std::fabs(edge[0].x2 - 29.5) < off);
        }
        const std::vector<Segment> with_nan = run(nan_img, w, h, scale), with_inf = run(inf_img, w, h, scale);
        CHECK(!with_nan.empty());
        check_well_formed(with_nan, w, h, scale);
        check_well_formed(with_inf, w, h, scale);
        // An infinite sample leaves its blocks without a direction, as a NaN one does.
        CHECK(same_segments(with_inf, with_nan));
        if (scale == 1.0) {
            // Unblurred, the samples reach only the records beside them.
            CHECK(same_segments(with_nan, run(clean, w, h, scale)));
            CHECK(same_segments(with_inf, run(clean, w, h, scale)));
        }
        // Infinities and zeros only: no block has a finite gradient to find.
        std::vector<float> f32(w * h, std::numeric_limits<float>::infinity());
        for (std::size_t i = 0; i < w * h; i += 3) f32[i] = 0.0f;
        CHECK(run(f32, w, h, scale).empty());
    }
    std::vector<double> all_inf(w * h, std::numeric_limits<double>::infinity());
    CHECK(run(all_inf, w, h, 1.0).empty());
}

TEST_CASE("working images of 2^32 pixels or more are refused before any allocation") {
    // The samples are never read: the size is refused first.
    const std::uint8_t dummy = 0;
    CHECK_THROWS_AS(detect(&dummy, std::uint64_t{1} << 32, 65536, 65536, 1.0), ImageTooLarge);
    CHECK_THROWS_WITH(detect(&dummy, std::uint64_t{1} << 32, 65536, 65536, 1.0),
                      "detect supports images of fewer than 2**32 pixels (after downscaling); got 65536 x 65536");
    CHECK_THROWS_AS(detect(&dummy, 10000000000ull, 100000, 100000, 0.9), ImageTooLarge);
    CHECK_THROWS_AS(detect(&dummy, 4900000000ull, 70000, 70000, 0.99), ImageTooLarge);
    // Shrunk below the limit, the same size would be accepted (not run here).
    CHECK(downscaled_size(100000, 100000, 0.6).width * downscaled_size(100000, 100000, 0.6).height <
          (std::uint64_t{1} << 32));
}

