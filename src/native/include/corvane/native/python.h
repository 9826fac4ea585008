// Small helpers over the C API and nanobind that every module uses: owning raw
// results, imports, process-lifetime references and text composition.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <utility>

namespace corvane::native {

namespace nb = nanobind;

// Takes ownership of a new reference returned by the C API, or raises the
// pending Python error when the call failed.
inline nb::object steal_or_throw(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// Throws the pending Python error when a C API call reported failure (-1).
inline void check_status(int status) {
    if (status < 0) throw nb::python_error();
}

// One level of the host's recursion limit, held for as long as the guard
// lives: what recurses in C++, directly or through Python attributes, ends
// with RecursionError as Python code would, instead of overrunning the C stack.
class RecursionLimitGuard {
public:
    explicit RecursionLimitGuard(const char* where = " while calling a Python object") {
        if (Py_EnterRecursiveCall(where)) throw nb::python_error();
    }
    ~RecursionLimitGuard() { Py_LeaveRecursiveCall(); }
    RecursionLimitGuard(const RecursionLimitGuard&) = delete;
    RecursionLimitGuard& operator=(const RecursionLimitGuard&) = delete;
};

// A reference kept for the life of the process. Module state holds such
// handles: they are never released, so nothing runs after the interpreter is gone.
inline nb::handle keep(nb::object value) { return value.release(); }

inline nb::object import_module(const char* name) {
    return steal_or_throw(PyImport_ImportModule(name));
}

inline nb::object import_attr(const char* module, const char* name) {
    return nb::getattr(import_module(module), name);
}

// `from <module> import <name>, ...` into `into`: each name becomes an
// attribute of the importing module, as a Python module's import statement
// binds it. A name may be written "name as local"; a name that the source
// module does not hold is imported as its submodule (`from vk import vyr`).
// Returns the source module.
nb::object import_from(nb::handle into, const char* module, std::initializer_list<const char*> names);

// Kept reference to `module.name`, looked up once at import.
inline nb::handle keep_attr(const char* module, const char* name) {
    return keep(import_attr(module, name));
}

// An interned text, kept for the life of the process.
inline nb::handle intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return nb::handle(s);
}

// The host's `str(value)`.
inline nb::str text_of(nb::handle value) {
    return nb::steal<nb::str>(steal_or_throw(PyObject_Str(value.ptr())).release());
}

// The host's `repr(value)`.
inline nb::str repr_of(nb::handle value) {
    return nb::steal<nb::str>(steal_or_throw(PyObject_Repr(value.ptr())).release());
}

// An interned attribute name made once per process: `"name"_id` (literals
// namespace). Looking attributes up by an interned name is the host's fast path.
template <std::size_t N>
struct FixedString {
    char value[N];
    constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, value); }
};

template <FixedString Name>
nb::handle interned() {
    static PyObject* name = intern(Name.value).ptr();  // kept for the life of the process
    return nb::handle(name);
}

// `object.name`.
inline nb::object get_attr(nb::handle object, nb::handle name) {
    return steal_or_throw(PyObject_GetAttr(object.ptr(), name.ptr()));
}

// `object.name = value`.
inline void set_attr(nb::handle object, nb::handle name, nb::handle value) {
    check_status(PyObject_SetAttr(object.ptr(), name.ptr(), value.ptr()));
}

