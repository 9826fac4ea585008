// Context managers from C++, with the semantics of the host's `with` statement.
#pragma once

#include "corvane/native/python.h"

namespace corvane::native {

// Looks up `__exit__`, then `__enter__`, on the manager's type (a missing one
// raises AttributeError naming it) and calls `__enter__`; returns the bound
// `__exit__`. The value that entering yields is not used.
nb::object enter_context(nb::handle manager);

// Leaves after the body ran to its end: `__exit__(None, None, None)`.
void exit_context(nb::handle exit);

// Leaves after the body raised `error`: `__exit__(type, value, traceback)`,
// called while `error` is the exception being handled. True when the exit
// suppresses the error.
bool exit_context(nb::handle exit, const nb::python_error& error);

// `with manager: body()`. Returns true when the body ran to its end, false
// when it raised and the manager's exit suppressed the error; otherwise the
// body's error (or one raised by the exit) propagates. `body` reports failures
// as `nb::python_error`, as every call through nanobind and the support layer does.
template <typename Body>
bool with_context(nb::handle manager, Body&& body) {
    nb::object exit = enter_context(manager);
    try {
        body();
    } catch (nb::python_error& error) {
        if (exit_context(exit, error)) return false;
        throw;
    }
    exit_context(exit);
    return true;
}

}  // namespace corvane::native
