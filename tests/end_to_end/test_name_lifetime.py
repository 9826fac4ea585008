"""A name ends with its block, and no statement that names something is dropped."""

import pytest
from vk import vyr

from corvane import CompilationException
from corvane.passes.code_generation.register_mapper import MisusedQubitRegisterException, RegisterSizeException
from corvane.passes.code_generation.translate_expression import DurationTypeException, InvalidOperandException
from corvane.passes.parsing.validators import GateWithoutQubitsException
from corvane.programs import UndeclaredVariableReferenceException

UNDECLARED = UndeclaredVariableReferenceException.__name__
GATE = GateWithoutQubitsException.__name__
INVALID = InvalidOperandException.__name__
MISUSED = MisusedQubitRegisterException.__name__
DURATION = DurationTypeException.__name__
SIZE = RegisterSizeException.__name__

# Programs that reach a name after the block that declared it ended, or a name
# declared nowhere, with the error's class and the name its text must hold.
REFUSALS = [
    # a branch's variable is not the other branch's
    ("output int r; r = 0; if (r == 0) { int x = 1; } else { x = 2; }", UNDECLARED, "x"),
    # read after its block, of each kind
    ("output int r; { int t = 5; } r = t;", UNDECLARED, "t"),
    ("output int r; for int i in [0:2] { int t = i; } r = t;", UNDECLARED, "t"),
    ("output int r; int n = 2; while (n > 0) { int t = n; n -= 1; } r = t;", UNDECLARED, "t"),
    ("output int r; box { int t = 4; } r = t;", UNDECLARED, "t"),
    ("output int r; if (true) { int t = 3; } r = t;", UNDECLARED, "t"),
    ("input int i; output int r; switch (i) { case 1 { for int k in [0:1] { x $1; } } } r = k;", UNDECLARED, "k"),
    # a loop's variable ends with its loop, also when the body assigns it
    ("output int r; for int i in [0:1] { r += i; } r = i;", UNDECLARED, "i"),
    ("output int r; for int i in [0:2] { i = 5; r += i; } r = i;", UNDECLARED, "i"),
    # an inner block's name ends before the outer block does
    ("output int r; { { int t = 1; } r = t; }", UNDECLARED, "t"),
    # every place that reads or writes a name: a condition, a gate's argument, a measurement's target, a switch
    ("{ int t = 1; } if (t == 1) { x $1; }", UNDECLARED, "t"),
    ("{ float th = 0.5; } rx(th) $1;", UNDECLARED, "th"),
    ("{ bit c; } c = measure $1;", UNDECLARED, "c"),
    ("{ int t = 1; } switch (t) { case 1 { x $1; } }", UNDECLARED, "t"),
    # a name standing alone as a statement
    ("qubit q; h; x q;", GATE, "'h'"),
    ("qubit q; U; x q;", GATE, "'U'"),
    ("gate g a { x a; } g; x $0;", GATE, "'g'"),
    ("if (true) { h; } x $0;", GATE, "'h'"),
    ("input int i; switch (i) { case 1 { h; } }", GATE, "'h'"),
    ("foo; x $0;", UNDECLARED, "foo"),
    ("output int r; { int w = 1; } w;", UNDECLARED, "w"),
    # an expression standing as a statement is translated, and what it names is checked
    ("foo + 1; x $0;", UNDECLARED, "foo"),
    ("foo[0]; x $0;", UNDECLARED, "foo"),
    ("x + 1;", UNDECLARED, "'x'"),
    ("int i; i + 1.5 * foo;", UNDECLARED, "foo"),
    ("output int r; { int w = 1; } -w;", UNDECLARED, "w"),
    ("int i; tan(i) + foo;", UNDECLARED, "foo"),
    ("$0;", INVALID, "$0"),
    ("int i; i + $1;", INVALID, "$1"),
    ("qubit[2] q; q[0] + 1;", MISUSED, "'q'"),
    ("array[int, 2] a; a[3];", "IndexError", "'a'"),
    ("bit[2] c; c[-3] == 1;", "IndexError", "'c'"),
    ("array[int, 2] a; a + 1;", INVALID, "a"),
    ("duration d = 10ns; d + 1;", DURATION, "d + 1"),
    # a loop variable holds one value, whatever the outer variable of its name holds
    ("qubit[2] q; bit[2] c; for bit c in {0, 1} { c = measure q; }", SIZE, "'c'"),
]


@pytest.mark.parametrize("source, error, name", REFUSALS)
def test_each_refusal_names_what_is_missing(compiler, source, error, name):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause).__name__ == error and name in str(cause), str(cause)


