#pragma once
// Which vector instruction set the CPU offers the hand-vectorised kernels.

namespace trevalin {

// Instruction sets with vectorised kernels: AVX2, and AVX-512 with its F, BW,
// DQ and VL extensions.
enum class Isa { Scalar, Avx2, Avx512 };

// The widest instruction set that the CPU supports; decided once.
Isa detected_isa();

}  // namespace trevalin
