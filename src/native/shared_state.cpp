#include "shared_state.h"

#include "corvane/native/python.h"

namespace corvane::native::detail {

namespace {

// Bump when the layout of SharedState changes.
constexpr const char* kCapsuleName = "corvane.native.shared_state.v1";

SharedState* create_state() {
    auto* state = new SharedState();  // lives as long as the process
    nb::object ast = import_module("openqasm3.ast");
    state->qasm_node = reinterpret_cast<PyTypeObject*>(keep(nb::getattr(ast, "QASMNode")).ptr());
    state->visit_name = intern("visit").ptr();
    state->generic_visit_name = intern("generic_visit").ptr();
    state->method_object_type = make_method_object_type();
    return state;
}

}  // namespace

SharedState& shared_state() {
    static SharedState* state = nullptr;  // this module's view of the shared state
    if (state) return *state;

    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* capsule = PyDict_GetItemString(builtins, kCapsuleName);  // borrowed
    if (capsule) {
        auto* found = static_cast<SharedState*>(PyCapsule_GetPointer(capsule, kCapsuleName));
        if (!found) throw nb::python_error();
        state = found;
        return *state;
    }
    SharedState* created = create_state();
    nb::object published = steal_or_throw(PyCapsule_New(created, kCapsuleName, nullptr));
    check_status(PyDict_SetItemString(builtins, kCapsuleName, published.ptr()));
    state = created;
    return *state;
}

}  // namespace corvane::native::detail
