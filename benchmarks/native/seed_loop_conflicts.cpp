// Times the detector's stages on a raw 8-bit image and counts how many seeds
// grown ahead of the seed loop were grown again or dropped; see
// bench_seed_loop.py.
//
//   seed_loop_conflicts IMAGE.u8 WIDTH HEIGHT AHEAD ROUNDS [all-ahead]
//
// Prints one JSON line: field and loop milliseconds and their CPU
// milliseconds (best of ROUNDS), the loop thread's time taking stretches in, and
// the kept, regrown and dropped counts of the last round.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <utility>
#include <vector>

#include "detector/downscaled_field.hpp"
#include "detector/growing_ahead.hpp"
#include "pool/pool.hpp"

using namespace trevalin;

namespace {

double cpu_ms() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double since_ms(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: %s IMAGE.u8 WIDTH HEIGHT AHEAD ROUNDS [all-ahead]\n", argv[0]);
        return 2;
    }
    const std::size_t w = std::strtoull(argv[2], nullptr, 10), h = std::strtoull(argv[3], nullptr, 10);
    const std::size_t ahead = std::strtoull(argv[4], nullptr, 10);
    const int rounds = std::atoi(argv[5]);
    std::vector<std::uint8_t> img(w * h);
    if (!std::ifstream(argv[1], std::ios::binary).read(reinterpret_cast<char*>(img.data()), img.size())) return 1;
    double field = 1e300, field_cpu = 1e300, loop = 1e300, loop_cpu = 1e300;
    SeedLoopCounts counts;
    std::size_t segments = 0;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = cpu_ms();
        FieldNotes notes;
        const DownscaledField f = downscaled_level_line_field(img.data(), w, h, 0.8, kRho, &notes);
        field_cpu = std::min(field_cpu, cpu_ms() - c0);
        field = std::min(field, since_ms(t0));
        const auto t1 = std::chrono::steady_clock::now();
        const double c1 = cpu_ms();
        SeedLoop in(f.field.data(), f.width, f.height, std::move(notes), 1.25);
        counts = SeedLoopCounts{.all_ahead = argc == 7};
        segments = loop_growing_ahead(in, ahead, counts).size();
        loop_cpu = std::min(loop_cpu, cpu_ms() - c1);
        loop = std::min(loop, since_ms(t1));
    }
    std::printf("{\"threads\": %zu, \"ahead\": %zu, \"field_ms\": %.2f, \"field_cpu_ms\": %.2f, \"loop_ms\": %.2f, \"loop_cpu_ms\": %.2f, "
                "\"commit_ms\": %.2f, \"kept\": %llu, \"regrown\": %llu, \"dropped\": %llu, \"segments\": %zu}\n",
                pool_thread_count(), ahead, field, field_cpu, loop, loop_cpu, counts.commit_seconds * 1e3,
                static_cast<unsigned long long>(counts.kept), static_cast<unsigned long long>(counts.regrown),
                static_cast<unsigned long long>(counts.dropped), segments);
}
