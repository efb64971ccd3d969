#include "python/segment.hpp"

#include <cmath>
#include <cstddef>
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
