"""Values of another type than their target holds are refused by name, never converted into
values that nobody gave; the programs and inputs beside them still compile and run."""

import math

import pytest

from corvane import CompilationException
from corvane.passes.code_generation.initial_value_inference import UnsupportedArrayException
from corvane.passes.code_generation.target_lowering import AssignmentShapeException, AssignmentTypeException
from corvane.passes.code_generation.translate_expression import ValueOutOfRangeException
from vyr_runner import run_program

LOOP = "output int s; {} {{ s += 1; }}"

# The program, its input values, the class of the cause, the name it holds and what its text names.
REFUSALS = [
    # a bit-string literal has its register's length: the upper bits would be lost, or cleared
    ('bit[2] c; c = "0110";', None, AssignmentShapeException, "c",
     ['bit-string literal "0110" has 4 bits', "bit register c of 2 bits"]),
    ('bit[4] c = "01";', None, AssignmentShapeException, "c",
     ['bit-string literal "01" has 2 bits', "bit register c of 4 bits"]),
    # a constant of bits is named as the program wrote it, not as the bits it stands for
    ('const bit[4] k = "0110"; bit[2] c = k;', None, AssignmentShapeException, "c",
     ["constant k of 4 bits", "bit register c of 2 bits"]),
    ("const uint[4] k = 5; bit[2] c = k;", None, AssignmentShapeException, "c",
     ["constant k of 4 bits", "bit register c of 2 bits"]),
    ("const uint[4] k = 5; const bit[4] m = k; bit c; c = m;", None, AssignmentShapeException, "c",
     ["constant m of 4 bits", "c, which holds one bit"]),
    ('const bit b = "1"; bit[2] c; int i = 1; switch (i) { case 1 { c = b; } }', None, AssignmentShapeException,
     "c", ["constant b of 1 bit", "bit register c of 2 bits"]),
    ('const bit b = "1"; const bit d = b; bit[2] c = b;', None, AssignmentShapeException, "c",
     ["constant b of 1 bit", "bit register c of 2 bits"]),
    ('bit b; b = "10";', None, AssignmentShapeException, "b", ['"10" has 2 bits', "b, which holds one bit"]),
    ('bit[4] c; c[1] = "10";', None, AssignmentShapeException, "c", ['"10" has 2 bits', "a cell of c"]),
    ('array[bit, 3] a; a[0] = "01";', None, AssignmentShapeException, "a", ['"01" has 2 bits', "a cell of a"]),
    ('bit[4] c; int i = 1; switch (i) { case 1 { c = "01"; } }', None, AssignmentShapeException, "c",
     ['"01" has 2 bits', "bit register c of 4 bits"]),
    # an array's cell holds one bit
    ('array[bit[2], 3] a; a[0] = "11";', None, UnsupportedArrayException, "a", ["'a'", "bit[2]", "one bit"]),
    ("input array[bit[8], 2] a;", None, UnsupportedArrayException, "a", ["'a'", "bit[8]", "one bit"]),
    # an array takes only an array of its own element type, in either direction
    ("array[float[64], 2] f = {1.5, 2.5}; array[int, 2] a; a = f;", None, AssignmentTypeException, "a",
     ["array a of integers", "array f of reals", "own element type"]),
    ("array[int, 2] a = {1, 2}; array[float, 2] f; f = a;", None, AssignmentTypeException, "f",
     ["array f of reals", "array a of integers"]),
    ('bit[2] c = "10"; array[int, 2] a; a = c;', None, AssignmentTypeException, "a",
     ["array a of integers", "array c of booleans"]),
    # one value would fill every cell of an array
    ("array[int, 2] a; a = 1;", None, AssignmentShapeException, "a", ["array a of 2 cells", "single value 1"]),
    ("array[float, 3] a; float x = 0.5; a = x;", None, AssignmentShapeException, "a",
     ["array a of 3 cells", "single value x"]),
    # an integer loop variable runs over integers
    (LOOP.format("for int i in [0:0.5:2]"), None, AssignmentTypeException, "i",
     ["for loop over i", "as int", "step 0.5", "not an integer"]),
    (LOOP.format("for int i in [0.0:2]"), None, AssignmentTypeException, "i", ["as int", "start 0.0"]),
    (LOOP.format("for uint i in [0:2.5]"), None, AssignmentTypeException, "i", ["as uint", "end 2.5"]),
    (LOOP.format("for int i in {1.5, 2.5}"), None, AssignmentTypeException, "i", ["as int", "1.5", "set"]),
    (LOOP.format("for int i in {1, 2.0}"), None, AssignmentTypeException, "i", ["as int", "2.0", "set"]),
    ("float x = 2; " + LOOP.format("for int i in [0:x]"), None, AssignmentTypeException, "i", ["as int", "end x"]),
    ("array[float, 2] f = {1.0, 2.0}; " + LOOP.format("for int v in f"), None, AssignmentTypeException, "v",
     ["for loop over v", "as int", "array f", "reals"]),
    # input values have their input's type
    ("input int n; output int r; r = n;", {"n": 2.5}, AssignmentTypeException, "n",
     ["input n", "an integer", "2.5 (float)"]),
    ("input bool f; output bool r; r = f;", {"f": 0.5}, AssignmentTypeException, "f",
     ["input f", "a boolean", "0.5 (float)"]),
    ("input bool f; output bool r; r = f;", {"f": 2}, AssignmentTypeException, "f", ["input f", "2 (int)"]),
    ("input array[int, 2] a; output int r; r = a[0];", {"a": [1.5, 2]}, AssignmentTypeException, "a",
     ["input a", "array of 2 integers", "cell 0", "1.5 (float)"]),
    ("input float d; output float r; r = d;", {"d": "0.5"}, AssignmentTypeException, "d",
     ["input d", "a real", "'0.5' (str)"]),
    ("input duration t; delay[t] $1;", {"t": "100ns"}, AssignmentTypeException, "t", ["input t", "'100ns' (str)"]),
    ("input int n; output int r; r = n;", {"n": [1]}, AssignmentTypeException, "n", ["input n", "[1] (list)"]),
    ("input array[int, 2] a; output int r; r = a[0];", {"a": 5}, AssignmentTypeException, "a",
     ["input a", "5 (int)", "one value per cell"]),
    ("input array[int, 2] a; output int r; r = a[0];", {"a": "12"}, AssignmentTypeException, "a",
     ["input a", "'12' (str)"]),
    ("input bit[2] c; output int r; r = c;", {"c": 4}, AssignmentTypeException, "c",
     ["input c", "bit register of 2 bits", "4 (int)", "cannot hold"]),
    ("input bit[2] c; output int r; r = c;", {"c": -1}, AssignmentTypeException, "c", ["input c", "-1 (int)"]),
    ("input bit[2] c; output int r; r = c;", {"c": [True, 2]}, AssignmentTypeException, "c",
     ["input c", "cell 1", "2 (int)"]),
    ("input bit[4] c; output int r; r = c;", {"c": 2.5}, AssignmentTypeException, "c",
     ["input c", "bit register of 4 bits", "2.5 (float)", "takes an integer, by its bits"]),
    ("int p; output int r; r = p;", {"p": 1.5}, AssignmentTypeException, "p", ["variable p", "1.5 (float)"]),
    # a real takes a number that a real holds
    ("input float f; output float r; r = f;", {"f": math.inf}, ValueOutOfRangeException, "f",
     ["input f", "inf (float)", "too large to be held"]),
    ("input float f; output float r; r = f;", {"f": 10**400}, ValueOutOfRangeException, "f",
     ["input f", "(int)", "too large to be held"]),
    ("input duration d; delay[d] $1;", {"d": math.nan}, ValueOutOfRangeException, "d",
     ["input d", "nan (float)", "not a number that can be held"]),
    ("input array[float, 2] a; output float r; r = a[0];", {"a": [1.0, -math.inf]}, ValueOutOfRangeException, "a",
     ["input a", "cell 1", "-inf (float)"]),
    ("output float r;", {"r": "no"}, AssignmentTypeException, "r", ["output r", "'no' (str)"]),
]


