#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "detector/detect.hpp"
#include "detector/level_line_field.hpp"
#include "detector/working_value.hpp"
#include "sample/numeric.hpp"
#include "reference_stages.hpp"
#include "test_detector_support.hpp"

using namespace trevalin;
using detector_test::note_field;
using detector_test::seeds_by_norm;
using detector_test::random_image;
using detector_test::same_bits;

namespace {

Px reference_px(const std::vector<double>& img, std::size_t w, std::size_t x, std::size_t y) {
    const double a = img[y * w + x], b = img[y * w + x + 1], c = img[(y + 1) * w + x], d = img[(y + 1) * w + x + 1];
    const double gx = (((b + d) - a) - c) * 0.5;
    const double gy = (((c + d) - a) - b) * 0.5;
    const double norm = std::hypot(gx, gy);
    // No direction without a finite gradient; a norm beyond the floats is held at the largest one.
    if (!(norm > 0.0) || std::isinf(norm)) return {0, 0, 0};
    return {std::min(float(norm), std::numeric_limits<float>::max()), float(-gy / norm), float(gx / norm)};
}

// 1024 growable bins, filled in raster order and read from the top.
std::vector<std::uint32_t> reference_seeds(const std::vector<Px>& field, float threshold) {
    float m = 0.0f;
    for (const Px& p : field)
        if (p.norm > m) m = p.norm;
    if (!(m > 0.0f)) return {};
    std::vector<std::vector<std::uint32_t>> bins(1024);
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (!(field[i].norm > threshold)) continue;
        const float b = (field[i].norm / m) * 1023.0f;
        bins[std::min<std::uint64_t>(to_u64_sat(b), 1023)].push_back(std::uint32_t(i));
    }
    std::vector<std::uint32_t> out;
    for (std::size_t b = 1024; b-- > 0;) out.insert(out.end(), bins[b].begin(), bins[b].end());
    return out;
}

std::vector<std::uint32_t> to_vector(const Buffer<std::uint32_t>& b) { return {b.begin(), b.end()}; }

}  // namespace

TEST_CASE_TEMPLATE("level_line_field equals the per-pixel formula bit for bit; weak records can be left out, on every kernel path", P, EVERY_PATH) {
    test_paths::HoldPath hold(P::isa);
    if (!hold.runs) return;
    const std::size_t w = 71, h = 53;
    const std::vector<double> img = random_image(w, h, 7);
    const Buffer<Px> exact = level_line_field(img.data(), w, h);
    const Buffer<Px> strong = level_line_field(img.data(), w, h, kRho);
    std::size_t differ = 0, weak = 0;
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const Px ref = (x + 1 < w && y + 1 < h) ? reference_px(img, w, x, y) : Px{0, 0, 0};
            const Px& a = exact[y * w + x];
            const Px& b = strong[y * w + x];
            differ += !(same_bits(a.norm, ref.norm) && same_bits(a.ux, ref.ux) && same_bits(a.uy, ref.uy));
            if (ref.norm > kRho) {
                differ += !(same_bits(b.norm, ref.norm) && same_bits(b.ux, ref.ux) && same_bits(b.uy, ref.uy));
            } else {
                ++weak;
                differ += !(b.norm == 0.0f && b.ux == 0.0f && b.uy == 0.0f);
            }
        }
    CHECK(differ == 0);
    CHECK(weak > w + h);  // the noise leaves plenty of weak pixels to test with
}

TEST_CASE("steps give the documented records; the last row and column stay zero") {
    const std::size_t w = 8, h = 6;
    std::vector<double> vertical(w * h), horizontal(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            vertical[y * w + x] = x <= 3 ? 0.0 : 100.0;
            horizontal[y * w + x] = y <= 2 ? 0.0 : 100.0;
        }
    const Buffer<Px> v = level_line_field(vertical.data(), w, h);
    const Buffer<Px> hz = level_line_field(horizontal.data(), w, h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const Px& a = v[y * w + x];
            if (x == 3 && y + 1 < h) {
                CHECK(a.norm == 100.0f);
                CHECK(a.ux == 0.0f);
                CHECK(std::signbit(a.ux));  // -gy / norm with gy = 0
                CHECK(a.uy == 1.0f);
            } else {
                CHECK(a.norm == 0.0f);
            }
            const Px& b = hz[y * w + x];
            if (y == 2 && x + 1 < w) {
                CHECK(b.norm == 100.0f);
                CHECK(b.ux == -1.0f);
                CHECK(b.uy == 0.0f);
            } else {
                CHECK(b.norm == 0.0f);
            }
        }

    const std::vector<double> noise = random_image(3, 3, 3);
    const Buffer<Px> small = level_line_field(noise.data(), 3, 3);
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < 9; ++i) nonzero += small[i].norm != 0.0f;
    CHECK(nonzero <= 4);
    for (std::size_t i : {2u, 5u, 6u, 7u, 8u}) CHECK(small[i].norm == 0.0f);
}

