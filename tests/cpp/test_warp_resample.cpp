#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <tuple>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "paths.hpp"
#include "sample/filter.hpp"
#include "warp/remap.hpp"
#include "warp/row_kernels.hpp"
#include "warp/sampler.hpp"
#include "warp/warp_rgb.hpp"

using namespace trevalin;

namespace {

template <class T_, int C_>
struct Kind {
    using T = T_;
    static constexpr int C = C_;
};
#define ALL_KINDS Kind<std::uint8_t, 1>, Kind<std::uint8_t, 3>, Kind<std::uint16_t, 1>, Kind<std::uint16_t, 3>

const Filter filters[] = {Filter::Bilinear, Filter::Lanczos3};
const double not_a_number = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();

template <class T>
struct Image {
    std::vector<T> px;
    std::size_t w, h;
};

template <class T, int C>
Image<T> random_image(std::size_t w, std::size_t h, std::mt19937& rng) {
    Image<T> im{std::vector<T>(w * h * C), w, h};
    // Flat patches and hard edges as well as noise, so that Lanczos sums
    // overshoot both ends of the range.
    std::uniform_int_distribution<int> pick(0, 3);
    std::uniform_int_distribution<std::uint32_t> any(0, std::numeric_limits<T>::max());
    for (auto& v : im.px) {
        int k = pick(rng);
        v = k == 0 ? T(0) : k == 1 ? std::numeric_limits<T>::max() : static_cast<T>(any(rng));
    }
    return im;
}

// The sampling arithmetic written out plainly, pixel by pixel.
template <class T, int C>
void reference_sample(const Image<T>& im, Filter f, double x, double y, T* out) {
    const std::size_t w = im.w, h = im.h;
    if (w == 0 || h == 0) return;
    if (!(x >= -0.5 && x <= double(w) - 0.5 && y >= -0.5 && y <= double(h) - 0.5)) return;
    auto tap = [&](double fi, int di, double fj, int dj, int c) {
        auto i = std::clamp<long long>(static_cast<long long>(fi) + di, 0, static_cast<long long>(w) - 1);
        auto j = std::clamp<long long>(static_cast<long long>(fj) + dj, 0, static_cast<long long>(h) - 1);
        return static_cast<double>(im.px[(j * w + i) * C + c]);
    };
    const double top = std::numeric_limits<T>::max();
    auto store = [&](double s) {
        double v = s + 0.5;
        v = v < 0 ? 0 : v > top ? top : v;
        return static_cast<T>(v);
    };
    double fx = std::floor(x), fy = std::floor(y);
    if (f == Filter::Bilinear) {
        double tx = x - fx, ty = y - fy;
        for (int c = 0; c < C; ++c)
            out[c] = store(((tap(fx, 0, fy, 0, c) * ((1 - tx) * (1 - ty)) + tap(fx, 1, fy, 0, c) * (tx * (1 - ty))) +
                            tap(fx, 0, fy, 1, c) * ((1 - tx) * ty)) +
                           tap(fx, 1, fy, 1, c) * (tx * ty));
        return;
    }
    static const Buffer<Lanczos3Weights> table = lanczos3_table();
    const double* wx = table[static_cast<std::size_t>(std::round(1024 * (x - fx)))].tap;
    const double* wy = table[static_cast<std::size_t>(std::round(1024 * (y - fy)))].tap;
    for (int c = 0; c < C; ++c) {
        double acc = 0;
        for (int j = 0; j < 6; ++j)
            for (int i = 0; i < 6; ++i) acc = acc + tap(fx, i - 2, fy, j - 2, c) * (wx[i] * wy[j]);
        out[c] = store(acc);
    }
}

template <class T, int C>
std::vector<T> reference_remap(const Image<T>& im, const std::vector<float>& mx, const std::vector<float>& my,
                               Filter f) {
    std::vector<T> out(mx.size() * C, 0);
    for (std::size_t k = 0; k < mx.size(); ++k) reference_sample<T, C>(im, f, mx[k], my[k], &out[k * C]);
    return out;
}

template <class T>
std::vector<T> reference_warp(const Image<T>& im, std::size_t out_w, std::size_t out_h, const double* m,
                              double scale, double off_x, double off_y, Filter f) {
    std::vector<T> out(out_w * out_h * 3, 0);
    for (std::size_t y = 0; y < out_h; ++y)
        for (std::size_t x = 0; x < out_w; ++x) {
            double u = double(x) / scale + off_x, v = double(y) / scale + off_y;
            double W = m[6] * u + (m[7] * v + m[8]);
            if (W == 0) continue;
            double sx = (m[0] * u + (m[1] * v + m[2])) / W, sy = (m[3] * u + (m[4] * v + m[5])) / W;
            reference_sample<T, 3>(im, f, sx, sy, &out[(y * out_w + x) * 3]);
        }
    return out;
}

// Source positions of every kind: inside, in the half-pixel border, exactly
// on and just beyond the limits, at the bottom-right corner (where the last
// tap ends the buffer), halfway table fractions, NaN, infinities, far away.
std::vector<float> random_map(std::size_t n, std::size_t size, std::mt19937& rng) {
    const float hi = float(size) - 0.5f;
    std::uniform_real_distribution<float> wide(-3.0f, float(size) + 2.0f);
    std::uniform_real_distribution<float> corner(float(size) - 3.5f, hi);
    std::uniform_int_distribution<int> kind(0, 15), cell(0, int(size) - 1), frac(0, 1023);
    std::vector<float> m(n);
    for (auto& v : m) {
        switch (kind(rng)) {
            case 0: v = -0.5f; break;
            case 1: v = hi; break;
            case 2: v = std::nextafter(-0.5f, -1.0f); break;
            case 3: v = std::nextafter(hi, 1e9f); break;
            case 4: v = float(not_a_number); break;
            case 5: v = kind(rng) < 8 ? float(infinity) : -float(infinity); break;
            case 6: v = float(cell(rng)); break;
            case 7: v = float(cell(rng)) + (float(frac(rng)) + 0.5f) / 1024.0f; break;
            case 8: v = 1e30f; break;
            case 9:
            case 10: v = corner(rng); break;
            default: v = wide(rng);
        }
    }
    return m;
}

template <class T>
const std::vector<T>& output(const Outcome<Buffer<T>>& r, std::vector<T>& keep) {
    REQUIRE(std::holds_alternative<Buffer<T>>(r));
    const auto& b = std::get<Buffer<T>>(r);
    keep.assign(b.begin(), b.end());
    return keep;
}

const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

}  // namespace

