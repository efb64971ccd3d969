#pragma once
// Running a compute entry without the interpreter lock, and turning its
// outcome back into Python terms.

#include <exception>
#include <string>
#include <variant>

#include "python/py.hpp"
#include "sample/size_mismatch.hpp"

namespace trevalin::py {

// Runs f() with the interpreter lock released. Returns false with a Python
// exception set when f threw; the lock is held again either way.
template <class F>
bool run_unlocked(F&& f) {
    std::exception_ptr error;
    {
        Unlocked unlocked;
        try {
            f();
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (!error) return true;
    try {
        std::rethrow_exception(error);
    } catch (...) {
        raise_from_current_exception();
    }
    return false;
}

// The value of a compute outcome, or nullptr after raising PanicException
// with "<expectation>: SizeMismatch { ... }".
template <class T>
T* value_or_panic(Outcome<T>& outcome, const char* expectation) {
    if (auto* m = std::get_if<SizeMismatch>(&outcome)) {
        raise_panic(std::string(expectation) + ": " + to_string(*m));
        return nullptr;
    }
    return &std::get<0>(outcome);
}

}  // namespace trevalin::py
