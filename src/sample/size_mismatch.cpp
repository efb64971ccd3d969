// The message of a size mismatch between a buffer and its dimensions.
#include "sample/size_mismatch.hpp"

namespace trevalin {

std::string to_string(const SizeMismatch& m) {
    return "SizeMismatch { expected: " + std::to_string(m.expected) +
           ", got: " + std::to_string(m.got) + " }";
}

}  // namespace trevalin