TEST_CASE_TEMPLATE("every row kernel matches the reference on random maps", K, ALL_KINDS) {
    const std::vector<Isa> paths = test_paths::offered_paths();
    using T = typename K::T;
    constexpr int C = K::C;
    std::mt19937 rng(7 + C * 10 + sizeof(T));
    // Sizes straddling the vector widths, a one-column source and sources too
    // small for the vector kernels.
    const std::pair<std::size_t, std::size_t> sizes[] = {{13, 11}, {1, 9}, {9, 1}, {2, 2}, {1, 1}, {40, 3}};
    for (auto size : sizes) {
        const std::size_t w = size.first, h = size.second;
        auto im = random_image<T, C>(w, h, rng);
        SourceImage<T> src{im.px.data(), im.px.size(), w, h};
        // Row lengths around one, two and three vector widths.
        for (std::size_t n : {3, 8, 13, 16, 21, 37}) {
            const std::size_t rows = 6;
            auto mx = random_map(n * rows, w, rng);
            auto my = random_map(n * rows, h, rng);
            for (Filter f : filters) {
                auto expect = reference_remap<T, C>(im, mx, my, f);
                for (Isa isa : paths) {
                    test_paths::HoldPath hold(isa);
                    CAPTURE(w);
                    CAPTURE(h);
                    CAPTURE(n);
                    CAPTURE(int(f));
                    CAPTURE(int(isa));
                    auto kernel = remap_row_kernel<T, C>(f, src, isa);
                    auto table = lanczos3_table();
                    // Stale contents: a kernel must write every pixel.
                    std::vector<T> got(n * rows * C, 77);
                    for (std::size_t y = 0; y < rows; ++y)
                        kernel(src, &mx[y * n], &my[y * n], n, &got[y * n * C], table.data());
                    CHECK(got == expect);
                }
            }
        }
    }
}

