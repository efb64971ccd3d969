#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <limits>
#include <random>
#include <tuple>
#include <algorithm>
#include <vector>

#include "detector/detect.hpp"
#include "detector/nfa.hpp"
#include "sample/numeric.hpp"
#include "reference_stages.hpp"
#include "test_detector_support.hpp"

using namespace trevalin;
using detector_test::reference_count;
using detector_test::same_bits;

namespace {

// Whether count_aligned_tolerances, given r's tolerance and four smaller
// ones, disagrees with the reference for any of them.
bool tolerances_differ(const Rect& r, const std::vector<Px>& field, std::uint64_t w, std::uint64_t h) {
    double precs[kTolerances];
    for (std::size_t t = 0; t < kTolerances; ++t) precs[t] = r.prec / double(t + 1);
    std::uint64_t k[kTolerances];
    const std::uint64_t n = count_aligned_tolerances(r, precs, field.data(), w, h, kRho, k);
    bool differ = false;
    for (std::size_t t = 0; t < kTolerances; ++t) {
        Rect v = r;
        v.prec = precs[t];
        const AlignedCount ref = reference_count(v, field.data(), w, h, kRho);
        differ = differ || ref.n != n || ref.k != k[t];
    }
    return differ;
}

// Whether count_aligned_widths, given r's width narrowed as improve_rect
// narrows it, disagrees with the reference for any of the widths.
bool widths_differ(const Rect& r, const std::vector<Px>& field, std::uint64_t w, std::uint64_t h) {
    double widths[kWidths];
    for (std::size_t j = 0; j < kWidths; ++j) widths[j] = r.width - 0.5 * double(j + 1);
    AlignedCount got[kWidths];
    count_aligned_widths(r, widths, field.data(), w, h, kRho, got);
    bool differ = false;
    for (std::size_t j = 0; j < kWidths; ++j) {
        Rect v = r;
        v.width = widths[j];
        const AlignedCount ref = reference_count(v, field.data(), w, h, kRho);
        differ = differ || ref.n != got[j].n || ref.k != got[j].k;
    }
    return differ;
}

Rect axis_rect(double x1, double y1, double x2, double y2, double width) {
    const double len = std::hypot(x2 - x1, y2 - y1);
    return Rect{x1, y1, x2, y2, width, (x2 - x1) / len, (y2 - y1) / len, 0.39269908169872414, 0.125};
}

}  // namespace

TEST_CASE_TEMPLATE("count_aligned finds exactly the pixels of the test of every pixel, on every kernel path", P, EVERY_PATH) {
    test_paths::HoldPath hold(P::isa);
    if (!hold.runs) return;
    const std::uint64_t w = 97, h = 83;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> angle(-std::numbers::pi_v<float>, std::numbers::pi_v<float>);
    std::uniform_real_distribution<float> strength(0.0f, 12.0f);
    std::vector<Px> field(w * h);
    for (Px& p : field) {
        const float a = angle(rng);
        p = {strength(rng), std::cos(a), std::sin(a)};
    }
    std::uniform_real_distribution<double> pos(-20.0, 117.0);
    std::uniform_real_distribution<double> dir(-std::numbers::pi, std::numbers::pi);
    std::uniform_real_distribution<double> wid(0.5, 9.0);
    std::uniform_real_distribution<double> tol(0.01, 0.8);
    std::size_t mismatches = 0, nonempty = 0;
    for (int i = 0; i < 4000; ++i) {
        Rect r{};
        r.x1 = pos(rng);
        r.y1 = pos(rng);
        double theta = dir(rng);
        if (i % 10 == 0) theta = std::round(theta / 1.5707963267948966) * 1.5707963267948966;  // near the axes
        const double len = (i % 7 == 0) ? 0.0 : pos(rng) + 20.0;
        r.dx = std::cos(theta);
        r.dy = std::sin(theta);
        if (i % 13 == 0) r.dx = 0.0, r.dy = 1.0;  // exact axes
        if (i % 17 == 0) r.dx = -1.0, r.dy = 0.0;
        r.x2 = r.x1 + len * r.dx;
        r.y2 = r.y1 + len * r.dy;
        if (i % 5 == 0) r.x1 = std::round(r.x1), r.x2 = std::round(r.x2), r.y1 = std::round(r.y1), r.y2 = std::round(r.y2);
        r.width = (i % 3 == 0) ? std::round(wid(rng)) : wid(rng);
        r.prec = tol(rng);
        r.p = 0.125;
        const AlignedCount ref = reference_count(r, field.data(), w, h, kRho);
        const AlignedCount got = count_aligned(r, field.data(), w, h, kRho);
        mismatches +=
            ref.n != got.n || ref.k != got.k || tolerances_differ(r, field, w, h) || widths_differ(r, field, w, h);
        nonempty += ref.n > 0;
    }
    CHECK(mismatches == 0);
    CHECK(nonempty > 1000);
}

