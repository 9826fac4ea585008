import dataclasses
import datetime
import logging
import re

import pytest

import corvane.compiler as compiler_module
from corvane import BuildOptions, CompilationException, CompilationResult, Compiler, CompilerMetadata, MachineProfile
from corvane.passes.code_resolving.macro_expansion_stage import GateSignature
from corvane.programs import OpenQasmProgram, Vyr1Program
from corvane.version import __version__

LOGGER = "corvane.compiler"


def on_one(qubit):
    pass


def on_fixed():
    pass


def on_two(control, target):
    pass


@pytest.fixture
def profile():
    return MachineProfile({"x q;": on_one, "x $0;": on_fixed, "cz a, b;": on_two}, {0: ("e0",), 1: ("e1",)})


@pytest.fixture
def compiler(profile):
    return Compiler(profile)


def messages(caplog):
    return [(record.levelname, record.getMessage()) for record in caplog.records if record.name == LOGGER]


class TestCompiler:
    def test_identity_and_metadata(self, profile, caplog):
        caplog.set_level(logging.INFO, LOGGER)
        first, second = Compiler(profile), Compiler(profile, name="second")
        assert first.name == "Compiler" and second.name == "second"
        assert first.uuid.version == 4 and first.uuid != second.uuid
        assert isinstance(first.creation_time, datetime.datetime) and first.creation_time.tzinfo is None
        assert first._metadata == CompilerMetadata(first.uuid, "Compiler", first.creation_time, profile)
        assert first._metadata.machine_profile is profile is second._metadata.machine_profile
        assert messages(caplog)[0] == ("INFO", f"Compiler 'Compiler' initialized, with uuid {first.uuid}")
        assert Compiler.version == __version__

    def test_name_must_be_exactly_text(self, profile):
        with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got NoneType\)$"):
            Compiler(profile, None)

    def test_machine_profile_type_is_checked_after_the_name(self):
        with pytest.raises(TypeError) as error:
            Compiler({})
        assert str(error.value) == "machine_profile should be an instance of MachineProfile, got <class 'dict'>"
        with pytest.raises(TypeError, match="Argument 'name'"):
            Compiler({}, name=3)

    def test_a_subclass_of_the_profile_is_accepted(self):
        class Special(MachineProfile):
            pass

        assert Compiler(Special({}, {})).name == "Compiler"


