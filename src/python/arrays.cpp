// The only file that includes NumPy's headers. The array API table is looked
// up by hand, lazily, so that importing trevalin does not import NumPy.
#include "python/arrays.hpp"

#include <cstdlib>
#include <cstring>

#include <numpy/ndarrayobject.h>

namespace trevalin::py {
namespace {

constexpr unsigned kAbiVersion = 0x2000000;
// The oldest NumPy the package supports (the build derives both from pyproject.toml).
constexpr unsigned kFeatureVersion = NPY_TARGET_VERSION;

// Major version of the installed NumPy, as NumPy itself parses it.
int numpy_major(long& major) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    Ref numpy_lib(PyImport_ImportModule("numpy.lib"));
    if (!numpy_lib) return -1;
    Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return -1;
    Ref parsed(PyObject_CallMethod(numpy_lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return -1;
    Ref m(PyObject_GetAttrString(parsed.get(), "major"));
    if (!m) return -1;
    major = PyLong_AsLong(m.get());
    return major == -1 && PyErr_Occurred() ? -1 : 0;
}

void** find_capsule() {
    long major = 0;
    if (numpy_major(major) < 0) return nullptr;
    Ref multiarray(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    if (!multiarray) return nullptr;
    Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return nullptr;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
        return nullptr;
    }
    auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is a null pointer");
    return table;
}

// Native descriptors of the four element types, owned for the process.
PyArray_Descr* g_descr[4] = {nullptr, nullptr, nullptr, nullptr};

int load_numpy() {
    if (PyArray_API) return 0;
    void** table = find_capsule();
    if (!table) {
        // Wrap whatever went wrong into the internal-failure exception.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref t(type), v(value), b(tb);
        Ref text(v ? PyObject_Str(v.get()) : nullptr);
        if (!text) PyErr_Clear();
        std::string message = "Failed to access NumPy array API capsule";
        if (text) {
            const char* s = PyUnicode_AsUTF8(text.get());
            if (s) message += std::string(": ") + s;
            else PyErr_Clear();
        }
        raise_panic(message);
        return -1;
    }
    auto abi = reinterpret_cast<unsigned (*)(void)>(table[0])();
    if (abi > kAbiVersion) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     kAbiVersion, abi);
        return -1;
    }
    auto feature = reinterpret_cast<unsigned (*)(void)>(table[211])();
    if (feature < kFeatureVersion) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x (NumPy " TREVALIN_NUMPY_FLOOR ") but the running "
                     "NumPy has C-API version 0x%x",
                     kFeatureVersion, feature);
        return -1;
    }
    PyArray_API = table;
    PyArray_RUNTIME_VERSION = static_cast<int>(feature);
    const int types[4] = {NPY_UINT8, NPY_UINT16, NPY_FLOAT32, NPY_FLOAT64};
    for (int i = 0; i < 4; ++i) {
        if (!g_descr[i]) g_descr[i] = PyArray_DescrFromType(types[i]);
        if (!g_descr[i]) {
            PyArray_API = nullptr;
            return -1;
        }
    }
    return 0;
}

PyArray_Descr* descr(Dtype t) { return g_descr[static_cast<int>(t)]; }

void free_capsule_buffer(PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, "trevalin.buffer"));
}

}  // namespace

int is_array_of(PyObject* obj, Dtype t, int ndim) {
    if (load_numpy() < 0) return -1;
    if (!PyArray_Check(obj)) return 0;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim) return 0;
    return PyArray_EquivTypes(PyArray_DESCR(arr), descr(t)) ? 1 : 0;
}

ArrayLayout layout_of(PyObject* array) {
    auto* arr = reinterpret_cast<PyArrayObject*>(array);
    ArrayLayout a{};
    a.data = static_cast<char*>(PyArray_DATA(arr));
    a.ndim = PyArray_NDIM(arr);
    for (int i = 0; i < a.ndim && i < 3; ++i) {
        a.shape[i] = PyArray_DIMS(arr)[i];
        a.strides[i] = PyArray_STRIDES(arr)[i];
    }
    return a;
}

bool is_row_major(const ArrayLayout& a, std::size_t itemsize) {
    for (int i = 0; i < a.ndim; ++i)
        if (a.shape[i] == 0) return true;
    Py_ssize_t expected = static_cast<Py_ssize_t>(itemsize);
    for (int i = a.ndim - 1; i >= 0; --i) {
        if (a.shape[i] != 1 && a.strides[i] != expected) return false;
        expected *= a.shape[i];
    }
    return true;
}

void copy_row_major(const ArrayLayout& a, std::size_t itemsize, void* out) {
    // The trailing axes that are already laid out contiguously are copied as
    // one block each.
    Py_ssize_t shape[3] = {1, 1, 1}, strides[3] = {0, 0, 0};
    const int pad = 3 - a.ndim;
    for (int i = 0; i < a.ndim; ++i) {
        shape[pad + i] = a.shape[i];
        strides[pad + i] = a.strides[i];
    }
    std::size_t block = itemsize;
    int inner = 3;  // axes inner .. 2 form one contiguous block
    while (inner > 0 && (shape[inner - 1] == 1 || strides[inner - 1] == static_cast<Py_ssize_t>(block))) {
        block *= static_cast<std::size_t>(shape[inner - 1]);
        --inner;
    }
    char* dst = static_cast<char*>(out);
    Py_ssize_t n[3], st[3];
    for (int i = 0; i < 3; ++i) {
        n[i] = i < inner ? shape[i] : 1;
        st[i] = i < inner ? strides[i] : 0;
    }
    for (Py_ssize_t i = 0; i < n[0]; ++i)
        for (Py_ssize_t j = 0; j < n[1]; ++j)
            for (Py_ssize_t k = 0; k < n[2]; ++k) {
                std::memcpy(dst, a.data + i * st[0] + j * st[1] + k * st[2], block);
                dst += block;
            }
}

PyObject* adopt_buffer(void* data, Dtype t, int ndim, const Py_ssize_t* shape) {
    if (load_numpy() < 0) {
        std::free(data);
        return nullptr;
    }
    npy_intp dims[3];
    for (int i = 0; i < ndim; ++i) dims[i] = shape[i];
    PyArray_Descr* d = descr(t);
    Py_INCREF(d);  // stolen by the constructor
    if (!data) {
        // No samples: NumPy's own (empty) allocation is the storage.
        return PyArray_NewFromDescr(&PyArray_Type, d, ndim, dims, nullptr, nullptr, NPY_ARRAY_CARRAY, nullptr);
    }
    Ref array(PyArray_NewFromDescr(&PyArray_Type, d, ndim, dims, nullptr, data, NPY_ARRAY_CARRAY, nullptr));
    if (!array) {
        std::free(data);
        return nullptr;
    }
    PyObject* owner = PyCapsule_New(data, "trevalin.buffer", free_capsule_buffer);
    if (!owner) {
        std::free(data);
        return nullptr;
    }
    // Steals `owner` on success and on failure alike.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner) < 0) return nullptr;
    return array.release();
}

}  // namespace trevalin::py
