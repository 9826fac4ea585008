"""A gate's body sees its parameters, its qubits and the global constants, as they stand where
the gate is defined, and nothing of the place where it is called."""

import pytest

from corvane import CompilationException
from corvane.passes.code_resolving.macro_expansion_stage import UnseenNameException
from vyr_runner import run_program


@pytest.mark.parametrize(
    "source, angle",
    [
        ("const float w = 0.3; gate g q { rx(w) q; } { float w = 0.9; g $1; }", 0.3),
        ("const float w = 0.3; gate g q { rx(w) q; } gate f(w) q { g q; } f(0.8) $1;", 0.3),
        ("const float w = 0.3; gate g q { rx(w) q; } for float w in {0.9} { g $1; }", 0.3),
        ("const float w = 0.3; gate g(w) q { rx(w) q; } g(0.8) $1;", 0.8),
        ("const float w = 0.3; gate g q { rx(2 * w + pi) q; } g $1;", 2 * 0.3 + 3.141592653589793),
    ],
)
def test_a_body_reads_the_constants_where_the_gate_is_defined(compiler, source, angle):
    played = run_program(compiler.compile(source).result_program.dsl_program).played()
    assert played == [("frame_rotation", angle, "d1")]


UNSEEN = [
    ("float c = 0.7; gate g a { rx(c) a; } g $1;", "g", "c"),
    ("input float c; gate g a { rx(c) a; } g $1;", "g", "c"),
    ("gate g q { rx(t) q; } gate f(t) q { g q; } f(0.5) $1;", "g", "t"),
    ("qubit w; gate g a { cx a, w; } g $1;", "g", "w"),
    ("qubit[2] w; gate g a { cx a, w[1]; } g $1;", "g", "w"),
]


@pytest.mark.parametrize("source, gate, name", UNSEEN)
def test_a_body_that_names_a_variable_a_qubit_or_nothing_is_refused(compiler, source, gate, name):
    with pytest.raises(CompilationException, match='^Pass "CodeResolvingPass" failed.$') as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is UnseenNameException and cause.name == name
    assert str(cause).startswith(f"In the definition of gate '{gate}', '{name}' is neither a parameter nor a qubit")


def test_the_refusals_hold_under_optimisation(causes_under_optimisation, compiler):
    output = causes_under_optimisation(source for source, *_ in UNSEEN)
    expected = []
    for source, _, name in UNSEEN:
        with pytest.raises(CompilationException) as raised:
            compiler.compile(source)
        assert raised.value.__cause__.name == name
        expected.append(f"UnseenNameException {raised.value.__cause__}")
    assert output == expected


def test_what_a_body_declares_and_calls_is_its_own(compiler):
    source = "gate g(t) q { rx(sin(t)) q; } gate f q { g(0.0) q; } f $1;"
    assert run_program(compiler.compile(source).result_program.dsl_program).played() == [
        ("frame_rotation", 0.0, "d1")]
