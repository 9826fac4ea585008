"""Programs that OpenQASM calls errors, and that would run with values lost or made up, are refused
with a cause that names the construct and the program's names; the programs beside them still run."""


import pytest
from machines import element
from vk import vyr

from corvane import CompilationException
from corvane.passes.code_generation.register_mapper import (
    QubitUsedBeforeDeclarationException,
    RegisterSizeException,
)
from corvane.passes.code_generation.target_lowering import (
    AssignmentShapeException,
    NegativeDurationException,
    SwitchCaseException,
)
from corvane.passes.code_resolving.macro_expansion_stage import MisusedFormalException
from corvane.passes.parsing.validators import RedeclarationException, RepeatedQubitException
from vyr_runner import run_program

PARSING = "ParsingPass"
RESOLVING = "CodeResolvingPass"
GENERATION = "Vyr1GenerationPass"
CASE = "int i = 1; switch (i) {{ case 1 {{ {} }} }}"

# The program, the phase that refuses it, the class of the cause and what its text names.
REFUSALS = [
    # one qubit measured into a register of another size would fill one bit and clear the rest
    ("qubit q; bit[2] c; c[1] = 1; c = measure q;", GENERATION, RegisterSizeException, ["'q'", "'c'", "2 bits"]),
    ("qubit q; bit[2] c; c[1] = 1; measure q -> c;", GENERATION, RegisterSizeException, ["'q'", "'c'", "2 bits"]),
    ("bit[2] c; c = measure $0;", GENERATION, RegisterSizeException, ["'$0'", "'c'", "2 bits"]),
    ("qubit[3] q; bit[2] c = measure q[1];", GENERATION, RegisterSizeException, ["'q[1]'", "'c'", "2 bits"]),
    ("qubit[1] q; bit[2] c; c = measure q;", GENERATION, RegisterSizeException, ["'q'", "'c'", "2 bits"]),
    ("bit[2] c; " + CASE.format("c = measure $1;"), GENERATION, AssignmentShapeException,
     ["'$1'", "'c'", "2 bits"]),
    # a declared register of one qubit is a register: it does not broadcast with a larger one
    ("qubit[1] a; qubit[2] b; cx a, b;", GENERATION, RegisterSizeException,
     ["'cx'", "'a' has 1 qubit", "'b' has 2 qubits"]),
    ("qubit[1] a; qubit[2] b; gate g s, t { cx s, t; h t; } g a, b;", GENERATION, RegisterSizeException,
     ["'g'", "'a' has 1 qubit", "'b' has 2 qubits"]),
    # negative durations
    ("qubit q; delay[-100ns] q;", GENERATION, NegativeDurationException, ["delay", "-100.0ns"]),
    ("qubit q; box [-100ns] { x q; }", GENERATION, NegativeDurationException, ["box", "-100.0ns"]),
    ("qubit[2] q; delay[100ns - 1us] q;", GENERATION, NegativeDurationException, ["delay", "100.0ns - 1.0us"]),
    ("qubit q; delay[-1ns] q;", GENERATION, NegativeDurationException, ["delay", "-1.0ns"]),
    ("qubit q; delay[2 * -50ns] q;", GENERATION, NegativeDurationException, ["delay", "2 * -50.0ns"]),
    ("const duration d = 100ns; qubit q; delay[-d] q;", GENERATION, NegativeDurationException, ["delay", "-100"]),
    (CASE.format("delay[-4ns] $1;"), GENERATION, NegativeDurationException, ["delay", "$1", "-4.0ns"]),
    # a qubit used before its declaration
    ("x q; qubit q;", GENERATION, QubitUsedBeforeDeclarationException, ["'q'", "before its declaration"]),
    ("bit c; c = measure q[1]; qubit[2] q;", GENERATION, QubitUsedBeforeDeclarationException, ["'q'"]),
    ("reset q; qubit[2] q;", GENERATION, QubitUsedBeforeDeclarationException, ["'q'"]),
    # one name for a gate and a variable, a qubit or a constant, in either order
    ("float g = 1; gate g a { x a; } qubit q; g q;", RESOLVING, RedeclarationException,
     ["'g'", "declared twice", "a classical variable and as a gate"]),
    ("gate g a { x a; } float g = 1; qubit q; g q;", RESOLVING, RedeclarationException,
     ["'g'", "declared twice", "a gate and as a classical variable"]),
    ("gate g a { x a; } qubit g;", RESOLVING, RedeclarationException, ["'g'", "a gate and as a qubit"]),
    ("qubit g; gate g a { x a; }", RESOLVING, RedeclarationException, ["'g'", "a qubit and as a gate"]),
    ("const float g = 1; gate g a { x a; }", RESOLVING, RedeclarationException, ["'g'", "constant"]),
    ("gate g(a) a { x a; } qubit q; g(1) q;", RESOLVING, MisusedFormalException,
     ["gate 'g'", "parameter 'a'", "name of a qubit"]),
    ("qubit q; bit q;", GENERATION, RedeclarationException, ["'q'", "a qubit and as a classical variable"]),
    ("bit q; qubit q;", GENERATION, RedeclarationException, ["'q'", "a classical variable and as a qubit"]),
    ("qubit q; for int q in [0:1] { x $1; }", GENERATION, RedeclarationException,
     ["'q'", "a qubit and as a classical variable"]),
    # a switch's values label one case each, and a switch has a case
    ("int i = 1; switch (i) { case 1, 1 { x $1; } }", GENERATION, SwitchCaseException,
     ["switch on i", "case value 1 twice"]),
    ("int i = 1; switch (i) { case 1 { x $1; } case 2, 1 { x $2; } }", GENERATION, SwitchCaseException,
     ["switch on i", "case value 1 twice"]),
    ("int i = 1; switch (i) { }", GENERATION, SwitchCaseException, ["switch on i", "no case"]),
    ("int i = 1; switch (i) { default { x $1; } }", GENERATION, SwitchCaseException, ["switch on i", "no case"]),
    # a name declared twice in the program's scope
    ("output int r; r = 1; int r = 5;", GENERATION, RedeclarationException,
     ["'r'", "declared twice", "an output"]),
    ("input int n; int n = 2;", GENERATION, RedeclarationException, ["'n'", "declared twice", "an input"]),
    # ... as two variables, with an output beside them or not, where they would be made two outputs
    ("int k = 2; int k = 1; output int r;", GENERATION, RedeclarationException,
     ["'k' is declared twice, both times as a classical variable"]),
    ("int k = 2; int k = 1;", PARSING, RedeclarationException,
     ["'k' is declared twice, both times as a classical variable"]),
    ("array[int, 2] k; x $1; bit k;", PARSING, RedeclarationException,
     ["'k' is declared twice, both times as a classical variable"]),
    # one qubit twice among a call's operands, after broadcasting and expansion too
    ("qubit[2] q; cx q[0], q[0];", GENERATION, RepeatedQubitException, ["'cx'", "q[0] twice"]),
    ("cx $1, $1;", GENERATION, RepeatedQubitException, ["'cx'", "$1 twice"]),
    ("qubit[2] q; gate g a, b { cx a, b; } g q[1], q[1];", RESOLVING, RepeatedQubitException, ["'g'", "q[1] twice"]),
    ("qubit[2] q; gate g a, b { x a; h b; } g $1, $1;", RESOLVING, RepeatedQubitException, ["'g'", "$1 twice"]),
    ("qubit[2] q; cx q, q;", GENERATION, RepeatedQubitException, ["'cx'", "q[0] twice"]),
    ("qubit[2] q; gate g a, b { x a; h b; } g q, q[1];", GENERATION, RepeatedQubitException, ["'g'", "q[1] twice"]),
    ("qubit[2] q; gate g a, b { cx a, b; } g q, q[1];", GENERATION, RepeatedQubitException, ["'cx'", "q[1] twice"]),
    ("qubit[2] q; cx q[0], q[-2];", GENERATION, RepeatedQubitException, ["'cx'", "q[0] twice"]),
    # a user gate's cells that name one qubit only once their indices are read
    ("qubit[2] q; gate g a, b { x a; h b; } g q[0], q[-2];", GENERATION, RepeatedQubitException,
     ["'g'", "q[0] twice"]),
    ("qubit[2] q; gate g a, b { x a; h b; } g q[1], q[0 + 1];", GENERATION, RepeatedQubitException,
     ["'g'", "q[1] twice"]),
    (CASE.format("cx $1, $1;"), GENERATION, RepeatedQubitException, ["'cx'", "$1 twice"]),
    # a barrier without operands where the program's qubits are not known
    ("qubit q; " + CASE.format("barrier;"), GENERATION, NotImplementedError, ["barrier", "switch case body"]),
]


