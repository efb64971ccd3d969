// detect(gray, scale=...)
#include <cstdint>
#include <optional>
#include <vector>

#include "detector/detect.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/compute_call.hpp"
#include "python/functions.hpp"
#include "python/segment.hpp"

namespace trevalin::py {
namespace {

template <class T>
PyObject* detect_typed(PyObject* gray, double scale) {
    // Whatever the shape decides is decided before a sample is read or
    // copied: a view of a few bytes may stand for gigabytes.
    const ArrayLayout layout = layout_of(gray);
    try {
        if (!detect_has_work(static_cast<std::uint64_t>(layout.shape[1]), static_cast<std::uint64_t>(layout.shape[0]),
                             scale))
            return segment_list({});
    } catch (...) {
        raise_from_current_exception();
        return nullptr;
    }
    std::optional<Samples<T>> samples;
    if (!read_samples(gray, samples)) return nullptr;
    const auto height = static_cast<std::uint64_t>(samples->shape[0]);
    const auto width = static_cast<std::uint64_t>(samples->shape[1]);
    std::optional<Outcome<std::vector<Segment>>> outcome;
    if (!run_unlocked([&] { outcome.emplace(detect<T>(samples->data, samples->count, width, height, scale)); }))
        return nullptr;
    auto* records = value_or_panic(*outcome, "the buffer length comes from the array's own shape");
    if (!records) return nullptr;
    samples.reset();
    return segment_list(*records);
}

const char* const detect_names[] = {"gray", "scale"};
const Signature detect_signature = {"detect", detect_names, 2, 1};

}  // namespace

PyObject* detect_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    if (!bind_arguments(detect_signature, args, nargs, kwnames, bound)) return nullptr;
    double scale = 0.8;
    if (bound[1] && !to_double(bound[1], "scale", scale)) return nullptr;

    PyObject* gray = bound[0];
    int r;
    if ((r = is_array_of(gray, Dtype::Float64, 2)) != 0) return r < 0 ? nullptr : detect_typed<double>(gray, scale);
    if ((r = is_array_of(gray, Dtype::Float32, 2)) != 0) return r < 0 ? nullptr : detect_typed<float>(gray, scale);
    if ((r = is_array_of(gray, Dtype::UInt8, 2)) != 0) return r < 0 ? nullptr : detect_typed<std::uint8_t>(gray, scale);
    if ((r = is_array_of(gray, Dtype::UInt16, 2)) != 0) return r < 0 ? nullptr : detect_typed<std::uint16_t>(gray, scale);
    PyErr_SetString(PyExc_TypeError, "detect expects a (height, width) array of uint8, uint16, float32 or float64");
    return nullptr;
}

}  // namespace trevalin::py
