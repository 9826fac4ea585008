#include "corvane/native/tree_copy.h"

#include <unordered_map>

namespace corvane::native::tree {

namespace {

enum class CopyKind { plain, itself, host };

struct CopyState {
    PyObject* deepcopy = nullptr;        // copy.deepcopy
    PyObject* enum_deepcopy = nullptr;   // enum.Enum.__deepcopy__, which returns the member itself
    PyObject* object_reduce_ex = nullptr;
    PyObject* object_reduce = nullptr;
    PyObject* object_getstate = nullptr;
    PyObject* names[8] = {};
    // Class -> (version tag, kind); a class that changes gets a new tag.
    std::unordered_map<PyTypeObject*, std::pair<unsigned int, CopyKind>> kinds;
};

enum Name { deepcopy_name, reduce_ex_name, reduce_name, getstate_name, setstate_name, getnewargs_ex_name,
            getnewargs_name, slots_name };

CopyState& copy_state() {
    static CopyState* state = nullptr;  // kept for the life of the process
    if (!state) {
        auto* made = new CopyState();
        made->deepcopy = keep_attr("copy", "deepcopy").ptr();
        made->enum_deepcopy = keep(nb::getattr(import_attr("enum", "Enum"), "__deepcopy__")).ptr();
        nb::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        nb::object object_dict = object_type.attr("__dict__");
        made->object_reduce_ex = keep(nb::object(object_dict["__reduce_ex__"])).ptr();
        made->object_reduce = keep(nb::object(object_dict["__reduce__"])).ptr();
        made->object_getstate = keep(nb::object(object_dict["__getstate__"])).ptr();
        const char* names[] = {"__deepcopy__", "__reduce_ex__", "__reduce__", "__getstate__", "__setstate__",
                               "__getnewargs_ex__", "__getnewargs__", "__slots__"};
        for (int i = 0; i < 8; ++i) made->names[i] = intern(names[i]).ptr();
        state = made;
    }
    return *state;
}

PyObject* lookup(PyTypeObject* type, CopyState& state, Name name) { return _PyType_Lookup(type, state.names[name]); }

// Whether a class or one of its bases declares `__slots__`, whose values
// the pickling protocol would carry beside `__dict__`.
bool declares_slots(PyTypeObject* type, CopyState& state) {
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (base->tp_dict && PyDict_GetItemWithError(base->tp_dict, state.names[slots_name])) return true;
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return false;
}

CopyKind classify(PyTypeObject* type, CopyState& state) {
    PyObject* copier = lookup(type, state, deepcopy_name);
    if (copier) return copier == state.enum_deepcopy ? CopyKind::itself : CopyKind::host;
    bool plain = type->tp_new == PyBaseObject_Type.tp_new && type->tp_dictoffset != 0 &&
                 lookup(type, state, reduce_ex_name) == state.object_reduce_ex &&
                 lookup(type, state, reduce_name) == state.object_reduce &&
                 lookup(type, state, getstate_name) == state.object_getstate &&
                 !lookup(type, state, setstate_name) && !lookup(type, state, getnewargs_ex_name) &&
                 !lookup(type, state, getnewargs_name) && !declares_slots(type, state);
    return plain ? CopyKind::plain : CopyKind::host;
}

CopyKind kind_of(PyTypeObject* type, CopyState& state) {
    auto found = state.kinds.find(type);
    bool valid = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
    if (found != state.kinds.end() && valid && found->second.first == type->tp_version_tag)
        return found->second.second;
    CopyKind kind = classify(type, state);
    // The class is not kept: type versions are never given twice, so a later
    // class at a freed one's address never matches its entry.
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) state.kinds[type] = {type->tp_version_tag, kind};
    return kind;
}

bool is_atomic(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return value == Py_None || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           type == &PyUnicode_Type || type == &PyBytes_Type || type == &PyComplex_Type;
}

class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while copying the syntax tree")) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

nb::object copy_value(PyObject* value, PyObject* memo, CopyState& state);

void remember(PyObject* memo, PyObject* key, PyObject* copy) { check_status(PyDict_SetItem(memo, key, copy)); }

nb::object copy_value(PyObject* value, PyObject* memo, CopyState& state) {
    if (is_atomic(value)) return nb::borrow(value);
    RecursionGuard guard;
    nb::object key = steal_or_throw(PyLong_FromVoidPtr(value));
    if (PyObject* known = PyDict_GetItemWithError(memo, key.ptr())) return nb::borrow(known);
    if (PyErr_Occurred()) throw nb::python_error();

    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyList_Type) {
        nb::object copy = steal_or_throw(PyList_New(0));
        remember(memo, key.ptr(), copy.ptr());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(value, i));
            check_status(PyList_Append(copy.ptr(), copy_value(item.ptr(), memo, state).ptr()));
        }
        return copy;
    }
    if (type == &PyTuple_Type) {
        Py_ssize_t size = PyTuple_GET_SIZE(value);
        nb::object items = steal_or_throw(PyTuple_New(size));
        bool same = true;
        for (Py_ssize_t i = 0; i < size; ++i) {
            nb::object item = copy_value(PyTuple_GET_ITEM(value, i), memo, state);
            same = same && item.ptr() == PyTuple_GET_ITEM(value, i);
            PyTuple_SET_ITEM(items.ptr(), i, item.release().ptr());
        }
        // A tuple that holds itself through its items was copied meanwhile.
        if (PyObject* known = PyDict_GetItemWithError(memo, key.ptr())) return nb::borrow(known);
        if (PyErr_Occurred()) throw nb::python_error();
        if (same) return nb::borrow(value);
        remember(memo, key.ptr(), items.ptr());
        return items;
    }
    if (type == &PyDict_Type) {
        nb::object copy = steal_or_throw(PyDict_New());
        remember(memo, key.ptr(), copy.ptr());
        nb::object items = steal_or_throw(PyDict_Items(value));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
            nb::object item_key = copy_value(PyTuple_GET_ITEM(pair, 0), memo, state);
            nb::object item_value = copy_value(PyTuple_GET_ITEM(pair, 1), memo, state);
            check_status(PyDict_SetItem(copy.ptr(), item_key.ptr(), item_value.ptr()));
        }
        return copy;
    }
    switch (kind_of(type, state)) {
        case CopyKind::itself:
            return nb::borrow(value);
        case CopyKind::plain: {
            nb::object empty = steal_or_throw(PyTuple_New(0));
            nb::object copy = steal_or_throw(type->tp_new(type, empty.ptr(), nullptr));
            remember(memo, key.ptr(), copy.ptr());
            nb::object fields = steal_or_throw(PyObject_GenericGetDict(value, nullptr));
            nb::object items = steal_or_throw(PyDict_Items(fields.ptr()));
            nb::object target = steal_or_throw(PyObject_GenericGetDict(copy.ptr(), nullptr));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
                PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
                nb::object field = copy_value(PyTuple_GET_ITEM(pair, 0), memo, state);
                nb::object field_value = copy_value(PyTuple_GET_ITEM(pair, 1), memo, state);
                check_status(PyDict_SetItem(target.ptr(), field.ptr(), field_value.ptr()));
            }
            return copy;
        }
        case CopyKind::host:
            break;
    }
    PyObject* args[] = {value, memo};
    return steal_or_throw(PyObject_Vectorcall(state.deepcopy, args, 2, nullptr));
}

}  // namespace

nb::object deep_copy(nb::handle value) {
    CopyState& state = copy_state();
    nb::object memo = steal_or_throw(PyDict_New());
    return copy_value(value.ptr(), memo.ptr(), state);
}

}  // namespace corvane::native::tree
