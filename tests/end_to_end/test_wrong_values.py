"""Values of another type than their target holds are refused by name, never converted into
values that nobody gave; the programs and inputs beside them still compile and run."""

import pytest

from corvane import CompilationException
from corvane.passes.code_generation.target_lowering import AssignmentTypeException
from vyr_runner import run_program

# The program, its input values, the class of the cause, the name it holds and what its text names.
REFUSALS = [
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
    ("int p; output int r; r = p;", {"p": 1.5}, AssignmentTypeException, "p", ["variable p", "1.5 (float)"]),
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


def test_the_refusals_hold_under_optimisation(causes_under_optimisation, compiler):
    output = causes_under_optimisation((source, inputs) for source, inputs, *_ in REFUSALS)
    expected = []
    for source, inputs, *_ in REFUSALS:
        with pytest.raises(CompilationException) as raised:
            compiler.compile(source, inputs=inputs)
        expected.append(f"{type(raised.value.__cause__).__name__} {raised.value.__cause__}")
    assert output == expected


# Programs and input values beside the refused ones, with the results they save.
STILL_COMPILE = [
    # input values of their declaration's type; an integer is a real, a boolean an integer
    ("input float d; output float r; r = d;", {"d": 2}, {"r": [2]}),
    ("input int n; output int r; r = n + 1;", {"n": True}, {"r": [2]}),
    ("input bool f; output bool r; r = f;", {"f": False}, {"r": [False]}),
    ("input bit b; output bit r; r = b;", {"b": 1}, {"r": [1]}),
    ("input bit[2] c; output int r; r = c;", {"c": 3}, {"r": [3]}),
    ("input bit[2] c; output int r; r = c;", {"c": (True, False)}, {"r": [1]}),
    ("input array[float, 2] a; output float r; r = a[0] + a[1];", {"a": (1, 2.5)}, {"r": [3.5]}),
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

