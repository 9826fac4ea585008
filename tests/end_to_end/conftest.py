"""A seven-qubit machine written against vk, and a compiler for it.

Qubit 0 is driven and read through two elements, so every operation on it is
aligned; every other qubit has one element of its own.
"""

import pytest
from vk import vyr

from corvane import Compiler, InstructionKey, MachineProfile

QUBITS = {0: ("d0", "r0"), **{qubit: (f"d{qubit}",) for qubit in range(1, 7)}}


def drive(qubit):
    return f"d{qubit}"


def x(qubit):
    vyr.play("x", drive(qubit))


def h(qubit):
    vyr.play("h", drive(qubit))


def rx(theta, qubit):
    vyr.frame_rotation(theta, drive(qubit))


def cx(control, target):
    vyr.play("cx", drive(control))


def measure(qubit):
    return vyr.measure("readout", drive(qubit))


def reset(*qubits):
    for qubit in qubits:
        vyr.play("reset", drive(qubit))


def barrier(*qubits):
    """The compiler's alignment around the call is all a barrier needs."""


def delay(duration, *qubits):
    vyr.wait(duration, *(drive(qubit) for qubit in qubits))


def gphase(theta, *qubits):
    """A global phase plays nothing."""


def tan(value):
    vyr.wait(value)


OPERATIONS = {
    "x q;": x,
    "h q;": h,
    "rx(theta) q;": rx,
    "cx a, b;": cx,
    "measure q;": measure,
    "reset": reset,
    "barrier": barrier,
    "delay": delay,
    "gphase": gphase,
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
