// Steps and phases: every transformation of a compilation is a step; a phase
// runs a fixed tuple of steps under the compilation's build options.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native::literals;
using namespace corvane::native;

namespace {

struct ModuleState {
    nb::handle step;
    nb::handle validation;
    nb::handle optimization;
    nb::handle pipeline_phase;
    nb::handle re_match;
    Logger logger;
} state;

// --- Step ---------------------------------------------------------------

nb::object step_init(nb::handle self, nb::handle name) {
    require_str_or_none(name, "name");
    nb::object value = name.is_none() ? nb::object(class_name(self.type())) : nb::borrow(name);
    nb::setattr(self, "name", value);
    return nb::none();
}

nb::object step_call(nb::handle, nb::handle) { return nb::none(); }

// --- PipelinePhase --------------------------------------------------------

nb::object phase_init(nb::handle self, nb::handle steps, nb::handle build_options, nb::handle name) {
    require_tuple(steps, "steps");
    nb::setattr(self, "steps", steps);
    nb::setattr(self, "_build_options", build_options);
    nb::handle super_type(reinterpret_cast<PyObject*>(&PySuper_Type));
    super_type(state.pipeline_phase, self).attr("__init__")(name);
    return nb::none();
}

nb::object infer_behavior(nb::handle step, nb::handle pattern) {
    require_str_or_none(pattern, "pattern");
    if (pattern.is_none()) return nb::bool_(false);
    if (PyUnicode_CompareWithASCIIString(pattern.ptr(), "all") == 0) return nb::bool_(true);
    nb::object match = nb::handle(state.re_match)(pattern, nb::getattr(step, "name"));
    return nb::bool_(!match.is_none());
}

// Asks the phase's own `_infer_behavior` about `step` under one pattern field.
nb::object decide(nb::handle self, nb::handle step, const char* pattern_field) {
    nb::object pattern = nb::getattr(nb::getattr(self, "_build_options"), pattern_field);
    return nb::getattr(self, "_infer_behavior")(step, "pattern"_arg = pattern);
}

nb::object should_skip_optimization(nb::handle self, nb::handle optimization) {
    return decide(self, optimization, "optimizations_to_skip");
}

nb::object should_skip_validation(nb::handle self, nb::handle validation) {
    return decide(self, validation, "validations_to_skip");
}

nb::object should_enforce_optimization(nb::handle self, nb::handle optimization) {
    return decide(self, optimization, "optimizations_to_enforce");
}

nb::object phase_call(nb::handle self, nb::handle program) {
    state.logger.debug(compose({nb::str("Pass '"), nb::getattr(self, "name"), nb::str("': starting")}));
    nb::object current = nb::borrow(program);
    for (nb::handle step : nb::getattr(self, "steps")) {
        if (is_instance(step, state.validation)) {
            nb::getattr(self, "_run_validation")(current, step);
        } else if (is_instance(step, state.optimization)) {
            current = nb::getattr(self, "_run_optimization")(current, step);
        } else {
            current = step(current);
        }
    }
    return current;
}

nb::object run_optimization(nb::handle self, nb::handle current_program, nb::handle optimization) {
    if (truth(nb::getattr(self, "_should_skip_optimization")(optimization))) {
        state.logger.debug(compose({nb::str("Pass '"), nb::getattr(self, "name"),
                                    nb::str("': skipping optimization step '"),
                                    nb::getattr(optimization, "name"), nb::str("'")}));
        return nb::borrow(current_program);
    }
    try {
        return optimization(current_program);
    } catch (nb::python_error& error) {
        if (!is_ordinary(error)) throw;
        HandlingError handling(error.value());
        if (truth(nb::getattr(self, "_should_enforce_optimization")(optimization))) throw;
        state.logger.warning(compose({nb::str("Pass '"), nb::getattr(self, "name"),
                                      nb::str("': exception on optimization '"),
                                      nb::getattr(optimization, "name"), nb::str("': "), error.value()}));
        return nb::borrow(current_program);
    }
}

nb::object run_validation(nb::handle self, nb::handle current_program, nb::handle validation) {
    if (truth(nb::getattr(self, "_should_skip_validation")(validation))) {
        state.logger.debug(compose({nb::str("Pass '"), nb::getattr(self, "name"),
                                    nb::str("': skipping validation step '"),
                                    nb::getattr(validation, "name"), nb::str("'")}));
    } else {
        validation(current_program);
    }
    return nb::none();
}

}  // namespace

