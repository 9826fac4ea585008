#include "corvane/native/tree_walk.h"

#include "corvane/native/python.h"
#include "shared_state.h"

namespace corvane::native::tree {

namespace {

using detail::NativeKind;
using detail::NativeMethod;
using detail::SharedState;
using detail::shared_state;

// Leaves the host's recursion accounting balanced on every exit.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while walking the syntax tree")) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
};

// "visit_" + the exact class name of a node, interned once per class.
PyObject* handler_name(SharedState& state, PyTypeObject* node_type) {
    auto found = state.handler_names.find(node_type);
    if (found != state.handler_names.end()) return found->second;
    nb::str name = class_name(nb::handle(reinterpret_cast<PyObject*>(node_type)));
    PyObject* interned = PyUnicode_FromFormat("visit_%U", name.ptr());
    if (!interned) throw nb::python_error();
    PyUnicode_InternInPlace(&interned);
    Py_INCREF(node_type);  // kept, so the key's address stays this class
    state.handler_names.emplace(node_type, interned);
    return interned;
}

// The native face of the attribute `name` found on the visitor's class, if any.
const NativeMethod* native_method(SharedState& state, PyObject* descriptor) {
    auto found = state.native_methods.find(descriptor);
    return found == state.native_methods.end() ? nullptr : &found->second;
}

// `getattr(self, name)(node)` or `(node, context)`, through Python.
nb::object call_attribute(nb::handle self, PyObject* name, nb::handle node, nb::handle context) {
    nb::object bound = steal_or_throw(PyObject_GetAttr(self.ptr(), name));
    if (context) {
        PyObject* args[] = {node.ptr(), context.ptr()};
        return steal_or_throw(PyObject_Vectorcall(bound.ptr(), args, 2, nullptr));
    }
    return steal_or_throw(PyObject_CallOneArg(bound.ptr(), node.ptr()));
}

// Calls `self.generic_visit(node[, context])`; `context` is already known true or empty.
nb::object dispatch_generic(SharedState& state, nb::handle self, nb::handle node, nb::handle context) {
    PyObject* descriptor = _PyType_Lookup(Py_TYPE(self.ptr()), state.generic_visit_name);
    const NativeMethod* native = descriptor ? native_method(state, descriptor) : nullptr;
    if (native && native->kind == NativeKind::generic_visit) return native->walk(self, node, context);
    return call_attribute(self, state.generic_visit_name, node, context);
}

// The dispatch of `visit`, with `context` already known true or empty.
nb::object dispatch(SharedState& state, nb::handle self, nb::handle node, nb::handle context) {
    RecursionGuard guard;
    PyObject* name = handler_name(state, Py_TYPE(node.ptr()));
    PyObject* descriptor = _PyType_Lookup(Py_TYPE(self.ptr()), name);
    if (!descriptor) return dispatch_generic(state, self, node, context);
    const NativeMethod* native = native_method(state, descriptor);
    if (native && native->kind == NativeKind::handler && !context) return native->handler(self, node);
    return call_attribute(self, name, node, context);
}

nb::handle true_or_empty(nb::handle context) {
    return context && !context.is_none() && truth(context) ? context : nb::handle();
}

// How the generic walks visit a child: straight into the C++ dispatch when the
// visitor's `visit` is ours, else through the visitor's own `visit`.
class ChildVisitor {
public:
    ChildVisitor(SharedState& state, nb::handle self, nb::handle context)
        : state_(state), self_(self), context_(context) {
        PyObject* descriptor = _PyType_Lookup(Py_TYPE(self.ptr()), state.visit_name);
        const NativeMethod* native = descriptor ? native_method(state, descriptor) : nullptr;
        native_visit_ = native && native->kind == NativeKind::visit;
    }

    nb::object operator()(nb::handle child) const {
        if (native_visit_) return dispatch(state_, self_, child, context_);
        return call_attribute(self_, state_.visit_name, child, context_);
    }

private:
    SharedState& state_;
    nb::handle self_;
    nb::handle context_;
    bool native_visit_;
};

bool is_node_of(SharedState& state, PyObject* value) {
    return PyObject_TypeCheck(value, state.qasm_node);
}

// Iterates a node's `__dict__` as `for key, value in node.__dict__.items()`
// does, including the host's refusal to go on once the dictionary changed size.
template <typename Body>
void for_each_field(nb::handle node, Body&& body) {
    nb::object fields = steal_or_throw(PyObject_GenericGetDict(node.ptr(), nullptr));
    const Py_ssize_t size = PyDict_GET_SIZE(fields.ptr());
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    while (true) {
        if (PyDict_GET_SIZE(fields.ptr()) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw nb::python_error();
        }
        if (!PyDict_Next(fields.ptr(), &position, &key, &value)) break;
        body(nb::borrow(key), nb::borrow(value));
    }
}

// Iterates a list as `for item in values` does: live, so items that a handler
// appends are visited too. Exact lists are read by index, which is what their
// iterator does; a subclass is iterated through its own `__iter__`.
template <typename Body>
void for_each_item(nb::handle values, Body&& body) {
    PyObject* list = values.ptr();
    if (PyList_CheckExact(list)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) body(i, nb::borrow(PyList_GET_ITEM(list, i)));
        return;
    }
    nb::object iterator = steal_or_throw(PyObject_GetIter(list));
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) break;
        body(i, nb::steal(item));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

