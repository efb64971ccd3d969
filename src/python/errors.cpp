// Failures of a call turned into Python exceptions: size errors, memory, panics.
#include <exception>
#include <cstdint>
#include <cstdio>
#include <new>
#include <utility>

#include "detector/detect.hpp"
#include "python/py.hpp"
#include "sample/numeric.hpp"
#include "sample/panic.hpp"

namespace trevalin::py {

void add_note(Ref note) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        if (tb) PyException_SetTraceback(value, tb);
        Ref r;
        if (note) r = Ref(PyObject_CallMethod(value, "add_note", "O", note.get()));
        // A note that cannot be added must not replace the real error.
        if (!r) PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
#else
    (void)note;
#endif
}

void add_expected_note(PyObject* given, const char* expected) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref dtype(PyObject_GetAttrString(given, "dtype"));
    Ref shape(dtype ? PyObject_GetAttrString(given, "shape") : nullptr);
    Ref note(dtype && shape ? PyUnicode_FromFormat("expected %s, got %S %S", expected, dtype.get(), shape.get())
                            : PyUnicode_FromFormat("expected %s, got %s", expected, Py_TYPE(given)->tp_name));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    add_note(std::move(note));
}

void add_processing_note(const char* name) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref note(PyUnicode_FromFormat("while processing '%s'", name));
    // A note that cannot be made must not replace the real error.
    if (!note) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    add_note(std::move(note));
}

void raise_cast_failure(PyObject* value, const char* to) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", to);
        return;
    }
    Ref qualname(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), to);
}

PyObject* panic_exception_type() {
    // Lives for the rest of the process, like the class objects of the module.
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "trevalin.PanicException",
            "An internal failure of trevalin (a broken invariant). It derives from\n"
            "BaseException, so handlers for Exception do not catch it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (!type) return;
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void raise_from_current_exception() {
    try {
        throw;
    } catch (const AllocationFailed& e) {
        if (e.bytes == SIZE_MAX)
            PyErr_SetString(PyExc_MemoryError, "could not allocate a working buffer: its size overflows");
        else {
            // PyErr_Format knows no floating-point conversions.
            char message[96];
            std::snprintf(message, sizeof message, "could not allocate a working buffer of %zu bytes (%.1f GiB)",
                          e.bytes, static_cast<double>(e.bytes) / 1073741824.0);
            PyErr_SetString(PyExc_MemoryError, message);
        }
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "could not allocate working memory");
    } catch (const ImageTooLarge& e) {
        // An image the detector's 32-bit pixel indices cannot address.
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const Panic& e) {
        raise_panic(e.what());
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
}

}  // namespace trevalin::py