TEST_CASE("narrow boxes count as the test of every pixel, with special records and non-finite axes") {
    // Boxes up to a dozen pixels wide at every column offset, so that rows
    // split into groups of four and a remainder in every way.
    const std::uint64_t w = 41, h = 37;
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> angle(-std::numbers::pi_v<float>, std::numbers::pi_v<float>);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    std::vector<Px> field(w * h);
    for (Px& p : field) {
        const float a = angle(rng);
        p = {float(rng() % 24) * 0.25f, std::cos(a), std::sin(a)};
        switch (rng() % 10) {
            case 0: p.norm = kRho; break;
            case 1: p.norm = nan; break;
            case 2: p.ux = nan; break;
            case 3: p = {inf, 1.0f, 0.0f}; break;
            case 4: p = {5.0f, 0.0f, 1.0f}; break;
            default: break;
        }
    }
    std::uniform_real_distribution<double> pos(-3.0, 44.0), dir(-std::numbers::pi, std::numbers::pi);
    std::uniform_real_distribution<double> len(0.0, 9.0), wid(0.5, 5.0), tol(0.01, 0.8);
    std::size_t mismatches = 0, nonempty = 0;
    for (int i = 0; i < 6000; ++i) {
        Rect r{};
        const double theta = dir(rng), l = len(rng);
        r.dx = std::cos(theta);
        r.dy = std::sin(theta);
        if (i % 11 == 0) r.dx = 1.0, r.dy = 0.0;
        if (i % 23 == 0) r.dx = std::numeric_limits<double>::infinity();
        if (i % 29 == 0) r.dy = std::numeric_limits<double>::quiet_NaN();
        r.x1 = pos(rng);
        r.y1 = pos(rng);
        r.x2 = r.x1 + l * std::cos(theta);
        r.y2 = r.y1 + l * std::sin(theta);
        if (i % 4 == 0) r.x1 = std::round(r.x1), r.x2 = std::round(r.x2), r.y1 = std::round(r.y1), r.y2 = std::round(r.y2);
        r.width = (i % 3 == 0) ? std::round(wid(rng)) : wid(rng);
        r.prec = tol(rng);
        r.p = 0.125;
        const AlignedCount ref = reference_count(r, field.data(), w, h, kRho);
        const AlignedCount got = count_aligned(r, field.data(), w, h, kRho);
        mismatches +=
            ref.n != got.n || ref.k != got.k || tolerances_differ(r, field, w, h) || widths_differ(r, field, w, h);
        nonempty += ref.k > 0;
    }
    CHECK(mismatches == 0);
    CHECK(nonempty > 500);
}

TEST_CASE("pixels on the boundary are inside; pixels outside the image do not count") {
    std::vector<Px> field(20 * 10, Px{10.0f, 1.0f, 0.0f});
    // Centre (4, 3), half-length 2, half-width 1: x 2..6, y 2..4.
    const Rect r = axis_rect(2.0, 3.0, 6.0, 3.0, 2.0);
    const AlignedCount c = count_aligned(r, field.data(), 20, 10, kRho);
    CHECK(c.n == 15);
    CHECK(c.k == 15);
    // The same rectangle moved so that half of it hangs over the left edge.
    const Rect out = axis_rect(-2.0, 3.0, 2.0, 3.0, 2.0);
    CHECK(count_aligned(out, field.data(), 20, 10, kRho).n == 9);
    // Wholly outside, or with an empty box.
    CHECK(count_aligned(axis_rect(30.0, 3.0, 40.0, 3.0, 2.0), field.data(), 20, 10, kRho).n == 0);
    }

