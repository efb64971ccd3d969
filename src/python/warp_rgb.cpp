// warp_rgb(src, inverse, scale, off_x, off_y, filter="bilinear", out_size=None)
#include <cstdint>
#include <optional>
#include <string_view>

#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/compute_call.hpp"
#include "python/functions.hpp"
#include "warp/warp_rgb.hpp"

namespace trevalin::py {
namespace {

struct WarpArgs {
    double inverse[9];
    double scale, off_x, off_y;
    Filter filter;
    bool has_out_size;
    std::uint64_t out_w, out_h;
};

// Whether an image of w x h x c samples of `itemsize` bytes can exist as a
// NumPy array at all; raises MemoryError when not. NumPy bounds the product of
// the non-zero dimensions even for an empty array.
bool output_fits(std::uint64_t w, std::uint64_t h, std::uint64_t c, std::uint64_t itemsize) {
    std::uint64_t n;
    if (__builtin_mul_overflow(w ? w : 1, h ? h : 1, &n) || __builtin_mul_overflow(n, c * itemsize, &n) ||
        n > PY_SSIZE_T_MAX) {
        PyErr_SetString(PyExc_MemoryError, "the output image would exceed the largest array NumPy can hold");
        return false;
    }
    return true;
}

template <class T>
PyObject* warp_typed(PyObject* src, const WarpArgs& a) {
    std::optional<Samples<T>> samples;
    if (!read_samples(src, samples)) return nullptr;
    const auto height = static_cast<std::uint64_t>(samples->shape[0]);
    const auto width = static_cast<std::uint64_t>(samples->shape[1]);
    const std::uint64_t out_w = a.has_out_size ? a.out_w : width;
    const std::uint64_t out_h = a.has_out_size ? a.out_h : height;
    if (!output_fits(out_w, out_h, 3, sizeof(T))) return nullptr;
    std::optional<Outcome<Buffer<T>>> outcome;
    if (!run_unlocked([&] {
            outcome.emplace(warp_rgb<T>(samples->data, samples->count, width, height, out_w, out_h, a.inverse,
                                        a.scale, a.off_x, a.off_y, a.filter));
        }))
        return nullptr;
    auto* out = value_or_panic(*outcome, "the buffer length comes from the array's own shape");
    if (!out) return nullptr;
    samples.reset();
    const Py_ssize_t shape[3] = {static_cast<Py_ssize_t>(out_h), static_cast<Py_ssize_t>(out_w), 3};
    return to_array(std::move(*out), 3, shape);
}

int is_rgb(PyObject* obj, Dtype t) {
    int r = is_array_of(obj, t, 3);
    if (r != 1) return r;
    return layout_of(obj).shape[2] == 3 ? 1 : 0;
}

const char* const warp_names[] = {"src", "inverse", "scale", "off_x", "off_y", "filter", "out_size"};
const Signature warp_signature = {"warp_rgb", warp_names, 7, 5};

}  // namespace

PyObject* warp_rgb_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[7];
    if (!bind_arguments(warp_signature, args, nargs, kwnames, bound)) return nullptr;
    WarpArgs a{};
    if (!to_nine_doubles(bound[1], "inverse", a.inverse)) return nullptr;
    if (!to_double(bound[2], "scale", a.scale)) return nullptr;
    if (!to_double(bound[3], "off_x", a.off_x)) return nullptr;
    if (!to_double(bound[4], "off_y", a.off_y)) return nullptr;
    std::string_view filter_text = "bilinear";
    if (bound[5] && !to_text(bound[5], "filter", filter_text)) return nullptr;
    a.has_out_size = bound[6] && bound[6] != Py_None;
    if (a.has_out_size && !to_size_pair(bound[6], "out_size", a.out_w, a.out_h)) return nullptr;
    auto filter = parse_filter(filter_text);
    if (!filter) return nullptr;
    a.filter = *filter;

    PyObject* src = bound[0];
    int r;
    if ((r = is_rgb(src, Dtype::UInt8)) != 0) return r < 0 ? nullptr : warp_typed<std::uint8_t>(src, a);
    if ((r = is_rgb(src, Dtype::UInt16)) != 0) return r < 0 ? nullptr : warp_typed<std::uint16_t>(src, a);
    PyErr_SetString(PyExc_TypeError, "warp_rgb expects a (height, width, 3) array of uint8 or uint16");
    return nullptr;
}

}  // namespace trevalin::py
