"""What compiled programs do when they run: the operations they play and the results they save."""

import pytest


def test_measurement_feeds_forward_into_a_branch(run):
    source = "bit b; b = measure $1; if (b) { x $2; } else { h $2; }"
    assert run(source, outcomes=[True]).played() == [("measure", "readout", "d1"), ("play", "x", "d2")]
    assert run(source, outcomes=[False]).played() == [("measure", "readout", "d1"), ("play", "h", "d2")]


def test_loops_and_a_switch_compute_what_the_source_says(run):
    source = """
    int n = 0;
    for int i in [1:3] { n += i; }
    while (n > 4) { n -= 2; rx(0.5) $1; }
    switch (n) { case 4 { x $2; } default { h $2; } }
    """
    result = run(source)
    assert result.played() == [("frame_rotation", 0.5, "d1"), ("play", "x", "d2")]
    assert result.results == {"n": [4]}


def test_inputs_stream_in_and_outputs_stream_out(run):
    source = "input int k; output int twice; twice = k * 2; rx(twice * 0.25) $1;"
    result = run(source, inputs={"k": [3]})
    assert result.played() == [("frame_rotation", 1.5, "d1")]
    assert result.results == {"twice": [6]}


def test_a_bit_register_saves_every_bit(run):
    source = "bit[3] c; c[0] = measure $1; c[2] = measure $2;"
    assert run(source, outcomes=[True, True]).results == {"c": [True, False, True]}


def test_the_alignment_surrounds_an_operation_on_several_elements(run):
    assert run("x $0;").operations == [("align", "d0", "r0"), ("play", "x", "d0"), ("align", "d0", "r0")]


@pytest.mark.parametrize(
    "source",
    [
        "input int k; if (!k) { x $1; }",
        "input int k; if (k) { } else { x $1; }",
        "input float k; if (!k) { x $1; }",
        "input bool k; if (!k) { x $1; }",
        "input int k; if (!(k > 0)) { x $1; }",
    ],
)
@pytest.mark.parametrize("value, runs", [(0, True), (5, False)])
def test_logical_negation_is_true_exactly_for_zero(run, source, value, runs):
    value = bool(value) if "bool" in source else value
    played = run(source, inputs={"k": [value]}).played()
    assert played == ([("play", "x", "d1")] if runs else [])


@pytest.mark.parametrize(
    "source, saved",
    [
        # a bit that holds 1 is true, so its negation is false and it counts as 1
        ("bit b = 1; bit c = !b; int n = b + c;", {"b": [True], "c": [False], "n": [1]}),
        ("bool b = 0; bool c = !b; int n = b + c;", {"b": [False], "c": [True], "n": [1]}),
        ("array[bool, 2] f = {1, 0}; bool g = !f[0]; bool h = !f[1];", {"f": [True, False], "g": [False], "h": [True]}),
        # a real holds an integer as a real
        ("int i = 3; float f = i; f = f / 2;", {"i": [3], "f": [1.5]}),
    ],
)
def test_a_variable_holds_its_value_as_its_type_makes_it(run, source, saved):
    assert run(source).results == saved
