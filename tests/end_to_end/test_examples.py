"""Real programs: the examples compile and run, and every program of the OpenQASM examples either
compiles or is refused with an error that names what is wrong."""

import importlib.util
import inspect
import pathlib
import sys

import pytest
from machines import INSTRUCTIONS, element
from vk import vyr

from corvane import CompilationException, Compiler, MachineProfile
from vyr_runner import run_program

ROOT = pathlib.Path(__file__).parents[2]
EXAMPLE_PROGRAMS = sorted((ROOT / "examples" / "programs").glob("*.qasm"))
OPENQASM_EXAMPLES = sorted((ROOT / "tests" / "data" / "openqasm-examples").glob("*.qasm"))


def example_module(name):
    """A module of examples/, loaded as the demo runs it, beside the example machine."""
    spec = importlib.util.spec_from_file_location(f"example_{name}", ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(ROOT / "examples"))
    return module


def example_profile():
    return example_module("machine_profile").profile


@pytest.mark.parametrize("path", EXAMPLE_PROGRAMS, ids=lambda path: path.name)
def test_each_example_compiles_and_runs(path):
    # Compiled with the input values the demo gives; the others are read from their streams.
    inputs = example_module("demo").INPUTS.get(path.stem)
    program = Compiler(example_profile()).compile(path.read_text(), inputs=inputs).result_program.dsl_program
    run = run_program(program, outcomes=lambda pulse, element: True, inputs={"detuning": [0.25]})
    assert run.played() and run.results


def test_the_ramsey_example_waits_as_long_as_the_demo_says():
    inputs = example_module("demo").INPUTS["ramsey"]
    source = (ROOT / "examples" / "programs" / "ramsey.qasm").read_text()
    for given, streams, cycles in [(inputs, {"detuning": [0.25]}, inputs["wait"]),
                                   (None, {"detuning": [0.25], "wait": [25]}, 25)]:
        program = Compiler(example_profile()).compile(source, inputs=given).result_program.dsl_program
        run = run_program(program, outcomes=lambda pulse, element: True, inputs=streams)
        assert ("wait", cycles, "q2") in run.played() and run.results == {"result": [True]}


def standard_gates():
    """Every gate of the standard library, each playing a pulse named after it on its first qubit's element."""

    def gate(name, parameters, qubits):
        def implementation(*arguments):
            vyr.play(name, element(arguments[parameters]))

        # The registry reads the implementation's parameters: a signature of the key's size.
        names = [f"p{i}" for i in range(parameters)] + [f"q{i}" for i in range(qubits)]
        implementation.__signature__ = inspect.Signature(
            [inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD) for name in names]
        )
        return implementation

    shapes = {
        **{name: (0, 1) for name in ("x", "y", "z", "h", "s", "sdg", "t", "tdg", "sx", "id")},
        **{name: (1, 1) for name in ("rx", "ry", "rz", "p", "phase", "u1")},
        "u2": (2, 1), "u3": (3, 1), "U": (3, 1),
        **{name: (0, 2) for name in ("cx", "CX", "cy", "cz", "ch", "swap")},
        **{name: (1, 2) for name in ("cp", "crx", "cry", "crz", "cu1")},
        "cu": (4, 2), "ccx": (0, 3), "cswap": (0, 3),
    }
    operations = {}
    for name, (parameters, qubits) in shapes.items():
        formals = "(" + ", ".join(f"a{i}" for i in range(parameters)) + ")" if parameters else ""
        operands = ", ".join(f"q{i}" for i in range(qubits))
        operations[f"{name}{formals} {operands};"] = gate(name, parameters, qubits)

    operations.update(INSTRUCTIONS)
    return MachineProfile(operations, {qubit: (element(qubit),) for qubit in range(40)})


# Causes that say nothing of the program: internal errors.
INTERNAL = (AttributeError, KeyError, ZeroDivisionError, TypeError, RuntimeError)


@pytest.mark.parametrize("path", OPENQASM_EXAMPLES, ids=lambda path: path.name)
def test_each_openqasm_example_compiles_or_is_refused_by_name(path):
    # The machine supplies the standard gates that the examples include.
    source = path.read_text().replace('include "stdgates.inc";', "")
    try:
        Compiler(standard_gates()).compile(source)
    except CompilationException as error:
        cause = error.__cause__
        assert type(cause) not in INTERNAL and str(cause), f"{path.name}: {cause!r}"