NB_MODULE(pipeline_phase, m) {
    // The names the module imports, bound as its attributes.
    import_from(m, "corvane.programs", {"Program"});
    import_from(m, "corvane.configurations.build_options", {"BuildOptions"});
    import_module("corvane.programs");
    import_module("corvane.configurations.build_options");
    state.re_match = keep_attr("re", "match");
    state.logger = Logger::create(m, "corvane.passes.pipeline_phase");
    nb::handle abc = keep_attr("abc", "ABC");

    state.step = keep(ClassBuilder(m, "Step", {abc})
                          .doc("A named transformation of a compilation's program, called with a program.")
                          .field("name", "str")
                          .def("__init__(self, name: str | None = None) -> None", step_init,
                               "Names the step, after its class when no name is given.", "name"_arg = nb::none())
                          .def_abstract("__call__(self, program: Program) -> Program", step_call,
                                        "Runs the step on one program and returns the program that follows.",
                                        "program"_arg)
                          .build());
    state.validation = keep(ClassBuilder(m, "Validation", {state.step, abc})
                                .doc("A step that only inspects the program; its result is ignored.")
                                .build());
    state.optimization = keep(ClassBuilder(m, "Optimization", {state.step, abc})
                                  .doc("A step whose failure the phase tolerates unless a pattern enforces it.")
                                  .build());
    ClassBuilder(m, "ValidationException", {PyExc_Exception})
        .doc("The base of the errors that validation steps raise.")
        .build();

    state.pipeline_phase =
        keep(ClassBuilder(m, "PipelinePhase", {state.step})
                 .doc("A step that runs a fixed tuple of steps in order, under the build options.")
                 .field("steps", "Tuple[Step, ...]")
                 .def("__init__(self, steps: tuple[Step, ...], build_options: BuildOptions, name: str | None = None)"
                      " -> None",
                      phase_init, "Holds the steps and the build options; named after its class by default.",
                      "steps"_arg, "build_options"_arg, "name"_arg = nb::none())
                 .def("_should_skip_optimization(self, optimization: Step) -> bool", should_skip_optimization,
                      "Whether the skip pattern for optimisations selects the step.", "optimization"_arg)
                 .def("_should_skip_validation(self, validation: Step) -> bool", should_skip_validation,
                      "Whether the skip pattern for validations selects the step.", "validation"_arg)
                 .def("_should_enforce_optimization(self, optimization: Step) -> bool", should_enforce_optimization,
                      "Whether the enforce pattern selects the optimisation step.", "optimization"_arg)
                 .def_static("_infer_behavior(step: Step, pattern: str | None) -> bool", infer_behavior,
                             "Whether a pattern (None, \"all\" or a regular expression) selects the step's name.",
                             "step"_arg, "pattern"_arg)
                 .def("__call__(self, program: Program) -> Program", phase_call,
                      "Runs the steps in order on the program and returns the last result.", "program"_arg)
                 .def("_run_optimization(self, current_program: Program, optimization: Step) -> Program",
                      run_optimization, "Runs one optimisation step under the skip and enforce patterns.",
                      "current_program"_arg, "optimization"_arg)
                 .def("_run_validation(self, current_program: Program, validation: Step) -> None", run_validation,
                      "Runs one validation step under the skip pattern.", "current_program"_arg,
                      "validation"_arg)
                 .build());
}
