// The compiler driver: builds the three phases of a compilation, runs them in
// order, times and logs each one, wraps a failed phase and assembles the result.
#include "corvane/native/support.h"

namespace nb = nanobind;
using namespace corvane::native;
using namespace corvane::native::literals;

namespace {

struct ModuleState {
    nb::handle module;
    nb::handle uuid4;
    nb::handle datetime;  // datetime.datetime
    Logger logger;
} state;

// The names that the driver uses at run time are read from its module, as the
// globals of a module are, so a caller may replace one (a phase, say) there.
nb::object global(const char* name) { return nb::getattr(state.module, name); }

nb::object now() { return state.datetime.attr("now")(); }

nb::object compiler_init(nb::handle self, nb::handle machine_profile, nb::handle name) {
    require_str(name, "name");
    nb::object profile_class = global("MachineProfile");
    if (!is_instance(machine_profile, profile_class)) {
        raise_text(PyExc_TypeError,
                   compose({nb::str("machine_profile should be an instance of "), class_name(profile_class),
                            nb::str(", got "), machine_profile.type()}));
    }
    nb::object uuid = state.uuid4();
    nb::setattr(self, "uuid", uuid);
    nb::setattr(self, "name", name);
    nb::object creation_time = now();
    nb::setattr(self, "creation_time", creation_time);
    state.logger.info(compose({nb::str("Compiler '"), name, nb::str("' initialized, with uuid "), uuid}));
    nb::setattr(self, "_machine_profile", machine_profile);
    nb::setattr(self, "_metadata", global("CompilerMetadata")("uuid"_arg = uuid, "name"_arg = name,
                                                               "creation_time"_arg = creation_time,
                                                               "machine_profile"_arg = machine_profile));
    return nb::none();
}

nb::object compile(nb::handle self, nb::handle code, nb::handle compilation_name, nb::handle inputs,
                   nb::handle build_options) {
    require_str(code, "code");
    require_str(compilation_name, "compilation_name");
    nb::object uuid = state.uuid4();
    state.logger.info(compose({nb::str("Compilation '"), compilation_name, nb::str("' started, with uuid "), uuid}));
    nb::object start_time = now();
    nb::object options = truth(build_options) ? nb::borrow(build_options) : global("BuildOptions")();
    nb::object textual = global("TextualProgram")(code);
    nb::object passes = nb::getattr(self, "_build_passes")(options);
    nb::object tree = nb::getattr(self, "_run_passes")(textual, passes);
    if (assertions_enabled()) check_assertion(is_instance(tree, global("OpenQasmProgram")));
    nb::object target = nb::getattr(self, "_embed")(tree, options, inputs);
    if (assertions_enabled()) check_assertion(is_instance(target, global("Vyr1Program")));
    state.logger.info(compose({nb::str("Compilation '"), compilation_name, nb::str("' ended")}));

    nb::object metadata = nb::getattr(self, "_metadata");
    nb::object flags = nb::getattr(options, "to_dict")();
    nb::object running_duration = now() - start_time;
    return global("CompilationResult")("compiler_metadata"_arg = metadata, "uuid"_arg = uuid,
                                       "name"_arg = compilation_name, "start_time"_arg = start_time,
                                       "flags"_arg = flags, "running_duration"_arg = running_duration,
                                       "source_code"_arg = code, "result_program"_arg = target,
                                       "version"_arg = nb::getattr(self, "version"));
}

nb::object build_passes(nb::handle self, nb::handle build_options) {
    nb::object parsing = global("ParsingPass")(build_options);
    nb::object built_in_gates = nb::getattr(self, "_infer_built_in_gates")();
    nb::object resolving = global("CodeResolvingPass")(build_options, built_in_gates);
    return nb::make_tuple(parsing, resolving);
}

nb::object infer_built_in_gates(nb::handle self) {
    nb::object registry = nb::getattr(nb::getattr(self, "_machine_profile"), "quantum_instruction_registry");
    nb::object gate_signature = global("GateSignature");
    nb::object gates = steal_or_throw(PySet_New(nullptr));
    for (nb::handle key : nb::getattr(registry, "available_identifiers"))
        check_status(PySet_Add(gates.ptr(), gate_signature(nb::getattr(key, "name")).ptr()));
    return gates;
}

nb::object embed(nb::handle self, nb::handle program, nb::handle build_options, nb::handle inputs) {
    nb::object phase = global("Vyr1GenerationPass")(nb::getattr(self, "_machine_profile"), build_options, inputs);
    return nb::getattr(self, "_run_passes")(program, nb::make_tuple(phase));
}

nb::object run_passes(nb::handle /*self*/, nb::handle program, nb::handle passes) {
    require_tuple(passes, "passes");
    nb::object current = nb::borrow(program);
    for (nb::handle phase : passes) {
        nb::object start = now();
        state.logger.debug(compose({nb::str("Running pass '"), nb::getattr(phase, "name"),
                                    nb::str("', started at "), start}));
        try {
            current = phase(current);
        } catch (nb::python_error& error) {
            if (!is_ordinary(error)) throw;
            HandlingError handling(error.value());
            nb::object failure = global("CompilationException")(
                compose({nb::str("Pass \""), nb::getattr(phase, "name"), nb::str("\" failed.")}));
            raise_from(failure, error.value());
        }
        nb::object duration = now() - start;
        state.logger.debug(compose({nb::str("Finished pass successfully '"), nb::getattr(phase, "name"),
                                    nb::str("', took "), duration}));
    }
    return current;
}

}  // namespace

