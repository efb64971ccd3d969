#pragma once
// The module's four functions (fast calls with keywords).

#include "python/py.hpp"

namespace trevalin::py {

PyObject* detect_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* warp_rgb_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* remap_rgb_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* remap_gray_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace trevalin::py