TEST_CASE("non-finite samples give zero records") {
    std::vector<double> img(5 * 4, 1.0);
    img[6] = std::numeric_limits<double>::quiet_NaN();
    img[13] = std::numeric_limits<double>::infinity();
    const Buffer<Px> f = level_line_field(img.data(), 5, 4);
    CHECK(f[0].norm == 0.0f);  // NaN gradient: record zero
    CHECK(f[1].norm == 0.0f);
    CHECK(f[12].norm == 0.0f);  // infinite gradient: no direction, record zero
    CHECK(f[12].ux == 0.0f);
    CHECK(f[12].uy == 0.0f);
}

TEST_CASE_TEMPLATE("seeds come strongest level first, raster order within a level, on every kernel path", P, EVERY_PATH) {
    test_paths::HoldPath hold(P::isa);
    if (!hold.runs) return;
    SUBCASE("random fields agree with bucketing into 1024 lists") {
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> norm(0.0f, 40.0f);
        for (std::size_t count : {1u, 100u, 5000u, 200000u}) {
            std::vector<Px> field(count);
            for (Px& p : field) p = {norm(rng) < 10.0f ? 0.0f : norm(rng), 0.0f, 1.0f};
            CHECK(to_vector(seeds_by_norm(field.data(), count, kRho)) == reference_seeds(field, kRho));
        }
    }
    SUBCASE("threshold, ties and the largest norm") {
        std::vector<Px> field(8, Px{0, 0, 0});
        field[0].norm = kRho;         // at the threshold: not a seed
        field[1].norm = 10.0f;        // level floor(1023 / 2) = 511
        field[2].norm = 20.0f;        // the largest
        field[3].norm = 10.005f;      // same level as index 1, larger, later
        field[4].norm = 20.0f;        // the largest again
        field[5].norm = std::nextafter(kRho, 100.0f);
        CHECK(to_vector(seeds_by_norm(field.data(), field.size(), kRho)) == std::vector<std::uint32_t>{2, 4, 1, 3, 5});
    }
    SUBCASE("no gradient gives no seeds") {
        std::vector<Px> field(20, Px{0, 0, 0});
        CHECK(seeds_by_norm(field.data(), field.size(), kRho).empty());
        field[3].norm = 3.0f;  // below the threshold
        CHECK(seeds_by_norm(field.data(), field.size(), kRho).empty());
    }
    SUBCASE("an infinite largest norm puts every seed in the lowest level") {
        std::vector<Px> field(6, Px{0, 0, 0});
        field[1].norm = std::numeric_limits<float>::infinity();
        field[2].norm = std::numeric_limits<float>::quiet_NaN();
        field[4].norm = 9.0f;
        field[5].norm = std::numeric_limits<float>::infinity();
        CHECK(to_vector(seeds_by_norm(field.data(), field.size(), kRho)) == std::vector<std::uint32_t>{1, 4, 5});
    }
}

