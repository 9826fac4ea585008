// Rewrites compound assignments (`x += e`) into plain assignments of a binary
// expression (`x = x + e`): code generation lowers plain assignments only.
// The bodies of switch cases are left as written (the library's walk does
// not enter them), so a compound assignment there is refused by name.
#include "corvane/native/source_text.h"
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle classical_assignment;
    nb::handle binary_expression;
    nb::handle indexed_identifier;
    nb::handle binary_operator;
    nb::handle basic_assignment_op;  // AssignmentOperator["="]
    nb::handle assignment_symbol;    // "="
    nb::handle transformer;          // ClassicalAssignmentToBinaryExpression
    OwnMethod extract;               // the static `_extract_binary_operation`
    nb::handle op, lvalue, rvalue, name, ast;
} state;

// "+=" -> BinaryOperator["+"]: the binary twin is found by name, so an operator
// without one ("~=") fails with the enumeration's own KeyError.
nb::object extract_binary_operation(nb::handle operator_member) {
    nb::object name = get_attr(operator_member, state.name);
    const Py_ssize_t symbol_length = PyUnicode_GetLength(state.assignment_symbol.ptr());
    nb::object binary_name;
    if (PyUnicode_CheckExact(name.ptr())) {
        int suffixed = static_cast<int>(PyUnicode_Tailmatch(name.ptr(), state.assignment_symbol.ptr(), 0,
                                                            PY_SSIZE_T_MAX, +1));
        check_status(suffixed);
        check_assertion(suffixed == 1);
        Py_ssize_t cut = PyUnicode_GetLength(name.ptr()) - symbol_length;
        binary_name = steal_or_throw(PyUnicode_Substring(name.ptr(), 0, cut < 0 ? 0 : cut));
    } else {
        // `name.endswith(symbol)` and `name[:-len(symbol)]` of whatever the name is.
        if (assertions_enabled()) check_assertion(truth(call_method(name, "endswith"_id, state.assignment_symbol)));
        nb::object stop = steal_or_throw(PyLong_FromSsize_t(-symbol_length));
        nb::object cut = steal_or_throw(PySlice_New(nullptr, stop.ptr(), nullptr));
        binary_name = steal_or_throw(PyObject_GetItem(name.ptr(), cut.ptr()));
    }
    return steal_or_throw(PyObject_GetItem(state.binary_operator.ptr(), binary_name.ptr()));
}

nb::object visit_classical_assignment(nb::handle self, nb::handle node) {
    nb::object op = get_attr(node, state.op);
    int plain = PyObject_RichCompareBool(op.ptr(), state.basic_assignment_op.ptr(), Py_EQ);
    check_status(plain);
    if (plain) return nb::borrow(node);

    nb::object target = get_attr(node, state.lvalue);
    if (is_instance(target, state.indexed_identifier)) {
        nb::object error = steal_or_throw(PyObject_CallFunctionObjArgs(
            PyExc_NotImplementedError, nb::str("Indexed identifier is not supported:").ptr(), target.ptr(),
            nullptr));
        raise_error(error);
    }

    // An operator without a binary twin ("~=") is refused by the assignment;
    // the lookup's KeyError stays its cause.
    nb::object operation;
    try {
        if (state.extract.reached_by(self))
            operation = extract_binary_operation(op);
        else
            operation = get_attr(self, state.extract.name)(op);
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_KeyError)) throw;
        nb::object cause = nb::borrow(error.value());
        nb::object statement = call_method(node_source(node), "rstrip"_id, nb::str(";"));
        nb::object text = compose({nb::str("The compound assignment "), statement,
                                   nb::str(" is not supported: its operator "), get_attr(op, state.name),
                                   nb::str(" has no binary operator")});
        nb::object refusal = steal_or_throw(PyObject_CallOneArg(PyExc_NotImplementedError, text.ptr()));
        raise_from(refusal, cause);
    }

    nb::object value = get_attr(node, state.rvalue);
    nb::object new_rhs = state.binary_expression("op"_arg = operation, "lhs"_arg = target, "rhs"_arg = value);
    return state.classical_assignment("lvalue"_arg = target, "op"_arg = state.basic_assignment_op,
                                      "rvalue"_arg = new_rhs);
}

