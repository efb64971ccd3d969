#pragma once
// Which vector instruction set the hand-vectorised kernels may use.

// The x86 kernels (AVX2, AVX-512) are compiled on x86 only; elsewhere every
// kernel runs its portable scalar form.
#if defined(__x86_64__) || defined(__i386__)
#define TREVALIN_X86 1
#else
#define TREVALIN_X86 0
#endif

namespace trevalin {

// Instruction sets with vectorised kernels, narrowest first: AVX2, and
// AVX-512 with its F, BW, DQ and VL extensions.
enum class Isa { Scalar, Avx2, Avx512 };

// The widest instruction set that the kernels may use: what the CPU
// supports, capped by the build (TREVALIN_MAX_ISA) and by cap_isa. Cheap
// enough to ask once per row.
Isa detected_isa();

// Caps the instruction set for the whole process from now on (Isa::Avx512
// lifts the cap again); the build's own cap always holds. It lets one CPU run
// every narrower path, as the C++ tests do. Every path gives the same bits,
// so a call running while the cap changes still gives the right result.
void cap_isa(Isa widest);

}  // namespace trevalin