// 8-bit sums a hair from a half-integer, where a sum formed with fewer bits
// than the documented double arithmetic would round the other way: x lies
// between two samples a and b at the fraction that makes the exact sum
// k + 1/2, moved by a few float steps; y is whole or close to the middle.
// Such pixels everywhere, or in one run of 8 pixels out of 20 among whole
// positions (so that a kernel weighing in fewer bits first and checking has
// many such runs to redo in one row, without giving up on the row).
TEST_CASE_TEMPLATE("8-bit bilinear sums near half-integers round as the reference", K, Kind<std::uint8_t, 1>,
                   Kind<std::uint8_t, 3>) {
    const std::vector<Isa> paths = test_paths::offered_paths();
    constexpr int C = K::C;
    std::mt19937 rng(5);
    auto im = random_image<std::uint8_t, C>(4, 8, rng);
    SourceImage<std::uint8_t> src{im.px.data(), im.px.size(), 4, 8};
    const std::size_t n = 4096;
    std::vector<float> mx(n), my(n);
    std::uniform_int_distribution<int> column(0, 2), steps(-4, 4), level(0, 254);
    for (std::size_t every : {1, 20}) {
        CAPTURE(every);
        for (std::size_t i = 0; i < n; ++i) {
            const int x0 = column(rng);
            const int a = im.px[x0 * C], b = im.px[(x0 + 1) * C];
            const bool near = (i / 8) % every == 0;
            float x = float(x0) + (near ? 0.3f : 0.0f);
            if (a != b && near) {
                const int k = std::min(a, b) + level(rng) % std::abs(a - b);
                x = float(x0) + float((k + 0.5 - a) / (b - a));
                for (int s = steps(rng); s != 0; s += s > 0 ? -1 : 1) x = std::nextafter(x, s > 0 ? 4.0f : -1.0f);
            }
            mx[i] = x;
            my[i] = i % 3 || !near ? 0.0f : std::nextafter(0.5f, float(i % 2));
        }
        for (Filter f : filters) {
            auto expect = reference_remap<std::uint8_t, C>(im, mx, my, f);
            for (Isa isa : paths) {
                test_paths::HoldPath hold(isa);
                CAPTURE(int(isa));
                std::vector<std::uint8_t> got(n * C, 77);
                auto table = lanczos3_table();
                remap_row_kernel<std::uint8_t, C>(f, src, isa)(src, mx.data(), my.data(), n, got.data(), table.data());
                CHECK(got == expect);
            }
        }
    }
}

// Whole groups of positions in the last cells of the source (a mix of lanes
// that need no clamping and lanes that do), with the source ending at a page
// followed by an inaccessible one: a read past its last sample faults.
TEST_CASE_TEMPLATE("row kernels never read past the end of the source", K, ALL_KINDS) {
    const std::vector<Isa> paths = test_paths::offered_paths();
    using T = typename K::T;
    constexpr int C = K::C;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    REQUIRE(mem != MAP_FAILED);
    REQUIRE(mprotect(static_cast<char*>(mem) + page, page, PROT_NONE) == 0);
    std::mt19937 rng(5 + C);
    for (std::size_t w : {5, 9, 12, 13, 17}) {
        const std::size_t h = 4;
        auto im = random_image<T, C>(w, h, rng);
        T* at_end = reinterpret_cast<T*>(static_cast<char*>(mem) + page) - im.px.size();
        std::copy(im.px.begin(), im.px.end(), at_end);
        SourceImage<T> src{at_end, im.px.size(), w, h};
        const std::size_t n = 64;
        std::vector<float> mx(n), my(n);
        for (float reach : {3.0f, 5.0f, 9.0f}) {
            std::uniform_real_distribution<float> xs(std::max(0.0f, float(w) - reach), float(w) - 0.5f);
            std::uniform_real_distribution<float> ys(float(h) - 2.0f, float(h) - 0.5f);
            for (std::size_t k = 0; k < n; ++k) {
                mx[k] = xs(rng);
                my[k] = k % 16 < 8 ? std::nextafter(float(h) - 1.0f, 0.0f) : ys(rng);
            }
            for (Filter f : filters) {
                auto expect = reference_remap<T, C>(im, mx, my, f);
                auto table = lanczos3_table();
                for (Isa isa : paths) {
                    test_paths::HoldPath hold(isa);
                    CAPTURE(w);
                    CAPTURE(int(isa));
                    std::vector<T> got(n * C, 77);
                    remap_row_kernel<T, C>(f, src, isa)(src, mx.data(), my.data(), n, got.data(), table.data());
                    CHECK(got == expect);
                }
            }
        }
    }
    munmap(mem, 2 * page);
}

