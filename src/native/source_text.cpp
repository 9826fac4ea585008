// OpenQASM 3 source text: see source_text.h.
#include "corvane/native/source_text.h"

#include "corvane/native/errors.h"

namespace corvane::native {

bool holds_no_statement(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return false;
    // A str subclass is read through a plain copy of its characters.
    nb::object plain = steal_or_throw(PyUnicode_FromObject(text.ptr()));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(plain.ptr());
    const int kind = PyUnicode_KIND(plain.ptr());
    const void* data = PyUnicode_DATA(plain.ptr());
    auto at = [&](Py_ssize_t i) { return i < length ? PyUnicode_READ(kind, data, i) : Py_UCS4(0); };

    Py_ssize_t i = 0;
    while (i < length) {
        const Py_UCS4 c = at(i);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '/' && at(i + 1) == '/') {
            i += 2;
            while (i < length && at(i) != '\r' && at(i) != '\n') ++i;
        } else if (c == '/' && at(i + 1) == '*') {
            i += 2;
            while (i < length && !(at(i) == '*' && at(i + 1) == '/')) ++i;
            if (i >= length) return false;  // unclosed: the lexer fails on it
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

nb::object parse_source(nb::handle parse, nb::handle program_class, nb::handle text) {
    try {
        return steal_or_throw(PyObject_CallOneArg(parse.ptr(), text.ptr()));
    } catch (nb::python_error& error) {
        if (!is_ordinary(error) || !holds_no_statement(text)) throw;
    }
    nb::object statements = steal_or_throw(PyList_New(0));
    nb::object kwnames = steal_or_throw(Py_BuildValue("(ss)", "statements", "version"));
    PyObject* arguments[] = {statements.ptr(), Py_None};
    return steal_or_throw(PyObject_Vectorcall(program_class.ptr(), arguments, 0, kwnames.ptr()));
}

nb::object node_source(nb::handle node) {
    try {
        nb::object text = call(import_attr("openqasm3", "dumps"), node);
        return call_method(text, interned<"strip">());
    } catch (nb::python_error& error) {
        if (!is_ordinary(error)) throw;
        return repr_of(node);
    }
}

}  // namespace corvane::native
