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

import corvane
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


def under_optimisation(python_subprocess, body, cases):
    """Runs `body` once for each case, in an interpreter run with -O, and gives what it made of
    each: `body` is Python code that reads `case` (one of `cases`, as JSON gives it back) and
    `compiler` (a compiler for this machine), may use `json`, `CompilationException` and
    `run_program`, and sets `outcome` to a value that JSON holds; it leaves `made` alone."""
    here = pathlib.Path(__file__).parent
    # The package as this interpreter found it, whatever the directory the source is compiled in.
    package = pathlib.Path(corvane.__file__).resolve().parents[1]
    program = textwrap.dedent(
        f"""
        import importlib.util, json, sys
        sys.path[:0] = [{str(here)!r}, {str(here.parent)!r}, {str(package)!r}]
        spec = importlib.util.spec_from_file_location("machine", {str(here / "conftest.py")!r})
        machine = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(machine)
        from corvane import CompilationException
        from vyr_runner import run_program
        compiler = machine.machine_compiler()
        made = []
        for case in json.loads({json.dumps(json.dumps(list(cases)))}):
        """
    )
    program += textwrap.indent(textwrap.dedent(body), "    ") + "    made.append(outcome)\n"
    program += "print(json.dumps(made))\n"
    return json.loads(python_subprocess(program, "-O"))


# Compiles `source` with `inputs`: `outcome` becomes a pair, True and the rendered vyr program, or
# False and the class name and text of the compilation's cause.
COMPILE = """
source, inputs = case
try:
    outcome = [True, str(compiler.compile(source, inputs=inputs).result_program.dsl_program)]
except CompilationException as error:
    outcome = [False, f"{type(error.__cause__).__name__} {error.__cause__}"]
"""


def compiled_under_optimisation(python_subprocess, sources):
    """Each source, or pair of source and input values, compiled under -O, as COMPILE gives it."""
    pairs = [[source, None] if isinstance(source, str) else list(source) for source in sources]
    return under_optimisation(python_subprocess, COMPILE, pairs)


@pytest.fixture
def causes_under_optimisation(python_subprocess):
    """Compiles each source for this machine in an interpreter run with -O and gives, for each,
    "compiled" or the class name and text of the compilation's cause: refusals must not be
    assertions that -O skips. A source may come as a pair of the text and the input values
    to compile it with."""

    def compile_all(sources):
        return [
            "compiled" if compiled else cause
            for compiled, cause in compiled_under_optimisation(python_subprocess, sources)
        ]

    return compile_all


@pytest.fixture
def programs_under_optimisation(python_subprocess):
    """Compiles each source (or pair of source and input values) in an interpreter run with -O and
    gives, for each, the rendered vyr program or the class name and text of the compilation's cause."""

    def compile_all(sources):
        return [outcome for _, outcome in compiled_under_optimisation(python_subprocess, sources)]

    return compile_all


@pytest.fixture
def results_under_optimisation(python_subprocess):
    """Compiles and runs each case, a triple of the source, the measurement outcomes and the
    input-stream values, for this machine in an interpreter run with -O, and gives for each the
    results it saved, or the class name and text of the compilation's cause."""

    def run_all(cases):
        return under_optimisation(
            python_subprocess,
            """
            source, outcomes, inputs = case
            try:
                program = compiler.compile(source).result_program.dsl_program
                outcome = run_program(program, outcomes, inputs).results
            except CompilationException as error:
                outcome = f"{type(error.__cause__).__name__} {error.__cause__}"
            """,
            [list(case) for case in cases],
        )

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

