// Context managers from C++ (see context.h).
#include "corvane/native/context.h"

#include "corvane/native/errors.h"

namespace corvane::native {

namespace {

// The special-method lookup of the `with` statement: on the type, bound to the instance.
nb::object special_method(nb::handle object, const char* name) {
    nb::object key = steal_or_throw(PyUnicode_FromString(name));
    PyTypeObject* type = Py_TYPE(object.ptr());
    nb::object descriptor = nb::borrow(_PyType_Lookup(type, key.ptr()));
    if (!descriptor.is_valid()) {
        PyErr_SetString(PyExc_AttributeError, name);
        throw nb::python_error();
    }
    descrgetfunc get = Py_TYPE(descriptor.ptr())->tp_descr_get;
    if (!get) return descriptor;
    return steal_or_throw(get(descriptor.ptr(), object.ptr(), reinterpret_cast<PyObject*>(type)));
}

}  // namespace

nb::object enter_context(nb::handle manager) {
    nb::object exit = special_method(manager, "__exit__");
    nb::object enter = special_method(manager, "__enter__");
    steal_or_throw(PyObject_CallNoArgs(enter.ptr()));
    return exit;
}

void exit_context(nb::handle exit) {
    steal_or_throw(PyObject_CallFunctionObjArgs(exit.ptr(), Py_None, Py_None, Py_None, nullptr));
}

bool exit_context(nb::handle exit, const nb::python_error& error) {
    HandlingError handling(error.value());
    nb::object traceback = error.traceback();
    PyObject* traceback_or_none = traceback.is_valid() ? traceback.ptr() : Py_None;
    nb::object suppress = steal_or_throw(PyObject_CallFunctionObjArgs(
        exit.ptr(), error.type().ptr(), error.value().ptr(), traceback_or_none, nullptr));
    return truth(suppress);
}

}  // namespace corvane::native