@pytest.mark.parametrize("source, phase, cause_class, named", REFUSALS)
def test_each_refusal_names_what_is_wrong(compiler, source, phase, cause_class, named):
    with pytest.raises(CompilationException, match=f'^Pass "{phase}" failed.$') as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is cause_class
    text = str(cause)
    assert all(part in text for part in named), text


def test_the_refusals_hold_under_optimisation(refusals_hold_under_optimisation):
    refusals_hold_under_optimisation(source for source, *_ in REFUSALS)


# Programs beside the refused ones that OpenQASM allows, with what they play.
STILL_COMPILE = [
    ("qubit q; bit c; c = measure q;", [("measure", "readout", "d0")]),
    ("qubit q; bit[1] c; c = measure q;", [("measure", "readout", "d0")]),
    ("qubit[2] q; bit[2] c; c = measure q;", [("measure", "readout", "d0"), ("measure", "readout", "d1")]),
    ("qubit[1] a; qubit b; cx a, b;", [("play", "cx", "d0")]),
    ("qubit[1] a; qubit[1] b; cx a, b;", [("play", "cx", "d0")]),
    ("qubit q; delay[0ns] q; box [100ns] { x q; }", [("wait", 0, "d0"), ("play", "x", "d0")]),
    ("const duration d = 100ns; delay[d - 40ns] $1;", [("wait", 15, "d1")]),
    ("int i = 1; switch (i) { case 1 { x $1; } case 2 { x $2; } default { } }", [("play", "x", "d1")]),
    ("gate g a, b { cx a, b; } qubit[2] q; g q[0], q[1];", [("play", "cx", "d0")]),
    ("gate g a, b { x a; h b; } qubit[2] q; g q[0], q[-1];", [("play", "x", "d0"), ("play", "h", "d1")]),
    ("qubit[2] q; barrier q[0], q[0];", []),
    ("output int r; { int a = 1; r = a; } int a = 2;", []),
    ("output int r; int a = 1; if (true) { int a = 2; r = a; }", []),
    ("output int r; for int i in [0:1] { int i = 5; r = i; }", []),
    ("qubit q; gate g(s) a { rx(s) a; } float h = 0.5; g(h) q;", [("frame_rotation", 0.5, "d0")]),
]


