import textwrap

import pytest
from vk import vyr

from corvane import CompilationException
from corvane.passes.code_generation.target_lowering import MissingInputException

PROGRAM = """
OPENQASM 3.0;
input float theta;
input int[8] n;
output bit b;
int[8] k = 3;
array[int[8], 3] arr;
rx(theta) $0;
x $1;
cx $0, $1;
b = measure $1;
arr[1] = k + n;
reset $2;
delay[100ns] $1, $2;
barrier $0, $1;
gphase(0.5);
sin(theta);
tan(theta);
"""


def test_a_straight_line_program(compile_text):
    assert compile_text(PROGRAM, inputs={"n": 4}) == textwrap.dedent(
        """\
        declare input stream fixed theta = 0.0
        advance input stream theta
        declare int v1 = 0
        v1 = 4
        declare stream s1
        declare bool v2 = false
        declare int v3 = 0
        v3 = 3
        declare int[3] v4 = [0, 0, 0]
        align("d0", "r0")
        frame_rotation(theta, "d0")
        align("d0", "r0")
        play("x", "d1")
        align("d0", "d1", "r0")
        play("cx", "d0")
        align("d0", "d1", "r0")
        declare bool v5 = measure("readout", "d1")
        v2 = v5
        v4[1] = v3 + v1
        play("reset", "d2")
        align("d1", "d2")
        wait(25, "d1", "d2")
        align("d1", "d2")
        align("d0", "d1", "r0")
        align("d0", "d1", "r0")
        wait(theta)
        save v2 to s1
        stream processing:
            s1.save_all("b")"""
    )


@pytest.mark.parametrize(
    "source, expected",
    [
        # One element: no alignment; two or more: one before and one after.
        ("x $1;", ['play("x", "d1")']),
        ("x $0;", ['align("d0", "r0")', 'play("x", "d0")', 'align("d0", "r0")']),
        ("cx $1, $2;", ['align("d1", "d2")', 'play("cx", "d1")', 'align("d1", "d2")']),
        # Durations become whole 4 ns clock cycles.
        ("delay[1us] $3;", ["wait(250, \"d3\")"]),
        ("delay[3ns] $3;", ["wait(0, \"d3\")"]),
        # The mapped math functions emit nothing; any other function is the profile's.
        ("sin(1.0);", []),
        ("input int t; tan(t);", ["declare input stream int t = 0", "advance input stream t", "wait(t)"]),
    ],
)
def test_operations(compile_text, source, expected):
    assert compile_text(source).splitlines() == expected


def test_inputs_are_streams_advanced_once_and_outputs_are_saved_last(compile_text):
    lines = compile_text("input int a; output int b; b = a + 1; b = b * 2;").splitlines()
    assert lines.count("advance input stream a") == 1
    assert lines.index("advance input stream a") == 1
    assert lines[-3:] == ["save v1 to s1", "stream processing:", '    s1.save_all("b")']
    assert lines.index("v1 = v1 * 2") < lines.index("save v1 to s1")


def test_supplied_values_are_assigned_right_after_their_declarations(compile_text):
    lines = compile_text("input float a; output int b; int c; b = 1;", inputs={"a": 0.5, "c": 2})
    assert lines.splitlines()[:7] == [
        "declare fixed v1 = 0.0",
        "v1 = 0.5",
        "declare stream s1",
        "declare int v2 = 0",
        "declare int v3 = 0",
        "v3 = 2",
        "v2 = 1",
    ]


def test_a_supplied_output_has_no_stream_and_saving_it_fails(compiler):
    with pytest.raises(CompilationException) as error:
        compiler.compile("output int b;", inputs={"b": 1})
    assert str(error.value.__cause__) == "No stream variable was declared for b."


class TestCallersScope:
    def test_statements_go_into_the_callers_program(self, compiler):
        with vyr.program() as scope:
            result = compiler.compile("input float theta; rx(theta) $1;", inputs={"theta": 0.25})
        assert str(scope._program).splitlines() == ["declare fixed v1 = 0.0", "v1 = 0.25",
                                                     'frame_rotation(v1, "d1")']
        with pytest.raises(AttributeError, match="Still within program scope, cannot return the full program"):
            result.result_program.dsl_program

    def test_an_input_without_a_value_is_refused(self, compiler):
        with vyr.program():
            with pytest.raises(CompilationException) as error:
                compiler.compile("input float theta; rx(theta) $1;")
        assert isinstance(error.value.__cause__, MissingInputException)
        assert str(error.value.__cause__) == "The input theta was not provided to the compiler"


def test_the_program_can_be_extended_after_the_compilation(compiler):
    program = compiler.compile("output int b; b = 1;").result_program
    program.assign("b", 5)
    lines = str(program.dsl_program).splitlines()
    assert lines[lines.index("stream processing:") - 1] == "v1 = 5"


@pytest.mark.parametrize(
    "source, cause",
    [
        ("x $9;", "CallingUnsupportedQubitsException"),
        ("rx(1, 2) $1;", "UnresolvableOperation"),
        ("int a; a = b;", "UndeclaredVariableReferenceException"),
        ("int a; a = a % 2;", "NotImplementedError"),
    ],
)
def test_errors_are_wrapped_with_their_cause(compiler, source, cause):
    with pytest.raises(CompilationException, match='^Pass "Vyr1GenerationPass" failed.$') as error:
        compiler.compile(source)
    assert type(error.value.__cause__).__name__ == cause
