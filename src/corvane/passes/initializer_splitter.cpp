// Splits every classical declaration with an initialiser into a bare
// declaration and the assignment or measurement that sets its value.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle classical_declaration;
    nb::handle classical_assignment;
    nb::handle quantum_measurement_statement;
    nb::handle expression;
    nb::handle quantum_measurement;
    nb::handle assign;  // AssignmentOperator["="]
} state;

nb::object new_declaration_node(nb::handle node) {
    return nb::handle(state.classical_declaration)("type"_arg = nb::getattr(node, "type"),
                                                   "identifier"_arg = nb::getattr(node, "identifier"));
}

nb::object visit_classical_declaration(nb::handle self, nb::handle node) {
    nb::list statements;
    statements.append(nb::getattr(self, "_get_new_declaration_node")(node));
    nb::object initializer = nb::getattr(node, "init_expression");
    if (initializer.is_none()) return statements;

    nb::object identifier = nb::getattr(node, "identifier");
    if (is_instance(initializer, state.expression)) {
        statements.append(nb::handle(state.classical_assignment)(
            "lvalue"_arg = identifier, "op"_arg = state.assign, "rvalue"_arg = initializer));
    } else if (is_instance(initializer, state.quantum_measurement)) {
        statements.append(nb::handle(state.quantum_measurement_statement)(
            "measure"_arg = initializer, "target"_arg = identifier));
    } else {
        raise_text(PyExc_NotImplementedError,
                   compose({nb::str("Unsupported init type - "), initializer.type()}));
    }
    return statements;
}

}  // namespace

NB_MODULE(initializer_splitter, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMTransformer"});
    nb::object ast = import_module("openqasm3.ast");
    state.classical_declaration = keep(ast.attr("ClassicalDeclaration"));
    state.classical_assignment = keep(ast.attr("ClassicalAssignment"));
    state.quantum_measurement_statement = keep(ast.attr("QuantumMeasurementStatement"));
    state.expression = keep(ast.attr("Expression"));
    state.quantum_measurement = keep(ast.attr("QuantumMeasurement"));
    state.assign = keep(ast.attr("AssignmentOperator")["="]);

    nb::object transformer = import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()];
    ClassBuilder(m, "ClassicalDeclarationInitializerSplitter", {transformer})
        .doc("Moves the initialiser of every classical declaration into a statement right after it.")
        .transformer_walk()
        .def_static("_get_new_declaration_node(node: ast.ClassicalDeclaration) -> ast.Statement",
                    new_declaration_node, "The declaration that replaces the given one, without initialiser.",
                    "node"_arg)
        .def_handler("visit_ClassicalDeclaration(self, node: ast.ClassicalDeclaration) -> list[ast.Statement]",
                     visit_classical_declaration,
                     "The declaration without initialiser, then the assignment or measurement of it.")
        .build();
}
