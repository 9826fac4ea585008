"""A variable holds a value of its own type: a real given to an integer converts as `int(...)`
does, truncated toward zero, and one given to a boolean as `bool(...)` does, whether the value is
known when compiling or only when running; a boolean takes an integer as its truth; the bits of a
register take no real; a switch reads integers. The programs beside the refused ones compile and
save what the source means."""

import pytest

from corvane import CompilationException
from corvane.passes.code_generation.target_lowering import AssignmentTypeException
from corvane.passes.code_generation.translate_expression import DurationTypeException, InvalidOperandException
from corvane.passes.parsing.validators import ConstantTypeException

CAST_INT = "only by a cast, as int("
CAST_BOOL = "only by a cast, as bool("

RUN_TIME = "bit m = measure $0; int i = m; float f = i - 1.5; int k = f; int j = int(f);"

# The program, the measurement outcomes, the input-stream values and what it saves: a real
# converts for an integer or a boolean target as the cast to the target's type converts it.
CONVERSIONS = [
    # a declaration's initialiser and an assignment, known when compiling or only when running
    ("float f = 2.9; int k = f;", [], {}, {"k": [2]}),
    ("float f = -2.9; int k = f;", [], {}, {"k": [-2]}),
    ("int k = 3.75;", [], {}, {"k": [3]}),
    ("int no_size = 1e9;", [], {}, {"no_size": [1000000000]}),
    ("output int r; r = pi;", [], {}, {"r": [3]}),
    ("int k = 2 * pi; uint[4] u; u = 2.5;", [], {}, {"k": [6], "u": [2]}),
    ("const float h = 0.5; int k = h;", [], {}, {"k": [0]}),
    ("output int r; r = 7 / 2.0;", [], {}, {"r": [3]}),
    ("output int r; float f = 1.5; r = f - 2.0;", [], {}, {"r": [0]}),
    ("float f = -0.75; int k = f * 2;", [], {}, {"k": [-1]}),
    ("input float x; output int r; r = x * 2;", [], {"x": [-1.25]}, {"r": [-2]}),
    ("duration d = 100ns; int n = d / 1ns;", [], {}, {"n": [100]}),
    # a compound assignment is computed, then converted
    ("int a = 5; a += 2.7;", [], {}, {"a": [7]}),
    ("int a = 5; a *= 1.5;", [], {}, {"a": [7]}),
    ("int a = -5; a += 0.5;", [], {}, {"a": [-4]}),
    ("int a = 0; a -= 1.5;", [], {}, {"a": [-1]}),
    ("int a = 1; a *= -0.5;", [], {}, {"a": [0]}),
    ("int a = 9; a /= 2.0;", [], {}, {"a": [4]}),
    # in a loop body, to the loop's variable, and in a switch case body
    ("output int s; for int i in [0:2] { i = 0.5; s += i; }", [], {}, {"s": [0]}),
    ("input float x; output int k; int i = 1; switch (i) { case 1 { k = x; } }", [], {"x": [2.75]}, {"k": [2]}),
    # an array literal's cells and a cell's assignment
    ("array[int, 2] a = {1.9, -1.9};", [], {}, {"a": [1, -1]}),
    ("array[uint, 3] a = {1, 2, 0.5};", [], {}, {"a": [1, 2, 0]}),
    ("array[int, 1] a = {0}; float f = -2.5; a[0] = f;", [], {}, {"a": [-2]}),
    ("array[int, 3] a = {0, 0, 0}; int i = 1; float x = -1.5; a[i] = x;", [], {}, {"a": [0, -1, 0]}),
    # a boolean and a single bit: true exactly when the real is not 0
    ("float f = 0.25; bool b = f;", [], {}, {"b": [True]}),
    ("float f = 0.0; bool b = f;", [], {}, {"b": [False]}),
    ("float f = 0.5; bool b = f; int k = b;", [], {}, {"k": [1]}),
    ("bool b = 0.5; bit c = -1.5; bit z = 0.0;", [], {}, {"b": [True], "c": [True], "z": [False]}),
    ("input float x; output bool b; b = x;", [], {"x": [0.0]}, {"b": [False]}),
    ("array[bool, 2] f = {true, 0.5};", [], {}, {"f": [True, True]}),
    ("array[bool, 2] f = {false, false}; float x = 0.5; f[0] = x;", [], {}, {"f": [True, False]}),
    ("array[bit, 2] f = {0.5, 0.0};", [], {}, {"f": [True, False]}),
    ("float f = 2.5; int k = f; bool r = f == k;", [], {}, {"r": [False]}),
    # a value known only when running converts as its cast does, under both outcomes
    (RUN_TIME, [True], {}, {"k": [0], "j": [0]}),
    (RUN_TIME, [False], {}, {"k": [-1], "j": [-1]}),
]


