"""Numbers as OpenQASM types them: integers divide as integers, a gate's parameters are real,
a bit register's value keeps its width, and durations are computed in time."""

import pytest


@pytest.mark.parametrize("a", [-9, -7, -6, -1, 0, 1, 5, 7, 9])
@pytest.mark.parametrize("b", [-4, -3, -2, -1, 1, 2, 3, 5])
def test_two_integers_divide_as_folding_floors_them(run, a, b):
    # The divisor as a variable, as a literal, and both folded: one division, one value.
    source = f"""output int by_variable; output int by_literal; output int folded;
    int a = {a}; int b = {b};
    by_variable = a / b; by_literal = a / {b}; folded = {a} / {b};"""
    assert run(source).results == {"by_variable": [a // b], "by_literal": [a // b], "folded": [a // b]}


@pytest.mark.parametrize(
    "source, results, played",
    [
        ("output int r; int n = 6; r = (n / 4) * 4;", {"r": [4]}, []),
        ("int n = 5; rx(n / 2) $1;", {"n": [5]}, [("frame_rotation", 2, "d1")]),
        ("output int r; uint n = 7; bit[2] c = 3; r = n / c;", {"r": [2]}, []),
        ("output int r; bool t = true; r = t / 2;", {"r": [0]}, []),
        # A real operand makes it true division.
        ("output float r; float n = 3; r = n / 2;", {"r": [1.5]}, []),
        ("output float r; int n = 3; r = n / 2.0;", {"r": [1.5]}, []),
        ("output float r; int n = 3; r = float(n) / 2;", {"r": [1.5]}, []),
        ("rx(3 / 2) $1;", {}, [("frame_rotation", 1, "d1")]),
    ],
)
def test_divisions_run_as_their_operands_type_them(run, source, results, played):
    result = run(source)
    assert result.results == results and result.played() == played


@pytest.mark.parametrize(
    "source, angle",
    [
        ("gate g(t) q { rx(t / 2) q; } g(3) $1;", 1.5),
        ("int n = 3; gate g(t) q { rx(t / 2) q; } g(n) $1;", 1.5),
        ("gate g(t) q { rx(t / 2) q; } gate h2(a) q { g(a) q; } h2(3) $1;", 1.5),
        ("gate g(t) q { rx((t + 1) / 2) q; } g(2) $1;", 1.5),
        ("gate g(t) q { rx(t / 2) q; } g(true) $1;", 0.5),
        # A float argument, and an argument that divides integers before it becomes the angle.
        ("gate g(t) q { rx(t / 2) q; } g(3.0) $1;", 1.5),
        ("gate g(t) q { rx(t) q; } g(3 / 2) $1;", 1.0),
        ("gate g(t) q { rx(t) q; } gate h2(a) q { g(a / 2) q; } h2(3) $1;", 1.5),
    ],
)
def test_a_gate_parameter_is_real_whatever_its_argument(run, source, angle):
    assert run(source).played() == [("frame_rotation", angle, "d1")]


def test_an_input_integer_passed_to_a_gate_divides_as_a_real(run):
    source = "input int n; gate g(t) q { rx(t / 2) q; } g(n) $1;"
    assert run(source, inputs={"n": [3]}).played() == [("frame_rotation", 1.5, "d1")]


def test_a_global_phase_in_a_body_takes_a_real_parameter(compiler_with):
    phases = []

    def gphase(theta, *qubits):
        phases.append(theta)

    compiler = compiler_with(gphase=gphase)
    compiler.compile("gate g(t) q { gphase(t / 2); } g(3) $1;")
    assert phases == [1.5]


@pytest.mark.parametrize(
    "source, value",
    [
        # Bits shift off a register's end, and "~" negates each of its bits.
        ("bit[8] a = 143; output int r; r = int(a << 1);", 30),
        ("bit[4] c = 5; output int r; r = int(~c);", 10),
        ("bit[4] c = 12; output int r; r = int(c << 1);", 8),
        ("bit[4] c = 12; output int r; r = int((c << 1) >> 1);", 4),
        ("bit[4] c = 12; output int r; r = int(~(c << 2));", 15),
        ("bit[4] c = 12; output int r; r = (c << 1) + 1;", 9),
        ("bit[2] a = 2; bit[2] b = 0; output int r; if ((a << 1) == b) { r = 1; }", 1),
        # A constant register is a register's value of its width, folded as such.
        ("const bit[4] c = 5; output int r; r = int(~c);", 10),
        ("const bit[4] c = 12; output int r; r = int(c << 1);", 8),
        ("const int n = 4; const bit[n] c = 12; output int r; r = int(c << 1);", 8),
        ('const bit[4] c = "1100"; output int r; r = int(~c);', 3),
        ("const bit[4] c = 12; output int r; r = c + 1;", 13),
        ("const bit[2] c = 7; output int r; r = c;", 3),
        # Bit-string literals fold to a register's value of their own width.
        ('output int r; r = int(~"0101");', 10),
        ('output int r; r = int("1100" << 1);', 8),
        ('output int r; r = ~"0101" << 1;', 4),
        ('output int r; bit[4] c = "0101"; r = c;', 5),
        # An integer keeps every bit.
        ("int k = 12; output int r; r = k << 1;", 24),
    ],
)
def test_a_registers_value_keeps_its_width(run, source, value):
    assert run(source).results["r"] == [value]


@pytest.mark.parametrize(
    "duration, cycles",
    [("10ns + 10ns", 5), ("2 * 50ns", 25), ("50ns * 2", 25), ("100ns - 10ns", 22), ("1us / 3", 83),
     ("(100ns / 50ns) * 10ns", 5), ("10dt + 10dt", 5), ("0.5us + 2ns", 125)],
)
def test_duration_arithmetic_is_computed_in_time(run, duration, cycles):
    assert run(f"qubit q; delay[{duration}] q;").played() == [("wait", cycles, "d0")]
