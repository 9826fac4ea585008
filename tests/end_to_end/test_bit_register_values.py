"""A bit register used as a value is its unsigned integer (bit i weighs 2**i); other arrays are no values."""

import itertools
import textwrap

import pytest

from corvane import CompilationException
from corvane.passes.code_generation.target_lowering import AssignmentShapeException
from corvane.passes.code_generation.translate_expression import InvalidOperandException
from vyr_runner import run_program

# c[0] is measured on $1, c[1] on $2.
MEASURED = "bit[2] c; c[0] = measure $1; c[1] = measure $2;\n"
OUTCOMES = list(itertools.product([False, True], repeat=2))  # (c[0], c[1])


def value_of(outcome):
    return outcome[0] + 2 * outcome[1]


def test_the_rendered_program(compile_text):
    source = MEASURED + "if (c == 1) { x $3; } if (c != 0) { h $3; } if (c) { x $4; } int v = int(c);"
    assert compile_text(source) == textwrap.dedent(
        """\
        declare stream s1
        declare bool[2] v1 = [false, false]
        declare bool v2 = measure("readout", "d1")
        v1[0] = v2
        declare bool v3 = measure("readout", "d2")
        v1[1] = v3
        if (to_int(v1[0]) + (to_int(v1[1]) << 1)) == 1:
            play("x", "d3")
        if ~((to_int(v1[0]) + (to_int(v1[1]) << 1)) == 0):
            play("h", "d3")
        if v1[0] | v1[1]:
            play("x", "d4")
        declare stream s2
        declare int v4 = 0
        v4 = to_int(v1[0]) + (to_int(v1[1]) << 1)
        declare int v5
        for (v5 = 0; v5 < 2; v5 = v5 + 1):
            save v1[v5] to s1
        save v4 to s2
        stream processing:
            s1.save_all("c")
            s2.save_all("v")"""
    )


@pytest.mark.parametrize(
    "condition, holds",
    [
        ("c == 1", lambda value: value == 1),
        ("c != 0", lambda value: value != 0),
        ("c", lambda value: value != 0),
        ("!c", lambda value: value == 0),
        ("int(c) == 2", lambda value: value == 2),
        ("uint(c) > 2", lambda value: value > 2),
        ("bool(c)", lambda value: value != 0),
        ("c + 1 == 4", lambda value: value == 3),
        ("(c & 2) == 2", lambda value: value >= 2),
        ("c == c[0]", lambda value: value in (0, 1)),
    ],
)
def test_a_condition_reads_the_measured_value(run, condition, holds):
    for outcome in OUTCOMES:
        played = run(MEASURED + f"if ({condition}) {{ x $3; }} else {{ h $3; }}", outcome).played()
        assert played[-1] == ("play", "x" if holds(value_of(outcome)) else "h", "d3"), outcome


def test_int_of_a_register_saves_its_value(run):
    for outcome in OUTCOMES:
        results = run(MEASURED + "int v = int(c); uint u = c * 2;", outcome).results
        assert (results["v"], results["u"]) == ([value_of(outcome)], [2 * value_of(outcome)])


def test_in_a_while_loop(compile_text, run):
    source = MEASURED + "int n = 0; while (c) { n += int(c); c[0] = measure $1; c[1] = measure $2; }"
    assert "while v1[0] | v1[1]:" in compile_text(source).splitlines()
    # Values 1, 2, 3, then 0 ends the loop.
    result = run(source, [True, False, False, True, True, True, False, False])
    assert result.results["n"] == [6]


def test_in_a_switch(compile_text, run):
    source = MEASURED + "switch (c) { case 0 { x $3; } case 1 { h $3; } case 3 { rx(0.5) $3; } default { reset $3; } }"
    assert "switch to_int(v1[0]) + (to_int(v1[1]) << 1):" in compile_text(source).splitlines()
    played = {outcome: run(source, outcome).played()[-1] for outcome in OUTCOMES}
    assert played == {(False, False): ("play", "x", "d3"), (True, False): ("play", "h", "d3"),
                      (False, True): ("play", "reset", "d3"), (True, True): ("frame_rotation", 0.5, "d3")}


