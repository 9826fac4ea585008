// Argument rules, assertions, errors, logging and text composition.
#include "corvane/native/arguments.h"
#include "corvane/native/assertions.h"
#include "corvane/native/errors.h"
#include "corvane/native/logging.h"
#include "corvane/native/python.h"

namespace corvane::native {

// --- text ---------------------------------------------------------------

nb::str compose(std::initializer_list<nb::handle> pieces) {
    nb::object parts = steal_or_throw(PyList_New(0));
    for (nb::handle piece : pieces) {
        // A text is its own text form: a subclass gives its characters, not its `__str__`.
        if (PyUnicode_Check(piece.ptr())) check_status(PyList_Append(parts.ptr(), piece.ptr()));
        else check_status(PyList_Append(parts.ptr(), text_of(piece).ptr()));
    }
    nb::object empty = steal_or_throw(PyUnicode_FromStringAndSize("", 0));
    return nb::steal<nb::str>(steal_or_throw(PyUnicode_Join(empty.ptr(), parts.ptr())).release());
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    if (!Py_TYPE(value.ptr())->tp_iter && !PySequence_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object iterator = steal_or_throw(PyObject_GetIter(value.ptr()));
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw nb::python_error();
        }
        items[i] = nb::steal(item);
    }
    if (PyObject* extra = PyIter_Next(iterator.ptr())) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return {items[0], items[1]};
}

// --- attributes ---------------------------------------------------------

nb::object find_attr(nb::handle object, nb::handle name) {
    PyObject* found = PyObject_GetAttr(object.ptr(), name.ptr());
    if (found) return nb::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

nb::object kept_collection(nb::handle object, nb::handle name, PyTypeObject* type) {
    nb::object held = find_attr(object, name);
    if (held.is_valid() && Py_IS_TYPE(held.ptr(), type)) return held;
    nb::object made = steal_or_throw(type == &PySet_Type ? PySet_New(nullptr) : PyDict_New());
    set_attr(object, name, made);
    return made;
}

// --- arguments ----------------------------------------------------------

void raise_argument_type_error(const char* parameter, const char* expected, nb::handle value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter, expected, Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

nb::object int_argument(nb::handle value, const char* parameter) {
    PyObject* object = value.ptr();
    if (PyLong_CheckExact(object)) return nb::borrow(value);
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number && (number->nb_int || number->nb_index || number->nb_float))
        return steal_or_throw(PyNumber_Long(object));
    raise_argument_type_error(parameter, "int", value);
}

// --- assertions ---------------------------------------------------------

bool assertions_enabled() {
    // The flag is fixed when the interpreter starts, so one reading serves.
    static int enabled = -1;
    if (enabled < 0) {
        PyObject* flags = PySys_GetObject("flags");  // borrowed
        if (!flags) throw nb::python_error();
        nb::object optimize = steal_or_throw(PyObject_GetAttrString(flags, "optimize"));
        enabled = truth(optimize) ? 0 : 1;
    }
    return enabled == 1;
}

void raise_assertion_error() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

void raise_assertion_error(const char* message) {
    PyErr_SetString(PyExc_AssertionError, message);
    throw nb::python_error();
}

// --- errors -------------------------------------------------------------

namespace {

// What `raise value` refuses. The error classes that modules call are module
// names a caller may replace, so what comes back is checked before the C API
// treats it as an exception instance.
void require_exception(nb::handle error) {
    if (PyExceptionInstance_Check(error.ptr())) return;
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    throw nb::python_error();
}

}  // namespace

void raise_from(nb::handle error, nb::handle cause) {
    require_exception(error);
    PyException_SetCause(error.ptr(), Py_NewRef(cause.ptr()));
    PyException_SetContext(error.ptr(), Py_NewRef(cause.ptr()));
    raise_error(error);
}

void raise_in_context(nb::handle error, nb::handle context) {
    require_exception(error);
    PyException_SetContext(error.ptr(), Py_NewRef(context.ptr()));
    raise_error(error);
}

void raise_error(nb::handle error) {
    require_exception(error);
    PyErr_SetRaisedException(Py_NewRef(error.ptr()));
    throw nb::python_error();
}

void raise_text(PyObject* error_class, nb::handle text) {
    PyErr_SetObject(error_class, text.ptr());
    throw nb::python_error();
}

HandlingError::HandlingError(nb::handle error) : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(error.ptr());
}

HandlingError::~HandlingError() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

// --- logging ------------------------------------------------------------

Logger Logger::create(nb::handle module, const char* dotted_name, const char* attribute) {
    nb::object logger = import_attr("logging", "getLogger")(dotted_name);
    nb::setattr(module, attribute, logger);
    Logger result;
    result.module_ = keep(nb::borrow(module));  // records may come after a re-import
    result.attribute_ = intern(attribute);
    return result;
}

void Logger::log(const char* level, nb::handle text) const {
    nb::object logger = steal_or_throw(PyObject_GetAttr(module_.ptr(), attribute_.ptr()));
    nb::object method = steal_or_throw(PyObject_GetAttrString(logger.ptr(), level));
    steal_or_throw(PyObject_CallOneArg(method.ptr(), text.ptr()));
}

}  // namespace corvane::native