// `callable(*args)` through the host's vectorcall.
template <typename... Args>
nb::object call(nb::handle callable, const Args&... args) {
    PyObject* arguments[] = {nullptr, nb::handle(args).ptr()...};
    return steal_or_throw(PyObject_Vectorcall(callable.ptr(), arguments + 1,
                                              sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `object.name(*args)`, without making a bound method on the way.
template <typename... Args>
nb::object call_method(nb::handle object, nb::handle name, const Args&... args) {
    PyObject* arguments[] = {object.ptr(), nb::handle(args).ptr()...};
    return steal_or_throw(PyObject_VectorcallMethod(name.ptr(), arguments, sizeof...(Args) + 1, nullptr));
}

// What the host's attribute lookup finds under `name` on `object`'s class and
// its bases (a function, a property, ...), or null; borrowed.
inline PyObject* class_attribute(nb::handle object, nb::handle name) {
    return _PyType_Lookup(Py_TYPE(object.ptr()), name.ptr());
}

// The same lookup on `cls` itself; null as well when `cls` is no class, which
// then has nothing of a class to find.
inline PyObject* type_attribute(nb::handle cls, nb::handle name) {
    if (!PyType_Check(cls.ptr())) return nullptr;
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name.ptr());
}

// A method that a module installs on one of its classes, recognised again at
// run time: while `object.name` is sure to be it, the module runs its C++ body
// directly, and it calls through Python when a subclass overrides the
// operation or the object has an attribute of that name of its own.
struct OwnMethod {
    nb::handle name;       // interned
    nb::handle installed;  // what the class held when the module made it; kept

    static OwnMethod of(nb::handle cls, const char* name) {
        nb::handle interned = intern(name);
        PyObject* found = type_attribute(cls, interned);
        if (!found) {
            PyErr_Format(PyExc_AttributeError, "type object has no attribute %R", interned.ptr());
            throw nb::python_error();
        }
        return OwnMethod{interned, keep(nb::borrow(found))};
    }

    // The class still resolves the name to it, and the generic lookup finds no
    // instance attribute before it (a data descriptor comes first anyway).
    bool reached_by(nb::handle object) const {
        if (class_attribute(object, name) != installed.ptr()) return false;
        PyTypeObject* type = Py_TYPE(object.ptr());
        if (type->tp_getattro != PyObject_GenericGetAttr) return false;
        PyTypeObject* kind = Py_TYPE(installed.ptr());
        if ((kind->tp_descr_get && kind->tp_descr_set) || type->tp_dictoffset == 0) return true;
        nb::object dict = steal_or_throw(PyObject_GenericGetDict(object.ptr(), nullptr));
        if (!PyDict_Check(dict.ptr())) return false;
        int found = PyDict_Contains(dict.ptr(), name.ptr());
        check_status(found);
        return found == 0;
    }
};

// Joins pieces into one finished, exact text. A text piece (a subclass of
// text included) gives its characters; any other piece its text form, as
// the host's `str(b)` gives it.
nb::str compose(std::initializer_list<nb::handle> pieces);

// `isinstance(value, cls)`, honouring `__instancecheck__` (abstract bases).
inline bool is_instance(nb::handle value, nb::handle cls) {
    int result = PyObject_IsInstance(value.ptr(), cls.ptr());
    check_status(result);
    return result != 0;
}

// `issubclass(cls, base)`.
inline bool is_subclass(nb::handle cls, nb::handle base) {
    int result = PyObject_IsSubclass(cls.ptr(), base.ptr());
    check_status(result);
    return result != 0;
}

inline bool truth(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    check_status(result);
    return result != 0;
}

// `item in collection`.
inline bool contains(nb::handle collection, nb::handle item) {
    int found = PySequence_Contains(collection.ptr(), item.ptr());
    check_status(found);
    return found != 0;
}

// `mapping[key] if key in mapping else <empty object>`. A plain dict is read
// directly; any other map, a dict subclass included, answers through its own
// `__contains__` and `__getitem__`.
inline nb::object find_item(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
        if (found) return nb::borrow(found);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::object();
    }
    if (!contains(mapping, key)) return nb::object();
    return steal_or_throw(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// `object.name`, or an empty object when the object has no attribute of that
// name; any other error of the lookup passes on.
nb::object find_attr(nb::handle object, nb::handle name);

// The dict or set that `object` keeps under `name`, for `type` `&PyDict_Type`
// or `&PySet_Type`: the one it holds where that is exactly of the type, so
// that the concrete-type calls may fill it, else a new empty one, which
// becomes the attribute.
nb::object kept_collection(nb::handle object, nb::handle name, PyTypeObject* type);

// `mapping[key] if key in mapping else fallback`.
inline nb::object item_or(nb::handle mapping, nb::handle key, nb::handle fallback) {
    nb::object found = find_item(mapping, key);
    return found.is_valid() ? found : nb::borrow(fallback);
}

// `values.append(item)`: a plain list directly, anything else through its own
// `append`, which a list subclass may override and a tuple does not have.
inline void append_item(nb::handle values, nb::handle item) {
    if (PyList_CheckExact(values.ptr())) {
        check_status(PyList_Append(values.ptr(), item.ptr()));
        return;
    }
    call_method(values, nb::handle(interned<"append">()), item);
}

// `frames.append(frame)` for as long as the guard lives, then `frames.pop()`:
// the frame of an open scope. The pop runs while an error may be on its way
// out; that error is kept, and a failing pop is reported as unraisable.
class PushedFrame {
public:
    PushedFrame(nb::handle frames, nb::handle frame) : frames_(nb::borrow(frames)) { append_item(frames_, frame); }
    ~PushedFrame() {
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* popped = PyObject_CallMethodNoArgs(frames_.ptr(), interned<"pop">().ptr());
        if (popped) Py_DECREF(popped);
        else PyErr_WriteUnraisable(frames_.ptr());
        PyErr_SetRaisedException(pending);
    }
    PushedFrame(const PushedFrame&) = delete;
    PushedFrame& operator=(const PushedFrame&) = delete;

private:
    nb::object frames_;
};

// `first, second = value`, with the host's errors for a value that is not
// iterable or does not hold exactly two items.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// The short name of a class (`cls.__name__`). Anything else is asked for its
// `__name__` attribute, with the host's AttributeError when it has none; a
// name that is no text comes back as its text form.
inline nb::str class_name(nb::handle cls) {
    if (PyType_Check(cls.ptr()))
        return nb::steal<nb::str>(
            steal_or_throw(PyType_GetName(reinterpret_cast<PyTypeObject*>(cls.ptr()))).release());
    nb::object name = get_attr(cls, interned<"__name__">());
    if (PyUnicode_Check(name.ptr())) return nb::steal<nb::str>(name.release());
    return text_of(name);
}

// The mask of a bit register's `width` bits, 2**width - 1: a register's
// value is cut to its width by `&` with it and its bits negated by `^`.
inline nb::object register_mask(Py_ssize_t width) {
    nb::object one = steal_or_throw(PyLong_FromLong(1));
    nb::object shift = steal_or_throw(PyLong_FromSsize_t(width));
    nb::object power = steal_or_throw(PyNumber_Lshift(one.ptr(), shift.ptr()));
    return steal_or_throw(PyNumber_Subtract(power.ptr(), one.ptr()));
}

}  // namespace corvane::native

namespace corvane::native::literals {

// `"name"_arg`: a named parameter that takes any value, the absent value
// included (nanobind's plain `_a` refuses None). Every parameter of the
// system's functions is declared this way and checked by the function itself.
inline auto operator""_arg(const char* name, std::size_t) { return nanobind::arg(name).none(); }

// `"name"_id`: the interned text "name", for attribute lookups and method calls.
template <FixedString Name>
nanobind::handle operator""_id() {
    return interned<Name>();
}

}  // namespace corvane::native::literals