class TestCompile:
    def test_result_record(self, compiler, caplog):
        caplog.set_level(logging.DEBUG, LOGGER)
        result = compiler.compile("x $0;")
        assert isinstance(result, CompilationResult)
        assert result.name == "compilation" and result.source_code == "x $0;"
        assert result.compiler_metadata is compiler._metadata
        assert result.flags == BuildOptions().to_dict()
        assert list(result.flags.values()) == [100, None, None, None, 0]
        assert isinstance(result.result_program, Vyr1Program)
        assert result.version == __version__ and result.uuid.version == 4
        assert isinstance(result.running_duration, datetime.timedelta)
        texts = [text for _, text in messages(caplog)]
        assert texts[0] == f"Compilation 'compilation' started, with uuid {result.uuid}"
        assert texts[-1] == "Compilation 'compilation' ended"
        phases = [re.sub(r"(started at|took) .*", r"\1 ...", text) for text in texts[1:-1]]
        assert phases == [
            "Running pass 'ParsingPass', started at ...",
            "Finished pass successfully 'ParsingPass', took ...",
            "Running pass 'CodeResolvingPass', started at ...",
            "Finished pass successfully 'CodeResolvingPass', took ...",
            "Running pass 'Vyr1GenerationPass', started at ...",
            "Finished pass successfully 'Vyr1GenerationPass', took ...",
        ]

    def test_two_compilations_are_independent(self, compiler):
        first, second = compiler.compile("x $0;", "a"), compiler.compile("x $1;", "b")
        assert first.uuid != second.uuid and first.start_time <= second.start_time
        assert first.compiler_metadata is second.compiler_metadata
        assert first.result_program is not second.result_program

    def test_build_options_travel_in_the_flags(self, compiler):
        result = compiler.compile("x $0;", build_options=BuildOptions(optimizations_to_skip="all", optimization_level=2))
        assert result.flags["optimizations_to_skip"] == "all" and result.flags["optimization_level"] == 2

    def test_result_is_frozen_and_unhashable(self, compiler):
        result = compiler.compile("x $0;")
        with pytest.raises(dataclasses.FrozenInstanceError):
            result.name = "other"
        with pytest.raises(TypeError):
            hash(result)
        assert result == dataclasses.replace(result)
        assert result != dataclasses.replace(result, name="other")

    @pytest.mark.parametrize("arguments", [(b"x $0;",), ("x $0;", None), (type("S", (str,), {})("x"),)])
    def test_code_and_name_must_be_exactly_text(self, compiler, arguments, caplog):
        caplog.set_level(logging.DEBUG, LOGGER)
        with pytest.raises(TypeError, match="^Argument '(code|compilation_name)' has incorrect type"):
            compiler.compile(*arguments)
        assert messages(caplog) == []

    def test_a_failing_phase_is_wrapped_and_stops_the_compilation(self, compiler, monkeypatch, caplog):
        caplog.set_level(logging.DEBUG, LOGGER)
        ran = []

        class ParsingPass:
            name = "ParsingPass"

            def __init__(self, build_options):
                pass

            def __call__(self, program):
                raise ValueError("broken")

        class CodeResolvingPass:
            name = "CodeResolvingPass"

            def __init__(self, build_options, built_in_gates):
                pass

            def __call__(self, program):
                ran.append(program)
                return program

        monkeypatch.setattr(compiler_module, "ParsingPass", ParsingPass)
        monkeypatch.setattr(compiler_module, "CodeResolvingPass", CodeResolvingPass)
        with pytest.raises(CompilationException) as error:
            compiler.compile("x $0;")
        assert str(error.value) == 'Pass "ParsingPass" failed.'
        assert isinstance(error.value.__cause__, ValueError)
        assert ran == []
        texts = [text for _, text in messages(caplog)]
        assert texts[1].startswith("Running pass 'ParsingPass', started at ")
        assert not any(text.startswith("Finished pass successfully") for text in texts)

    def test_errors_of_real_phases_are_wrapped_with_their_cause(self, compiler):
        with pytest.raises(CompilationException) as error:
            compiler.compile("x(0.5) $0;")
        assert str(error.value) == 'Pass "Vyr1GenerationPass" failed.'
        assert type(error.value.__cause__).__name__ == "UnresolvableOperation"
        assert str(error.value.__cause__) == (
            "Not found relevant operation for OperationCandidate(name='x', number_of_params=1, qubits=(0,))")
        with pytest.raises(CompilationException, match='^Pass "CodeResolvingPass" failed.$'):
            compiler.compile("y $0;")
        with pytest.raises(CompilationException, match='^Pass "ParsingPass" failed.$'):
            compiler.compile("x $0")

    def test_interrupts_are_not_wrapped(self, compiler, monkeypatch):
        class Interrupted:
            name = "Interrupted"

            def __call__(self, program):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            compiler._run_passes(object(), (Interrupted(),))

    def test_run_passes_takes_exactly_a_tuple(self, compiler):
        program = object()
        assert compiler._run_passes(program, ()) is program
        with pytest.raises(TypeError, match="^Argument 'passes' has incorrect type"):
            compiler._run_passes(program, [])

    def test_wrong_program_forms_fail_the_assertions(self, compiler, monkeypatch):
        monkeypatch.setattr(Compiler, "_run_passes", lambda self, program, passes: program)
        with pytest.raises(AssertionError):
            compiler.compile("x $0;")


def test_built_in_gates_are_one_signature_per_key_name(compiler):
    assert compiler._infer_built_in_gates() == {GateSignature("x"), GateSignature("cz")}
    assert Compiler(MachineProfile({}, {}))._infer_built_in_gates() == set()


def test_the_generation_phase_runs_alone(compiler):
    tree = compiler._run_passes(compiler_module.TextualProgram("x $0;"), compiler._build_passes(BuildOptions()))
    assert isinstance(tree, OpenQasmProgram)
    assert isinstance(compiler._embed(tree, BuildOptions()), Vyr1Program)


def test_package_api():
    import corvane

    for name in ("Compiler", "CompilationResult", "CompilerMetadata", "CompilationException", "BuildOptions",
                 "MachineProfile", "InstructionRegistry", "OperationsMapping", "InstructionKey", "print_node",
                 "format_node"):
        assert hasattr(corvane, name), name
