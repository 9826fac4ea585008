"""A seven-qubit machine written against vk, and a compiler for it.

Qubit 0 is driven and read through two elements, so every operation on it is
aligned; every other qubit has one element of its own.
"""

import json
import pathlib
import textwrap

import pytest
from machines import INSTRUCTIONS, element, gate
from vk import vyr

from corvane import CompilationException, Compiler, InstructionKey, MachineProfile
from vyr_runner import run_program

QUBITS = {0: ("d0", "r0"), **{qubit: (f"d{qubit}",) for qubit in range(1, 7)}}


def rx(theta, qubit):
    vyr.frame_rotation(theta, element(qubit))


def cx(control, target):
    vyr.play("cx", element(control))


def tan(value):
    vyr.wait(value)


OPERATIONS = {
    "x q;": gate("x"),
    "h q;": gate("h"),
    "rx(theta) q;": rx,
    "cx a, b;": cx,
    **INSTRUCTIONS,
    InstructionKey("tan", 1): tan,
}


def machine_compiler(**more_operations):
    """A compiler for this machine, with further implementations beside its own."""
    return Compiler(MachineProfile({**OPERATIONS, **more_operations}, QUBITS))


@pytest.fixture(scope="module")
def compiler():
    return machine_compiler()


@pytest.fixture(scope="module")
def compiler_with():
    return machine_compiler


@pytest.fixture
def compile_text(compiler):
    """Compiles OpenQASM text and returns the rendered vyr program."""

    def run(source, **options):
        return str(compiler.compile(source, **options).result_program.dsl_program)

    return run


@pytest.fixture
def run(compiler):
    """Compiles OpenQASM text and runs the vyr program, with measurement outcomes and input values."""

    def compile_and_run(source, outcomes=(), inputs=None, **options):
        return run_program(compiler.compile(source, **options).result_program.dsl_program, outcomes, inputs)

    return compile_and_run


def lines_under_optimisation(python_subprocess, body):
    """Runs `body`, Python code that reads `compiler` (a compiler for this machine), `json`,
    `CompilationException` and `run_program`, in an interpreter run with -O, and gives the lines
    it prints."""
    here = pathlib.Path(__file__).parent
    preamble = textwrap.dedent(
        f"""
        import importlib.util, json, sys
        sys.path[:0] = [{str(here)!r}, {str(here.parent)!r}]
        spec = importlib.util.spec_from_file_location("machine", {str(here / "conftest.py")!r})
        machine = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(machine)
        from corvane import CompilationException
        from vyr_runner import run_program
        compiler = machine.machine_compiler()
        """
    )
    return python_subprocess(preamble + textwrap.dedent(body), "-O").splitlines()


@pytest.fixture
def causes_under_optimisation(python_subprocess):
    """Compiles each source for this machine in an interpreter run with -O and gives, for each,
    "compiled" or the class name and text of the compilation's cause: refusals must not be
    assertions that -O skips. A source may come as a pair of the text and the input values
    to compile it with."""

    def compile_all(sources):
        pairs = [[source, None] if isinstance(source, str) else list(source) for source in sources]
        return lines_under_optimisation(
            python_subprocess,
            f"""
            for source, inputs in json.loads({json.dumps(json.dumps(pairs))}):
                try:
                    compiler.compile(source, inputs=inputs)
                    print("compiled")
                except CompilationException as error:
                    print(type(error.__cause__).__name__, error.__cause__)
            """,
        )

    return compile_all


@pytest.fixture
def results_under_optimisation(python_subprocess):
    """Compiles and runs each case, a triple of the source, the measurement outcomes and the
    input-stream values, for this machine in an interpreter run with -O, and gives for each the
    results it saved, or the class name and text of the compilation's cause."""

    def run_all(cases):
        lines = lines_under_optimisation(
            python_subprocess,
            f"""
            for source, outcomes, inputs in json.loads({json.dumps(json.dumps([list(case) for case in cases]))}):
                try:
                    program = compiler.compile(source).result_program.dsl_program
                except CompilationException as error:
                    print(json.dumps(f"{{type(error.__cause__).__name__}} {{error.__cause__}}"))
                    continue
                print(json.dumps(run_program(program, outcomes, inputs).results))
            """,
        )
        return [json.loads(line) for line in lines]

    return run_all


@pytest.fixture
def refusals_hold_under_optimisation(causes_under_optimisation, compiler):
    """Checks that each source (or pair of source and input values) is refused under -O with the
    cause, class and text, that it is refused with here."""

    def check(sources):
        pairs = [(source, None) if isinstance(source, str) else tuple(source) for source in sources]
        expected = []
        for source, inputs in pairs:
            with pytest.raises(CompilationException) as raised:
                compiler.compile(source, inputs=inputs)
            expected.append(f"{type(raised.value.__cause__).__name__} {raised.value.__cause__}")
        assert causes_under_optimisation(pairs) == expected

    return check

