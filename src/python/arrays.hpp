#pragma once
// NumPy arrays as arguments and results. The NumPy C API is loaded on the
// first array check of the process; nothing else here touches its headers.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "python/py.hpp"
#include "sample/buffer.hpp"

namespace trevalin::py {

enum class Dtype { UInt8, UInt16, Float32, Float64 };

template <class T> constexpr Dtype dtype_of();
template <> constexpr Dtype dtype_of<std::uint8_t>() { return Dtype::UInt8; }
template <> constexpr Dtype dtype_of<std::uint16_t>() { return Dtype::UInt16; }
template <> constexpr Dtype dtype_of<float>() { return Dtype::Float32; }
template <> constexpr Dtype dtype_of<double>() { return Dtype::Float64; }

// 1 when obj is a NumPy array (or subclass) with exactly ndim dimensions and a
// dtype equivalent to the native one of t; 0 when not; -1 with an exception
// set when NumPy could not be loaded.
int is_array_of(PyObject* obj, Dtype t, int ndim);

// Shape, strides (bytes) and data of an accepted array.
struct ArrayLayout {
    char* data;
    int ndim;
    Py_ssize_t shape[3];
    Py_ssize_t strides[3];
};
ArrayLayout layout_of(PyObject* array);

// Row-major contiguous: an empty axis, or each axis longer than 1 strides by
// the product of the lengths after it.
bool is_row_major(const ArrayLayout& a, std::size_t itemsize);

// Copies the elements of a non-empty array into `out` in row-major order,
// whatever its strides (negative ones included).
void copy_row_major(const ArrayLayout& a, std::size_t itemsize, void* out);

// The elements of an accepted array in row-major order: the array's own
// memory when it is row-major contiguous and aligned for T, otherwise a copy
// owned here. Holds a reference to the array for as long as it lives.
template <class T>
struct Samples {
    Ref array;
    const T* data = nullptr;
    std::size_t count = 0;
    Py_ssize_t shape[3] = {0, 0, 0};
    Buffer<T> copy;

    // Throws std::bad_alloc when the copy cannot be made.
    explicit Samples(PyObject* accepted) : array(Ref::borrow(accepted)) {
        ArrayLayout a = layout_of(accepted);
        count = 1;
        for (int i = 0; i < a.ndim; ++i) {
            shape[i] = a.shape[i];
            count *= static_cast<std::size_t>(a.shape[i]);
        }
        // A NumPy array may start at any byte (a view at an odd offset into a
        // byte buffer); such data is read through the copy, never as T.
        const bool aligned = reinterpret_cast<std::uintptr_t>(a.data) % alignof(T) == 0;
        if (aligned && is_row_major(a, sizeof(T))) {
            data = reinterpret_cast<const T*>(a.data);
            return;
        }
        copy = Buffer<T>::uninitialized(count);
        if (count != 0) copy_row_major(a, sizeof(T), copy.data());
        data = copy.data();
    }
};

// Reads an accepted array into `out`; false with MemoryError set when its
// copy cannot be made.
template <class T>
bool read_samples(PyObject* accepted, std::optional<Samples<T>>& out) {
    try {
        out.emplace(accepted);
        return true;
    } catch (...) {
        raise_from_current_exception();
        return false;
    }
}

// A new C-contiguous, writeable array of the given dtype and shape whose
// storage is `data` (malloc'd; the array frees it when it dies). On failure
// returns nullptr with an exception set, and `data` is freed.
PyObject* adopt_buffer(void* data, Dtype t, int ndim, const Py_ssize_t* shape);

template <class T>
PyObject* to_array(Buffer<T>&& out, int ndim, const Py_ssize_t* shape) {
    return adopt_buffer(out.release(), dtype_of<T>(), ndim, shape);
}

}  // namespace trevalin::py