NB_MODULE(compiler, m) {
    state.module = keep(nb::borrow(m));
    // The names the module imports, bound as its attributes.
    nb::object version = import_from(m, "corvane.version", {"__version__"}).attr("__version__");
    import_from(m, "corvane.configurations.build_options", {"BuildOptions"});
    import_from(m, "corvane.configurations.machine_profile", {"MachineProfile"});
    import_from(m, "corvane.programs", {"Program", "TextualProgram", "Vyr1Program", "OpenQasmProgram"});
    import_from(m, "corvane.passes.pipeline_phase", {"PipelinePhase"});
    import_from(m, "corvane.passes.parsing", {"ParsingPass"});
    import_from(m, "corvane.passes.code_resolving", {"CodeResolvingPass"});
    import_from(m, "corvane.passes.code_generation", {"Vyr1GenerationPass", "Inputs"});
    import_from(m, "corvane.passes.code_resolving.macro_expansion_stage", {"GateSignature"});
    import_from(m, "vk.vyr.type_hints", {"ScalarOfAnyType"});
    import_from(m, "datetime", {"datetime", "timedelta"});

    state.uuid4 = keep_attr("uuid", "uuid4");
    state.datetime = keep_attr("datetime", "datetime");
    state.logger = Logger::create(m, "corvane.compiler");

    nb::object typing = import_module("typing");
    m.attr("Flags") = typing.attr("Dict")[nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
                                                        typing.attr("Any"))];

    ClassBuilder(m, "CompilerMetadata")
        .doc("The identity of a compiler: its UUID, name, creation time and machine profile.")
        .field("uuid", "UUID")
        .field("name", "str")
        .field("creation_time", "datetime")
        .field("machine_profile", "MachineProfile")
        .build_dataclass(/*frozen=*/true);
    ClassBuilder(m, "CompilationResult")
        .doc("What a compilation returns: the vyr program with the compilation's metadata.")
        .field("compiler_metadata", "CompilerMetadata")
        .field("uuid", "UUID")
        .field("name", "str")
        .field("flags", "Flags")
        .field("start_time", "datetime")
        .field("running_duration", "timedelta")
        .field("source_code", "str")
        .field("result_program", "Vyr1Program")
        .field("version", "str")
        .build_dataclass(/*frozen=*/true);
    ClassBuilder(m, "CompilationException", {PyExc_Exception})
        .doc("A phase of a compilation failed; the phase's error is its cause.")
        .build();

    ClassBuilder(m, "Compiler")
        .doc("Compiles OpenQASM 3 source texts into vyr programs for one machine profile.")
        .attr("version", version)
        .field("uuid", "UUID")
        .field("name", "str")
        .field("creation_time", "datetime")
        .def("__init__(self, machine_profile: MachineProfile, name: str = 'Compiler') -> None", compiler_init,
             "Makes a compiler for the machine that the profile describes.", "machine_profile"_arg,
             "name"_arg = nb::str("Compiler"))
        .def("compile(self, code: str, compilation_name: str = 'compilation', inputs: Inputs | None = None,"
             " build_options: BuildOptions | None = None) -> CompilationResult",
             compile, "Compiles one OpenQASM 3 source text into a vyr program.", "code"_arg,
             "compilation_name"_arg = nb::str("compilation"), "inputs"_arg = nb::none(),
             "build_options"_arg = nb::none())
        .def("_embed(self, program: OpenQasmProgram, build_options: BuildOptions, inputs: Inputs | None = None)"
             " -> Vyr1Program",
             embed, "Runs the generation phase on the resolved program.", "program"_arg, "build_options"_arg,
             "inputs"_arg = nb::none())
        .def("_run_passes(self, program: Program, passes: tuple[PipelinePhase, ...]) -> Program", run_passes,
             "Runs the phases in order, each on what the one before returned.", "program"_arg, "passes"_arg)
        .def("_build_passes(self, build_options: BuildOptions) -> tuple[ParsingPass, CodeResolvingPass]",
             build_passes, "Makes the parsing and code-resolving phases of a compilation.", "build_options"_arg)
        .def("_infer_built_in_gates(self) -> set[GateSignature]", infer_built_in_gates,
             "The signatures of the gates that the machine profile implements.")
        .build();
}
