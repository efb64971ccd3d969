// The Segment class: seven read-only numbers and the computed angle and length.
#include "python/segment.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "python/fixed_one.hpp"

namespace trevalin::py {
namespace {

struct SegmentObject {
    PyObject_HEAD
    Segment record;
};

SegmentObject* as_segment(PyObject* self) { return reinterpret_cast<SegmentObject*>(self); }

template <double Segment::*Field>
PyObject* get_field(PyObject* self, void*) {
    return PyFloat_FromDouble(as_segment(self)->record.*Field);
}

PyObject* get_angle(PyObject* self, void*) {
    const Segment& s = as_segment(self)->record;
    double d = std::atan2(s.y2 - s.y1, s.x2 - s.x1) * 57.29577951308232;
    if (d > 90) d = d - 180;
    if (d <= -90) d = d + 180;
    return PyFloat_FromDouble(d);
}

PyObject* get_length(PyObject* self, void*) {
    const Segment& s = as_segment(self)->record;
    return PyFloat_FromDouble(std::hypot(s.x2 - s.x1, s.y2 - s.y1));
}

PyObject* segment_repr(PyObject* self) {
    const Segment& s = as_segment(self)->record;
    std::string text = "Segment((";
    append_fixed_one(text, s.x1);
    text += ", ";
    append_fixed_one(text, s.y1);
    text += ")-(";
    append_fixed_one(text, s.x2);
    text += ", ";
    append_fixed_one(text, s.y2);
    text += "), width=";
    append_fixed_one(text, s.width);
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Pickled state: the seven fields as 64-bit little-endian IEEE doubles, so that
// every protocol (text protocol 0 included) restores each bit, NaN payloads too.
constexpr std::size_t state_fields = 7;
constexpr std::size_t state_size = state_fields * sizeof(double);

double* field_at(Segment& s, std::size_t i) {
    double* fields[state_fields] = {&s.x1, &s.y1, &s.x2, &s.y2, &s.width, &s.precision, &s.log_nfa};
    return fields[i];
}

PyObject* segment_reduce(PyObject* self, PyObject*) {
    Segment record = as_segment(self)->record;
    unsigned char state[state_size];
    for (std::size_t i = 0; i < state_fields; ++i) {
        const auto bits = std::bit_cast<std::uint64_t>(*field_at(record, i));
        for (std::size_t b = 0; b < 8; ++b) state[i * 8 + b] = static_cast<unsigned char>(bits >> (8 * b));
    }
    // Rebuilt by a class-level method (pickle stores it as getattr(Segment,
    // name)), so nothing is added to the module's namespace.
    Ref restore(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_unpickle"));
    if (!restore) return nullptr;
    Ref bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(state), state_size));
    if (!bytes) return nullptr;
    return Py_BuildValue("O(O)", restore.get(), bytes.get());
}

PyObject* segment_unpickle(PyObject* type, PyObject* state) {
    if (!PyBytes_Check(state) || PyBytes_GET_SIZE(state) != static_cast<Py_ssize_t>(state_size)) {
        PyErr_Format(PyExc_ValueError, "a pickled Segment holds %zu bytes of state", state_size);
        return nullptr;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(state));
    Segment record{};
    for (std::size_t i = 0; i < state_fields; ++i) {
        std::uint64_t bits = 0;
        for (std::size_t b = 0; b < 8; ++b) bits |= static_cast<std::uint64_t>(bytes[i * 8 + b]) << (8 * b);
        *field_at(record, i) = std::bit_cast<double>(bits);
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    PyObject* obj = cls->tp_alloc(cls, 0);
    if (!obj) return nullptr;
    as_segment(obj)->record = record;
    return obj;
}

PyMethodDef segment_methods[] = {
    {"__reduce__", segment_reduce, METH_NOARGS, nullptr},
    {"_unpickle", segment_unpickle, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void segment_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef segment_getset[] = {
    {"x1", get_field<&Segment::x1>, nullptr, nullptr, nullptr},
    {"y1", get_field<&Segment::y1>, nullptr, nullptr, nullptr},
    {"x2", get_field<&Segment::x2>, nullptr, nullptr, nullptr},
    {"y2", get_field<&Segment::y2>, nullptr, nullptr, nullptr},
    {"width", get_field<&Segment::width>, nullptr, nullptr, nullptr},
    {"precision", get_field<&Segment::precision>, nullptr, nullptr, nullptr},
    {"log_nfa", get_field<&Segment::log_nfa>, nullptr, nullptr, nullptr},
    {"angle", get_angle, nullptr, "Direction in degrees, -90 to 90, 0 = horizontal.", nullptr},
    {"length", get_length, nullptr, "Length in pixels.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot segment_slots[] = {
    {Py_tp_doc, const_cast<char*>("One detected line segment, in input-image coordinates.")},
    {Py_tp_getset, segment_getset},
    {Py_tp_methods, segment_methods},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(segment_dealloc)},
    {0, nullptr},
};

PyType_Spec segment_spec = {
    "trevalin.Segment",
    sizeof(SegmentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    segment_slots,
};

}  // namespace

PyObject* segment_type() {
    static PyObject* type = nullptr;
    if (!type) type = PyType_FromSpec(&segment_spec);
    return type;
}

PyObject* segment_list(const std::vector<Segment>& records) {
    PyObject* type_obj = segment_type();
    if (!type_obj) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(type_obj);
    Ref list(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < records.size(); ++i) {
        PyObject* obj = type->tp_alloc(type, 0);
        if (!obj) return nullptr;
        as_segment(obj)->record = records[i];
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), obj);
    }
    return list.release();
}

}  // namespace trevalin::py
