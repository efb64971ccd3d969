// Run-time choice of the kernels' instruction set.
#include "sample/isa.hpp"

#include <algorithm>
#include <atomic>

// The build's cap, set by CMake from TREVALIN_MAX_ISA: 0 scalar, 1 AVX2,
// 2 AVX-512.
#ifndef TREVALIN_MAX_ISA_LEVEL
#define TREVALIN_MAX_ISA_LEVEL 2
#define TREVALIN_MAX_ISA_NAME "avx512"
#endif

namespace trevalin {
namespace {

constexpr Isa kBuildCap = static_cast<Isa>(TREVALIN_MAX_ISA_LEVEL);

// The cap as text in the binary, where the benchmarks read which path a
// build runs without the module offering any interface for it.
[[gnu::used]] const char kBuildCapNote[] = "trevalin TREVALIN_MAX_ISA=" TREVALIN_MAX_ISA_NAME ";";

Isa cpu_isa() {
#if TREVALIN_X86
    __builtin_cpu_init();
    // Every CPU with AVX2 or AVX-512 that we know of has FMA too; the
    // resampling kernels use it, so it is asked for all the same.
    if (!__builtin_cpu_supports("fma")) return Isa::Scalar;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return Isa::Avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
#endif
    return Isa::Scalar;
}

std::atomic<Isa> process_cap{Isa::Avx512};

}  // namespace

Isa detected_isa() {
    static const Isa supported = std::min(cpu_isa(), kBuildCap);
    return std::min(supported, process_cap.load(std::memory_order_relaxed));
}

void cap_isa(Isa widest) { process_cap.store(widest, std::memory_order_relaxed); }

}  // namespace trevalin
