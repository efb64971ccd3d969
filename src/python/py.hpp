#pragma once
// Small owning helpers for the CPython C API: a reference handle, a scope that
// releases the interpreter lock, and the shared ways of raising errors.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace trevalin::py {

// An owned (strong) reference; released when the handle goes away.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    static Ref borrow(PyObject* b) noexcept {
        Py_XINCREF(b);
        return Ref(b);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Whether the interpreter is shutting down.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Releases the interpreter lock for the lifetime of the scope.
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    ~Unlocked() {
        // A daemon thread that asks for the lock once the interpreter is
        // shutting down is ended with pthread_exit, whose unwinding cannot
        // leave this destructor: the process would abort. Such a thread
        // waits here instead until the process exits, as newer interpreters
        // do themselves. When the shutdown begins between the test and the
        // request, the unwinding is caught here and the thread waits all the
        // same (it must not leave the handler, which would abort too).
        while (interpreter_finalizing()) pause();
        try {
            PyEval_RestoreThread(state_);
        } catch (abi::__forced_unwind&) {
            for (;;) pause();
        }
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

// Adds the note "while processing 'NAME'" to the exception being raised.
void add_processing_note(const char* name);

// Adds a note to the exception being raised: "expected {expected}, got
// {dtype} {shape}" for an array, "expected {expected}, got {type}" otherwise.
void add_expected_note(PyObject* given, const char* expected);

// TypeError "'{from}' object is not an instance of '{to}'" (or, for None,
// "'None' is not an instance of '{to}'").
void raise_cast_failure(PyObject* value, const char* to);

// The class PanicException (created once per process); nullptr with an
// exception set if it cannot be created.
PyObject* panic_exception_type();

// Raises PanicException(message).
void raise_panic(const std::string& message);

// Turns the exception currently being handled (inside a catch block) into the
// matching Python exception: MemoryError for allocation failures, ValueError
// for sizes beyond what the compute code can index, PanicException for broken
// invariants and anything unexpected.
void raise_from_current_exception();

}  // namespace trevalin::py
