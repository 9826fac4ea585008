// Binds hardware-qubit names: every identifier whose whole name is "$" and
// decimal digits becomes a HardwareQubit node with that number, in the bodies
// of switch cases too.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle create_hardware_qubit;
    nb::handle transformer;  // HardwareQubitsTransformer
    nb::handle search;       // the name rule as a compiled pattern's `search`
    nb::handle name_name;
} state;

bool is_ascii_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

// Whether `name` is "$" followed by one or more ASCII digits and nothing else.
bool is_hardware_qubit_name(PyObject* name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length < 2) return false;
    const int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    if (PyUnicode_READ(kind, data, 0) != '$') return false;
    for (Py_ssize_t i = 1; i < length; ++i)
        if (!is_ascii_digit(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

nb::object visit_identifier(nb::handle, nb::handle node) {
    nb::object name = steal_or_throw(PyObject_GetAttr(node.ptr(), state.name_name.ptr()));
    if (!PyUnicode_Check(name.ptr())) {
        // Only texts can carry the name; the pattern gives the host's error for
        // anything else.
        nb::handle(state.search)(name);
        return nb::borrow(node);
    }
    if (!is_hardware_qubit_name(name.ptr())) return nb::borrow(node);
    nb::object digits = steal_or_throw(PyUnicode_Substring(name.ptr(), 1, PyUnicode_GET_LENGTH(name.ptr())));
    nb::object index = steal_or_throw(PyLong_FromUnicodeObject(digits.ptr(), 10));
    return nb::handle(state.create_hardware_qubit)(index);
}

// `self.visit(child)`: straight into the C++ dispatch unless the visitor has a
// `visit` of its own.
nb::object visit_child(nb::handle self, nb::handle child) { return tree::call_visit(self, child); }

void check_append(nb::handle list, nb::handle item) { check_status(PyList_Append(list.ptr(), item.ptr())); }

// Adds a visit's result to `items` as the transformer's list rewrite does:
// nothing for None, the node itself, or the items of anything else spliced in.
void add_result(nb::handle items, nb::handle result) {
    if (result.is_none()) return;
    if (tree::is_node(result)) {
        check_append(items, result);
        return;
    }
    nb::object iterator = steal_or_throw(PyObject_GetIter(result.ptr()));
    while (PyObject* item = PyIter_Next(iterator.ptr())) check_append(items, nb::steal(item));
    if (PyErr_Occurred()) throw nb::python_error();
}

// A tuple item of a list (a case's values and body) as a new plain tuple: its
// nodes visited, everything else, the case values among them, kept unentered.
nb::object rebuild_tuple(nb::handle self, nb::handle pair) {
    nb::list elements;
    nb::object iterator = steal_or_throw(PyObject_GetIter(pair.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object element = nb::steal(raw);
        if (tree::is_node(element)) add_result(elements, visit_child(self, element));
        else check_append(elements, element);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return steal_or_throw(PyList_AsTuple(elements.ptr()));
}

// The contents of a list field rebuilt item by item, then written back into
// the same list object.
void rebuild_list(nb::handle self, nb::handle values) {
    nb::list items;
    nb::object iterator = steal_or_throw(PyObject_GetIter(values.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object item = nb::steal(raw);
        if (tree::is_node(item)) add_result(items, visit_child(self, item));
        else if (PyTuple_Check(item.ptr())) check_append(items, rebuild_tuple(self, item));
        else check_append(items, item);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object all = steal_or_throw(PySlice_New(nullptr, nullptr, nullptr));
    check_status(PyObject_SetItem(values.ptr(), all.ptr(), items.ptr()));
}

// The library's walk does not enter tuples, so the cases of a switch (pairs of
// values and body) would be left out; this walk enters the bodies but not the
// values.
nb::object visit_switch_statement(nb::handle self, nb::handle node) {
    nb::object fields = steal_or_throw(PyObject_GenericGetDict(node.ptr(), nullptr));
    nb::object snapshot = steal_or_throw(PyDict_Items(fields.ptr()));
    for (nb::handle entry : snapshot) {
        nb::handle field = PyTuple_GET_ITEM(entry.ptr(), 0);
        nb::handle value = PyTuple_GET_ITEM(entry.ptr(), 1);
        if (PyList_Check(value.ptr())) {
            rebuild_list(self, value);
        } else if (tree::is_node(value)) {
            nb::object result = visit_child(self, value);
            if (result.is_none()) check_status(PyObject_DelAttr(node.ptr(), field.ptr()));
            else check_status(PyObject_SetAttr(node.ptr(), field.ptr(), result.ptr()));
        }
    }
    return nb::borrow(node);
}

// --- HardwareQubitBinder -------------------------------------------------

nb::object binder_call(nb::handle, nb::handle program) {
    check_assertion(is_instance(program, state.open_qasm_program));
    nb::object transformer = nb::handle(state.transformer)();
    nb::object root = tree::visit(transformer, nb::getattr(program, "ast"));
    return nb::handle(state.open_qasm_program)(root);
}

}  // namespace

NB_MODULE(hardware_qubit_binder, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.configurations.hardware_qubit", {"HardwareQubit", "create_hardware_qubit"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMTransformer"});
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::object step = import_attr("corvane.passes.pipeline_phase", "Step");
    state.create_hardware_qubit = keep_attr("corvane.configurations.hardware_qubit", "create_hardware_qubit");
    import_module("openqasm3.ast");
    nb::object transformer = import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()];
    state.search = keep(import_attr("re", "compile")(nb::str("^\\$[0-9]+$")).attr("search"));
    state.name_name = intern("name");

    state.transformer =
        keep(ClassBuilder(m, "HardwareQubitsTransformer", {transformer})
                 .doc("Turns every identifier named \"$\" and decimal digits into a HardwareQubit node.")
                 .transformer_walk()
                 .def_handler("visit_Identifier(self, node: ast.Identifier) -> ast.Identifier", visit_identifier,
                              "The hardware qubit that the identifier names, or the identifier itself.")
                 .def_handler("visit_SwitchStatement(self, node: ast.SwitchStatement) -> ast.SwitchStatement",
                              visit_switch_statement, "Binds the target, the case bodies and the default block.")
                 .build());
    ClassBuilder(m, "HardwareQubitBinder", {step})
        .doc("The parsing step that binds hardware-qubit names in the tree to HardwareQubit nodes.")
        .def("__call__(self, program: Program) -> OpenQasmProgram", binder_call,
             "Binds the hardware-qubit names of the program's tree.", "program"_arg)
        .build();
}
