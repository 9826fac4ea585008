// The parameter rules shared by every public operation.
//
// A parameter declared as text, tuple, list, set or map takes exactly that type:
// subclasses and the absent value are refused with the host's TypeError
// "Argument '...' has incorrect type (expected ..., got ...)". A parameter
// declared as integer takes an int unchanged and converts any other number.
#pragma once

#include "corvane/native/python.h"

namespace corvane::native {

[[noreturn]] void raise_argument_type_error(const char* parameter, const char* expected,
                                            nb::handle value);

// Refuses `value` unless its type is exactly `type`.
inline void require_exact(nb::handle value, PyTypeObject* type, const char* parameter) {
    if (Py_TYPE(value.ptr()) != type) raise_argument_type_error(parameter, type->tp_name, value);
}

// As `require_exact`, but the absent value passes too.
inline void require_exact_or_none(nb::handle value, PyTypeObject* type, const char* parameter) {
    if (!value.is_none()) require_exact(value, type, parameter);
}

inline void require_str(nb::handle value, const char* parameter) {
    require_exact(value, &PyUnicode_Type, parameter);
}
inline void require_str_or_none(nb::handle value, const char* parameter) {
    require_exact_or_none(value, &PyUnicode_Type, parameter);
}
inline void require_tuple(nb::handle value, const char* parameter) {
    require_exact(value, &PyTuple_Type, parameter);
}
inline void require_list(nb::handle value, const char* parameter) {
    require_exact(value, &PyList_Type, parameter);
}
inline void require_set(nb::handle value, const char* parameter) {
    require_exact(value, &PySet_Type, parameter);
}
inline void require_dict(nb::handle value, const char* parameter) {
    require_exact(value, &PyDict_Type, parameter);
}

// The integer rule: an int is returned unchanged; any other number goes
// through the host's integer conversion (a float is cut toward zero, a boolean
// becomes 0 or 1); anything else is refused naming "int".
nb::object int_argument(nb::handle value, const char* parameter);

// The integer rule, with the absent value passed through.
inline nb::object int_or_none_argument(nb::handle value, const char* parameter) {
    if (value.is_none()) return nb::none();
    return int_argument(value, parameter);
}

}  // namespace corvane::native