@pytest.mark.parametrize("source, inputs, cause_class, name, named", REFUSALS)
def test_each_refusal_names_what_is_wrong(compiler, source, inputs, cause_class, name, named):
    with pytest.raises(CompilationException, match='^Pass "Vyr1GenerationPass" failed.$') as raised:
        compiler.compile(source, inputs=inputs)
    cause = raised.value.__cause__
    assert type(cause) is cause_class and cause.name == name
    text = str(cause)
    assert all(part in text for part in named), text


def test_the_refusals_hold_under_optimisation(refusals_hold_under_optimisation):
    refusals_hold_under_optimisation((source, inputs) for source, inputs, *_ in REFUSALS)


# Programs and input values beside the refused ones, with the results they save.
STILL_COMPILE = [
    ('bit[4] c; c = "0110";', None, {"c": [False, True, True, False]}),
    ("const uint[4] k = 5; bit[4] c = k;", None, {"c": [True, False, True, False]}),
    ('bit b; b = "1"; bit[1] d = "1";', None, {"b": [True], "d": [True]}),
    ('bit[4] c; c[1] = "1";', None, {"c": [False, True, False, False]}),
    ('int x = "0110";', None, {"x": [6]}),
    ("bit[3] c; c = 5;", None, {"c": [True, False, True]}),
    ('array[bit, 3] a; a[2] = "1";', None, {"a": [False, False, True]}),
    ('array[bit[1], 2] a; a[1] = "1";', None, {"a": [False, True]}),
    ("array[int, 2] f = {1, 2}; array[int, 2] a; a = f;", None, {"f": [1, 2], "a": [1, 2]}),
    ('bit[2] c = "10"; array[bool, 2] a; a = c;', None, {"c": [False, True], "a": [False, True]}),
    ("array[float, 2] a; a[0] = 1; a[1] = 2.5;", None, {"a": [1, 2.5]}),
    # loops over integers, and real loop variables over reals or integers
    ("output int s; for int i in [0:2:4] { s += i; }", None, {"s": [6]}),
    ("output int s; for uint i in {1, 2} { s += i; }", None, {"s": [3]}),
    ("output float s; for float x in [0.0:0.5:1.0] { s += x; }", None, {"s": [1.5]}),
    ("output float s; for float x in {1, 2.5} { s += x; }", None, {"s": [3.5]}),
    ("output float s; array[float, 2] f = {0.5, 1.5}; for float x in f { s += x; }", None, {"s": [2.0]}),
    # input values of their declaration's type; an integer is a real, a boolean an integer
    ("input float d; output float r; r = d;", {"d": 2}, {"r": [2]}),
    ("input int n; output int r; r = n + 1;", {"n": True}, {"r": [2]}),
    ("input bool f; output bool r; r = f;", {"f": False}, {"r": [False]}),
    ("input bit b; output bit r; r = b;", {"b": 1}, {"r": [1]}),
    ("input bit[2] c; output int r; r = c;", {"c": 3}, {"r": [3]}),
    ("input bit[2] c; output int r; r = c;", {"c": (True, False)}, {"r": [1]}),
    ("input array[float, 2] a; output float r; r = a[0] + a[1];", {"a": (1, 2.5)}, {"r": [3.5]}),
    ("input float f; output float r; r = f;", {"f": 1.5e308}, {"r": [1.5e308]}),
    ("input float f; output float r; r = f;", {"f": 2**1000}, {"r": [2**1000]}),
    ("input int n; output int r; r = 1;", {"unknown": "text", "n": None}, {"r": [1]}),
]