TEST_CASE("alignment: norm strictly above rho, dot product at least cos(prec) in single precision") {
    const Rect r = axis_rect(0.0, 0.0, 3.0, 0.0, 1.0);  // pixels (0..3, 0)
    const float cp = float(std::cos(r.prec));
    std::vector<Px> field(4 * 1);
    field[0] = {kRho, 1.0f, 0.0f};                               // norm at rho: counted, not aligned
    field[1] = {10.0f, cp, 0.0f};                                // dot exactly cp: aligned
    field[2] = {10.0f, std::nextafter(cp, 0.0f), 0.0f};          // just below
    field[3] = {std::nextafter(kRho, 10.0f), 1.0f, 0.0f};        // just above rho
    const AlignedCount c = count_aligned(r, field.data(), 4, 1, kRho);
    CHECK(c.n == 4);
    CHECK(c.k == 2);
}

TEST_CASE_TEMPLATE("runs of every length and start count as the test of every pixel, with records at every edge of the test, on every kernel path", P, EVERY_PATH) {
    test_paths::HoldPath hold(P::isa);
    if (!hold.runs) return;
    // One row of records near every edge of the alignment test: norms at and
    // around rho, NaN and infinite components, dot products at cp exactly, and
    // random ones. A rectangle wide across the row and centred on it takes a
    // run of the row along its axis; the box spans the row, so the run search
    // and the run counting serve it.
    const std::uint64_t w = 56;
    std::mt19937 rng(23);
    std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    std::size_t mismatches = 0, aligned = 0;
    for (int round = 0; round < 60; ++round) {
        const double a = angle(rng);
        const double dx = round % 6 == 0 ? 1.0 : std::cos(a), dy = round % 6 == 0 ? 0.0 : std::sin(a);
        const double prec = 0.05 + 0.01 * double(round);
        const float cp = float(std::cos(prec)), dxs = float(dx), dys = float(dy);
        std::vector<Px> row(w);
        for (Px& q : row) {
            const double b = angle(rng);
            q = {float(rng() % 40) * 0.125f, float(std::cos(b)), float(std::sin(b))};
            switch (rng() % 12) {
                case 0: q.norm = kRho; break;
                case 1: q.norm = std::nextafter(kRho, 100.0f); break;
                case 2: q.norm = nan; break;
                case 3: q.ux = nan; break;
                case 4: q.uy = inf; break;
                case 5: q = {10.0f, dxs, dys}; break;
                case 6: q = {10.0f, dx == 1.0 ? cp : dxs, dx == 1.0 ? 0.0f : dys}; break;
                case 7: q = {10.0f, -0.0f, -0.0f}; break;
                default: break;
            }
        }
        for (std::size_t first = 0; first < 4; ++first)
            for (std::size_t len = 0; first + len <= w; ++len) {
                const double xc = double(first) + 0.5 * double(len) - 0.5, hl = 0.5 * double(len) * std::fabs(dx);
                const Rect r{xc - hl * dx, -hl * dy, xc + hl * dx, hl * dy, 1e3, dx, dy, prec, 0.125};
                const AlignedCount ref = reference_count(r, row.data(), w, 1, kRho);
                const AlignedCount got = count_aligned(r, row.data(), w, 1, kRho);
                mismatches += ref.n != got.n || ref.k != got.k || tolerances_differ(r, row, w, 1);
                aligned += ref.k;
            }
    }
    CHECK(mismatches == 0);
    CHECK(aligned > 10000);
}

