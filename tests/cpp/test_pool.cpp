// The worker pool: every row once, slices, failures, the thread count.
#include <doctest/doctest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "pool/pool.hpp"

using namespace trevalin;

TEST_CASE("every row runs exactly once") {
    // Row counts below, at and around the thread count; with uniform rows and
    // with slow rows at the start, so that threads finish their own share
    // early and help with another one.
    for (bool skewed : {false, true}) {
        for (std::size_t rows : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 1000u, 1001u}) {
            CAPTURE(rows);
            CAPTURE(skewed);
            std::vector<std::atomic<int>> hits(rows);
            parallel_rows(rows, [&](std::size_t r) {
                if (skewed && r < rows / 3) std::this_thread::sleep_for(std::chrono::microseconds(50));
                hits[r].fetch_add(1);
            });
            for (auto& h : hits) CHECK(h.load() == 1);
        }
    }
}

TEST_CASE("for_each_row hands out each row's own slice") {
    std::vector<int> img(13 * 5, -1);
    for_each_row(img.data(), 13, 5, [](std::size_t y, int* row) {
        for (int x = 0; x < 13; ++x) row[x] = static_cast<int>(y * 100 + x);
    });
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 13; ++x) CHECK(img[y * 13 + x] == y * 100 + x);
}

TEST_CASE("a failing row reaches the caller and the pool keeps working") {
    std::atomic<int> ran{0};
    CHECK_THROWS_WITH_AS(parallel_rows(64, [&](std::size_t r) {
                             ran.fetch_add(1);
                             if (r == 17) throw std::runtime_error("row 17 failed");
                         }),
                         "row 17 failed", std::runtime_error);
    std::atomic<std::size_t> sum{0};
    parallel_rows(100, [&](std::size_t r) { sum.fetch_add(r); });
    CHECK(sum.load() == 4950);
}

TEST_CASE("the thread count is at least one") { CHECK(pool_thread_count() >= 1); }
