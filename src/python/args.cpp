// Argument conversion for the module's functions: numbers, filters, matrices, sizes.
#include "python/args.hpp"

#include <string>

namespace trevalin::py {

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs > sig.count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", sig.function, sig.count,
                     sig.count == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < sig.count; ++i) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function, key);
            return false;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                         sig.function, sig.names[slot], slot + 1);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (!bound[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", sig.function,
                         sig.names[i], i + 1);
            return false;
        }
    }
    return true;
}

bool to_double(PyObject* value, const char* name, double& out) {
    out = PyFloat_AsDouble(value);
    if (out == -1.0 && PyErr_Occurred()) {
        add_processing_note(name);
        return false;
    }
    return true;
}

bool to_text(PyObject* value, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(value)) {
        raise_cast_failure(value, "str");
        add_processing_note(name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(value, &size);
    if (!s) {
        add_processing_note(name);
        return false;
    }
    out = std::string_view(s, static_cast<std::size_t>(size));
    return true;
}

bool to_nine_doubles(PyObject* value, const char* name, double (&out)[9]) {
    if (!PySequence_Check(value)) {
        raise_cast_failure(value, "Sequence");
        add_processing_note(name);
        return false;
    }
    Py_ssize_t n = PySequence_Size(value);
    if (n < 0) {
        add_processing_note(name);
        return false;
    }
    if (n != 9) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length 9 (got %zd)", n);
        add_processing_note(name);
        return false;
    }
    for (Py_ssize_t i = 0; i < 9; ++i) {
        Ref index(PyLong_FromSsize_t(i));
        Ref item(index ? PyObject_GetItem(value, index.get()) : nullptr);
        if (!item || !to_double(item.get(), name, out[i])) {
            if (!item) add_processing_note(name);
            return false;
        }
    }
    return true;
}

bool to_size_pair(PyObject* value, const char* name, std::uint64_t& first, std::uint64_t& second) {
    if (!PyTuple_Check(value)) {
        raise_cast_failure(value, "tuple");
        add_processing_note(name);
        return false;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(value);
    if (n != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
        add_processing_note(name);
        return false;
    }
    std::uint64_t* outs[2] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        Ref index(PyNumber_Index(PyTuple_GET_ITEM(value, i)));
        if (!index) {
            add_processing_note(name);
            return false;
        }
        unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            add_processing_note(name);
            return false;
        }
        *outs[i] = v;
    }
    return true;
}

namespace {

// The text as it appears in the message: quoted, with quotes, backslashes and
// control, unprintable or combining characters escaped.
Ref quoted(std::string_view text) {
    Ref str(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    if (!str) return Ref();
    Ref unicodedata;
    std::string out = "\"";
    Py_ssize_t n = PyUnicode_GET_LENGTH(str.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(str.get(), i);
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        bool escape = !Py_UNICODE_ISPRINTABLE(c);
        if (!escape && c >= 0x300) {
            // Combining marks (categories Mn, Mc, Me) would attach to the quote.
            if (!unicodedata) unicodedata = Ref(PyImport_ImportModule("unicodedata"));
            if (!unicodedata) return Ref();
            Ref ch(PyUnicode_FromOrdinal(static_cast<int>(c)));
            Ref cat(ch ? PyObject_CallMethod(unicodedata.get(), "category", "O", ch.get()) : nullptr);
            const char* s = cat ? PyUnicode_AsUTF8(cat.get()) : nullptr;
            if (!s) return Ref();
            escape = s[0] == 'M';
        }
        if (escape) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
            out += buf;
        } else {
            Ref ch(PyUnicode_FromOrdinal(static_cast<int>(c)));
            Py_ssize_t len = 0;
            const char* s = ch ? PyUnicode_AsUTF8AndSize(ch.get(), &len) : nullptr;
            if (!s) return Ref();
            out.append(s, static_cast<std::size_t>(len));
        }
    }
    out += '"';
    return Ref(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace

std::optional<Filter> parse_filter(std::string_view text) {
    if (text == "bilinear") return Filter::Bilinear;
    if (text == "lanczos3") return Filter::Lanczos3;
    Ref q = quoted(text);
    if (q) PyErr_Format(PyExc_ValueError, "unknown filter %U, expected \"bilinear\" or \"lanczos3\"", q.get());
    return std::nullopt;
}

bool filter_argument(PyObject* value, Filter& out) {
    std::string_view text = "bilinear";
    if (value && !to_text(value, "filter", text)) return false;
    auto f = parse_filter(text);
    if (!f) return false;
    out = *f;
    return true;
}

}  // namespace trevalin::py
