// Imports that bind names in the importing module (see python.h).
#include <cstring>
#include <string>

#include "corvane/native/python.h"

namespace corvane::native {

namespace {

// `getattr(source, name)`, or the submodule `<module>.<name>` when the source
// does not hold the name, as `from <module> import <name>` finds it.
nb::object import_one(nb::handle source, const char* module, const std::string& name) {
    PyObject* found = PyObject_GetAttrString(source.ptr(), name.c_str());
    if (found) return nb::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    std::string submodule = std::string(module) + "." + name;
    PyObject* imported = PyImport_ImportModule(submodule.c_str());
    if (imported) return nb::steal(imported);
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw nb::python_error();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name.c_str(), module);
    throw nb::python_error();
}

}  // namespace

nb::object import_from(nb::handle into, const char* module, std::initializer_list<const char*> names) {
    nb::object source = import_module(module);
    for (const char* entry : names) {
        const char* as = std::strstr(entry, " as ");
        std::string name = as ? std::string(entry, as) : std::string(entry);
        const char* local = as ? as + 4 : entry;
        nb::object value = import_one(source, module, name);
        check_status(PyObject_SetAttrString(into.ptr(), local, value.ptr()));
    }
    return source;
}

}  // namespace corvane::native
