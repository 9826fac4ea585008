// Binds every input, output and classical declaration of the tree to a fresh,
// not yet declared vyr variable wrapper, carried by a VyrDeclaration node that
// the lowering declares when it reaches it.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle get_variable_to_init;
    nb::handle vyr_declaration;
    nb::handle unsupported_type_error;
    nb::handle declarations_resolver;
    nb::handle open_qasm_program;
    nb::handle input_keyword;
    nb::handle output_keyword;
    nb::handle s_identifier, s_name, s_type, s_io_identifier, s_init_expression;
} state;

nb::object get(nb::handle object, nb::handle name) {
    return steal_or_throw(PyObject_GetAttr(object.ptr(), name.ptr()));
}

// --- VyrDeclaration -------------------------------------------------------------
// The statement base's own initialisation is not run: the node holds only its
// two flags and the wrapper, so the generic walks find nothing to enter in it.

nb::object declaration_init(nb::handle self, nb::handle name, nb::handle node_type, nb::handle is_input,
                            nb::handle is_output) {
    require_str(name, "name");
    nb::setattr(self, "is_input", nb::bool_(truth(is_input)));
    nb::setattr(self, "is_output", nb::bool_(truth(is_output)));
    nb::setattr(self, "var", nb::handle(state.get_variable_to_init)(name, node_type));
    return nb::none();
}

// --- UnsupportedTypeError ----------------------------------------------------------

nb::object unsupported_type_error_init(nb::handle self, nb::handle node) {
    nb::setattr(self, "node", node);
    return nb::none();
}

nb::object unsupported_type_error_str(nb::handle self) {
    return compose({nb::str("Unknown IO identifier - "), nb::getattr(nb::getattr(self, "node"), "io_identifier")});
}

// --- DeclarationsResolver -----------------------------------------------------------

nb::object declaration_name(nb::handle node) { return get(get(node, state.s_identifier), state.s_name); }

bool equals(nb::handle a, nb::handle b) {
    if (a.is(b)) return true;
    int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    check_status(equal);
    return equal != 0;
}

nb::object visit_io_declaration(nb::handle, nb::handle node) {
    nb::object keyword = get(node, state.s_io_identifier);
    nb::handle declaration(state.vyr_declaration);
    if (equals(keyword, state.input_keyword))
        return declaration(declaration_name(node), get(node, state.s_type), "is_input"_arg = true);
    if (equals(keyword, state.output_keyword))
        return declaration(declaration_name(node), get(node, state.s_type), "is_output"_arg = true);
    raise_error(nb::handle(state.unsupported_type_error)(node));
}

nb::object visit_classical_declaration(nb::handle, nb::handle node) {
    // The tidier runs first and leaves no initialiser to carry over.
    if (assertions_enabled())
        check_assertion(get(node, state.s_init_expression).is_none(),
                        "In this step, the we should receive no init expression.");
    return nb::handle(state.vyr_declaration)(declaration_name(node), get(node, state.s_type));
}

// --- DeclarationResolvingStep ---------------------------------------------------------

nb::object resolving_step_call(nb::handle, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    nb::object resolver = nb::handle(state.declarations_resolver)();
    nb::object tree = tree::visit(resolver, nb::getattr(program, "ast"));
    return nb::handle(state.open_qasm_program)(tree);
}

}  // namespace

NB_MODULE(input_binding, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.code_generation.initial_value_inference",
                {"get_variable_to_init", "InitType"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMTransformer"});
    nb::object programs = import_module("corvane.programs");
    nb::object pipeline_phase = import_module("corvane.passes.pipeline_phase");
    nb::object inference = import_module("corvane.passes.code_generation.initial_value_inference");
    nb::object ast = import_module("openqasm3.ast");

    state.get_variable_to_init = keep(inference.attr("get_variable_to_init"));
    state.open_qasm_program = keep(programs.attr("OpenQasmProgram"));
    nb::object io_keyword = ast.attr("IOKeyword");
    state.input_keyword = keep(io_keyword.attr("input"));
    state.output_keyword = keep(io_keyword.attr("output"));
    state.s_identifier = intern("identifier");
    state.s_name = intern("name");
    state.s_type = intern("type");
    state.s_io_identifier = intern("io_identifier");
    state.s_init_expression = intern("init_expression");

    // The inherited `annotations` is never set on these nodes, so the record's
    // text form and equality leave it out rather than fail on reading it.
    nb::object dataclass_field = import_attr("dataclasses", "field");
    nb::object no_annotations = dataclass_field("init"_arg = false, "default_factory"_arg = nb::handle(
                                                    reinterpret_cast<PyObject*>(&PyList_Type)),
                                                "repr"_arg = false, "compare"_arg = false);
    state.vyr_declaration = keep(ClassBuilder(m, "VyrDeclaration", {ast.attr("Statement")})
                                     .doc("A declaration bound to its vyr variable wrapper.")
                                     .field("annotations", "List[Annotation]", no_annotations)
                                     .field("is_input", "bool")
                                     .field("is_output", "bool")
                                     .field("var", "VyrSlotBase")
                                     .def("__init__(self, name: str, node_type: InitType, is_input: bool = False,"
                                          " is_output: bool = False) -> None",
                                          declaration_init, "Binds the declared name and type to a new wrapper.",
                                          "name"_arg, "node_type"_arg,
                                          "is_input"_arg = false, "is_output"_arg = false)
                                     .build_dataclass());

    state.unsupported_type_error = keep(ClassBuilder(m, "UnsupportedTypeError", {nb::handle(PyExc_Exception)})
                                            .doc("An input/output declaration that is neither input nor output.")
                                            .def("__init__(self, node: ast.IODeclaration) -> None",
                                                 unsupported_type_error_init, "Holds the declaration.", "node"_arg)
                                            .def("__str__(self) -> str", unsupported_type_error_str,
                                                 "The error's text.")
                                            .build());

    nb::object transformer = import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()];
    state.declarations_resolver = keep(ClassBuilder(m, "DeclarationsResolver", {transformer})
                                           .transformer_walk()
                                           .doc("Replaces every declaration that it reaches by a VyrDeclaration.")
                                           .def_handler("visit_IODeclaration(self, node: ast.IODeclaration)"
                                                        " -> VyrDeclaration",
                                                        visit_io_declaration,
                                                        "The bound declaration of an input or an output.")
                                           .def_handler("visit_ClassicalDeclaration(self,"
                                                        " node: ast.ClassicalDeclaration) -> VyrDeclaration",
                                                        visit_classical_declaration,
                                                        "The bound declaration of a classical variable.")
                                           .build());

    ClassBuilder(m, "DeclarationResolvingStep", {pipeline_phase.attr("Step")})
        .doc("The generation step that binds every input, output and classical declaration to a wrapper.")
        .def("__call__(self, program: Program) -> OpenQasmProgram", resolving_step_call,
             "Binds the declarations of the program's tree.", "program"_arg)
        .build();
}