@pytest.mark.parametrize("source, inputs, results", STILL_COMPILE)
def test_their_neighbours_compile_and_run(compiler, source, inputs, results):
    program = compiler.compile(source, inputs=inputs).result_program.dsl_program
    assert run_program(program, inputs={"n": [0]}).results == results


@pytest.mark.parametrize("cycles", [25, 25.0])
def test_a_duration_input_takes_a_number_of_clock_cycles(compiler, cycles):
    program = compiler.compile("input duration t; delay[t] $1;", inputs={"t": cycles}).result_program
    assert run_program(program.dsl_program).played() == [("wait", cycles, "d1")]


def test_a_measure_implementation_that_returns_nothing_is_refused_under_optimisation(python_subprocess):
    # Without the refusal, -O would assign None into the bit.
    program = "bit b; b = measure $0;"
    code = f"""
        from corvane import Compiler, CompilationException, MachineProfile
        compiler = Compiler(MachineProfile({{"measure q;": lambda qubit: None}}, {{0: ("d0",)}}))
        try:
            compiler.compile({program!r})
        except CompilationException as error:
            print(type(error.__cause__).__name__, error.__cause__)
    """
    expected = "AssertionError The measure implementation of the machine profile returned no value\n"
    assert python_subprocess(code) == expected
    assert python_subprocess(code, "-O") == expected

