// Brings a parsed tree, includes expanded, into the form the later phases
// expect: plain variables become outputs when the program declares no input or
// output, and a version below the target is raised to it.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle io_declaration;
    nb::handle output;  // IOKeyword.output
    nb::handle qasm_program;  // openqasm3.ast.Program
    nb::handle open_qasm_program;
    nb::handle count_node_types;
    nb::handle io_variables_transformer;
    Logger logger;
} state;

// --- IOVariablesTransformer -------------------------------------------------

nb::object new_output_declaration(nb::handle node) {
    return nb::handle(state.io_declaration)("io_identifier"_arg = state.output,
                                            "type"_arg = nb::getattr(node, "type"),
                                            "identifier"_arg = nb::getattr(node, "identifier"));
}

nb::object visit_program(nb::handle self, nb::handle node) {
    nb::object counts = nb::handle(state.count_node_types)(node);
    nb::object existing = counts[state.io_declaration];
    if (truth(steal_or_throw(PyObject_RichCompare(existing.ptr(), nb::int_(0).ptr(), Py_GT)))) {
        state.logger.debug(
            compose({nb::str("Encountered existing ("), existing, nb::str(") I/O variables.")}));
        return nb::borrow(node);
    }
    tree::generic_visit(self, node);
    state.logger.debug(nb::str("No pre existing I/O variables, modified all variables."));
    return nb::borrow(node);
}

// --- SourceCanonicalizer ----------------------------------------------------

// The declared version as a tuple of integers; an absent one counts as the target.
nb::object declared_version(nb::handle self, nb::handle version) {
    if (version.is_none()) return nb::getattr(self, "TARGET_VERSION");
    nb::object parts = nb::getattr(version, "split")(".");
    nb::object numbers = steal_or_throw(PyList_New(0));
    // `int(part)`: a text as decimal, anything else by the host's conversion.
    for (nb::handle part : parts)
        check_status(PyList_Append(numbers.ptr(), steal_or_throw(PyNumber_Long(part.ptr())).ptr()));
    return steal_or_throw(PyList_AsTuple(numbers.ptr()));
}

nb::object canonicalizer_call(nb::handle self, nb::handle program) {
    check_assertion(is_instance(program, state.open_qasm_program));
    nb::object transformer = nb::handle(state.io_variables_transformer)();
    nb::object tree = tree::visit(transformer, nb::getattr(program, "ast"));
    check_assertion(is_instance(tree, state.qasm_program));

    nb::object version = declared_version(self, nb::getattr(tree, "version"));
    nb::object target = nb::getattr(self, "TARGET_VERSION");
    if (truth(steal_or_throw(PyObject_RichCompare(version.ptr(), target.ptr(), Py_LT))))
        nb::setattr(tree, "version", nb::getattr(self, "target_version_str"));
    return nb::handle(state.open_qasm_program)("ast"_arg = tree);
}

}  // namespace

NB_MODULE(source_canonicalizer, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.initializer_splitter", {"ClassicalDeclarationInitializerSplitter"});
    import_from(m, "corvane.passes.node_census", {"count_node_types"});
    import_from(m, "openqasm3", {"ast"});
    nb::handle step = keep_attr("corvane.passes.pipeline_phase", "Step");
    state.open_qasm_program = keep_attr("corvane.programs", "OpenQasmProgram");
    nb::handle splitter = keep_attr("corvane.passes.initializer_splitter", "ClassicalDeclarationInitializerSplitter");
    state.count_node_types = keep_attr("corvane.passes.node_census", "count_node_types");
    nb::object ast = import_module("openqasm3.ast");
    state.io_declaration = keep(ast.attr("IODeclaration"));
    state.output = keep(ast.attr("IOKeyword").attr("output"));
    state.qasm_program = keep(ast.attr("Program"));
    state.logger = Logger::create(m, "corvane.passes.parsing.source_canonicalizer");

    state.io_variables_transformer =
        keep(ClassBuilder(m, "IOVariablesTransformer", {splitter})
                 .doc("Makes every classical declaration an output when the program declares no input or output.")
                 .def_handler("visit_Program(self, node: ast.Program) -> ast.Program", visit_program,
                              "Applies the input/output rule to the program.")
                 .def_static("_get_new_declaration_node(node: ast.ClassicalDeclaration) -> ast.IODeclaration",
                             new_output_declaration, "The output declaration of the variable.", "node"_arg)
                 .build());

    nb::object target_version = nb::make_tuple(3, 0);
    nb::list version_parts;
    for (nb::handle part : target_version) version_parts.append(text_of(part));
    nb::object version_text = nb::str(".").attr("join")(version_parts);
    ClassBuilder(m, "SourceCanonicalizer", {step})
        .doc("Applies the input/output rule and raises a version below the target.")
        .attr("TARGET_VERSION", target_version)
        .attr("target_version_str", version_text)
        .def("__call__(self, program: Program) -> OpenQasmProgram", canonicalizer_call,
             "Canonicalises the program's tree in place.", "program"_arg)
        .build();
}
