"""A for loop runs over the values its head gives when it starts, whatever its body assigns."""

import textwrap

import pytest

from corvane import CompilationException
from corvane.passes.code_generation.translate_expression import InvalidOperandException


@pytest.mark.parametrize(
    "source, count",
    [
        # The range's end and step are read once.
        ("output int r; int n = 3; for int i in [0:n] { n = 0; r += 1; }", 4),
        ("output int r; int s = 1; for int i in [0:s:4] { s = 4; r += 1; }", 5),
        ("output int r; int n = 3; for int i in [0:n] { if (r > 1) { n = 0; } r += 1; }", 4),
        ("output int r; int n = 3; for int i in [0:n] { for int j in [0:0] { n = 10; } r += 1; }", 4),
        ("output int r; int n = 3; for int i in [n:-1:0] { n = 100; r += 1; }", 4),
        ("output int r; input int n; for int i in [0:n] { n = n + 1; r += 1; }", 4),
        # The loop variable takes its next value whatever the body assigned to it.
        ("output int r; for int i in [0:3] { r += 1; i = 5; }", 4),
        ("output int r; for int i in [0:3] { r += 1; i = i - 1; }", 4),
        ("output int r; bit m; for int i in [0:3] { r += 1; m = measure $1; i = m; }", 4),
        ("output int r; for int i in [0:3] { switch (r) { case 1 { i = 0; } } r += 1; }", 4),
        # Loops over sets and arrays take their next value as well.
        ("output int r; for int v in {1, 2, 3} { v = 10; r += 1; }", 3),
        ("output int r; array[int, 3] a = {1, 2, 3}; for int v in a { v = 0; a[2] = 9; r += 1; }", 3),
    ],
)
def test_a_body_changes_neither_the_range_nor_the_count(run, source, count):
    assert run(source, inputs={"n": [3]}).results["r"] == [count]


def test_an_assignment_to_the_loop_variable_holds_for_the_rest_of_its_turn(run):
    assert run("output int r; for int i in [0:1] { i = i + 10; r += i; }").results == {"r": [21]}
    assert run("output int r; for int v in {1, 2} { v = v * 10; r += v; }").results == {"r": [30]}


def test_the_range_is_read_before_the_loop_and_counted_apart(compile_text):
    assert compile_text("output int r; int n = 2; for int i in [0:n] { n = 0; r += i; }") == textwrap.dedent(
        """\
        declare stream s1
        declare int v1 = 0
        declare int v2 = 0
        v2 = 2
        declare int v3 = 0
        declare int v4
        v4 = v2
        declare int v5
        for (v5 = 0; v5 <= v4; v5 = v5 + 1):
            v3 = v5
            v2 = 0
            v1 = v1 + v3
        save v1 to s1
        stream processing:
            s1.save_all("r")"""
    )


def test_a_loop_whose_body_leaves_its_range_alone_keeps_its_own_for(compile_text):
    # Reading the range's variables and assigning others changes nothing.
    assert "for (v3 = 0; v3 <= v2; v3 = v3 + 1):" in compile_text(
        "output int r; int n = 2; for int i in [0:n] { r += i * n; }")


def test_a_while_loop_reads_its_condition_at_every_turn(run):
    assert run("output int r; int n = 3; while (r < n) { n = 1; r += 1; }").results == {"r": [1]}


@pytest.mark.parametrize("source", ["bool q = true; for int c in q { x $0; }", "int n = 3; for int c in n { x $0; }"])
def test_a_loop_over_a_variable_of_one_value_is_refused_by_its_names(compiler, source):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is InvalidOperandException
    assert "for loop over c runs over" in str(cause) and "holds one value" in str(cause)


# Heads that are refused whatever the body holds; "{}" stands for the body.
REFUSED_HEADS = [
    "for int i in [0:0.5:2] {}",
    "for int i in {1.5, 2.5} {}",
    "array[float, 2] a; for uint i in a {}",
    "for int i in [0:10ns] {}",
    "for duration t in [0ns:8ns] {}",
    "array[duration, 2] d; for float f in d {}",
    "for int i in [0:0:2] {}",
    "int n = 3; for int i in n {}",
    "for int i in a[0:1] {}",
    "for int i in zz {}",
    "for int i in [0:zz] {}",
    "array[int, 2] a; for int v in {a[5]} {}",
    "while (10ns) {}",
    "while (zz) {}",
    "if (10ns) {}",
    "if (zz) {}",
    "if (zz) {} else {}",
    "array[int, 2] a; if (a) {}",
    "qubit q; if (q) {}",
]


def cause_of(compiler, source):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    return type(raised.value.__cause__), str(raised.value.__cause__)


@pytest.mark.parametrize("source", REFUSED_HEADS)
def test_a_head_is_refused_the_same_whether_or_not_its_body_holds_a_statement(compiler, source):
    empty = source.replace("{}", "{ }")
    assert cause_of(compiler, empty) == cause_of(compiler, source.replace("{}", "{ int k = 1; }"))
    assert cause_of(compiler, empty) == cause_of(compiler, source.replace("{}", "{ x $1; }"))


def test_a_head_with_an_empty_body_is_refused_under_optimisation_too(refusals_hold_under_optimisation):
    refusals_hold_under_optimisation([source.replace("{}", "{ }") for source in REFUSED_HEADS])


# Heads that are valid, before an empty body: a loop over integers, an if on a declared boolean.
VALID_EMPTY = [
    "for int i in [0:4] { }",
    "for int _ in {1, 2} { }",
    "for int _ in [0:2:n] { }",
    "for int v in a { }",
    "for duration t in [0ns:4ns:8ns] { }",
    "for float f in [0:0.5:2] { }",
    "if (b) { }",
    "if (b) { } else { }",
    "if (n > 2) { }",
    "if (c) { } else { }",
    "while (b) { }",
    "while (true) { }",
]
DECLARED = "input int n; bool b = true; array[int, 2] a; bit[2] c; output int r; "
AFTER = " for int _ in {5} { r = r + 1; }"


@pytest.mark.parametrize("statement", VALID_EMPTY)
def test_a_valid_head_with_an_empty_body_emits_nothing(compile_text, run, statement):
    # Neither the loop variable nor a block is emitted.
    assert compile_text(DECLARED + statement + AFTER) == compile_text(DECLARED + AFTER)
    assert run(DECLARED + statement + AFTER, inputs={"n": [4]}).results == {"r": [1]}


def test_a_valid_head_with_an_empty_body_emits_nothing_under_optimisation_too(compile_text,
                                                                                programs_under_optimisation):
    assert programs_under_optimisation([DECLARED + statement + AFTER for statement in VALID_EMPTY]) == [
        compile_text(DECLARED + AFTER)] * len(VALID_EMPTY)