TEST_CASE_TEMPLATE("remap equals the reference over many rows", K, ALL_KINDS) {
    using T = typename K::T;
    constexpr int C = K::C;
    std::mt19937 rng(99);
    auto im = random_image<T, C>(150, 120, rng);
    const std::size_t mw = 203, mh = 97;
    auto mx = random_map(mw * mh, im.w, rng);
    auto my = random_map(mw * mh, im.h, rng);
    for (Filter f : filters) {
        std::vector<T> got;
        auto r = remap<T, C>(im.px.data(), im.px.size(), im.w, im.h, mx.data(), mx.size(), my.data(), my.size(), mw,
                             mh, f);
        CHECK(output(r, got) == reference_remap<T, C>(im, mx, my, f));
    }
}

TEST_CASE_TEMPLATE("an identity map reproduces the source", K, ALL_KINDS) {
    using T = typename K::T;
    constexpr int C = K::C;
    std::mt19937 rng(3);
    auto im = random_image<T, C>(31, 17, rng);
    std::vector<float> mx, my;
    for (std::size_t y = 0; y < im.h; ++y)
        for (std::size_t x = 0; x < im.w; ++x) mx.push_back(float(x)), my.push_back(float(y));
    for (Filter f : filters) {
        std::vector<T> got;
        auto r = remap<T, C>(im.px.data(), im.px.size(), im.w, im.h, mx.data(), mx.size(), my.data(), my.size(),
                             im.w, im.h, f);
        CHECK(output(r, got) == im.px);
    }
}

TEST_CASE("remap checks the source, then map_x, then map_y") {
    std::vector<std::uint8_t> src(4 * 3 * 3);
    std::vector<float> m(6), shorter(5);
    auto mismatch = [](const Outcome<Buffer<std::uint8_t>>& r) {
        REQUIRE(std::holds_alternative<SizeMismatch>(r));
        auto e = std::get<SizeMismatch>(r);
        return std::pair<std::uint64_t, std::uint64_t>{e.expected, e.got};
    };
    using P = std::pair<std::uint64_t, std::uint64_t>;
    auto call = [&](std::size_t src_len, std::size_t mx_len, std::size_t my_len) {
        return remap<std::uint8_t, 3>(src.data(), src_len, 4, 3, m.data(), mx_len, m.data(), my_len, 3, 2,
                                      Filter::Lanczos3);
    };
    CHECK(mismatch(call(35, 5, 5)) == P{36, 35});
    CHECK(mismatch(call(36, 5, 6)) == P{6, 5});
    CHECK(mismatch(call(36, 6, 5)) == P{6, 5});
    CHECK(mismatch(call(36, 6, 7)) == P{6, 7});
    // A size product that overflows never matches a real length.
    auto r = remap<std::uint8_t, 1>(src.data(), 36, std::size_t(1) << 33, std::size_t(1) << 33, m.data(), 6,
                                    m.data(), 6, 3, 2, Filter::Bilinear);
    CHECK(std::holds_alternative<SizeMismatch>(r));
    CHECK(std::get<SizeMismatch>(r).got == 36);
}

TEST_CASE("remap with an empty map or an empty source") {
    std::vector<std::uint16_t> src(5 * 4);
    std::vector<float> m(12, 1.0f);
    for (Filter f : filters) {
        auto wide0 = remap<std::uint16_t, 1>(src.data(), 20, 5, 4, m.data(), 0, m.data(), 0, 0, 12, f);
        CHECK(std::get<Buffer<std::uint16_t>>(wide0).size() == 0);
        auto high0 = remap<std::uint16_t, 1>(src.data(), 20, 5, 4, m.data(), 0, m.data(), 0, 12, 0, f);
        CHECK(std::get<Buffer<std::uint16_t>>(high0).size() == 0);
        // A source without pixels accepts every position and writes none.
        std::vector<float> edge(12, -0.5f);
        auto none = remap<std::uint16_t, 1>(nullptr, 0, 0, 4, edge.data(), 12, edge.data(), 12, 4, 3, f);
        std::vector<std::uint16_t> got;
        CHECK(output(none, got) == std::vector<std::uint16_t>(12, 0));
    }
}

