#pragma once
// The Python class Segment: one detected line segment, immutable.

#include <vector>

#include "detector/types.hpp"
#include "python/py.hpp"

namespace trevalin::py {

// The class object, created on first need and kept for the process;
// nullptr with an exception set if it cannot be created.
PyObject* segment_type();

// A new list holding one Segment per record, in order.
PyObject* segment_list(const std::vector<Segment>& records);

}  // namespace trevalin::py
