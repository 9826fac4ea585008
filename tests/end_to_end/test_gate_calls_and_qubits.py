"""Qubit operands and gate bodies that name no qubit are refused with a text that says what is wrong."""

import pathlib

import pytest
from machines import INSTRUCTIONS, element, gate
from vk import vyr

from corvane import CompilationException, Compiler, MachineProfile
from corvane.passes.code_generation.register_mapper import MisusedQubitRegisterException, NotAQubitException
from corvane.passes.code_resolving.macro_expansion_stage import MisusedFormalException
from corvane.passes.parsing.validators import ConstantMisuseException
from vyr_runner import run_program


def cx(control, target):
    vyr.play("cx", element(control))


def u(theta, phi, lam, qubit):
    vyr.play("u", element(qubit))


def p(theta, qubit):
    vyr.frame_rotation(theta, element(qubit))


def gate_named_like_a_parameter():
    """A machine with gates named `U` and `p`, as a gate's parameters may be named."""
    operations = {"x q;": gate("x"), "h q;": gate("h"), "cx a, b;": cx, **INSTRUCTIONS, "U(a, b, c) q;": u,
                  "p(t) q;": p}
    return Compiler(MachineProfile(operations, {qubit: (f"d{qubit}",) for qubit in range(5)}))


@pytest.fixture(scope="module")
def other_compiler():
    return gate_named_like_a_parameter()


RESOLVING = "CodeResolvingPass"
GENERATION = "Vyr1GenerationPass"

# The program, the phase that refuses it, the class of the cause and what its text names.
REFUSALS = [
    # an operand that names no qubit
    ("h q;", GENERATION, NotAQubitException, ["'q'", "'h'", "no qubit register 'q' is declared"]),
    ("bit c; reset c;", GENERATION, NotAQubitException, ["'c'", "'reset'", "'c' is a classical variable"]),
    ("qubit q; bit c; c = measure c;", GENERATION, NotAQubitException, ["'c'", "'measure'", "classical variable"]),
    ("qubit q; bit[2] c; x c[1];", GENERATION, NotAQubitException, ["'c[1]'", "'x'", "classical variable"]),
    ("qubit q; barrier q, z;", GENERATION, NotAQubitException, ["'z'", "'barrier'"]),
    ("qubit q; delay[8ns] z;", GENERATION, NotAQubitException, ["'z'", "'delay'"]),
    ("qubit q; gphase(0.5) z;", GENERATION, NotAQubitException, ["'z'", "'gphase'"]),
    ("qubit q; for int i in [0:1] { x i; }", GENERATION, NotAQubitException, ["'i'", "classical variable"]),
    ("const int c = 3; qubit q; x c;", RESOLVING, ConstantMisuseException, ["'c' is a constant, not a qubit"]),
    # also one that the body of the called gate leaves unused
    ("gate k a, b { x a; } qubit s; k s, z;", GENERATION, NotAQubitException,
     ["'z'", "'k'", "no qubit register 'z' is declared"]),
    ("gate k a { x a; } bit c; k c;", GENERATION, NotAQubitException, ["'c'", "classical variable"]),
    # a register's name where no qubit operand stands
    ("qubit q; int i; i = q;", GENERATION, MisusedQubitRegisterException, ["'q'", "as a classical variable"]),
    ("qubit q; qubit r; r = measure q;", GENERATION, MisusedQubitRegisterException, ["'r'", "classical variable"]),
    ("qubit[2] x; x x[1];", GENERATION, MisusedQubitRegisterException, ["'x'", "used as a gate"]),
    # indices
    ("qubit[2] q; x q[5];", GENERATION, IndexError, ["Index 5", "'q'", "2 qubits"]),
    ("gate k a, b { x a; } qubit s; qubit[2] q; k s, q[5];", GENERATION, IndexError, ["Index 5", "'q'", "2 qubits"]),
    ("qubit[0] q; x q;", GENERATION, IndexError, ["'q'", "size 0"]),
    ("qubit[2] q; int i = 0; x q[i];", GENERATION, AssertionError, ["'q[i]'", "not by an integer literal"]),
    ("qubit[2] q; x q[0][1];", GENERATION, AssertionError, ["'q[0][1]'", "register 'q'", "2 times"]),
    ("qubit[2] q; x q[0, 1];", GENERATION, AssertionError, ["'q[0, 1]'", "register 'q'", "2 indices"]),
    ("qubit[n] q;", GENERATION, AssertionError, ["'n'", "register 'q'", "not a constant integer"]),
    # slices and index sets where one qubit is expected
    ("qubit[2] q; h q[0:1];", GENERATION, NotImplementedError, ["Slices", "not lowered", "'q[0:1]'"]),
    ("qubit[2] q; bit[2] b; b[0:1] = measure q[0:1];", GENERATION, NotImplementedError, ["Slices", "'q[0:1]'"]),
    ("qubit[2] q; bit[2] b; b = measure q[0:1];", GENERATION, NotImplementedError, ["Slices", "'q[0:1]'"]),
    ("qubit[2] q; bit[2] b; b[0:1] = measure q[0];", GENERATION, NotImplementedError, ["Slices", "'b[0:1]'"]),
    ("qubit[2] q; gate g a { x a; } g q[0:1];", GENERATION, NotImplementedError, ["Slices", "'q[0:1]'"]),
    ("qubit[2] q; reset q[:];", GENERATION, NotImplementedError, ["Slices", "'q[:]'"]),
    ("qubit[2] q; x q[{0, 1}];", GENERATION, NotImplementedError, ["Index sets", "'q[{0, 1}]'"]),
    # a gate's formal in a role it cannot take
    ("gate g(p) a { p a; } qubit q; g(0.5) q;", RESOLVING, MisusedFormalException,
     ["gate 'g'", "parameter 'p'", "used as a gate"]),
    ("gate g(p) a { x p; } qubit q; g(0.5) q;", RESOLVING, MisusedFormalException,
     ["gate 'g'", "parameter 'p'", "used as a qubit"]),
    ("gate g(U) a { U(0, 0, 0) a; } qubit q; g(1) q;", RESOLVING, MisusedFormalException,
     ["parameter 'U'", "used as a gate"]),
    ("gate g a { a a; } qubit q; g q;", RESOLVING, MisusedFormalException, ["qubit 'a'", "used as a gate"]),
    ("gate g a { h a[0]; } qubit[2] q; g q[1];", RESOLVING, MisusedFormalException, ["qubit 'a'", "indexed"]),
    ("gate g a, a { cx a, a; } qubit q; qubit r; g q, r;", RESOLVING, MisusedFormalException,
     ["qubit 'a'", "two formals"]),
    ("qubit q; gate g(a, t) a { rx(t * 2) a; } g(1, 0.25) q;", RESOLVING, MisusedFormalException,
     ["gate 'g'", "parameter 'a'", "name of a qubit"]),
]