TEST_CASE_TEMPLATE("warp matches the reference for random homographies", T, std::uint8_t, std::uint16_t) {
    std::mt19937 rng(5);
    auto im = random_image<T, 3>(64, 48, rng);
    const double mats[][9] = {
        {0.9, 0.2, -5, -0.15, 1.1, 3, 0.001, -0.002, 1.0},  // mild perspective
        {0.5, 0, 10, 0, 0.5, 8, 0, 0, 1},                   // enlargement
        {1, 0, 0, 0, 1, 0, 0.03, 0.0, -1.2},                // W changes sign inside the output
        {-1, 0, 63, 0, 1, 0, 0, 0, -1},                     // negative W everywhere
        {2.5, 0.3, -40, 0.1, 2.5, -30, 0, 0, 1},            // shrink beyond the source
    };
    for (const auto& m : mats)
        for (Filter f : filters)
            for (auto [scale, ox, oy] : {std::tuple<double, double, double>{1.0, 0.0, 0.0}, {1.3, -2.5, 4.0}, {0.7, 0.0, -3.0}}) {
                std::vector<T> got;
                auto r = warp_rgb<T>(im.px.data(), im.px.size(), 64, 48, 71, 53, m, scale, ox, oy, f);
                CHECK(output(r, got) == reference_warp<T>(im, 71, 53, m, scale, ox, oy, f));
            }
}

TEST_CASE_TEMPLATE("warp row kernels agree across instruction sets", T, std::uint8_t, std::uint16_t) {
    const std::vector<Isa> paths = test_paths::offered_paths();
    std::mt19937 rng(11);
    auto im = random_image<T, 3>(50, 40, rng);
    SourceImage<T> src{im.px.data(), im.px.size(), 50, 40};
    auto table = lanczos3_table();
    // Row lengths around one, two and three vector widths: the row loop keeps
    // several groups in flight and must start and drain them at any length.
    for (std::size_t n : {1, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 23, 24, 25, 31, 32, 33, 59}) {
        std::vector<double> a(n), b(n), c(n);
        for (std::size_t x = 0; x < n; ++x) {
            double u = double(x) / 1.1 - 3.0;
            a[x] = 0.95 * u, b[x] = 0.1 * u, c[x] = 0.004 * u;
        }
        // The same rows with the matrix scaled by huge and tiny factors
        // (subnormal, overflowing products, infinite or NaN quotients).
        for (double k : {1.0, 1e-310, 1e-300, 1e300, 1e308, -1e200})
        for (Filter f : filters)
            for (double v : {-2.0, 0.0, 17.25, 39.5, 45.0}) {
                CAPTURE(n);
                CAPTURE(v);
                CAPTURE(k);
                std::vector<double> ka(n), kb(n), kc(n);
                for (std::size_t x = 0; x < n; ++x) ka[x] = k * a[x], kb[x] = k * b[x], kc[x] = k * c[x];
                WarpRow row{ka.data(), kb.data(), kc.data(), k * (0.2 * v + 1.0), k * (1.05 * v - 2.0),
                            k * (-0.003 * v + 1.0)};
                // Stale contents: a kernel must write every pixel.
                std::vector<T> expect(n * 3, 77);
                warp_row_kernel<T>(f, src, Isa::Scalar)(src, row, n, expect.data(), table.data());
                for (Isa isa : paths) {
                    test_paths::HoldPath hold(isa);
                    std::vector<T> got(n * 3, 99);
                    warp_row_kernel<T>(f, src, isa)(src, row, n, got.data(), table.data());
                    CHECK(got == expect);
                }
            }
    }
}

