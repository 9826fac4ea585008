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
    nb::handle validation = keep_attr("corvane.passes.pipeline_phase", "Validation");
    nb::handle validation_exception = keep_attr("corvane.passes.pipeline_phase", "ValidationException");
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    state.partial = keep_attr("functools", "partial");
    nb::object visitor = import_attr("openqasm3.visitor", "QASMVisitor")[import_attr("typing", "Any")];

    state.is_allowed_type = keep(nb::cpp_function(is_allowed_type, nb::name("is_allowed_type"),
                                                  "allowed_node_types"_arg, "node"_arg));

    state.invalid_feature = keep(ClassBuilder(m, "InvalidFeatureException", {validation_exception})
                                     .doc("A node of the tree failed the screening.")
                                     .def("__init__", invalid_feature_init, "node"_arg)
                                     .def("__str__", invalid_feature_str)
                                     .build());
    state.disallowed_node_type = keep(ClassBuilder(m, "DisallowedNodeTypeException", {state.invalid_feature})
                                          .doc("A node whose class is not among the permitted ones.")
                                          .def("__str__", disallowed_node_type_str)
                                          .build());

    state.screening = keep(ClassBuilder(m, "AllowedConstructScreening", {validation, visitor})
                               .doc("Rejects the first node, in pre-order, whose criterion is false.")
                               .def("__init__", screening_init, "criterion"_arg)
                               .def("__call__", screening_call, "program"_arg)
                               .visitor_walk()
                               .def_generic_visit(screening_generic_visit)
                               .def("_raise_exception", screening_raise, "node"_arg)
                               .build());
    state.node_types_validator =
        keep(ClassBuilder(m, "AllowedNodeTypesValidator", {state.screening})
                 .doc("Rejects the first node, in pre-order, whose exact class is not in the permitted set.")
                 .def("__init__", validator_init, "allowed_node_types"_arg)
                 .def("_raise_exception", validator_raise, "node"_arg)
                 .build());
}