TEST_CASE_TEMPLATE("notes of a field: weak bits by the threshold and the largest norm, also taken row by row, on every kernel path", P, EVERY_PATH) {
    test_paths::HoldPath hold(P::isa);
    if (!hold.runs) return;
    SUBCASE("against a plain walk, NaN and ties included") {
        std::mt19937 rng(4);
        std::uniform_real_distribution<float> norm(0.0f, 30.0f);
        for (std::size_t count : {1u, 7u, 40000u, 100001u}) {
            std::vector<Px> field(count);
            for (Px& p : field) p = {norm(rng), 0.0f, 1.0f};
            field[count / 2].norm = kRho;
            if (count > 3) field[1].norm = std::numeric_limits<float>::quiet_NaN();
            const FieldNotes notes = note_field(field.data(), count, kRho);
            float m = 0.0f;
            for (std::size_t i = 0; i < count; ++i) {
                if (field[i].norm > m) m = field[i].norm;
                CHECK(notes.is_weak(i) == (field[i].norm <= kRho));
            }
            CHECK(same_bits(notes.largest, m));
            for (std::size_t i = count; i < (count / 64 + 2) * 64; ++i) CHECK_FALSE(notes.is_weak(i));
        }
    }
    SUBCASE("runs noted last first, in pieces, give the seeds of the field") {
        std::mt19937 rng(8);
        std::uniform_real_distribution<float> norm(0.0f, 30.0f);
        const std::size_t count = 1000, run = 96;
        std::vector<Px> field(count);
        for (Px& p : field) p = {norm(rng), 0.0f, 1.0f};
        FieldNotes notes = start_notes(count, run);
        for (std::size_t r = (count + run - 1) / run; r-- > 0;) {
            RunNoter noter(notes, r, kRho);
            const std::size_t end = std::min(count, r * run + run);
            for (std::size_t at = r * run; at < end; at += 40) noter.add(field.data() + at, std::min<std::size_t>(40, end - at));
            noter.finish();
        }
        CHECK(to_vector(seeds_by_notes(std::move(notes), count, kRho).seeds) == reference_seeds(field, kRho));
    }
    SUBCASE("taken while the field is built") {
        // 17 and 33 rows leave the last row alone in a band of 16.
        for (auto [w, h] : {std::pair<std::size_t, std::size_t>{2, 1}, {3, 47}, {61, 17}, {300, 47}, {129, 33}}) {
            const std::vector<double> img = random_image(w, h, 12 + std::uint32_t(w));
            for (float weak : {0.0f, kRho}) {
                FieldNotes noted;
                const Buffer<Px> field = level_line_field(img.data(), w, h, weak, &noted);
                const Buffer<Px> plain = level_line_field(img.data(), w, h, weak);
                CHECK(std::memcmp(field.data(), plain.data(), field.size() * sizeof(Px)) == 0);
                const FieldNotes whole = note_field(field.data(), field.size(), weak);
                REQUIRE(noted.weak.size() == whole.weak.size());
                CHECK(std::memcmp(noted.weak.data(), whole.weak.data(), whole.weak.size() * 8) == 0);
                CHECK(same_bits(noted.largest, whole.largest));
                CHECK(to_vector(seeds_by_notes(std::move(noted), field.size(), weak).seeds) ==
                      to_vector(seeds_by_norm(field.data(), field.size(), weak)));
            }
        }
    }
    SUBCASE("seeds from the notes taken row by row are seeds_by_norm") {
        const std::size_t w = 333, h = 251;
        const std::vector<double> img = random_image(w, h, 3);
        FieldNotes noted, none;
        const Buffer<Px> field = level_line_field(img.data(), w, h, kRho, &noted);
        level_line_field(img.data(), w, h, kRho, &none);
        const std::vector<Px> records(field.data(), field.data() + field.size());
        CHECK(to_vector(seeds_by_notes(std::move(noted), field.size(), kRho).seeds) == reference_seeds(records, kRho));
        none.largest = 0.0f;
        CHECK(seeds_by_notes(std::move(none), field.size(), kRho).seeds.empty());
    }
}

TEST_CASE_TEMPLATE("rows of every length and sample type give the per-pixel records, on every kernel path", P, EVERY_PATH) {
    test_paths::HoldPath hold(P::isa);
    if (!hold.runs) return;
    // Lengths around the four-block steps, with strong, weak, zero and
    // non-finite blocks mixed, for each sample type.
    std::mt19937 rng(19);
    for (std::size_t w = 1; w <= 14; ++w) {
        for (int round = 0; round < 20; ++round) {
            std::vector<double> img(2 * w);
            for (double& v : img) v = double(rng() % 4 == 0 ? 100 : rng() % 12);
            if (round == 3) img[rng() % img.size()] = std::numeric_limits<double>::quiet_NaN();
            std::vector<std::uint8_t> u8(img.size());
            for (std::size_t i = 0; i < img.size(); ++i) u8[i] = std::isnan(img[i]) ? 7 : std::uint8_t(img[i]);
            std::vector<double> from_u8(u8.begin(), u8.end());
            for (float weak : {0.0f, kRho}) {
                // Stale records: every one of the row must be written.
                std::vector<Px> got(w, Px{7, 7, 7}), got8(w, Px{7, 7, 7});
                level_line_row(img.data(), img.data() + w, w, weak, got.data());
                level_line_row(u8.data(), u8.data() + w, w, weak, got8.data());
                for (std::size_t x = 0; x + 1 < w; ++x) {
                    for (int which = 0; which < 2; ++which) {
                        Px ref = reference_px(which ? from_u8 : img, w, x, 0);
                        if (weak > 0.0f && !(ref.norm > weak)) ref = {0, 0, 0};
                        const Px& a = which ? got8[x] : got[x];
                        CHECK((same_bits(a.norm, ref.norm) && same_bits(a.ux, ref.ux) && same_bits(a.uy, ref.uy)));
                    }
                }
                if (w >= 1) CHECK((got[w - 1].norm == 0.0f && got8[w - 1].norm == 0.0f));
            }
        }
    }
}

