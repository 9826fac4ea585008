// Raising the system's errors from C++, with the host's chaining of causes.
#pragma once

#include "corvane/native/python.h"

namespace corvane::native {

// Raises `error` (an exception instance) with `cause` as its explicit cause,
// as `raise error from cause` does inside the handler of `cause`.
[[noreturn]] void raise_from(nb::handle error, nb::handle cause);

// Raises `error` inside the handler of `context`: `context` becomes its
// implicit context only, as for a `raise error` in an `except` block.
[[noreturn]] void raise_in_context(nb::handle error, nb::handle context);

// Raises `error` (an exception instance) with no cause.
[[noreturn]] void raise_error(nb::handle error);

// Raises a built-in error class with a finished text.
[[noreturn]] void raise_text(PyObject* error_class, nb::handle text);

// While alive, `error` is the exception being handled, as in the body of an
// `except` clause: errors raised meanwhile get it as their context, and a bare
// re-raise of it keeps its traceback.
class HandlingError {
public:
    explicit HandlingError(nb::handle error);
    ~HandlingError();
    HandlingError(const HandlingError&) = delete;
    HandlingError& operator=(const HandlingError&) = delete;

private:
    PyObject* previous_;
};

// True when the caught error is of the ordinary error class (`Exception`):
// interrupts and exit requests are not.
inline bool is_ordinary(const nb::python_error& error) { return error.matches(PyExc_Exception); }

}  // namespace corvane::native
