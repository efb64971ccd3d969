#pragma once
// Conversions and size arithmetic shared by the detector and the resamplers.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

namespace trevalin {

// Truncation toward zero with saturation: negative or NaN gives 0, anything
// at or above 2^64 gives the largest value.
inline std::uint64_t to_u64_sat(double v) {
    if (!(v > 0.0)) return 0;  // also NaN
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

// A request for memory that failed, with its size in bytes (SIZE_MAX when
// the size itself overflowed), for the message the caller gets.
struct AllocationFailed : std::bad_alloc {
    std::size_t bytes;
    explicit AllocationFailed(std::size_t b) noexcept : bytes(b) {}
    const char* what() const noexcept override { return "allocation failed"; }
};

// a * b for sizes; an overflow is an allocation that can never succeed.
inline std::size_t mul_size(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw AllocationFailed(SIZE_MAX);
    return r;
}

inline std::size_t mul_size(std::size_t a, std::size_t b, std::size_t c) {
    return mul_size(mul_size(a, b), c);
}

// a * b for element counts that are compared rather than allocated: an
// overflowing product saturates, which never equals a real buffer length.
inline std::uint64_t mul_count(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::numeric_limits<std::uint64_t>::max();
    return r;
}

}  // namespace trevalin
