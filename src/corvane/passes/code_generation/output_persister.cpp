// The last generation step: re-enters the program scope that the lowering
// opened and saves every output variable into its result stream. When the
// compilation emitted into a scope that the caller holds open, outputs are
// not saved.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle is_inside_scope;
} state;

nb::object persister_call(nb::handle, nb::handle program) {
    if (truth(nb::handle(state.is_inside_scope)())) return nb::borrow(program);
    nb::object scope = nb::getattr(program, "_program");
    check_assertion(!scope.is_none());
    with_context(scope, [&] { nb::getattr(program, "save_all_outputs")(); });
    return nb::borrow(program);
}

}  // namespace

NB_MODULE(output_persister, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program", "Vyr1Program"});
    import_from(m, "corvane.passes.pipeline_phase", {"Step"});
    import_from(m, "corvane.passes.utils", {"is_inside_scope"});
    import_module("corvane.programs");
    nb::object pipeline_phase = import_module("corvane.passes.pipeline_phase");
    state.is_inside_scope = keep_attr("corvane.passes.utils", "is_inside_scope");

    ClassBuilder(m, "OutputPersister", {pipeline_phase.attr("Step")})
        .doc("The last generation step: saves every output variable into its result stream.")
        .def("__call__(self, program: Program) -> Vyr1Program", persister_call,
             "Saves the outputs, unless the caller holds a program scope open.", "program"_arg)
        .build();
}
