"""A constant stands for a value of its declared type wherever it is used: a real constant
divides as a real, an unsigned constant of n bits keeps to its width, and a constant whose
value is of another type is refused: an integer or a bool whose value is real, a number whose
value is a duration, a duration whose value is a number."""

import math

import pytest

from corvane import CompilationException

# (program, the values it saves): each read from the compiled program run.
VALUES = [
    # A constant declared real is real, whatever its value is written as.
    ("const float f = 1; output float g; g = f / 2;", {"g": [0.5]}),
    ("const uint u1 = 1; const float[32] f2 = u1; output float g; g = f2 / 8;", {"g": [0.125]}),
    ("const float f = 2 * 3; output float g; g = f / 4;", {"g": [1.5]}),
    ("const float f = true; output float g; g = f / 2;", {"g": [0.5]}),
    ("const float f = int(3.7); output float g; g = f / 2;", {"g": [1.5]}),
    ("const float f = 1; const float h = f * 3; output float g; g = h / 2;", {"g": [1.5]}),
    # ... also where the machine divides.
    ("const float f = 2; int n = 3; output float g; g = n / f;", {"g": [1.5]}),
    ("const float f = 4; output float g; bit b = measure $1; g = (int(b) + 3) / f;", {"g": [1.0]}),
    # An integer constant takes an integer value: a cast drops the fraction, as when the program runs.
    ("const int c = int(2.5); output int r; r = c * 2;", {"r": [4]}),
    ("const int c = int(-2.5); output int r; r = c;", {"r": [-2]}),
    ("const int c = 7 / 2; output int r; r = c;", {"r": [3]}),
    ("const int c = mod(7, 4); output int r; r = c;", {"r": [3]}),
    # ... and `ceiling` and `floor` compute integers.
    ("const int[64] c = ceiling(pi); output int r; r = c;", {"r": [4]}),
    ("const uint c = ceiling(2.1); const int d = floor(2.0) + 1; output int r; r = c * 10 + d;", {"r": [33]}),
    ("const int c = floor(-2.5); const int n = int(sqrt(4)); output int r; r = c * 10 + n;", {"r": [-28]}),
    ("const int c = ceiling(0.5); qubit[c + 1] q; output int r; r = c;", {"r": [1]}),
    ("const int c = true; output int r; r = c + 1;", {"r": [2]}),
    ('const int c = "0101"; output int r; r = ~c;', {"r": [-6]}),
    # A bool constant is a truth value.
    ("const bool b = 3; output int r; r = b + 1;", {"r": [2]}),
    ("const bool b = bool(0.0); output int r; r = b + 1;", {"r": [1]}),
    # A duration constant is a duration, of sums and multiples of durations.
    ("const duration a = 10ns; const duration b = a * 3 - 1dt; output duration r; r = b;", {"r": [7.25]}),
    # An unsigned constant of n bits is its n low bits: "~" and "<<" keep to its width.
    ("const uint[4] c = 5; output int r; r = ~c;", {"r": [10]}),
    ("const uint[4] c = 5; output int r; r = c << 2;", {"r": [4]}),
    ("const uint[4] c = 5; output int r; int k = 2; r = c << k;", {"r": [4]}),
    ("const uint[4] c = 5; output int r; int k = 0; r = ~c + k;", {"r": [10]}),
    ("const uint[4] c = 2 + 3; output int r; r = ~c;", {"r": [10]}),
    ("const uint[4] c = 20; output int r; r = c;", {"r": [4]}),
    ("const uint[4] c = -1; output int r; r = c;", {"r": [15]}),
    ("const uint[2] w = 3; const uint[w + 1] c = 5; output int r; r = ~c;", {"r": [10]}),
    ("const uint[4] c = 5; output uint[8] r; r = ~c;", {"r": [10]}),
    # ... and arithmetic on it is not wrapped.
    ("const uint[4] c = 5; output int r; r = c + 20;", {"r": [25]}),
    ("const uint[4] c = 5; output int r; r = c * 4;", {"r": [20]}),
    # An integer of n bits keeps its sign.
    ("const int[4] c = 5; output int r; r = ~c;", {"r": [-6]}),
    ("const int[8] k = 200; output int r; r = k * 2;", {"r": [400]}),
]


@pytest.mark.parametrize("source, results", VALUES)
def test_a_constant_stands_for_a_value_of_its_type(run, source, results):
    assert run(source, outcomes=[True]).results == results


@pytest.mark.parametrize("angle, expected", [("f / 2", 0.5), ("t / 2", math.pi / 2), ("f2 / 8", 0.125)])
def test_a_real_constant_is_real_in_a_gate_argument(run, angle, expected):
    source = f"const float f = 1; const float t = tau / 2; const uint u = 1; const float f2 = u; rx({angle}) $1;"
    assert run(source).played() == [("frame_rotation", expected, "d1")]


# Where a number is read when the program is compiled, an unsigned or bit-register constant is its value.
SIZES_AND_INDICES = [
    ("const uint[8] N = 3; qubit[N] q; x q[2];", [("play", "x", "d2")]),
    ("const uint[2] N = 1; qubit[3] q; x q[N];", [("play", "x", "d1")]),
    ("const uint[8] N = 3; qubit[N] q; x q[N - 1];", [("play", "x", "d2")]),
    ("const bit[3] N = 2; qubit[N] q; x q[N - 1];", [("play", "x", "d1")]),
    ("const uint[4] N = 2; qubit[3] q; bit[N] c; c[1] = measure q[N];", [("measure", "readout", "d2")]),
    ("const int n = int(2.5); qubit[n] q; x q[1];", [("play", "x", "d1")]),
]


