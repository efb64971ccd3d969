#pragma once
// Binding of fast-call arguments to named parameters, and the conversions of
// single arguments. Every conversion returns false (or -1) with the Python
// exception set, carrying the note "while processing 'NAME'".

#include <cstdint>
#include <optional>
#include <string_view>

#include "python/py.hpp"
#include "sample/filter.hpp"

namespace trevalin::py {

// Parameters of one function: all may be given by position or by keyword;
// the first `required` are required.
struct Signature {
    const char* function;
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
};

// Fills bound[0 .. count) with borrowed references (nullptr where an optional
// parameter was not given). Raises TypeError in the interpreter's wording for
// missing, surplus, unknown or repeated arguments.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound);

bool to_double(PyObject* value, const char* name, double& out);
bool to_text(PyObject* value, const char* name, std::string_view& out);
bool to_nine_doubles(PyObject* value, const char* name, double (&out)[9]);
bool to_size_pair(PyObject* value, const char* name, std::uint64_t& first, std::uint64_t& second);

// Bilinear for "bilinear", Lanczos3 for "lanczos3" (byte for byte);
// otherwise raises ValueError naming the text.
std::optional<Filter> parse_filter(std::string_view text);

// The `filter` argument: absent means "bilinear"; given, it must be a str
// (note 'filter'); then parsed. Returns false with the exception set.
bool filter_argument(PyObject* value, Filter& out);

}  // namespace trevalin::py