void append(nb::handle list, nb::handle item) { check_status(PyList_Append(list.ptr(), item.ptr())); }

// `values.extend(items)`.
void extend(nb::handle list, nb::handle items) {
    nb::object iterator = steal_or_throw(PyObject_GetIter(items.ptr()));
    while (PyObject* item = PyIter_Next(iterator.ptr())) append(list, nb::steal(item));
    if (PyErr_Occurred()) throw nb::python_error();
}

// `old[:] = new`.
void replace_contents(nb::handle old_values, nb::handle new_values) {
    if (PyList_CheckExact(old_values.ptr())) {
        check_status(PyList_SetSlice(old_values.ptr(), 0, PY_SSIZE_T_MAX, new_values.ptr()));
        return;
    }
    nb::object all = steal_or_throw(PySlice_New(nullptr, nullptr, nullptr));
    check_status(PyObject_SetItem(old_values.ptr(), all.ptr(), new_values.ptr()));
}

// The transformer's rewrite of one list field. The new contents are collected
// only from the first item whose result differs from it: up to there they are
// the list's own items, and a list whose every item comes back unchanged is
// left as it is, which is what writing the same items back would give.
void transform_list(SharedState& state, const ChildVisitor& visit_child, nb::handle values) {
    nb::object new_values;
    auto start_collecting = [&](Py_ssize_t index) {
        new_values = steal_or_throw(PySequence_GetSlice(values.ptr(), 0, index));
        if (!PyList_CheckExact(new_values.ptr())) new_values = steal_or_throw(PySequence_List(new_values.ptr()));
    };
    for_each_item(values, [&](Py_ssize_t index, nb::handle item) {
        if (!is_node_of(state, item.ptr())) {
            if (new_values) append(new_values, item);
            return;
        }
        nb::object result = visit_child(item);
        if (!new_values) {
            if (result.is(item)) return;
            start_collecting(index);
        }
        if (result.is_none()) return;
        if (is_node_of(state, result.ptr())) append(new_values, result);
        else extend(new_values, result);
    });
    if (new_values) replace_contents(values, new_values);
}

}  // namespace

bool is_node(nb::handle value) { return is_node_of(shared_state(), value.ptr()); }

void register_handler(nb::handle function, TreeHandler handler) {
    shared_state().native_methods[keep(nb::borrow(function)).ptr()] =
        NativeMethod{NativeKind::handler, handler, nullptr};
}

void register_generic_visit(nb::handle function, TreeWalk walk) {
    shared_state().native_methods[keep(nb::borrow(function)).ptr()] =
        NativeMethod{NativeKind::generic_visit, nullptr, walk};
}

nb::handle visit_function() {
    SharedState& state = shared_state();
    if (!state.visit_function) {
        nb::object function = nb::cpp_function(
            [](nb::handle self, nb::handle node, nb::handle context) { return visit(self, node, context); },
            nb::is_method(), nb::name("visit"),
            nb::sig("def visit(self, node: openqasm3.ast.QASMNode, context: typing.Any = None) -> typing.Any"),
            "Visits a node through the handler named after its class, or the generic walk.",
            nb::arg("node").none(), nb::arg("context").none() = nb::none());
        state.visit_function = keep(function).ptr();
        state.native_methods[state.visit_function] = NativeMethod{NativeKind::visit, nullptr, nullptr};
    }
    return nb::handle(state.visit_function);
}

nb::object visit(nb::handle self, nb::handle node, nb::handle context) {
    return dispatch(shared_state(), self, node, true_or_empty(context));
}

nb::object generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    return dispatch_generic(shared_state(), self, node, true_or_empty(context));
}

nb::object visitor_generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    SharedState& state = shared_state();
    ChildVisitor visit_child(state, self, true_or_empty(context));
    for_each_field(node, [&](nb::handle, nb::handle value) {
        if (PyList_Check(value.ptr())) {
            for_each_item(value, [&](Py_ssize_t, nb::handle item) {
                if (is_node_of(state, item.ptr())) visit_child(item);
            });
        } else if (is_node_of(state, value.ptr())) {
            visit_child(value);
        }
    });
    return nb::none();
}

nb::object transformer_generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    SharedState& state = shared_state();
    ChildVisitor visit_child(state, self, true_or_empty(context));
    const bool plain_setattr = Py_TYPE(node.ptr())->tp_setattro == PyObject_GenericSetAttr;
    for_each_field(node, [&](nb::handle field, nb::handle old_value) {
        if (PyList_Check(old_value.ptr())) {
            transform_list(state, visit_child, old_value);
        } else if (is_node_of(state, old_value.ptr())) {
            nb::object new_node = visit_child(old_value);
            if (new_node.is_none()) {
                check_status(PyObject_DelAttr(node.ptr(), field.ptr()));
            } else if (!(plain_setattr && new_node.is(old_value))) {
                // Storing the same object again through the generic setter
                // changes nothing, so only a new node is written.
                check_status(PyObject_SetAttr(node.ptr(), field.ptr(), new_node.ptr()));
            }
        }
    });
    return nb::borrow(node);
}

}  // namespace corvane::native::tree