TEST_CASE("binomial scores") {
    // All aligned: -logNT - n log10 p.
    CHECK(binomial_log_nfa(10, 10, 0.125, 8.0) == doctest::Approx(10 * 0.9030899869919435 - 8.0));
    CHECK(same_bits(binomial_log_nfa(10, 10, 0.125, 8.0), -8.0 - std::log10(0.125) * 10.0));
    // Nothing inside or nothing aligned.
    CHECK(binomial_log_nfa(0, 0, 0.125, 8.0) == -8.0);
    CHECK(binomial_log_nfa(500, 0, 0.125, 8.0) == -8.0);
    // The tail agrees with a direct sum of the binomial terms (the early stop
    // keeps the error within a tenth of the score).
    for (auto nk : {std::pair{20, 5}, {50, 20}, {200, 60}, {1000, 300}, {1000, 100}, {37, 36}}) {
        const int n = nk.first, k = nk.second;
        double tail = 0.0;
        for (int i = k; i <= n; ++i)
            tail += std::exp(std::lgamma(n + 1.0) - std::lgamma(i + 1.0) - std::lgamma(n - i + 1.0) +
                             i * std::log(0.125) + (n - i) * std::log(0.875));
        const double expected = -std::log10(tail) - 8.0;
        CAPTURE(n);
        CAPTURE(k);
        CHECK(binomial_log_nfa(n, k, 0.125, 8.0) == doctest::Approx(expected).epsilon(0.02));
    }
    // Underflow of the first term: beyond the mean the term stands for the
    // tail, below it the score is -logNT.
    const double l = log_gamma(10001.0) - log_gamma(9001.0) - log_gamma(1001.0) + std::log(0.125) * 9000.0 +
                     std::log(0.875) * 1000.0;
    REQUIRE(std::exp(l) == 0.0);
    CHECK(same_bits(binomial_log_nfa(10000, 9000, 0.125, 8.0), l / -2.302585092994046 - 8.0));
    CHECK(binomial_log_nfa(10000, 1, 0.125, 8.0) == -8.0);
}

TEST_CASE("remembered scores are the scores, whatever the order and the slot collisions") {
    // Far more distinct inputs than slots, each asked for several times in
    // a shuffled order, with p halved as improve_rect halves it.
    const double log_nt = 14.2754;
    NfaMemo memo(log_nt);
    std::vector<std::tuple<std::uint64_t, std::uint64_t, double>> asks;
    std::mt19937 rng(5);
    for (std::uint64_t n : {0u, 1u, 2u, 7u, 30u, 31u})
        for (std::uint64_t k = 0; k <= n; ++k) asks.emplace_back(n, k, 0.125);
    for (int i = 0; i < 6000; ++i) {
        const std::uint64_t n = 1 + rng() % 3000, k = rng() % (n + 1);
        asks.emplace_back(n, k, std::ldexp(0.125, -int(rng() % 6)));
    }
    std::vector<std::size_t> order;
    for (int pass = 0; pass < 3; ++pass)
        for (std::size_t i = 0; i < asks.size(); ++i) order.push_back(i);
    std::shuffle(order.begin(), order.end(), rng);
    CHECK(asks.size() > 4096);
    for (std::size_t i : order) {
        const auto& ask = asks[i];
        const auto n = std::get<0>(ask);
        const auto k = std::get<1>(ask);
        const auto p = std::get<2>(ask);
        CAPTURE(n);
        CAPTURE(k);
        CAPTURE(p);
        CHECK(same_bits(memo(n, k, p), binomial_log_nfa(n, k, p, log_nt)));
    }
}

TEST_CASE("log_gamma switches from Lanczos to Windschitl at 15 and stays close to lgamma") {
    for (double x : {0.5, 1.0, 2.0, 3.5, 10.0, 14.999, 15.0, 15.001, 40.0, 1000.0, 1e6}) {
        CAPTURE(x);
        CHECK(log_gamma(x) == doctest::Approx(std::lgamma(x)).epsilon(1e-9));
    }
    const double x = 15.0;
    const double windschitl = std::log(x) * (x - 0.5) + 0.918938533204673 - x +
                              (0.5 * x) * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * std::pow(x, 6)));
    CHECK(log_gamma(15.0) == doctest::Approx(windschitl).epsilon(1e-15));
    CHECK(log_gamma(14.999) != doctest::Approx(log_gamma(15.0)).epsilon(1e-12));
}