TEST_CASE_TEMPLATE("records of arbitrary double rows equal the per-pixel records, on every kernel path", P, EVERY_PATH) {
    test_paths::HoldPath hold(P::isa);
    if (!hold.runs) return;
    // Blurred rows hold arbitrary doubles: gradients of every size and ratio,
    // from subnormal to near overflow, with single zero components and
    // non-finite samples. Each record must be the one built from hypot.
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-1060, 1020), kind(0, 30);
    const std::size_t w = 203;
    std::size_t checked = 0;
    for (int round = 0; round < 400; ++round) {
        std::vector<double> img(2 * w);
        const int e = round % 4 == 0 ? exponent(rng) : round % 4 == 1 ? 0 : int(rng() % 40) - 20;
        for (double& v : img) {
            switch (kind(rng)) {
                case 0: v = 0.0; break;
                case 1: v = std::ldexp(unit(rng), exponent(rng)); break;
                case 2: v = std::numeric_limits<double>::infinity(); break;
                case 3: v = round % 2 ? std::numeric_limits<double>::quiet_NaN() : 5.0; break;
                default: v = std::ldexp(100.0 + unit(rng) * 50.0, e);
            }
        }
        // Equal neighbours give zero components.
        for (std::size_t i = 0; i + 1 < img.size(); i += 7) img[i + 1] = img[i];
        for (float weak : {0.0f, kRho}) {
            std::vector<Px> got(w, Px{7, 7, 7});
            level_line_row(img.data(), img.data() + w, w, weak, got.data());
            for (std::size_t x = 0; x + 1 < w; ++x) {
                Px ref = reference_px(img, w, x, 0);
                if (weak > 0.0f && !(ref.norm > weak)) ref = {0, 0, 0};
                CHECK((same_bits(got[x].norm, ref.norm) && same_bits(got[x].ux, ref.ux) &&
                       same_bits(got[x].uy, ref.uy)));
                ++checked;
            }
            CHECK((got[w - 1].norm == 0.0f && got[w - 1].ux == 0.0f && got[w - 1].uy == 0.0f));
        }
    }
    CHECK(checked == 400 * 2 * (w - 1));
}

TEST_CASE_TEMPLATE("16-bit and float rows convert their samples as the per-pixel records do, on every kernel path", P, EVERY_PATH) {
    test_paths::HoldPath hold(P::isa);
    if (!hold.runs) return;
    // Full-range 16-bit samples (whose working values are rounded quotients)
    // and float samples with infinities and NaN, on lengths around the
    // four-block steps.
    std::mt19937 rng(41);
    for (std::size_t w = 1; w <= 19; ++w) {
        for (int round = 0; round < 20; ++round) {
            std::vector<std::uint16_t> u16(2 * w);
            std::vector<float> f32(2 * w);
            for (std::size_t i = 0; i < u16.size(); ++i) {
                u16[i] = std::uint16_t(rng() % 3 == 0 ? rng() : rng() % 3000);
                f32[i] = float(rng() % 4 == 0 ? 100.0 : double(rng() % 1000) * 0.0137);
            }
            if (round == 3) f32[rng() % f32.size()] = std::numeric_limits<float>::quiet_NaN();
            if (round == 4) f32[rng() % f32.size()] = -std::numeric_limits<float>::infinity();
            std::vector<double> from_u16(u16.size()), from_f32(f32.size());
            for (std::size_t i = 0; i < u16.size(); ++i) {
                from_u16[i] = working_value(u16[i]);
                from_f32[i] = working_value(f32[i]);
            }
            for (float weak : {0.0f, kRho}) {
                std::vector<Px> got16(w, Px{7, 7, 7}), got32(w, Px{7, 7, 7});
                level_line_row(u16.data(), u16.data() + w, w, weak, got16.data());
                level_line_row(f32.data(), f32.data() + w, w, weak, got32.data());
                for (std::size_t x = 0; x + 1 < w; ++x) {
                    for (int which = 0; which < 2; ++which) {
                        Px ref = reference_px(which ? from_f32 : from_u16, w, x, 0);
                        if (weak > 0.0f && !(ref.norm > weak)) ref = {0, 0, 0};
                        const Px& a = which ? got32[x] : got16[x];
                        CHECK((same_bits(a.norm, ref.norm) && same_bits(a.ux, ref.ux) && same_bits(a.uy, ref.uy)));
                    }
                }
                CHECK((got16[w - 1].norm == 0.0f && got32[w - 1].norm == 0.0f));
            }
        }
    }
}
