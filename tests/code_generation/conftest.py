"""A small machine written against vk, and helpers that run the generation steps on OpenQASM text."""

import pytest
from openqasm3 import parser
from vk import vyr

from corvane.configurations.build_options import BuildOptions
from corvane.configurations.instruction_key import InstructionKey
from corvane.configurations.machine_profile import MachineProfile
from corvane.passes.code_generation import Vyr1GenerationPass
from corvane.passes.parsing.hardware_qubit_binder import HardwareQubitBinder
from corvane.programs import OpenQasmProgram

# Qubit 0 drives two elements; qubits 3 and 4 share one element.
QUBITS = {0: ("xy0", "ro0"), 1: ("xy1",), 2: ("xy2",), 3: ("bus",), 4: ("bus",)}


def element(qubit):
    return QUBITS[qubit][0]


def x(q):
    vyr.play("x", element(q))


def rx(theta, q):
    vyr.frame_rotation(theta, element(q))


def cx(control, target):
    vyr.play("cx", element(control))
    vyr.play("cx_target", element(target))


def measure(q):
    return vyr.measure("readout", element(q))


def reset(*qubits):
    for q in qubits:
        vyr.play("reset", element(q))


def barrier(*qubits):
    vyr.wait(0, *(element(q) for q in qubits))


def delay(duration, *qubits):
    vyr.wait(duration, *(element(q) for q in qubits))


def gphase(theta, *qubits):
    vyr.frame_rotation(theta, *(element(q) for q in qubits))


def tan(value):
    vyr.wait(value)


OPERATIONS = {
    "x q;": x,
    "rx(theta) q;": rx,
    "cx a, b;": cx,
    "measure q;": measure,
    "reset": reset,
    "barrier": barrier,
    "delay": delay,
    "gphase": gphase,
    InstructionKey("tan", 1): tan,
}


class CodeGen:
    """The machine above and the generation phase, run on OpenQASM text."""

    qubits = QUBITS
    operations = OPERATIONS

    @staticmethod
    def profile(operations=None, qubits=None):
        return MachineProfile(dict(OPERATIONS if operations is None else operations),
                              dict(QUBITS if qubits is None else qubits))

    @staticmethod
    def parsed(source):
        """The tree of `source` with its `$n` names bound, as the parsing phase leaves it."""
        return HardwareQubitBinder()(OpenQasmProgram(parser.parse(source)))

    @classmethod
    def generate(cls, source, inputs=None, profile=None):
        """Runs the whole generation phase on `source` and returns the Vyr1Program."""
        phase = Vyr1GenerationPass(profile or cls.profile(), BuildOptions(), inputs)
        return phase(cls.parsed(source))

    @classmethod
    def lower(cls, source, inputs=None, profile=None):
        """Runs the generation phase up to and including the lowering: no output is saved."""
        phase = Vyr1GenerationPass(profile or cls.profile(), BuildOptions(), inputs)
        program = cls.parsed(source)
        for step in phase.steps[:-1]:
            program = step(program)
        return program

    @staticmethod
    def lines(program):
        """The rendered vk program, one statement a line."""
        return str(program.dsl_program).splitlines()

    @classmethod
    def lowered(cls, source, inputs=None, profile=None):
        return cls.lines(cls.lower(source, inputs, profile))


@pytest.fixture
def codegen():
    return CodeGen