def saved(results, expected):
    """The results named in `expected`; a refusal (its text) as it is."""
    return {name: results.get(name) for name in expected} if isinstance(results, dict) else results


@pytest.mark.parametrize("source, outcomes, inputs, expected", CONVERSIONS)
def test_a_real_converts_for_its_target_as_a_cast_does(run, source, outcomes, inputs, expected):
    assert saved(run(source, outcomes=outcomes, inputs=inputs).results, expected) == expected


def test_the_conversions_hold_under_optimisation(results_under_optimisation):
    results = results_under_optimisation((source, outcomes, inputs) for source, outcomes, inputs, _ in CONVERSIONS)
    assert [saved(result, expected) for result, (*_, expected) in zip(results, CONVERSIONS, strict=True)] == [
        expected for *_, expected in CONVERSIONS
    ]


@pytest.mark.parametrize(
    "implicit, cast",
    [
        ("float f = 2.9; int k = f;", "float f = 2.9; int k = int(f);"),
        ("input float x; uint u; u = x * 2;", "input float x; uint u; u = uint(x * 2);"),
        ("input float x; bool b; bit c; b = x; c = x;", "input float x; bool b; bit c; b = bool(x); c = bool(x);"),
        ("int k = -3.75; bool b = 0.5;", "int k = int(-3.75); bool b = bool(0.5);"),
        ("input float x; array[int, 2] a = {x, 1.5}; a[1] = x;",
         "input float x; array[int, 2] a = {int(x), int(1.5)}; a[1] = int(x);"),
    ],
)
def test_a_real_given_to_an_integer_or_a_boolean_compiles_as_its_cast(compile_text, implicit, cast):
    assert compile_text(implicit) == compile_text(cast)


# The program, the class of the cause, the variable it names (None for a class without one) and
# what its text holds.
REFUSALS = [
    # the bits of a register take no real, one by one or in a literal
    ("bit[2] c; c[1] = 0.5;", AssignmentTypeException, "c", ["bit c[1] of the bit register c", "0.5", CAST_BOOL]),
    ("bit[2] c = {1, 0.5};", AssignmentTypeException, "c", ["bit c[1] of the bit register c", "0.5", CAST_BOOL]),
    # a bit register takes a number by its bits, an integer
    ("bit[2] c = 1.5;", AssignmentTypeException, "c",
     ["bit register c of 2 bits", "real value 1.5", CAST_INT + "1.5)"]),
    ("input float x; bit[3] c; c = x;", AssignmentTypeException, "c", ["bit register c of 3 bits", "real value x"]),
    # an integer constant takes a value of its type: a real literal, the ratio of two durations
    ("const int k = 1e3;", ConstantTypeException, "k", ["'k'", "declared int", "is real"]),
    ("const int c = 10ns / 2ns;", ConstantTypeException, "c", ["'c'", "declared int", "is real"]),
    ("const duration t = 10ns; const uint c = t / 2ns;", ConstantTypeException, "c", ["'c'", "declared uint", "t / "]),
    ("const int c = 10ns / 2ns + 1;", ConstantTypeException, "c", ["'c'", "int"]),
    # a switch reads integers
    ("int r; switch (1.5) { case 1 { r = 1; } }", InvalidOperandException, None,
     ["switch on 1.5", "real value 1.5", "cast, as int(1.5)"]),
    ("float f = 1; int r; switch (f) { case 1 { r = 1; } }", InvalidOperandException, None,
     ["switch on f", "real value f"]),
    ("int r; switch (1) { case 1.5 { r = 1; } }", InvalidOperandException, None,
     ["switch on 1", "real case value 1.5", "cast, as int(1.5)"]),
    ("int i = 1; int r; switch (i) { case 1, 2.0 { r = 1; } }", InvalidOperandException, None,
     ["switch on i", "real case value 2.0"]),
    ("const float A = 1.0; int i = 1; int r; switch (i) { case A { r = 1; } }", InvalidOperandException, None,
     ["switch on i", "real case value 1.0"]),
    # durations and reals, both fixed-point, are not one type
    ("array[duration, 2] d; array[float, 2] f; f = d;", DurationTypeException, None,
     ["assignment to f", "d is a duration"]),
    ("array[float, 2] f; array[duration, 2] d; d = f;", DurationTypeException, None,
     ["assignment to d", "f is a number"]),
    ("array[duration, 2] d = {4ns, 8ns}; output float s; for float x in d { s += x; }", DurationTypeException, None,
     ["for loop over x", "as float", "array d", "holds durations"]),
    ("array[float, 2] f = {1.0, 2.0}; output duration s; for duration x in f { s += x; }", DurationTypeException,
     None, ["for loop over x", "as duration", "array f", "holds numbers"]),
]