@pytest.mark.parametrize("source, played", SIZES_AND_INDICES)
def test_an_unsigned_constant_sizes_and_indexes_registers(run, source, played):
    assert run(source).played() == played


@pytest.mark.parametrize(
    "source, results",
    [
        ("const uint[4] N = 3; bit[N] c = 5; output int r; r = c;", {"r": [5]}),
        ("const uint[4] N = 3; output array[int, N] a; a[N - 1] = 7; a[N - 3] = 1;", {"a": [1, 0, 7]}),
        ("const uint[4] N = 3; output int s; for int i in [0:N] { s += i; }", {"s": [6]}),
        ("const uint[4] N = 3; output int s; for int i in {N, 1} { s += i; }", {"s": [4]}),
        ("const uint[4] N = 3; const uint[4] M = 19; output int r; int s = 3; "
         "switch (s) { case M { r = 1; } case N + 4 { r = 2; } default { r = 3; } }", {"r": [1]}),
        ("const uint[4] N = 3; output int r; int s = 7; switch (s) { case N { r = 1; } case N + 4 { r = 2; } }",
         {"r": [2]}),
    ],
)
def test_an_unsigned_constant_sizes_arrays_bounds_loops_and_labels_cases(run, source, results):
    assert run(source).results == results


REFUSALS = [
    # An integer constant whose value is real: a real literal, a real constant, a real function.
    ("const int c = 2.5; output int r; r = c * 2;", "ConstantTypeException", ["'c'", "declared int", "value 2.5"]),
    ("const float f = 1; const int c = f;", "ConstantTypeException", ["'c'", "declared int", "value f "]),
    ("const int c = sqrt(4);", "ConstantTypeException", ["'c'", "declared int", "value sqrt(4) is real"]),
    ("const int c = -sqrt(4);", "ConstantTypeException", ["'c'", "int", "-sqrt(4)"]),
    ("const int c = ceiling(2.1) / 2.0;", "ConstantTypeException", ["'c'", "int", "ceiling(2.1) / 2.0"]),
    ("const int c = mod(5, 2.5);", "ConstantTypeException", ["'c'", "int", "mod(5, 2.5)"]),
    ("const int c = 7 / 2.0 * 2;", "ConstantTypeException", ["'c'", "int", "7 / 2.0 * 2"]),
    ("const int c = float(2);", "ConstantTypeException", ["'c'", "int", "float(2)"]),
    ("const uint[4] c = pi;", "ConstantTypeException", ["'c'", "declared uint[4]", "value pi"]),
    ("const bit[2] b = 0.5 * 2;", "ConstantTypeException", ["'b'", "declared bit[2]", "0.5 * 2"]),
    ("const int n = 2; if (true) { const int k = n * 1.5; }", "ConstantTypeException", ["'k'", "int", "1.5"]),
    # ... or one that computes to a real.
    ("const uint c = 2 ** -1;", "ConstantTypeException", ["'c'", "declared uint", "2 ** -1"]),
    # ... or a bool constant whose value is real, as a bool variable takes none.
    ("const bool b = 0.5;", "ConstantTypeException", ["'b'", "declared bool", "0.5 is real", "bool(0.5)"]),
    ("const bool b = 2 ** -1;", "ConstantTypeException", ["'b'", "declared bool", "2 ** -1 is real"]),
    # A number constant whose value is a duration, a duration constant whose value is a number.
    ("const int c = 10ns;", "ConstantTypeException", ["'c'", "declared int", "10.0ns is a duration"]),
    ("const float f = 10ns; float y = f;", "ConstantTypeException", ["'f'", "declared float", "is a duration"]),
    ("const bool b = 1dt;", "ConstantTypeException", ["'b'", "declared bool", "1.0dt is a duration"]),
    ("const int c = 10ns; bit[c] b;", "ConstantTypeException", ["'c'", "declared int", "is a duration"]),
    ("const uint c = 10ns; qubit[c] q;", "ConstantTypeException", ["'c'", "declared uint", "is a duration"]),
    ("const duration t = 4ns; const int k = -t * 2;", "ConstantTypeException", ["'k'", "-t * 2 is a duration"]),
    ("const duration d = 5;", "ConstantTypeException", ["'d'", "declared duration", "5 is a number", "time unit"]),
    ("const stretch s = 10ns / 2ns;", "ConstantTypeException", ["'s'", "declared stretch", "is a number"]),
    ("const float f = 1.5; const duration d = f;", "ConstantTypeException", ["'d'", "value f is a number"]),
    # A real constant too large for a real number.
    ("const float big = 2 ** 2000; float g = big;", "ConstantRangeException", ["'big'", "float", "2 ** 2000"]),
]


@pytest.mark.parametrize("source, cause_class, texts", REFUSALS)
def test_a_constant_of_another_type_than_its_value_is_refused(compiler, source, cause_class, texts):
    with pytest.raises(CompilationException, match='^Pass "CodeResolvingPass" failed.$') as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause).__name__ == cause_class
    assert isinstance(cause, TypeError if cause_class == "ConstantTypeException" else ValueError)
    text = str(cause)
    assert all(part in text for part in texts), text


def test_the_refusals_hold_under_optimisation(refusals_hold_under_optimisation):
    refusals_hold_under_optimisation(source for source, *_ in REFUSALS)