@pytest.mark.parametrize("source, played", STILL_COMPILE)
def test_the_programs_beside_them_still_run(compiler, source, played):
    assert run_program(compiler.compile(source).result_program.dsl_program, [True, True]).played() == played


def barrier(*qubits):
    vyr.wait(0, *(element(qubit) for qubit in qubits))


@pytest.mark.parametrize(
    "source, spelled_out, elements",
    [
        # the registers' qubits and the hardware qubits named anywhere, $4 after the barrier included
        ("qubit[2] q; x q[0]; barrier; x $4; x q[1];", "qubit[2] q; x q[0]; barrier q, $4; x $4; x q[1];",
         ("d0", "d1", "d4")),
        ("qubit q; qubit[2] r; barrier;", "qubit q; qubit[2] r; barrier q, r;", ("d0", "d1", "d2")),
        # in a gate's body it is the barrier of the gate's qubits, all that the body sees
        ("gate g a, b { x a; barrier; } qubit[3] q; g q[1], q[2];", "qubit[3] q; x q[1]; barrier q[1], q[2];",
         ("d1", "d2")),
    ],
)
def test_a_barrier_without_operands_aligns_every_qubit_the_program_uses(compiler_with, source, spelled_out,
                                                                        elements):
    compiler = compiler_with(barrier=barrier)
    run = run_program(compiler.compile(source).result_program.dsl_program)
    assert run.operations == run_program(compiler.compile(spelled_out).result_program.dsl_program).operations
    # qubit 0 is driven and read through d0 and r0, so an alignment with d0 holds r0 too
    at = run.operations.index(("wait", 0, *elements))
    aligned = sorted((*elements, "r0")) if "d0" in elements else sorted(elements)
    assert run.operations[at - 1] == run.operations[at + 1] == ("align", *aligned)


def test_a_barrier_without_operands_in_a_program_without_qubits_aligns_nothing(compiler_with):
    run = run_program(compiler_with(barrier=barrier).compile("barrier;").result_program.dsl_program)
    assert run.operations == [("wait", 0)]