TEST_CASE_TEMPLATE("warp geometry", T, std::uint8_t, std::uint16_t) {
    std::mt19937 rng(1);
    const std::size_t w = 23, h = 14;
    auto im = random_image<T, 3>(w, h, rng);
    auto warp = [&](std::size_t ow, std::size_t oh, const double* m, double scale, double ox, double oy, Filter f) {
        std::vector<T> got;
        output(warp_rgb<T>(im.px.data(), im.px.size(), w, h, ow, oh, m, scale, ox, oy, f), got);
        return got;
    };
    auto px = [](const std::vector<T>& img, std::size_t width, std::size_t x, std::size_t y) {
        return std::vector<T>(img.begin() + (y * width + x) * 3, img.begin() + (y * width + x + 1) * 3);
    };
    const std::vector<T> zero(3, 0);
    for (Filter f : filters) {
        CAPTURE(int(f));
        CHECK(warp(w, h, identity, 1, 0, 0, f) == im.px);
        double negated[9];
        for (int k = 0; k < 9; ++k) negated[k] = -identity[k];
        CHECK(warp(w, h, negated, 1, 0, 0, f) == im.px);

        // Twice the size: output (x, y) samples (x / 2, y / 2); the last
        // column samples w - 0.5, still inside; one more column is outside.
        auto big = warp(2 * w + 1, 2 * h, identity, 2, 0, 0, f);
        for (std::size_t y = 0; y < 2 * h; y += 2)
            for (std::size_t x = 0; x < 2 * w; x += 2) CHECK(px(big, 2 * w + 1, x, y) == px(im.px, w, x / 2, y / 2));
        for (std::size_t y = 0; y < 2 * h; ++y) {
            CHECK(px(big, 2 * w + 1, 2 * w - 1, y) != zero);
            CHECK(px(big, 2 * w + 1, 2 * w, y) == zero);
        }

        auto shifted = warp(w, h, identity, 1, 10, 0, f);
        for (std::size_t y = 0; y < h; ++y)
            for (std::size_t x = 0; x < w; ++x)
                CHECK(px(shifted, w, x, y) == (x + 10 < w ? px(im.px, w, x + 10, y) : zero));

        const double flat[9] = {1, 0, 0, 0, 1, 0, 0, 0, 0};
        CHECK(warp(w, h, flat, 1, 0, 0, f) == std::vector<T>(w * h * 3, 0));
        CHECK(warp(w, h, identity, 0, 0, 0, f) == std::vector<T>(w * h * 3, 0));
        const double poisoned[9] = {1, 0, 0, 0, not_a_number, 0, 0, 0, 1};
        CHECK(warp(w, h, poisoned, 1, 0, 0, f) == std::vector<T>(w * h * 3, 0));
        CHECK(warp(w, h, identity, 1, infinity, 0, f) == std::vector<T>(w * h * 3, 0));
    }
}

TEST_CASE("warp sizes: mismatch, empty outputs, huge outputs") {
    std::vector<std::uint8_t> src(4 * 3 * 3, 9);
    auto r = warp_rgb<std::uint8_t>(src.data(), 35, 4, 3, 4, 3, identity, 1, 0, 0, Filter::Bilinear);
    REQUIRE(std::holds_alternative<SizeMismatch>(r));
    CHECK(std::get<SizeMismatch>(r).expected == 36);
    CHECK(std::get<SizeMismatch>(r).got == 35);
    for (Filter f : filters) {
        for (auto [ow, oh] : {std::pair<std::size_t, std::size_t>{0, 10}, {10, 0}, {0, 0}, {std::size_t(1) << 40, 0}}) {
            auto e = warp_rgb<std::uint8_t>(src.data(), 36, 4, 3, ow, oh, identity, 1, 0, 0, f);
            CHECK(std::get<Buffer<std::uint8_t>>(e).size() == 0);
        }
        const std::size_t huge = std::size_t(1) << 40;
        CHECK_THROWS_AS(warp_rgb<std::uint8_t>(src.data(), 36, 4, 3, huge, huge, identity, 1, 0, 0, f),
                        std::bad_alloc);
        std::vector<float> m(1);
        auto remap_huge = [&] {
            return remap<std::uint16_t, 3>(nullptr, 0, 0, 0, m.data(), huge * 4, m.data(), huge * 4, huge, 4, f);
        };
        CHECK_THROWS_AS(remap_huge(), std::bad_alloc);
        // A source without pixels: nothing is inside.
        auto none = warp_rgb<std::uint8_t>(nullptr, 0, 0, 5, 3, 2, identity, 1, -0.5, -0.5, f);
        CHECK(std::get<Buffer<std::uint8_t>>(none).size() == 18);
    }
}

