// The worker pool: every row once, slices, failures, the thread count; the pipeline beside it.
#include <doctest/doctest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "pool/pipeline.hpp"
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

TEST_CASE("a pipeline collects every item once, in push order, for every ring size") {
    for (std::size_t ring : {1u, 2u, 3u, 64u}) {
        for (std::size_t count : {0u, 1u, 5u, 2000u}) {
            CAPTURE(ring);
            CAPTURE(count);
            std::vector<std::atomic<int>> processed(count);
            std::vector<std::size_t> collected;
            pipeline<std::size_t>(
                ring,
                [&](auto push) {
                    for (std::size_t i = 0; i < count; ++i) push(i);
                },
                [&](std::size_t& item) {
                    processed[item].fetch_add(1);
                    item = item * 3 + 1;
                },
                [&](std::size_t item) { collected.push_back(item); });
            REQUIRE(collected.size() == count);
            for (std::size_t i = 0; i < count; ++i) {
                CHECK(collected[i] == i * 3 + 1);
                CHECK(processed[i].load() == 1);
            }
        }
    }
}

TEST_CASE("a failing item reaches the caller after the items before it") {
    for (std::size_t ring : {1u, 4u, 256u}) {
        std::vector<int> collected;
        CHECK_THROWS_WITH_AS(pipeline<int>(
                                 ring,
                                 [&](auto push) {
                                     for (int i = 0; i < 500; ++i) push(i);
                                 },
                                 [&](int& item) {
                                     if (item == 123) throw std::runtime_error("item 123 failed");
                                 },
                                 [&](int item) { collected.push_back(item); }),
                             "item 123 failed", std::runtime_error);
        REQUIRE(collected.size() == 123);
        for (int i = 0; i < 123; ++i) CHECK(collected[i] == i);
    }
    std::atomic<std::size_t> sum{0};
    parallel_rows(100, [&](std::size_t r) { sum.fetch_add(r); });
    CHECK(sum.load() == 4950);
}

TEST_CASE("a failing producer reaches the caller and leaves no processor waiting") {
    for (std::size_t ring : {1u, 8u}) {
        std::size_t collected = 0;
        CHECK_THROWS_WITH_AS(pipeline<int>(
                                 ring,
                                 [&](auto push) {
                                     for (int i = 0; i < 50; ++i) push(i);
                                     throw std::runtime_error("producer failed");
                                 },
                                 [](int&) {}, [&](int) { ++collected; }),
                             "producer failed", std::runtime_error);
        CHECK(collected <= 50);
    }
    std::vector<int> after;
    pipeline<int>(
        4, [](auto push) { push(7); }, [](int& v) { v += 1; }, [&](int v) { after.push_back(v); });
    CHECK(after == std::vector<int>{8});
}

TEST_CASE("pipelines run side by side from several threads and inside pool rows") {
    auto one = [](std::size_t ring, int base) {
        std::vector<long> out;
        pipeline<long>(
            ring,
            [&](auto push) {
                for (long i = 0; i < 3000; ++i) push(base + i);
            },
            [](long& v) { v = v * v % 1000003; }, [&](long v) { out.push_back(v); });
        bool ok = out.size() == 3000;
        for (long i = 0; ok && i < 3000; ++i) ok = out[i] == (base + i) * (base + i) % 1000003;
        return ok;
    };
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            if (one(1 + 5 * t, 1000 * t)) good.fetch_add(1);
        });
    for (auto& t : threads) t.join();
    CHECK(good.load() == 4);
    // On a pool thread the two stages run one after the other.
    std::atomic<int> nested{0};
    parallel_rows(3, [&](std::size_t r) {
        if (one(2 + r, static_cast<int>(r))) nested.fetch_add(1);
    });
    CHECK(nested.load() == 3);
}
