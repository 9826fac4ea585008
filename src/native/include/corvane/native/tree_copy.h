// Deep copies of syntax trees, as the host's `copy.deepcopy` makes them.
#pragma once

#include "corvane/native/python.h"

namespace corvane::native::tree {

// `copy.deepcopy(value)`. The values that syntax trees are made of (nodes and
// their spans, lists, tuples, dicts, enumeration members, numbers and texts)
// are copied in C++ by the host's own rules: a plain object is remade with
// `cls.__new__(cls)` and gets deep copies of its `__dict__` entries, in order,
// and objects met twice are copied once. Anything else, and every class that
// customises copying or pickling, goes through `copy.deepcopy` with the same memo.
nb::object deep_copy(nb::handle value);

}  // namespace corvane::native::tree