TEST_CASE("images wider than 32767 pixels") {
    const std::size_t w = 40000, h = 8;
    std::vector<std::uint16_t> src(w * h * 3);
    for (std::size_t k = 0; k < src.size(); ++k) src[k] = static_cast<std::uint16_t>(k * 2654435761u >> 7);
    for (Filter f : filters) {
        std::vector<std::uint16_t> got;
        CHECK(output(warp_rgb<std::uint16_t>(src.data(), src.size(), w, h, w, h, identity, 1, 0, 0, f), got) == src);
        // Sampled near the far end: a shift by 39990 columns.
        CHECK(output(warp_rgb<std::uint16_t>(src.data(), src.size(), w, h, 10, h, identity, 1, 39990, 0, f), got) ==
              reference_warp<std::uint16_t>(Image<std::uint16_t>{src, w, h}, 10, h, identity, 1, 39990, 0, f));
    }
}

// Every row length from 1 to 41, each row placed between guard samples: the
// kernels write their own row only, and inside pixels match the reference.
TEST_CASE_TEMPLATE("row kernels stay inside their row at every length", K, ALL_KINDS) {
    const std::vector<Isa> paths = test_paths::offered_paths();
    using T = typename K::T;
    constexpr int C = K::C;
    const T guard = 0x5a;
    std::mt19937 rng(23 + C);
    auto im = random_image<T, C>(21, 17, rng);
    SourceImage<T> src{im.px.data(), im.px.size(), im.w, im.h};
    auto table = lanczos3_table();
    for (std::size_t n = 1; n <= 41; ++n) {
        auto mx = random_map(n, im.w, rng);
        auto my = random_map(n, im.h, rng);
        for (Filter f : filters) {
            auto expect = reference_remap<T, C>(im, mx, my, f);
            for (Isa isa : paths) {
                test_paths::HoldPath hold(isa);
                CAPTURE(n);
                CAPTURE(int(f));
                CAPTURE(int(isa));
                std::vector<T> got((n + 32) * C, guard);
                std::fill(got.begin() + 16 * C, got.begin() + (16 + n) * C, T(0));
                remap_row_kernel<T, C>(f, src, isa)(src, mx.data(), my.data(), n, got.data() + 16 * C, table.data());
                CHECK(std::all_of(got.begin(), got.begin() + 16 * C, [&](T v) { return v == guard; }));
                CHECK(std::all_of(got.end() - 16 * C, got.end(), [&](T v) { return v == guard; }));
                CHECK(std::equal(expect.begin(), expect.end(), got.begin() + 16 * C));
            }
        }
    }
}

TEST_CASE_TEMPLATE("warp row kernels stay inside their row at every length", T, std::uint8_t, std::uint16_t) {
    const std::vector<Isa> paths = test_paths::offered_paths();
    const T guard = 0xa5;
    std::mt19937 rng(31);
    auto im = random_image<T, 3>(30, 26, rng);
    SourceImage<T> src{im.px.data(), im.px.size(), im.w, im.h};
    auto table = lanczos3_table();
    for (std::size_t n = 1; n <= 41; ++n) {
        // A slanted row that enters the source, crosses it and leaves it.
        std::vector<double> a(n), b(n), c(n);
        for (std::size_t x = 0; x < n; ++x) {
            double u = double(x) * 37.0 / double(n) - 4.0;
            a[x] = 0.97 * u, b[x] = 0.31 * u, c[x] = 0.002 * u;
        }
        for (Filter f : filters)
            for (double v : {-1.0, 3.7, 12.5, 25.2}) {
                WarpRow row{a.data(), b.data(), c.data(), -0.2 * v + 0.4, 0.93 * v - 1.5, 0.001 * v + 1.0};
                std::vector<T> expect(n * 3, 0);
                warp_row_kernel<T>(f, src, Isa::Scalar)(src, row, n, expect.data(), table.data());
                for (Isa isa : paths) {
                    test_paths::HoldPath hold(isa);
                    CAPTURE(n);
                    CAPTURE(int(f));
                    CAPTURE(int(isa));
                    std::vector<T> got((n + 32) * 3, guard);
                    std::fill(got.begin() + 48, got.begin() + 48 + n * 3, T(0));
                    warp_row_kernel<T>(f, src, isa)(src, row, n, got.data() + 48, table.data());
                    CHECK(std::all_of(got.begin(), got.begin() + 48, [&](T v) { return v == guard; }));
                    CHECK(std::all_of(got.end() - 48, got.end(), [&](T v) { return v == guard; }));
                    CHECK(std::equal(expect.begin(), expect.end(), got.begin() + 48));
                }
            }
    }
}
