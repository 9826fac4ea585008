// Splits the initialiser of every classical declaration off into a statement
// of its own, so that the binding step sees bare declarations only.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle open_qasm_program;
    nb::handle splitter;
    nb::handle tree_root;  // openqasm3.ast.Program
} state;

nb::object tidier_call(nb::handle, nb::handle program) {
    if (assertions_enabled()) check_assertion(is_instance(program, state.open_qasm_program));
    nb::object splitter = nb::handle(state.splitter)();
    nb::object tree = nb::getattr(splitter, "visit")(nb::getattr(program, "ast"));
    if (assertions_enabled()) check_assertion(is_instance(tree, state.tree_root));
    return nb::handle(state.open_qasm_program)("ast"_arg = tree);
}

}  // namespace

NB_MODULE(declaration_tidier, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.initializer_splitter", {"ClassicalDeclarationInitializerSplitter"});
    import_from(m, "openqasm3", {"ast"});
    nb::object programs = import_module("corvane.programs");
    nb::object pipeline_phase = import_module("corvane.passes.pipeline_phase");
    nb::object splitter = import_module("corvane.passes.initializer_splitter");
    state.open_qasm_program = keep(programs.attr("OpenQasmProgram"));
    state.splitter = keep(splitter.attr("ClassicalDeclarationInitializerSplitter"));
    state.tree_root = keep_attr("openqasm3.ast", "Program");

    ClassBuilder(m, "DeclarationTidier", {pipeline_phase.attr("Step")})
        .doc("The generation step that splits the initialisers off the classical declarations.")
        .def("__call__(self, program: Program) -> OpenQasmProgram", tidier_call,
             "Splits the initialisers off in the program's tree.", "program"_arg)
        .build();
}