def test_a_register_as_a_switch_case_and_loop_bound(run):
    source = MEASURED + "int n = 0; for int i in [1:c] { n += i; } int k = 2; switch (k) { case c { x $3; } }"
    for outcome in OUTCOMES:
        result = run(source, outcome)
        assert result.results["n"] == [sum(range(1, value_of(outcome) + 1))]
        assert (("play", "x", "d3") in result.played()) == (value_of(outcome) == 2)


@pytest.mark.parametrize(
    "source, name",
    [
        ("array[int[32], 2] a; if (a == 1) { x $0; }", "a"),
        ("array[int[32], 2] a; int v = int(a);", "a"),
        ("array[float[64], 2] f; while (f > 0.5) { x $0; }", "f"),
        ("array[bool, 2] g; if (g) { x $0; }", "g"),
        ("array[bit, 2] b; switch (b) { case 1 { x $0; } }", "b"),
        ("array[int[32], 2] a; for int i in [0:a] { x $0; }", "a"),
        # also as an index, which is one number
        ("array[int, 4] v; array[int, 2] w; v[w] = 1;", "w"),
        ("array[int, 4] v; array[int, 2] w; int k = v[w];", "w"),
        # and as a gate's, a global phase's or a delay's parameter, which is one value
        ("array[int, 2] a; rx(a) $1;", "a"),
        ("array[int, 2] a; gate g(t) s { rx(t) s; } g(a) $1;", "a"),
        ("array[int, 2] a; gphase(a);", "a"),
        ("array[duration, 2] d; delay[d] $1;", "d"),
        ("array[int, 2] a; sin(a);", "a"),
    ],
)
def test_any_other_array_used_as_a_value_is_refused(compiler, source, name):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is InvalidOperandException and isinstance(cause, TypeError)
    assert str(cause).startswith(f"The array {name} cannot be used as a value; only a bit register (bit[n])")


def test_whole_array_uses_are_unchanged(compile_text, run):
    source = """
    array[int[8], 2] a = {3, 4};
    bit[2] c;
    c[1] = measure $1;
    for int v in a { rx(v * 0.5) $2; }
    for bool b in c { if (b) { x $3; } }
    """
    lines = compile_text(source).splitlines()
    assert lines[:5] == ["declare stream s1", "declare int[2] v1 = [0, 0]", "v1[0] = 3", "v1[1] = 4", "declare stream s2"]
    assert "for v4 in v1:" in lines and "for v5 in v2:" in lines
    result = run(source, [True])
    assert result.results == {"a": [3, 4], "c": [False, True]}
    assert result.played()[1:] == [("frame_rotation", 1.5, "d2"), ("frame_rotation", 2.0, "d2"), ("play", "x", "d3")]


@pytest.mark.parametrize(
    "assignment, inputs, bits",
    [
        ("bit[3] c = 5;", {}, [True, False, True]),
        ("bit[3] c; c = 1;", {}, [True, False, False]),
        ("bit[3] c; c = 0;", {}, [False, False, False]),
        ("bit[3] c; c = true;", {}, [True, False, False]),
        ("input int k; output bit[3] c; c = k;", {"k": [6]}, [False, True, True]),
        ("input float k; output bit[3] c; c = int(k);", {"k": [3.7]}, [True, True, False]),
        ("input bool k; output bit[3] c; c = k;", {"k": [True]}, [True, False, False]),
    ],
)
def test_a_number_assigned_to_a_bit_register_is_spread_over_its_bits(compiler, assignment, inputs, bits):
    # Every cell taking the whole value would make `c = 1` read back as 7.
    source = assignment + " if (c == " + str(sum(bit << i for i, bit in enumerate(bits))) + ") { x $1; }"
    result = run_program(compiler.compile(source).result_program.dsl_program, inputs=inputs)
    assert result.results["c"] == bits
    assert result.played() == [("play", "x", "d1")]


# c reads as 2: c[1] is set.
SET = "bit[2] c; c[1] = 1; "


