#pragma once
// The one error record of the compute entries, and the result type that
// carries either a value or that record.

#include <cstdint>
#include <string>
#include <variant>

namespace trevalin {

// A buffer whose element count is not the product of the dimensions given with it.
struct SizeMismatch {
    std::uint64_t expected;
    std::uint64_t got;
};

// "SizeMismatch { expected: 12, got: 10 }"
std::string to_string(const SizeMismatch& m);

template <class T>
using Outcome = std::variant<T, SizeMismatch>;

}  // namespace trevalin
