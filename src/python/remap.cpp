// remap_rgb(src, map_x, map_y, filter="bilinear") and
// remap_gray(src, map_x, map_y, filter="bilinear")
#include <cstdint>
#include <optional>

#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/compute_call.hpp"
#include "python/functions.hpp"
#include "warp/remap.hpp"

namespace trevalin::py {
namespace {

template <class T, int C>
PyObject* remap_channels(PyObject* src, PyObject* map_x, PyObject* map_y, Filter filter) {
    std::optional<Samples<T>> samples;
    std::optional<Samples<float>> xs, ys;
    if (!read_samples(src, samples) || !read_samples(map_x, xs) || !read_samples(map_y, ys)) return nullptr;
    const auto height = static_cast<std::size_t>(samples->shape[0]);
    const auto width = static_cast<std::size_t>(samples->shape[1]);
    const auto map_h = static_cast<std::size_t>(xs->shape[0]);
    const auto map_w = static_cast<std::size_t>(xs->shape[1]);
    std::optional<Outcome<Buffer<T>>> outcome;
    if (!run_unlocked([&] {
            outcome.emplace(remap<T, C>(samples->data, samples->count, width, height, xs->data, xs->count,
                                        ys->data, ys->count, map_w, map_h, filter));
        }))
        return nullptr;
    auto* out = value_or_panic(*outcome, "the buffer lengths come from the arrays' own shapes");
    if (!out) return nullptr;
    samples.reset();
    xs.reset();
    ys.reset();
    const Py_ssize_t shape[3] = {static_cast<Py_ssize_t>(map_h), static_cast<Py_ssize_t>(map_w), C};
    return to_array(std::move(*out), C == 3 ? 3 : 2, shape);
}

template <class T>
PyObject* remap_typed(PyObject* src, PyObject* map_x, PyObject* map_y, Filter filter) {
    return remap_channels<T, 3>(src, map_x, map_y, filter);
}

template <class T>
PyObject* remap_gray_typed(PyObject* src, PyObject* map_x, PyObject* map_y, Filter filter) {
    return remap_channels<T, 1>(src, map_x, map_y, filter);
}

// 1 when src has the function's shape (channels 3: (h, w, 3); channels 1: (h, w)).
int is_source(PyObject* src, Dtype t, int channels) {
    int r = is_array_of(src, t, channels == 3 ? 3 : 2);
    if (r != 1 || channels == 1) return r;
    return layout_of(src).shape[2] == 3 ? 1 : 0;
}

bool same_shape(PyObject* a, PyObject* b) {
    ArrayLayout la = layout_of(a), lb = layout_of(b);
    return la.shape[0] == lb.shape[0] && la.shape[1] == lb.shape[1];
}

const char* const remap_names[] = {"src", "map_x", "map_y", "filter"};

// Checks shared by both functions, in order; fills filter. Returns false with
// the exception set.
bool check_maps_and_filter(PyObject* const* bound, Filter& filter) {
    const char* map_names[2] = {"map_x", "map_y"};
    for (int i = 0; i < 2; ++i) {
        int r = is_array_of(bound[1 + i], Dtype::Float32, 2);
        if (r < 0) return false;
        if (r == 0) {
            raise_cast_failure(bound[1 + i], "ndarray");
            add_processing_note(map_names[i]);
            add_expected_note(bound[1 + i], "a float32 array of shape (height, width) in native byte order");
            return false;
        }
    }
    return filter_argument(bound[3], filter);
}

using Typed = PyObject* (*)(PyObject*, PyObject*, PyObject*, Filter);

// What tells the two functions apart.
struct RemapKind {
    Signature signature;
    int channels;
    const char* message;
    Typed u8, u16;
};

PyObject* remap_entry(const RemapKind& kind, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[4];
    if (!bind_arguments(kind.signature, args, nargs, kwnames, bound)) return nullptr;
    Filter filter;
    if (!check_maps_and_filter(bound, filter)) return nullptr;
    Typed typed = nullptr;
    int r = is_source(bound[0], Dtype::UInt8, kind.channels);
    if (r < 0) return nullptr;
    if (r) {
        typed = kind.u8;
    } else {
        r = is_source(bound[0], Dtype::UInt16, kind.channels);
        if (r < 0) return nullptr;
        if (r) typed = kind.u16;
    }
    if (!typed) {
        PyErr_SetString(PyExc_TypeError, kind.message);
        return nullptr;
    }
    if (!same_shape(bound[1], bound[2])) {
        PyErr_SetString(PyExc_ValueError, "map_x and map_y must have the same shape");
        return nullptr;
    }
    return typed(bound[0], bound[1], bound[2], filter);
}

const RemapKind remap_rgb_kind = {
    {"remap_rgb", remap_names, 4, 3}, 3,
    "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps",
    remap_typed<std::uint8_t>, remap_typed<std::uint16_t>};

const RemapKind remap_gray_kind = {
    {"remap_gray", remap_names, 4, 3}, 1,
    "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps",
    remap_gray_typed<std::uint8_t>, remap_gray_typed<std::uint16_t>};

}  // namespace

PyObject* remap_rgb_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return remap_entry(remap_rgb_kind, args, nargs, kwnames);
}

PyObject* remap_gray_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return remap_entry(remap_gray_kind, args, nargs, kwnames);
}

}  // namespace trevalin::py
