"""Switch case bodies: the predefined and the program's own constants are substituted there as
everywhere, and each construct that a case body does not take is refused with an error that
says so and names it."""

import math

import pytest

from corvane import CompilationException

MEASURED = "bit b; b = measure $0; "

# (program, measurement outcome of $0, rotations played on d1, values saved)
RUNS = [
    (MEASURED + "switch (int(b)) { case 1 { rx(pi / 2) $1; } }", True, [math.pi / 2], {"b": [True]}),
    (MEASURED + "switch (int(b)) { case 1 { rx(pi / 2) $1; } }", False, [], {"b": [False]}),
    (MEASURED + "switch (int(b)) { case 1 { rx(τ) $1; rx(-euler) $1; } }", True, [math.tau, -math.e],
     {"b": [True]}),
    # The program's constants, in the case values and the bodies, nested switches included.
    ("const float t = tau / 4; const int ON = 1; " + MEASURED
     + "switch (int(b)) { case ON { rx(t) $1; } default { rx(-t) $1; } }", False, [-math.pi / 2], {"b": [False]}),
    ("const int k = 1; output int r; " + MEASURED
     + "switch (int(b)) { case k { switch (k + 1) { case k + 1 { r = k * 10; rx(k / 2) $1; } } } }", True,
     [0], {"r": [10]}),
    # A real constant divides as a real there too, and an unsigned one keeps to its width.
    ("const float f = 1; const uint[4] c = 5; output int r; " + MEASURED
     + "switch (int(b)) { case 1 { rx(f / 2) $1; r = ~c; } }", True, [0.5], {"r": [10]}),
    # A constant declared in a case body is a value of that body, hiding an outer one.
    ("const int k = 1; output int r; output int s; " + MEASURED
     + "switch (int(b)) { case 1 { const int k = 2; r = k; } default { r = 5; } } s = k;", True, [],
     {"r": [2], "s": [1]}),
    ("output int r; " + MEASURED + "switch (int(b)) { case 0 { const float h = pi / 2; rx(h) $1; r = 3; } }", False,
     [math.pi / 2], {"r": [3]}),
]


@pytest.mark.parametrize("source, outcome, angles, results", RUNS)
def test_constants_are_substituted_in_case_bodies(run, source, outcome, angles, results):
    program = run(source, outcomes=[outcome])
    assert [angle for kind, angle, element in program.played() if kind == "frame_rotation"] == angles
    assert program.results == results


RESOLVING = "CodeResolvingPass"
CASE = "int i = 1; switch (i) {{ case 0 {{ }} case 1 {{ {} }} }}"

# (program, class of the cause, texts its message holds)
REFUSALS = [
    ("gate g q { x q; } " + CASE.format("g $1;"), "NotImplementedError",
     ["gate 'g' on $1", "switch case body", "program's own gates"]),
    ("qubit[2] q; gate g(t) a, b { rx(t) a; cx a, b; } " + CASE.format("if (i > 0) { g(0.5) q[1], q[0]; }"),
     "NotImplementedError", ["gate 'g' on q[1], q[0]", "switch case body", "program's own gates"]),
    (CASE.format("g $1;") + " gate g q { x q; }", "NotImplementedError", ["gate 'g' on $1", "switch case body"]),
    ("int a = 0; " + CASE.format("a += 1;"), "NotImplementedError",
     ["compound assignment a += 1", "switch case body", "compound assignments"]),
    ("int a = 0; " + CASE.format("while (a < 4) { a *= 2; }"), "NotImplementedError",
     ["compound assignment a *= 2", "switch case body"]),
    (CASE.format("gate g q { x q; }"), "NotImplementedError",
     ["definition of the gate 'g'", "switch case body", "gate definitions"]),
    # the program's own gate named without qubits, as anywhere else
    ("gate g q { x q; } " + CASE.format("g;"), "GateWithoutQubitsException", ["'g' names a gate", "no qubits"]),
    (CASE.format("if (i > 0) { g; }") + " gate g q { x q; }", "GateWithoutQubitsException",
     ["'g' names a gate", "no qubits"]),
    # What a constant cannot be, it cannot be in a case body either.
    ("const int k = 1; " + CASE.format("k = 2;"), "ConstantMisuseException", ["The constant 'k' cannot be assigned."]),
    ("const int q = 1; " + CASE.format("x q;"), "ConstantMisuseException", ["'q' is a constant, not a qubit."]),
    (CASE.format("const int k = 2.5;"), "ConstantTypeException", ["'k'", "int", "2.5"]),
    (CASE.format("int pi = 3;"), "RedeclarationException", ["'pi'", "predefined constant"]),
]


@pytest.mark.parametrize("source, cause_class, texts", REFUSALS)
def test_what_a_case_body_does_not_take_is_refused_by_name(compiler, source, cause_class, texts):
    with pytest.raises(CompilationException, match=f'^Pass "{RESOLVING}" failed.$') as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause).__name__ == cause_class
    text = str(cause)
    assert all(part in text for part in texts), text
    assert "OperationCandidate" not in text and "does not exit" not in text


def test_the_refusals_hold_under_optimisation(refusals_hold_under_optimisation):
    refusals_hold_under_optimisation(source for source, *_ in REFUSALS)


def test_a_call_of_an_unknown_gate_in_a_case_body_names_the_machine(compiler):
    # A name that neither the program nor the machine defines is the machine's to resolve.
    with pytest.raises(CompilationException, match='^Pass "Vyr1GenerationPass" failed.$') as raised:
        compiler.compile(CASE.format("foo $1;"))
    assert "foo" in str(raised.value.__cause__)
