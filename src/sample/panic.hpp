#pragma once
// A broken internal invariant. Compute code never reports ordinary errors
// through exceptions; this one stops the call, and the Python layer turns it
// into PanicException while the interpreter and the pool keep running.

#include <stdexcept>
#include <string>

namespace trevalin {

struct Panic : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void panic(const std::string& message) { throw Panic(message); }

}  // namespace trevalin
