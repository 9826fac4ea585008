"""A whole register as an operand means every qubit of it, in what compiled programs do."""

import pathlib

import pytest
from machines import element, gate, measure, reset
from vk import vyr

from corvane import CompilationException, Compiler, MachineProfile
from corvane.passes.code_generation.register_mapper import RegisterSizeException

EXAMPLES = pathlib.Path(__file__).parents[1] / "data" / "openqasm-examples"


def two_qubit(name):
    """Plays on the control's element a pulse that names the target: "cx:d2"."""

    def play(control, target):
        vyr.play(f"{name}:{element(target)}", element(control))

    return play


def barrier(*qubits):
    """Waits on the qubits' elements together, so that the run shows which qubits it covered."""
    vyr.wait(0, *(element(qubit) for qubit in qubits))


def cphase(theta, control, target):
    vyr.frame_rotation(theta, element(control), element(target))


OPERATIONS = {
    **{f"{name} q;": gate(name) for name in ("x", "h", "s", "z")},
    "cx a, b;": two_qubit("cx"),
    "cz a, b;": two_qubit("cz"),
    "cphase(t) a, b;": cphase,
    "measure q;": measure,
    "reset": reset,
    "barrier": barrier,
}


@pytest.fixture(scope="module")
def compiler():
    return Compiler(MachineProfile(OPERATIONS, {qubit: (f"d{qubit}",) for qubit in range(5)}))


def example(name):
    """An example program; the standard gates it includes are the machine's own here."""
    return (EXAMPLES / name).read_text().replace('include "stdgates.inc";', "")


def test_rb_resets_separates_and_measures_both_qubits(run):
    result = run(example("rb.qasm"), outcomes=[True, False])
    both = ("wait", 0, "d0", "d1")
    assert result.played() == [
        ("play", "reset", "d0"), ("play", "reset", "d1"), ("play", "h", "d0"), both,
        ("play", "cz:d1", "d0"), both, ("play", "s", "d0"), ("play", "cz:d1", "d0"), both,
        ("play", "s", "d0"), ("play", "z", "d0"), ("play", "h", "d0"), both,
        ("measure", "readout", "d0"), ("measure", "readout", "d1"),
    ]
    assert result.results == {"c": [True, False]}


def test_qft_measures_every_qubit_into_its_own_bit(run):
    result = run(example("qft.qasm"), outcomes=[True, False, False, True])
    played = result.played()
    assert played[:4] == [("play", "reset", f"d{qubit}") for qubit in range(4)]
    assert ("wait", 0, "d0", "d1", "d2", "d3") in played
    assert played[-4:] == [("measure", "readout", f"d{qubit}") for qubit in range(4)]
    assert result.results == {"c": [True, False, False, True]}


@pytest.mark.parametrize(
    "source, played",
    [
        # The body runs as a whole per qubit of q, the single qubit t as given each time.
        ("qubit[2] q; qubit t; gate g a, b { cx a, b; h b; } g q, t;",
         [("play", "cx:d2", "d0"), ("play", "h", "d2"), ("play", "cx:d2", "d1"), ("play", "h", "d2")]),
        ("qubit[2] q; qubit t; gate g a, b { cx a, b; h b; } gate k a, b { g a, b; x a; } k q, t;",
         [("play", "cx:d2", "d0"), ("play", "h", "d2"), ("play", "x", "d0"),
          ("play", "cx:d2", "d1"), ("play", "h", "d2"), ("play", "x", "d1")]),
        # Two registers go in step; an indexed operand stays one qubit.
        ("qubit[2] a; qubit[2] b; gate g x, y { cx x, y; z y; } g a, b; g a[1], b[0];",
         [("play", "cx:d2", "d0"), ("play", "z", "d2"), ("play", "cx:d3", "d1"), ("play", "z", "d3"),
          ("play", "cx:d2", "d1"), ("play", "z", "d2")]),
        # A body of one statement, and a register of one qubit.
        ("qubit[2] q; qubit t; gate f a { h a; } f q; gate g a, b { cx a, b; h b; } g t, q[0];",
         [("play", "h", "d0"), ("play", "h", "d1"), ("play", "cx:d0", "d2"), ("play", "h", "d0")]),
    ],
)
def test_a_user_gate_on_registers_runs_once_per_qubit(run, source, played):
    assert run(source).played() == played


