#pragma once
// Eight samples as working values (see working_value) in one vector of
// doubles, where the CPU has AVX-512: integer and float samples are exact in
// double, and the 16-bit quotient is the correctly rounded one in every lane.

#include <immintrin.h>

#include <cstdint>

#include "detector/working_value.hpp"

namespace trevalin {

#define TREVALIN_WORKING_OCT __attribute__((target("avx512f,avx512dq,avx512vl"), always_inline)) inline

TREVALIN_WORKING_OCT __m512d load_oct(const std::uint8_t* p) {
    return _mm512_cvtepi32_pd(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

TREVALIN_WORKING_OCT __m512d load_oct(const std::uint16_t* p) {
    const __m256i words = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return _mm512_div_pd(_mm512_cvtepi32_pd(words), _mm512_set1_pd(257.0));
}

TREVALIN_WORKING_OCT __m512d load_oct(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }

TREVALIN_WORKING_OCT __m512d load_oct(const double* p) { return _mm512_loadu_pd(p); }

#undef TREVALIN_WORKING_OCT

}  // namespace trevalin