@pytest.mark.parametrize(
    "source, name, value",
    [
        (SET + "int k = c;", "k", 2),
        (SET + "int k; k = c;", "k", 2),
        ("output int k; " + SET + "k = c;", "k", 2),
        ("output float k; " + SET + "k = c;", "k", 2),
        ("output bool k; bit[2] c; c[1] = true; k = c;", "k", True),
        ("output int k; " + SET + "int s = 1; switch (s) { case 1 { k = c; } }", "k", 2),
        ("output int k; " + SET + "array[int, 2] a; a[1] = c; k = a[1];", "k", 2),
    ],
)
def test_a_register_assigned_to_a_scalar_is_its_number(run, source, name, value):
    assert run(source).results[name] == [value]


def test_a_measured_register_assigned_to_a_variable(run):
    source = "qubit[4] q; output int v; v = 8; bit[4] bits = measure q; v = bits;"
    for outcome in itertools.product([False, True], repeat=4):
        assert run(source, outcome).results == {"v": [sum(bit << i for i, bit in enumerate(outcome))]}


@pytest.mark.parametrize(
    "source",
    [
        "bit[2] a; a[0] = 1; bit[2] b = a;",
        "bit[2] a; a[0] = 1; bit[2] b; b = a;",
        "array[bool, 2] a = {true, false}; bit[2] b = a;",
    ],
)
def test_a_register_assigned_a_register_of_its_size_copies_it_cell_by_cell(run, source):
    assert run(source).results["b"] == [1, 0]


def test_an_array_assigned_an_array_copies_it(run):
    result = run("array[int, 3] a = {4, 5, 6}; array[int, 3] b; b = a; a[0] = 9;")
    assert result.results == {"a": [9, 5, 6], "b": [4, 5, 6]}


@pytest.mark.parametrize(
    "source, message",
    [
        ("bit[2] a; bit[3] b = a;", "The array b of size 3 cannot be assigned the array a of size 2;"),
        ("bit[3] a; bit[2] b; b = a;", "The array b of size 2 cannot be assigned the array a of size 3;"),
        ("array[int, 2] a; array[int, 4] b; b = a;", "The array b of size 4 cannot be assigned the array a of size 2;"),
    ],
)
def test_arrays_of_other_sizes_are_refused(compiler, source, message):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is AssignmentShapeException and str(cause).startswith(message)


@pytest.mark.parametrize("call", ["rx(c) $1;", "gate g(t) s { rx(t) s; } g(c) $1;"])
def test_a_register_as_a_gate_parameter_is_its_number(run, call):
    assert run('bit[2] c = "11"; ' + call).played() == [("frame_rotation", 3, "d1")]


def test_a_register_as_an_index_is_its_number(run):
    source = "output int r; array[int, 4] v; bit[2] c; c[1] = 1; v[c] = 7; r = v[c] + v[2];"
    assert run(source).results == {"r": [14]}


@pytest.mark.parametrize(
    "source, value",
    [
        # The number is computed once, from the bits as they stand before the assignment.
        ("output int r; bit[4] c; c[0] = 1; c[3] = 1; c = c << 1; r = int(c);", 2),
        ("output int r; bit[4] c; c[0] = 1; c[3] = 1; c <<= 1; r = int(c);", 2),
        ("output int r; bit[3] c; c[0] = 1; c += 1; r = int(c);", 2),
        ("output int r; bit[2] c; bit[2] d; c[0] = 1; d = c; c = d + c; r = c;", 2),
        ("output int r; bit[3] c = 6; c = c >> 1; r = c;", 3),
        ("output int r; bit[3] c = 5; c = ~c; r = c;", 2),
        ("output int r; bit[3] c = 5; c ^= 3; r = c;", 6),
        # A number that does not read the register, and one cell, as before.
        ("output int r; bit[3] c = 6; int k = 2; c = k + 1; r = c;", 3),
        ("output int r; bit[3] c = 6; c[0] = c[1]; r = c;", 7),
    ],
)
def test_a_register_assigned_a_number_computed_from_itself(run, source, value):
    assert run(source).results == {"r": [value]}


@pytest.mark.parametrize("outcome", OUTCOMES)
def test_a_measured_register_shifted_in_place(run, outcome):
    # flags[0] is measured on the first qubit; the shift moves it up and clears flags[0].
    source = "qubit[2] q; bit[2] flags = measure q; flags <<= 1;"
    assert run(source, outcomes=list(outcome)).results == {"flags": [False, outcome[0]]}
