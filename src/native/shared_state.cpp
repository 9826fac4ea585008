#include "shared_state.h"

#include "corvane/native/python.h"

namespace corvane::native::detail {

namespace {

// The key in the interpreter's dictionary for extension state. Bump the
// version when the layout of SharedState changes.
constexpr const char* kStateKey = "corvane.native.shared_state.v2";
constexpr const char* kCapsuleName = "corvane.native.shared_state.v2";

SharedState* create_state() {
    auto* state = new SharedState();  // lives as long as the process
    nb::object ast = import_module("openqasm3.ast");
    state->qasm_node = reinterpret_cast<PyTypeObject*>(keep(nb::getattr(ast, "QASMNode")).ptr());
    state->visit_name = intern("visit").ptr();
    state->generic_visit_name = intern("generic_visit").ptr();
    state->handler_prefix = intern("visit_").ptr();
    state->class_attribute = intern("__class__").ptr();
    state->name_attribute = intern("__name__").ptr();
    state->dict_attribute = intern("__dict__").ptr();
    state->values_name = intern("values").ptr();
    state->items_name = intern("items").ptr();
    PyObject* object_class = _PyType_Lookup(&PyBaseObject_Type, state->class_attribute);
    if (!object_class) throw nb::python_error();
    state->object_class = keep(nb::borrow(object_class)).ptr();
    // QASMNode is such a class: its `__dict__` is the one every class statement adds.
    PyObject* dict_descriptor = _PyType_Lookup(state->qasm_node, state->dict_attribute);
    if (dict_descriptor && Py_IS_TYPE(dict_descriptor, &PyGetSetDescr_Type))
        state->class_dict_getter = reinterpret_cast<PyGetSetDescrObject*>(dict_descriptor)->d_getset->get;
    state->method_object_type = make_method_object_type();
    return state;
}

SharedState* state_in(PyObject* capsule) {
    auto* found = static_cast<SharedState*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!found) throw nb::python_error();
    return found;
}

}  // namespace

SharedState& shared_state() {
    static SharedState* state = nullptr;  // this module's view of the shared state; set once
    if (state) return *state;

    PyObject* extensions = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (!extensions || !PyDict_CheckExact(extensions)) {
        PyErr_SetString(PyExc_RuntimeError, "no interpreter state for extension modules");
        throw nb::python_error();
    }
    nb::object key = steal_or_throw(PyUnicode_FromString(kStateKey));
    PyObject* capsule = PyDict_GetItemWithError(extensions, key.ptr());  // borrowed
    if (!capsule && PyErr_Occurred()) throw nb::python_error();
    if (capsule) {
        state = state_in(capsule);
        return *state;
    }
    // Making the state runs Python code (an import), so another thread may
    // publish its own meanwhile; `setdefault` keeps whichever came first.
    SharedState* created = create_state();
    nb::object published = steal_or_throw(PyCapsule_New(created, kCapsuleName, nullptr));
    PyObject* winner = PyDict_SetDefault(extensions, key.ptr(), published.ptr());  // borrowed
    if (!winner) throw nb::python_error();
    SharedState* chosen = state_in(winner);
    if (chosen != created) delete created;  // its few kept references stay alive, unused
    state = chosen;
    return *state;
}

}  // namespace corvane::native::detail
