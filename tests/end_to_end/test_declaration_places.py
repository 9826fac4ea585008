"""Qubits, arrays, gates, inputs and outputs are declared in the program's own scope, and a gate's body
acts on its own qubits only."""

import pytest

from corvane import CompilationException

CASE = "input int i; switch (i) {{ case 1 {{ {} }} }}"
DEFAULT = "input int i; switch (i) {{ case 1 {{ x $0; }} default {{ {} }} }}"

# What the parser takes for the scope around a braced block or a case body,
# with the error's class and what its text must name.
REFUSALS = [
    ("qubit q; { qubit r; x r; }", "DeclarationPlacementException", ["'r'", "a qubit", "a braced block"]),
    ("{ qubit[2] r; }", "DeclarationPlacementException", ["'r'", "a qubit", "a braced block"]),
    ("{ array[int, 2] a = {1, 2}; }", "DeclarationPlacementException", ["'a'", "an array", "a braced block"]),
    ("qubit q; { gate g a { x a; } } g q;", "DeclarationPlacementException", ["'g'", "a gate", "a braced block"]),
    ("{ output int k; }", "DeclarationPlacementException", ["'k'", "an output", "a braced block"]),
    ("{ input int k; }", "DeclarationPlacementException", ["'k'", "an input", "a braced block"]),
    ("{ { qubit r; } }", "DeclarationPlacementException", ["'r'", "a qubit", "a braced block"]),
    (CASE.format("qubit r;"), "DeclarationPlacementException", ["'r'", "a qubit", "a switch case body"]),
    (DEFAULT.format("qubit r;"), "DeclarationPlacementException", ["'r'", "a qubit", "a switch case body"]),
    (CASE.format("{ gate g a { x a; } }"), "DeclarationPlacementException", ["'g'", "a gate", "a braced block"]),
    (CASE.format("array[int, 2] a;"), "DeclarationPlacementException", ["'a'", "an array", "a switch case body"]),
    (CASE.format("output bit b;"), "DeclarationPlacementException", ["'b'", "an output", "a switch case body"]),
    (CASE.format("{ qubit r; }"), "DeclarationPlacementException", ["'r'", "a qubit", "a braced block"]),
    (CASE.format("switch (i) { case 2 { qubit r; } }"), "DeclarationPlacementException",
     ["'r'", "a qubit", "a switch case body"]),
    # a gate's body acts on the gate's qubits, never on the program's hardware qubits
    ("gate g a { cx a, $1; } g $0;", "UnseenNameException", ["gate 'g'", "'$1'"]),
    ("gate g a { x $1; }", "UnseenNameException", ["gate 'g'", "'$1'"]),
    ("gate g a { if (true) { x $2; } } g $0;", "UnseenNameException", ["gate 'g'", "'$2'"]),
    # a gate's qubit is no value, refused where the gate is defined, in the gate's terms
    ("gate g a { rx(a) a; }", "MisusedFormalException", ["gate 'g'", "qubit 'a'", "a value"]),
    ("qubit q; gate g a { rx(a) a; } g q;", "MisusedFormalException", ["gate 'g'", "qubit 'a'", "a value"]),
    ("gate g a, b { rx(a + 1) b; }", "MisusedFormalException", ["gate 'g'", "qubit 'a'", "a value"]),
    ("gate g a { gphase(a); }", "MisusedFormalException", ["gate 'g'", "qubit 'a'", "a value"]),
    ("gate g a { delay[a] a; }", "MisusedFormalException", ["gate 'g'", "qubit 'a'", "a value"]),
    ("gate g a { if (a) { x a; } }", "MisusedFormalException", ["gate 'g'", "qubit 'a'", "a value"]),
    ("gate g a { for int i in [0:1] { rx(a) a; } }", "MisusedFormalException", ["gate 'g'", "qubit 'a'", "a value"]),
]


@pytest.mark.parametrize("source, error, named", REFUSALS)
def test_each_refusal_names_the_declaration_and_where_it_stands(compiler, source, error, named):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause).__name__ == error
    assert all(part in str(cause) for part in named), str(cause)


def test_the_refusals_hold_under_optimisation(causes_under_optimisation):
    output = causes_under_optimisation(source for source, *_ in REFUSALS)
    assert [line.split(" ", 1)[0] for line in output] == [error for _, error, _ in REFUSALS]
    assert all(all(part in line for part in named) for line, (_, _, named) in zip(output, REFUSALS))


# What a block may still declare, and gates that keep to their own qubits and values.
@pytest.mark.parametrize(
    "source, played, results",
    [
        ("output int r; { int t = 1; bit[2] c = 3; const int k = 2; r = t + k + c; }", [], {"r": [6]}),
        ("output int r; if (true) { bit[2] c = 2; r = c; }", [], {"r": [2]}),
        ("output int r; " + CASE.format("r = 1;") + " x $1;", [("play", "x", "d1")], {"r": [1]}),
        ("gate g(t) a, b { rx(t) a; cx a, b; } g(0.5) $0, $1;",
         [("frame_rotation", 0.5, "d0"), ("play", "cx", "d0")], {}),
        ("gate g(t) a { rx(t * 2) a; barrier a; x a; } qubit q; g(0.25) q;",
         [("frame_rotation", 0.5, "d0"), ("play", "x", "d0")], {}),
    ],
)
def test_what_stays_allowed(run, source, played, results):
    ran = run(source, inputs={"i": [1]})
    assert ran.played() == played and ran.results == results
