"""Programs that would lose a value with no word are refused, naming the variable; their sound neighbours compile."""

import pytest

from corvane import CompilationException
from corvane.passes.code_generation.target_lowering import AssignmentShapeException
from corvane.programs import DuplicateInputException
from vyr_runner import run_program


@pytest.mark.parametrize(
    "source, error, name, text",
    [
        # the second input would never receive its value, or the output the input's
        ("input int x; input int x;", DuplicateInputException, "x", "An input shares the name 'x' with another"),
        ("input int x; input float x;", DuplicateInputException, "x", "An input shares the name 'x' with another"),
        ("input int x; output int x;", DuplicateInputException, "x", "An input shares the name 'x' with another"),
        ("output int x; input int x;", DuplicateInputException, "x", "An input shares the name 'x' with another"),
        # an initialiser of another length drops values or leaves cells unset
        ("array[int, 2] a = {1, 2, 3};", AssignmentShapeException, "a",
         "The array a has 2 cells, but it is given 3 values;"),
        ("array[int, 3] a = {1, 2};", AssignmentShapeException, "a",
         "The array a has 3 cells, but it is given 2 values;"),
        ("array[bool, 1] flags = {true, false};", AssignmentShapeException, "flags",
         "The array flags has 1 cells, but it is given 2 values;"),
        ("array[int, 2] a = {{1, 2}, {3, 4}};", AssignmentShapeException, "a",
         "The array a is one-dimensional, but its value holds a nested array literal;"),
        ("int k = {1, 2};", AssignmentShapeException, "k", "An array literal cannot be assigned to k,"),
    ],
)
def test_refused_with_the_variable_named(compiler, source, error, name, text):
    with pytest.raises(CompilationException, match='^Pass "Vyr1GenerationPass" failed.$') as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is error and cause.name == name
    assert str(cause).startswith(text)


@pytest.mark.parametrize(
    "source, inputs, results, played",
    [
        ("input int x; output int y; y = x + 1;", {"x": [4]}, {"y": [5]}, []),
        ("input int x; input float z; output float y; y = x * z;", {"x": [2], "z": [1.5]}, {"y": [3.0]}, []),
        ("output int s; array[int, 3] a = {1, 2, 3}; for int v in a { s += v; }", {}, {"s": [6]}, []),
        ("input float theta; qubit q; x q; rx(theta) q;", {"theta": [0.5]}, {},
         [("play", "x", "d0"), ("frame_rotation", 0.5, "d0")]),
    ],
)
def test_their_sound_neighbours_compile(compiler, source, inputs, results, played):
    result = run_program(compiler.compile(source).result_program.dsl_program, inputs=inputs)
    assert result.results == results and result.played() == played


@pytest.mark.parametrize("values, given", [([1, 2, 3], 3), ((7,), 1), ([], 0)])
def test_input_values_of_another_length_than_the_array_are_refused(compiler, values, given):
    with pytest.raises(CompilationException) as raised:
        compiler.compile("input array[int, 2] a; output int r; r = a[1];", inputs={"a": values})
    cause = raised.value.__cause__
    assert type(cause) is AssignmentShapeException and cause.name == "a"
    assert str(cause) == f"The array a has 2 cells, but the inputs give it {given} values."


def test_input_values_of_the_arrays_length_fill_it(compiler):
    program = compiler.compile("input array[int, 2] a; output int r; r = a[1];", inputs={"a": (4, 5)})
    assert run_program(program.result_program.dsl_program).results == {"r": [5]}