bool is_compound(nb::handle node) {
    if (!Py_IS_TYPE(node.ptr(), reinterpret_cast<PyTypeObject*>(state.classical_assignment.ptr()))) return false;
    int plain = PyObject_RichCompareBool(get_attr(node, state.op).ptr(), state.basic_assignment_op.ptr(), Py_EQ);
    check_status(plain);
    return plain == 0;
}

// The target and the default block are walked; a case body that holds a
// compound assignment, nested blocks and switches included, is refused,
// since nothing would expand it.
nb::object visit_switch_statement(nb::handle self, nb::handle node) {
    RecursionLimitGuard guard(" while expanding compound assignments");
    nb::object result = tree::generic_visit(self, node);
    tree::for_each_case(node, [](Py_ssize_t, nb::handle, nb::handle body) {
        nb::object found = tree::find_first(body, is_compound, " while expanding compound assignments");
        if (!found.is_valid()) return false;
        nb::object statement = call_method(node_source(found), "rstrip"_id, nb::str(";"));
        raise_text(PyExc_NotImplementedError,
                   compose({nb::str("The compound assignment "), statement,
                            nb::str(" stands in a switch case body, which does not take compound assignments; "
                                    "write it as a plain assignment there.")}));
    });
    return result;
}

nb::object expander_call(nb::handle, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    nb::object tree = get_attr(program, state.ast);
    nb::object transformer = state.transformer();
    nb::object result = tree::visit(transformer, tree);
    return state.open_qasm_program(result);
}

}  // namespace

NB_MODULE(update_expander, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMTransformer"});
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::handle step = keep_attr("corvane.passes.pipeline_phase", "Step");

    nb::object ast = import_module("openqasm3.ast");
    state.classical_assignment = keep(ast.attr("ClassicalAssignment"));
    state.binary_expression = keep(ast.attr("BinaryExpression"));
    state.indexed_identifier = keep(ast.attr("IndexedIdentifier"));
    state.binary_operator = keep(ast.attr("BinaryOperator"));
    state.basic_assignment_op = keep(ast.attr("AssignmentOperator")["="]);
    state.assignment_symbol = intern("=");
    state.op = intern("op");
    state.lvalue = intern("lvalue");
    state.rvalue = intern("rvalue");
    state.name = intern("name");
    state.ast = intern("ast");

    m.attr("OPENQASM_ASSIGNMENT_OPERATOR_SYMBOL") = state.assignment_symbol;
    m.attr("BASIC_ASSIGNMENT_OP") = state.basic_assignment_op;

    nb::object transformer_base = import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()];
    state.transformer =
        keep(ClassBuilder(m, "ClassicalAssignmentToBinaryExpression", {transformer_base})
                 .doc("Rewrites every compound assignment into a plain assignment of a binary expression.")
                 .transformer_walk()
                 .def_static("_extract_binary_operation(operator: ast.AssignmentOperator) -> ast.BinaryOperator",
                             extract_binary_operation, "The binary operator of a compound assignment operator.",
                             "operator"_arg)
                 .def_handler("visit_ClassicalAssignment(self, node: ast.ClassicalAssignment)"
                              " -> ast.ClassicalAssignment",
                              visit_classical_assignment, "The assignment, with a compound one made plain.")
                 .def_handler("visit_SwitchStatement(self, node: ast.SwitchStatement) -> ast.SwitchStatement",
                              visit_switch_statement,
                              "Expands the target and the default block; refuses a compound assignment in a case "
                              "body.")
                 .build());
    state.extract = OwnMethod::of(state.transformer, "_extract_binary_operation");

    ClassBuilder(m, "ClassicalUpdateExpander", {step})
        .doc("The code-resolving step that expands compound assignments (x += e into x = x + e).")
        .def("__call__(self, program: Program) -> OpenQasmProgram", expander_call,
             "Expands the compound assignments of the program's tree.", "program"_arg)
        .build();
}
