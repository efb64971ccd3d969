// The module object: its execution step and its entry symbol.
#include "python/functions.hpp"
#include "python/py.hpp"
#include "python/segment.hpp"

namespace trevalin::py {
namespace {

PyMethodDef function_defs[] = {
    {"detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(detect_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "detect(gray, scale=...)\n--\n\nFind the validated line segments of a grayscale image."},
    {"warp_rgb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(warp_rgb_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "warp_rgb(src, inverse, scale, off_x, off_y, filter=\"bilinear\", out_size=None)\n--\n\n"
     "Perspective-warp an RGB image through an inverse homography."},
    {"remap_rgb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(remap_rgb_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "remap_rgb(src, map_x, map_y, filter=\"bilinear\")\n--\n\n"
     "Resample an RGB image through a coordinate map: output pixel (x, y)\n"
     "takes its value from source position (map_x[y, x], map_y[y, x])."},
    {"remap_gray", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(remap_gray_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "remap_gray(src, map_x, map_y, filter=\"bilinear\")\n--\n\n"
     "Resample a single-channel image (a mask) through a coordinate map."},
};

// Appends name to __all__ (creating the list if needed), then sets the attribute.
int register_name(PyObject* module, const char* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, value);
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        raise_cast_failure(module, "PyModule");
        return -1;
    }
    PyObject* segment = segment_type();
    if (!segment || register_name(module, "Segment", segment) < 0) return -1;
    Ref module_name(PyUnicode_FromString("trevalin"));
    if (!module_name) return -1;
    for (PyMethodDef& def : function_defs) {
        Ref fn(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!fn || register_name(module, def.ml_name, fn.get()) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "trevalin",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace trevalin::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_trevalin(void) {
    return PyModuleDef_Init(&trevalin::py::module_def);
}
