"""Outputs are saved and read back by name, so no two outputs of a compilation may share one."""

import pytest
from vk import vyr

from corvane import CompilationException
from corvane.passes.parsing.validators import RedeclarationException
from corvane.programs import DuplicateOutputException
from vyr_runner import run_program

SHARED = [
    ("output int n; output bit n;", "n"),
]


@pytest.mark.parametrize("source, name", SHARED)
def test_two_outputs_of_one_name_are_refused(compiler, source, name):
    with pytest.raises(CompilationException, match='^Pass "Vyr1GenerationPass" failed.$') as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is DuplicateOutputException and cause.name == name
    assert str(cause) == f"Two output declarations share the name '{name}'; two outputs may not share a result stream."


@pytest.mark.parametrize("source, name", SHARED)
def test_also_when_emitting_into_the_callers_scope(compiler, source, name):
    # No stream is declared there, but the caller too can reach each output only by its name.
    with vyr.program():
        with pytest.raises(CompilationException) as raised:
            compiler.compile(source)
    assert type(raised.value.__cause__) is DuplicateOutputException and raised.value.__cause__.name == name


@pytest.mark.parametrize(
    "source, results",
    [
        # Loop variables are no outputs.
        ("int n = 0; for int i in [1:2] { n += i; } for int i in [1:3] { n += i; }", {"n": [9]}),
        # With an output declared, the other declarations are no outputs and may reuse a name.
        ("output int n; int a = 1; if (true) { int a = 2; n = a; } for int a in {5} { n += a; }", {"n": [7]}),
        # Without one, only the program's own declarations are outputs: a block's variables end with it.
        ("int a = 1; if (true) { int a = 5; a += 1; }", {"a": [1]}),
        ("int c = 1; if (c == 1) { int t = 1; } else { int t = 2; }", {"c": [1]}),
    ],
)
def test_names_reused_by_non_outputs_still_compile(compiler, source, results):
    assert run_program(compiler.compile(source).result_program.dsl_program).results == results


# A program with inputs and no output returns its variables, the inputs staying inputs:
# (source, values given to compile, values of the input streams, outcomes, results in saving order).
RETURNED = [
    ("input int a; int r = a + 1;", {"a": 1}, None, (), {"r": [2]}),
    ("input int a; int r = a + 1;", None, {"a": [1]}, (), {"r": [2]}),
    ("input int a; int r = a + 1;", {"a": None}, {"a": [4]}, (), {"r": [5]}),
    ("input float theta; bit c; rx(theta) $0; c = measure $0;", {"theta": 0.5}, None, [True], {"c": [True]}),
    ("input float theta; bit c; rx(theta) $0; c = measure $0;", None, {"theta": [0.5]}, [False], {"c": [False]}),
    # The program's own variables, in the order declared; those of blocks, loop variables and constants are none.
    ("input int n; const int k = 2; array[int, 2] a; bit[2] c; for int i in [1:n] { int t = i; a[0] = a[0] + t; } c = k;",
     {"n": 3}, None, (), {"a": [6, 0], "c": [False, True]}),
    ("int z = 3; input bit[2] m; float y = m;", {"m": [1, 1]}, None, (), {"z": [3], "y": [3.0]}),
    # A bit register's input takes a list of bits, the first one lowest, or an integer by its bits.
    ("input bit[3] m; int v = m;", {"m": [1, 0, 1]}, None, (), {"v": [5]}),
    ("input bit[3] m; int v = m;", {"m": [True, True, False]}, None, (), {"v": [3]}),
    ("input bit[3] m; int v = m;", {"m": 6}, None, (), {"v": [6]}),
    ("input bit[3] m; int v = m;", {"m": None}, {"m": [[True, False, True]]}, (), {"v": [5]}),
    # With an output declared beside the inputs, only the outputs are saved.
    ("input int a; output int r; int s = a; r = s + 1;", {"a": 1}, None, (), {"r": [2]}),
    ("input int a; int s = a; output int r; r = s + 1;", None, {"a": [1]}, (), {"r": [2]}),
]


@pytest.mark.parametrize("source, inputs, streams, outcomes, results", RETURNED)
def test_a_program_without_outputs_returns_its_variables_beside_its_inputs(
    compiler, source, inputs, streams, outcomes, results
):
    program = compiler.compile(source, inputs=inputs).result_program
    run = run_program(program.dsl_program, outcomes, streams)
    assert list(run.results.items()) == list(results.items())


def test_returned_variables_hold_under_optimisation(compiler, programs_under_optimisation):
    pairs = [(source, inputs) for source, inputs, *_ in RETURNED]
    expected = [str(compiler.compile(source, inputs=inputs).result_program.dsl_program) for source, inputs in pairs]
    assert programs_under_optimisation(pairs) == expected


@pytest.mark.parametrize(
    "source, earlier, later",
    [
        # Declared again under an input's name, a variable is refused as the second declaration it is.
        ("input int a; int a = 1;", "an input", "a classical variable"),
        ("int a; input int a;", "a classical variable", "an input"),
        ("input int a; output int r; int a;", "an input", "a classical variable"),
    ],
)
def test_a_variable_under_an_inputs_name_is_refused_by_name(compiler, refusals_hold_under_optimisation, source,
                                                             earlier, later):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is RedeclarationException and cause.name == "a"
    assert (cause.earlier, cause.later) == (earlier, later)
    refusals_hold_under_optimisation([source])


def test_in_the_callers_scope_the_returned_variables_are_plain_ones(compiler):
    # No stream is declared there and nothing saved, but the variables are listed as the outputs they are.
    with vyr.program() as scope:
        result = compiler.compile("input int a; int r = a + 1;", inputs={"a": 1})
    assert "stream" not in str(scope._program) and "save" not in str(scope._program)
    assert (list(result.result_program.inputs), list(result.result_program.outputs)) == (["a"], ["r"])