@pytest.mark.parametrize("profile", ["example", "with U and p"])
@pytest.mark.parametrize("source, phase, cause_class, named", REFUSALS)
def test_each_refusal_names_what_is_wrong(compiler, other_compiler, profile, source, phase, cause_class, named):
    chosen = compiler if profile == "example" else other_compiler
    with pytest.raises(CompilationException, match=f'^Pass "{phase}" failed.$') as raised:
        chosen.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is cause_class
    text = str(cause)
    assert all(part in text for part in named), text
    assert "switch" not in text


def test_the_refusals_hold_under_optimisation(python_subprocess, other_compiler):
    # Run without assertions, every check above must still refuse, with the same text.
    here = pathlib.Path(__file__).parent
    output = python_subprocess(
        f"""
        import sys
        sys.path[:0] = [{str(here)!r}, {str(here.parent)!r}]
        from corvane import CompilationException
        from test_gate_calls_and_qubits import REFUSALS, gate_named_like_a_parameter
        compiler = gate_named_like_a_parameter()
        for source, *_ in REFUSALS:
            try:
                compiler.compile(source)
                print("compiled")
            except CompilationException as error:
                print(type(error.__cause__).__name__, error.__cause__)
        """,
        "-O",
    )
    expected = []
    for source, _, cause_class, _ in REFUSALS:
        with pytest.raises(CompilationException) as raised:
            other_compiler.compile(source)
        expected.append(f"{cause_class.__name__} {raised.value.__cause__}")
    assert output.splitlines() == expected


STILL_COMPILE = [
    ("qubit[2] q; gate g(t) a { rx(t) a; x a; } g(0.5) q;",
     [("frame_rotation", 0.5, "d0"), ("play", "x", "d0"), ("frame_rotation", 0.5, "d1"), ("play", "x", "d1")]),
    ("qubit q; gate g(s, t) a { rx(t * 2) a; } g(1, 0.25) q;", [("frame_rotation", 0.5, "d0")]),
    ("qubit q; gate g a, b { cx a, b; } g q, $1;", [("play", "cx", "d0")]),
    ("qubit q; gate id a { } id q; x q;", [("play", "x", "d0")]),
    ("qubit[2] q; x q[1]; h q[0];", [("play", "x", "d1"), ("play", "h", "d0")]),
    # folded to a literal, a negative index counts from the register's end
    ("qubit[3] q; x q[-1]; h q[-3];", [("play", "x", "d2"), ("play", "h", "d0")]),
    ("qubit[2] q; bit[2] c; c[1] = measure q[1]; reset q[0];",
     [("measure", "readout", "d1"), ("play", "reset", "d0")]),
]


@pytest.mark.parametrize("source, played", STILL_COMPILE)
def test_programs_that_use_qubits_and_formals_rightly_still_compile(compiler, source, played):
    assert run_program(compiler.compile(source).result_program.dsl_program).played() == played
