// The parsing phase's screening: what the later phases do not lower is
// refused by name here, before anything could drop it. The permitted set is
// the initial one plus the node classes that code resolving and code
// generation lower beyond it, and the walk also enters the cases of a switch,
// whose bodies the lowering emits but the library's walk never reaches.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

// Lowered beyond the initial set: a function call, folded when its arguments
// are constants and lowered when it stands as a statement (a mapped math
// function or an instruction of the machine profile), that statement, and the
// duration and stretch types of declarations, held as fixed-point numbers.
constexpr const char* LOWERED_BEYOND_INITIAL[] = {"FunctionCall", "ExpressionStatement", "DurationType",
                                                  "StretchType"};

struct ModuleState {
    nb::handle initially_permitted;
    nb::handle lowered_beyond_initial;  // frozenset
    nb::handle switch_statement;
} state;

// A new set each time: a phase that changes its set changes no other's.
nb::object create_permitted_nodes() {
    nb::object permitted = steal_or_throw(PySet_New(state.initially_permitted.ptr()));
    nb::object iterator = steal_or_throw(PyObject_GetIter(state.lowered_beyond_initial.ptr()));
    while (PyObject* cls = PyIter_Next(iterator.ptr())) {
        nb::object held = nb::steal(cls);
        check_status(PySet_Add(permitted.ptr(), held.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return permitted;
}

void visit_child(nb::handle self, nb::handle child, nb::handle context) { tree::call_visit(self, child, context); }

// `for item in values: body(item)`.
template <typename Body>
void for_each(nb::handle values, Body&& body) {
    nb::object iterator = steal_or_throw(PyObject_GetIter(values.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) body(nb::steal(raw));
    if (PyErr_Occurred()) throw nb::python_error();
}

// A switch's fields in order, as the generic walk goes through them, except
// that a (values, body) case in a list is entered too: each case value, then
// the body.
void walk_switch(nb::handle self, nb::handle node, nb::handle context) {
    nb::object fields = steal_or_throw(PyObject_GenericGetDict(node.ptr(), nullptr));
    nb::object values = PyDict_CheckExact(fields.ptr()) ? steal_or_throw(PyDict_Values(fields.ptr()))
                                                        : steal_or_throw(PyMapping_Values(fields.ptr()));
    auto visit_nodes_of = [&](nb::handle list) {
        for_each(list, [&](nb::handle item) {
            if (tree::is_node(item)) visit_child(self, item, context);
        });
    };
    for_each(values, [&](nb::handle value) {
        if (tree::is_node(value)) {
            visit_child(self, value, context);
        } else if (PyList_Check(value.ptr())) {
            for_each(value, [&](nb::handle item) {
                if (tree::is_node(item)) {
                    visit_child(self, item, context);
                } else if (PyTuple_Check(item.ptr())) {
                    for_each(item, [&](nb::handle part) {
                        if (tree::is_node(part)) visit_child(self, part, context);
                        else if (PyList_Check(part.ptr())) visit_nodes_of(part);
                    });
                }
            });
        }
    });
}

// The screening's test of one node, then its children; a switch's cases too.
nb::object generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    nb::object criterion = get_attr(self, "criterion"_id);
    if (!truth(steal_or_throw(PyObject_CallOneArg(criterion.ptr(), node.ptr()))))
        call_method(self, "_raise_exception"_id, node);
    if (is_instance(node, state.switch_statement)) walk_switch(self, node, context);
    else tree::visitor_generic_visit(self, node, context);
    return nb::none();
}

}  // namespace

NB_MODULE(node_screening, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.passes.construct_screening", {"AllowedNodeTypesValidator"});
    import_from(m, "corvane.passes.permitted_nodes", {"INITIALLY_PERMITTED_NODES"});
    import_from(m, "openqasm3", {"ast"});
    nb::handle validator = keep_attr("corvane.passes.construct_screening", "AllowedNodeTypesValidator");
    state.initially_permitted = keep_attr("corvane.passes.permitted_nodes", "INITIALLY_PERMITTED_NODES");
    nb::object ast = import_module("openqasm3.ast");
    state.switch_statement = keep(ast.attr("SwitchStatement"));

    nb::object lowered = steal_or_throw(PySet_New(nullptr));
    for (const char* name : LOWERED_BEYOND_INITIAL) check_status(PySet_Add(lowered.ptr(), ast.attr(name).ptr()));
    state.lowered_beyond_initial = keep(steal_or_throw(PyFrozenSet_New(lowered.ptr())));
    m.attr("LOWERED_BEYOND_INITIAL") = state.lowered_beyond_initial;

    def_function(m, "create_permitted_nodes() -> set[type]", create_permitted_nodes,
                 "A new set: the initially permitted node classes and those lowered beyond them.");

    ClassBuilder(m, "AllowedNodeTypesValidatorWithCases", {validator})
        .doc("Rejects the first node, in pre-order, whose exact class is not permitted; switch cases included.")
        .def_generic_visit(generic_visit,
                           "generic_visit(self, node: ast.QASMNode, context: typing.Any = None) -> None",
                           "Tests the node, then walks its children and the cases of a switch.")
        .build();
}
