// State that every module of the package shares within one interpreter: the
// registry of C++ tree handlers, the walk's lookup caches and the class of
// method objects. Each module links its own copy of the support layer, so the
// state is made once and published in a capsule that the others find.
#pragma once

#include <nanobind/nanobind.h>

#include <unordered_map>

#include "corvane/native/tree_walk.h"

namespace corvane::native::detail {

namespace nb = nanobind;

enum class NativeKind { handler, visit, generic_visit };

struct NativeMethod {
    NativeKind kind;
    TreeHandler handler;  // for NativeKind::handler
    TreeWalk walk;        // for NativeKind::visit and NativeKind::generic_visit
};

struct SharedState {
    // Function objects whose calls the walk makes directly in C++; each key is
    // a kept reference, so no address is ever reused.
    std::unordered_map<PyObject*, NativeMethod> native_methods;
    // Node class -> interned "visit_" + class name; each class is kept.
    std::unordered_map<PyTypeObject*, PyObject*> handler_names;

    PyTypeObject* qasm_node = nullptr;
    PyObject* visit_name = nullptr;
    PyObject* generic_visit_name = nullptr;

    // The shared functions that visitor and transformer classes install.
    PyObject* visit_function = nullptr;
    PyObject* visitor_generic_visit_function = nullptr;
    PyObject* transformer_generic_visit_function = nullptr;

    PyTypeObject* method_object_type = nullptr;
};

// The process-wide state, made on first use.
SharedState& shared_state();

PyTypeObject* make_method_object_type();

}  // namespace corvane::native::detail
