"""An example machine: three qubits with vyr implementations written against
the vk SDK. Qubits 0 and 1 are each driven and read out through one element;
qubit 2 also has a flux line, so every operation on it aligns both elements."""

from vk import vyr

from corvane import InstructionKey, MachineProfile, OperationsMapping

QUBITS = {
    0: ("q0",),
    1: ("q1",),
    2: ("q2", "q2.flux"),
}


def drive(qubit):
    return f"q{qubit}"


def x(qubit):
    vyr.play("x180", drive(qubit))


def sx(qubit):
    vyr.play("x90", drive(qubit))


def h(qubit):
    vyr.frame_rotation(1.5707963267948966, drive(qubit))
    vyr.play("x90", drive(qubit))


def rz(theta, qubit):
    vyr.frame_rotation(theta, drive(qubit))


def rx(theta, qubit):
    vyr.frame_rotation(-1.5707963267948966, drive(qubit))
    vyr.play("x90", drive(qubit))
    vyr.frame_rotation(theta, drive(qubit))
    vyr.play("x90", drive(qubit))


def cz(control, target):
    vyr.play("cz", drive(control))
    vyr.play("cz", drive(target))


def cx_0_1():
    # A calibrated cross-resonance pulse exists only for the pair ($0, $1).
    vyr.play("cr_0_1", "q0")
    vyr.play("x90", "q1")


def measure(qubit):
    return vyr.measure("readout", drive(qubit))


def reset(*qubits):
    for qubit in qubits:
        vyr.wait(250, drive(qubit))


def delay(duration, *qubits):
    if qubits:
        vyr.wait(duration, *(drive(qubit) for qubit in qubits))


def barrier(*qubits):
    """Nothing to play: the compiler aligns the qubits' elements around the call."""


def gphase(angle, *qubits):
    """A global phase changes nothing that can be measured."""


OPERATIONS: OperationsMapping = {
    "x q;": x,
    "sx q;": sx,
    "h q;": h,
    "rz(theta) q;": rz,
    "rx(theta) q;": rx,
    "cz a, b;": cz,
    "cx $0, $1;": cx_0_1,
    InstructionKey("measure", number_of_parametric_qubits=1): measure,
    "reset": reset,
    "delay": delay,
    "barrier": barrier,
    "gphase": gphase,
}

profile = MachineProfile(OPERATIONS, QUBITS)
