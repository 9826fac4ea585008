// State that every module of the package shares within one interpreter: the
// registry of C++ tree handlers, the walk's lookup caches and the class of
// method objects. Each module links its own copy of the support layer, so the
// state is made once and published in the interpreter's dictionary for
// extension state, where the others find it and Python code does not.
//
// Nothing here is guarded by a lock: every read and write happens with the
// interpreter lock held and without a call into Python between the lookup and
// the change, so another thread never sees an entry half made.
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

// What the walk knows of one node class. The class is held only through a
// weak reference whose callback drops the entry, so a class made at run time
// is freed as usual and no later class at its address inherits the entry.
struct NodeClass {
    PyObject* watch = nullptr;       // weak reference to the class
    PyObject* class_name = nullptr;  // the `__name__` that `handler` was made from, for heap classes
    PyObject* handler = nullptr;     // interned "visit_" + class_name
    unsigned int version = 0;        // the class's type version when the entry was made
    bool plain = false;              // `node.__class__.__name__` is the class's own name, read without running code
    bool own_dict = false;           // `node.__dict__` is the instance's own dict, read without running code
};

// What the walk reads on a visitor class: its `visit` and `generic_visit`,
// as they stood at the class's type version `version`. Borrowed: an entry
// whose class and version both match is one whose class still holds them.
struct VisitorClass {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* visit = nullptr;
    PyObject* generic_visit = nullptr;
    bool generic_visit_settled = false;  // no data descriptor
    bool generic_visit_quiet = false;    // reading it through an instance runs no code of the user's
    const NativeMethod* generic_visit_native = nullptr;
};

struct SharedState {
    // Function objects whose calls the walk makes directly in C++; each key is
    // a kept reference, so no address is ever reused.
    std::unordered_map<PyObject*, NativeMethod> native_methods;
    // Node class -> what the dispatch needs of it; see NodeClass.
    std::unordered_map<PyTypeObject*, NodeClass> node_classes;
    // The node class met last and its entry, which the generic walk of a node
    // asks for right after its dispatch did; dropped with the entry.
    PyTypeObject* last_node_type = nullptr;
    NodeClass* last_node_class = nullptr;
    // The visitor class met last: a walk meets one class node after node.
    VisitorClass last_visitor;

    PyTypeObject* qasm_node = nullptr;
    PyObject* visit_name = nullptr;
    PyObject* generic_visit_name = nullptr;
    PyObject* handler_prefix = nullptr;    // "visit_"
    PyObject* class_attribute = nullptr;   // "__class__"
    PyObject* name_attribute = nullptr;    // "__name__"
    PyObject* dict_attribute = nullptr;    // "__dict__"
    PyObject* values_name = nullptr;
    PyObject* items_name = nullptr;
    PyObject* object_class = nullptr;      // `object.__dict__['__class__']`
    getter class_dict_getter = nullptr;    // how the `__dict__` that a class statement adds is read

    // The shared functions that visitor and transformer classes install.
    PyObject* visit_function = nullptr;
    PyObject* visitor_generic_visit_function = nullptr;
    PyObject* transformer_generic_visit_function = nullptr;

    PyTypeObject* method_object_type = nullptr;
};

// The state of this interpreter, made on first use.
SharedState& shared_state();

PyTypeObject* make_method_object_type();

}  // namespace corvane::native::detail
