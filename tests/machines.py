"""Implementations for test machines on which qubit n is driven and read through the element "d<n>"."""

from vk import vyr


def element(qubit):
    return f"d{qubit}"


def gate(name):
    """A one-qubit gate that plays the pulse `name` on its qubit's element."""

    def play(qubit):
        vyr.play(name, element(qubit))

    return play


def measure(qubit):
    return vyr.measure("readout", element(qubit))


def reset(*qubits):
    for qubit in qubits:
        vyr.play("reset", element(qubit))


def barrier(*qubits):
    """The compiler's alignment around the call is all a barrier needs."""


def delay(duration, *qubits):
    vyr.wait(duration, *(element(qubit) for qubit in qubits))


def gphase(theta, *qubits):
    """A global phase plays nothing."""


# The non-gate instructions, as a profile maps them.
INSTRUCTIONS = {"measure q;": measure, "reset": reset, "barrier": barrier, "delay": delay, "gphase": gphase}
