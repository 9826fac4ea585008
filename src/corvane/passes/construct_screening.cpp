// Screening: a validation step that walks the tree in pre-order and rejects
// the first node that fails its criterion.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle partial;  // functools.partial
    nb::handle is_allowed_type;
    nb::handle invalid_feature;
    nb::handle disallowed_node_type;
    nb::handle screening;
    nb::handle node_types_validator;
} state;

// --- errors ---------------------------------------------------------------

nb::object invalid_feature_init(nb::handle self, nb::handle node) {
    nb::setattr(self, "node", node);
    return nb::none();
}

nb::object invalid_feature_str(nb::handle self) {
    return compose({nb::str("The node "), nb::getattr(self, "node"), nb::str(" contains an invalid feature.")});
}

nb::object disallowed_node_type_str(nb::handle self) {
    return compose({nb::str("Nodes of type "), nb::getattr(self, "node").type(),
                    nb::str(" are not allowed, either because they are not supported or because they "
                            "were removed during the compilation process.")});
}

// --- AllowedConstructScreening ----------------------------------------------

nb::object screening_init(nb::handle self, nb::handle criterion) {
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(state.screening, self).attr("__init__")();
    nb::setattr(self, "criterion", criterion);
    return nb::none();
}

nb::object screening_call(nb::handle self, nb::handle program) {
    check_assertion(is_instance(program, state.open_qasm_program));
    nb::getattr(self, "visit")(nb::getattr(program, "ast"));
    return nb::borrow(program);
}

nb::object screening_generic_visit(nb::handle self, nb::handle node, nb::handle context) {
    if (!truth(nb::getattr(self, "criterion")(node))) nb::getattr(self, "_raise_exception")(node);
    tree::visitor_generic_visit(self, node, context);
    return nb::none();
}

nb::object screening_raise(nb::handle, nb::handle node) {
    raise_error(nb::handle(state.invalid_feature)(node));
}

// --- AllowedNodeTypesValidator -----------------------------------------------

// The criterion's body; the set comes first, bound by the partial that holds it.
nb::object is_allowed_type(nb::handle allowed_node_types, nb::handle node) {
    return nb::bool_(contains(allowed_node_types, node.type()));
}

nb::object validator_init(nb::handle self, nb::handle allowed_node_types) {
    require_set(allowed_node_types, "allowed_node_types");
    // The very set object is held, so later changes to it count.
    nb::object criterion = nb::handle(state.partial)(state.is_allowed_type, allowed_node_types);
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(state.node_types_validator, self).attr("__init__")(criterion);
    return nb::none();
}

nb::object validator_raise(nb::handle, nb::handle node) {
    raise_error(nb::handle(state.disallowed_node_type)(node));
}

}  // namespace

NB_MODULE(construct_screening, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.passes.pipeline_phase", {"Validation", "ValidationException"});
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMVisitor"});
    nb::handle validation = keep_attr("corvane.passes.pipeline_phase", "Validation");
    nb::handle validation_exception = keep_attr("corvane.passes.pipeline_phase", "ValidationException");
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    state.partial = keep_attr("functools", "partial");
    nb::object visitor = import_attr("openqasm3.visitor", "QASMVisitor")[import_attr("typing", "Any")];

    state.is_allowed_type = keep(nb::cpp_function(is_allowed_type, nb::name("is_allowed_type"),
                                                  "allowed_node_types"_arg, "node"_arg));

    state.invalid_feature = keep(ClassBuilder(m, "InvalidFeatureException", {validation_exception})
                                     .doc("A node of the tree failed the screening.")
                                     .def("__init__(self, node: ast.QASMNode) -> None", invalid_feature_init,
                                          "Holds the node.", "node"_arg)
                                     .def("__str__(self) -> str", invalid_feature_str, "The error's text.")
                                     .build());
    state.disallowed_node_type = keep(ClassBuilder(m, "DisallowedNodeTypeException", {state.invalid_feature})
                                          .doc("A node whose class is not among the permitted ones.")
                                          .def("__str__(self) -> str", disallowed_node_type_str, "The error's text.")
                                          .build());

    state.screening = keep(ClassBuilder(m, "AllowedConstructScreening", {validation, visitor})
                               .doc("Rejects the first node, in pre-order, whose criterion is false.")
                               .field("criterion", "Callable[[ast.QASMNode], Any]")
                               .def("__init__(self, criterion: collections.abc.Callable[[ast.QASMNode], object])"
                                    " -> None",
                                    screening_init, "Screens with a test that a node passes when it is true.",
                                    "criterion"_arg)
                               .def("__call__(self, program: Program) -> Program", screening_call,
                                    "Screens the program's tree and returns the program.", "program"_arg)
                               .visitor_walk()
                               .def_generic_visit(screening_generic_visit,
                                                  "generic_visit(self, node: ast.QASMNode, context: typing.Any = None)"
                                                  " -> None",
                                                  "Tests the node, then walks its children.")
                               .def("_raise_exception(self, node: ast.QASMNode) -> typing.NoReturn", screening_raise,
                                    "Raises the error of a node that failed the test.", "node"_arg)
                               .build());
    state.node_types_validator =
        keep(ClassBuilder(m, "AllowedNodeTypesValidator", {state.screening})
                 .doc("Rejects the first node, in pre-order, whose exact class is not in the permitted set.")
                 .def("__init__(self, allowed_node_types: set[type]) -> None", validator_init,
                      "Screens against the very set given: changes to it count.", "allowed_node_types"_arg)
                 .def("_raise_exception(self, node: ast.QASMNode) -> typing.NoReturn", validator_raise,
                      "Raises the error of a node whose class is not permitted.", "node"_arg)
                 .build());
}
