#pragma once
// Which vector instruction set the CPU offers the hand-vectorised kernels.

// The x86 kernels (AVX2, AVX-512) are compiled on x86 only; elsewhere every
// kernel runs its portable scalar form.
#if defined(__x86_64__) || defined(__i386__)
#define TREVALIN_X86 1
#else
#define TREVALIN_X86 0
#endif

namespace trevalin {

// Instruction sets with vectorised kernels: AVX2, and AVX-512 with its F, BW,
// DQ and VL extensions.
enum class Isa { Scalar, Avx2, Avx512 };

// The widest instruction set that the CPU supports; decided once.
Isa detected_isa();

}  // namespace trevalin
