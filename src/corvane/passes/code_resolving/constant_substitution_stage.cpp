// Takes every `const` declaration out of the tree and puts its initialiser in
// place of every identifier that names a constant, predefined ones included.
// Folding needs literal operands and code generation literal sizes, so this
// runs before both.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle constants;               // corvane.passes.constants.CONSTANTS
    nb::handle redeclaration_exception;
    nb::handle gatherer;
    nb::handle resolver;
    nb::handle transformer_base;
    nb::handle constants_field;  // "_constants"
    nb::handle identifier, init_expression, name, ast;
} state;

// The base constructor, as `super().__init__()` in the class `cls` would run it.
void init_base(nb::handle cls, nb::handle self) {
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(cls, self).attr("__init__")();
}

nb::object table_of(nb::handle self) { return get_attr(self, state.constants_field); }

// `name in table`, for the dict the constructors store or any other map put there.
bool table_holds(nb::handle table, nb::handle name) {
    int found = PyDict_CheckExact(table.ptr()) ? PyDict_Contains(table.ptr(), name.ptr())
                                               : PySequence_Contains(table.ptr(), name.ptr());
    check_status(found);
    return found != 0;
}

// --- ConstantsGatherer ----------------------------------------------------

nb::object gatherer_init(nb::handle self) {
    init_base(state.gatherer, self);
    // A new map holding the very nodes of CONSTANTS: declared constants never enter CONSTANTS.
    nb::object table = steal_or_throw(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), state.constants.ptr()));
    check_status(PyObject_SetAttr(self.ptr(), state.constants_field.ptr(), table.ptr()));
    return nb::none();
}

nb::object visit_constant_declaration(nb::handle self, nb::handle node) {
    nb::object name = get_attr(get_attr(node, state.identifier), state.name);
    nb::object table = table_of(self);
    if (table_holds(table, name)) raise_error(state.redeclaration_exception(node, name));
    // Stored unwalked: identifiers inside an initialiser keep their names.
    check_status(PyObject_SetItem(table.ptr(), name.ptr(), get_attr(node, state.init_expression).ptr()));
    return nb::none();
}

nb::object gatherer_constants(nb::handle self) { return get_attr(self, state.constants_field); }

// --- ConstantsResolver ----------------------------------------------------

nb::object resolver_init(nb::handle self, nb::handle constants) {
    require_dict(constants, "constants");
    init_base(state.resolver, self);
    check_status(PyObject_SetAttr(self.ptr(), state.constants_field.ptr(), constants.ptr()));
    return nb::none();
}

nb::object visit_identifier(nb::handle self, nb::handle node) {
    return item_or(table_of(self), get_attr(node, state.name), node);
}

// --- ConstantSubstitutionStage -------------------------------------------

nb::object stage_call(nb::handle, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    nb::object gatherer = state.gatherer();
    // Gathering edits the tree's lists in place; its result is the same root.
    tree::visit(gatherer, get_attr(program, state.ast));
    nb::object resolver = state.resolver(get_attr(gatherer, nb::str("constants")));
    nb::object result = tree::visit(resolver, get_attr(program, state.ast));
    return state.open_qasm_program(result);
}

}  // namespace

NB_MODULE(constant_substitution_stage, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.constants", {"CONSTANTS"});
    import_from(m, "corvane.passes.parsing.validators", {"RedeclarationException"});
    import_from(m, "openqasm3", {"ast"});
    import_from(m, "openqasm3.visitor", {"QASMTransformer"});
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::handle step = keep_attr("corvane.passes.pipeline_phase", "Step");
    state.constants = keep_attr("corvane.passes.constants", "CONSTANTS");
    state.redeclaration_exception = keep_attr("corvane.passes.parsing.validators", "RedeclarationException");

    state.constants_field = intern("_constants");
    state.identifier = intern("identifier");
    state.init_expression = intern("init_expression");
    state.name = intern("name");
    state.ast = intern("ast");

    state.transformer_base = keep(import_attr("openqasm3.visitor", "QASMTransformer")[nb::none()]);
    state.resolver = keep(ClassBuilder(m, "ConstantsResolver", {state.transformer_base})
                              .doc("Puts the expression of a constant in place of every identifier that names it.")
                              .def("__init__(self, constants: dict[str, ast.Expression]) -> None", resolver_init,
                                   "Substitutes the constants of the map.", "constants"_arg)
                              .transformer_walk()
                              .def_handler("visit_Identifier(self, node: ast.Identifier) -> ast.Expression",
                                           visit_identifier, "The constant's expression, or the identifier.")
                              .build());
    state.gatherer = keep(ClassBuilder(m, "ConstantsGatherer", {state.transformer_base})
                              .doc("Collects the constant declarations and takes them out of the tree.")
                              .def("__init__(self) -> None", gatherer_init,
                                   "Starts from a copy of the predefined constants.")
                              .transformer_walk()
                              .def_handler("visit_ConstantDeclaration(self, node: ast.ConstantDeclaration) -> None",
                                           visit_constant_declaration,
                                           "Records the constant and removes its declaration.")
                              .def_property("constants(self) -> dict[str, ast.Expression]", gatherer_constants,
                                            "The constants by name.")
                              .build());
    ClassBuilder(m, "ConstantSubstitutionStage", {step})
        .doc("The code-resolving step that substitutes the program's and the predefined constants.")
        .def("__call__(self, program: Program) -> OpenQasmProgram", stage_call,
             "Substitutes the constants of the program's tree.", "program"_arg)
        .build();
}
