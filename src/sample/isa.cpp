#include "sample/isa.hpp"

namespace trevalin {
namespace {

Isa detect_isa() {
#if TREVALIN_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return Isa::Avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
#endif
    return Isa::Scalar;
}

}  // namespace

Isa detected_isa() {
    static const Isa isa = detect_isa();
    return isa;
}

}  // namespace trevalin