def test_registers_of_different_sizes_are_refused(compiler):
    with pytest.raises(CompilationException, match='^Pass "Vyr1GenerationPass" failed.$') as raised:
        compiler.compile("qubit[2] q; qubit[3] r; gate g a, b { cx a, b; h b; } g q, r;")
    assert type(raised.value.__cause__) is RegisterSizeException
    assert str(raised.value.__cause__) == (
        "Cannot broadcast 'g' over registers of different sizes: 'q' has 2 qubits, 'r' has 3 qubits.")


X_ON_S = ("play", "x", "d3")  # s follows a register r of three qubits


@pytest.mark.parametrize(
    "source, played",
    [
        # A register reaching a formal that the body never uses still counts the runs.
        ("qubit[3] r; qubit s; gate k a, b { x a; } k s, r;", [X_ON_S] * 3),
        ("qubit[3] r; qubit s; gate k a, b { } gate m a, b { x a; k a, b; } m s, r;", [X_ON_S] * 3),
        ("qubit[3] r; qubit s; gate g a, b { x a; } gate k a, b { g a, b; h b; } k s, r;",
         [X_ON_S, ("play", "h", "d0"), X_ON_S, ("play", "h", "d1"), X_ON_S, ("play", "h", "d2")]),
        ("qubit[3] r; qubit s; gate g a, b { x a; } gate k a, b { g a, b; } k s, r;", [X_ON_S] * 3),
        # ... among single qubits, and with a register in step with it that the body uses.
        ("qubit[2] q; qubit[2] r; qubit t; gate k a, b, c { cx a, c; } k q, r, t;",
         [("play", "cx:d4", "d0"), ("play", "cx:d4", "d1")]),
        ("qubit[2] q; qubit t; gate k a, b { x a; } k t, q[1];", [("play", "x", "d2")]),
        # Every formal used: the registers go in step, single qubits as given.
        ("gate k a, b { cx a, b; } qubit[2] p; qubit[2] r; k p, r;",
         [("play", "cx:d2", "d0"), ("play", "cx:d3", "d1")]),
        ("qubit[2] q; qubit t; gate k a, b { cx b, a; } k q, t;",
         [("play", "cx:d0", "d2"), ("play", "cx:d1", "d2")]),
        ("qubit[2] q; qubit t; gate k(th) a, b { cphase(th) a, b; x a; } k(0.5) q, t;",
         [("frame_rotation", 0.5, "d0", "d2"), ("play", "x", "d0"),
          ("frame_rotation", 0.5, "d1", "d2"), ("play", "x", "d1")]),
        # A barrier in a gate's body is one barrier per run, not one over the register.
        ("qubit[2] q; gate k a { barrier a; } k q;", [("wait", 0, "d0"), ("wait", 0, "d1")]),
        ("qubit[2] q; barrier q;", [("wait", 0, "d0", "d1")]),
    ],
)
def test_a_user_gate_runs_once_per_index_of_its_own_operands(run, source, played):
    assert run(source).played() == played


@pytest.mark.parametrize(
    "source, text",
    [
        ("qubit[2] q; qubit[3] r; gate k a, b { } gate m a, b { x a; k a, b; } m q, r;",
         "Cannot broadcast 'm' over registers of different sizes: 'q' has 2 qubits, 'r' has 3 qubits."),
        ("qubit[2] q; qubit[3] r; gate g a, b { x a; } gate k a, b { g a, b; } k q, r;",
         "Cannot broadcast 'k' over registers of different sizes: 'q' has 2 qubits, 'r' has 3 qubits."),
        ("gate k a, b { cx a, b; } qubit[2] p; qubit[3] r; k p, r;",
         "Cannot broadcast 'cx' over registers of different sizes: 'p' has 2 qubits, 'r' has 3 qubits."),
    ],
)
def test_operands_of_different_sizes_are_refused_also_where_the_body_drops_one(compiler, source, text):
    with pytest.raises(CompilationException, match='^Pass "Vyr1GenerationPass" failed.$') as raised:
        compiler.compile(source)
    assert type(raised.value.__cause__) is RegisterSizeException
    assert str(raised.value.__cause__) == text