def test_the_refusals_hold_under_optimisation(causes_under_optimisation):
    output = causes_under_optimisation(source for source, *_ in REFUSALS)
    assert [line.split(" ", 1)[0] for line in output] == [error for _, error, _ in REFUSALS]
    assert all(name in line for line, (_, _, name) in zip(output, REFUSALS))


def test_a_name_ends_with_its_block_also_in_the_callers_scope(compiler):
    with vyr.program():
        with pytest.raises(CompilationException) as raised:
            compiler.compile("output int r; { int t = 5; } r = t;")
    assert type(raised.value.__cause__) is UndeclaredVariableReferenceException


@pytest.mark.parametrize(
    "source, results",
    [
        # the program's own scope may declare a name again once its block has ended
        ("output int r; { int t = 1; } int t = 2; r = t;", {"r": [2]}),
        ("output int r; for int t in [3:3] { r = t; } int t = 5; r += t;", {"r": [8]}),
        # sibling blocks each declare their own variable of one name
        ("output int r; if (true) { int t = 1; r += t; } if (true) { int t = 2; r += t; }", {"r": [3]}),
        # a variable standing alone reads nothing and does nothing
        ("output int r; int v = 3; v; r = v;", {"r": [3]}),
        # an expression standing as a statement is computed and its value dropped
        ("output int r; int v = 3; v + 1; -v; v == 2; r = v;", {"r": [3]}),
        ("output int r; array[int, 2] a = {4, 5}; a[1]; a; r = a[-1];", {"r": [5]}),
        # without inputs and outputs only the program's own variables are saved
        ("int x = 0; if (x == 0) { int v = 1; }", {"x": [0]}),
        ("int x = 0; if (x == 0) { bit s = 1; } else { bit s = 0; }", {"x": [0]}),
        ("int x = 0; { bit s = 1; } { bit s = 0; } bit s = 1;", {"x": [0], "s": [True]}),
        ("bit c; c = measure $1; for int i in [0:1] { int t = i; } if (c) { bool t = true; }", {"c": [True]}),
    ],
)
def test_values_saved(run, source, results):
    assert run(source, [True]).results == results


@pytest.mark.parametrize(
    "source, played",
    [
        # a name freed by its block may be a qubit or a gate of the program's own scope
        ("output int r; { int t = 1; } qubit t; x t;", [("play", "x", "d0")]),
        ("{ int t = 1; t = 2; } qubit t; x t;", [("play", "x", "d0")]),
        ("for int i in [0:1] { } qubit i; x i;", [("play", "x", "d0")]),
        ("output int r; for int i in [0:1] { r += i; } qubit i; x i;", [("play", "x", "d0")]),
        ("{ int g = 1; } gate g a { x a; } g $0;", [("play", "x", "d0")]),
        ("output int r; for int g in [0:0] { r = g; } gate g a { h a; } g $2;", [("play", "h", "d2")]),
        # a loop variable holds one bit, whatever the outer register of its name holds, until its loop ends
        ("bit[2] c; for bit c in {0, 1} { c = measure $1; }", [("measure", "readout", "d1")] * 2),
        ("qubit[2] q; bit[2] c; for bit c in {1} { c = measure $2; } c = measure q;",
         [("measure", "readout", "d2"), ("measure", "readout", "d0"), ("measure", "readout", "d1")]),
        # a call among the parts of an expression statement runs
        ("int i = 2; tan(i) + tan(i * 3); x $1;", [("wait", 2), ("wait", 6), ("play", "x", "d1")]),
        # a block's register of another size leaves the outer register's size as it was
        ("qubit[2] q; bit[2] c; { bit[3] c; c[0] = measure q[0]; } c = measure q;",
         [("measure", "readout", "d0"), ("measure", "readout", "d0"), ("measure", "readout", "d1")]),
    ],
)
def test_operations_played(run, source, played):
    assert run(source, [True, False, True]).played() == played


def test_a_variable_in_scope_is_no_qubit_of_its_name_declared_later(compiler):
    with pytest.raises(CompilationException) as raised:
        compiler.compile("{ int t = 1; x t; } qubit t;")
    assert type(raised.value.__cause__).__name__ == "NotAQubitException"
    assert "'t' is a classical variable" in str(raised.value.__cause__)


def test_the_database_keeps_every_variable_after_the_compilation(compiler):
    source = "output int r; { int t = 1; } for int i in {1} { r = i; } if (true) { int r = 2; }"
    program = compiler.compile(source).result_program
    assert [key.name for key in program.variables_db] == ["r", "t", "i"]
    assert program.variables_db[next(iter(program.variables_db))] is program._get_var("r")