@pytest.mark.parametrize("source, cause_class, name, named", REFUSALS)
def test_a_value_of_another_type_is_refused_by_name(compiler, source, cause_class, name, named):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause) is cause_class
    if name is not None:
        assert cause.name == name
    text = str(cause)
    assert all(part in text for part in named), text


def test_the_refusals_hold_under_optimisation(refusals_hold_under_optimisation):
    refusals_hold_under_optimisation(source for source, *_ in REFUSALS)


# Programs beside the refused ones, with the values they save (measurements give true).
STILL_COMPILE = [
    # a cast converts a real
    ("int k = int(1.5); int m = int(-1.5);", {"k": [1], "m": [-1]}),
    ("float f = 2.5; int r = int(f);", {"f": [2.5], "r": [2]}),
    ("duration d = 100ns; int n = int(d / 1ns);", {"d": [25], "n": [100]}),
    ("bool b = bool(0.5); bool z = bool(0.0);", {"b": [True], "z": [False]}),
    ("array[int, 2] a = {int(1.5), 2}; a[1] = int(2.5);", {"a": [1, 2]}),
    ("bit[2] c = int(3.5);", {"c": [True, True]}),
    ("const int c = int(10ns / 2ns); output int r; r = c;", {"r": [5]}),
    ("int r; switch (int(1.5)) { case 1 { r = 1; } }", {"r": [1]}),
    # an integer, known or not, into an integer; a boolean is an integer
    ("int k = 7 / 2; uint u = true; int m = measure $0;", {"k": [3], "u": [True], "m": [True]}),
    ("array[int, 2] a = {1, 2}; a[0] = 5;", {"a": [5, 2]}),
    # a boolean or a bit takes an integer as its truth; 0 and 1 stay as written
    ("bool b = 2; output int r; if (b == true) { r = 1; }", {"r": [1]}),
    ("bool b = -3; bit c = 2; bool z = 0; bit o = 1;", {"b": [True], "c": [True], "z": [0], "o": [1]}),
    ("int i = 3; bool b = i; bit z = i - 3;", {"i": [3], "b": [True], "z": [False]}),
    ("bit[2] c; c[0] = 2;", {"c": [True, False]}),
    ("array[bool, 3] f = {2, 0, 1};", {"f": [True, 0, 1]}),
    ("int i = 2; array[bool, 2] f; f[1] = i; f[0] = i - 2;", {"i": [2], "f": [False, True]}),
    # a bit register keeps spreading a number over its bits
    ("bit[3] c = 5; bit[2] d = true;", {"c": [True, False, True], "d": [True, False]}),
    ("int i = 6; bit[3] c = i;", {"i": [6], "c": [False, True, True]}),
    # a real target takes what it took: an integer is a real, and durations keep their rules
    ("float f = 1; float r = 100ns / 1ns; duration d = 10ns;", {"f": [1], "r": [100.0], "d": [2.5]}),
    ("array[float, 2] a = {1, 2.5}; a[0] = true;", {"a": [True, 2.5]}),
    ("const float c = 10ns / 4ns; output float r; r = c;", {"r": [2.5]}),
    # a switch on integers, a bit register's value among them
    ("bit[2] c = 2; int r; switch (c) { case 2 { r = 1; } }", {"c": [False, True], "r": [1]}),
    ("const int A = 3; int i = 3; int r; switch (i) { case A { r = 1; } }", {"i": [3], "r": [1]}),
    ("array[duration, 2] d = {4ns, 8ns}; output duration s; for duration x in d { s += x; }", {"s": [3]}),
]


@pytest.mark.parametrize("source, results", STILL_COMPILE)
def test_their_neighbours_compile_and_save_what_they_mean(run, source, results):
    assert run(source, outcomes=[True]).results == results
