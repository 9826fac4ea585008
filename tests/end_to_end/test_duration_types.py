"""Durations as OpenQASM types them: exact lengths of time, held in clock cycles of 4 ns, cut to
whole cycles only where a delay receives them; and never numbers, nor numbers durations."""

import math

import pytest

from corvane import CompilationException

# (program, outcomes or input values, waits on d1 in order, results saved)
RUNS = [
    # Sums, multiples and ratios lose no time: 10ns is 2.5 cycles, also in a variable.
    ("duration a = 10ns; delay[a + a] $1;", None, [5], None),
    ("duration d = 10ns; d = d + 10ns; delay[d] $1;", None, [5], None),
    ("duration d = 10ns; d += 10ns; delay[d] $1;", None, [5], None),
    ("for int i in [1:4] { delay[i * 10ns] $1; }", None, [2, 5, 7, 10], None),
    ("duration a = 6ns; delay[10 * a] $1;", None, [15], None),
    ("duration a = 6ns; delay[a * 10] $1; delay[a / 0.1] $1; delay[-a * -2] $1;", None, [15, 15, 3], None),
    ("delay[100ns / 2] $1; delay[10ns + 10ns] $1;", None, [12, 5], None),
    # A real count is read from the decimal as written: 4.02us lasts as long as 4020ns.
    ("delay[4.02us] $1; delay[4020ns] $1; delay[0.1ms] $1; delay[0.3ns * 40] $1;", None, [1005, 1005, 25000, 3],
     None),
    ("output duration d; d = 4.02us + 1.5ns;", None, [], {"d": [1005.375]}),
    # 1dt is 1ns, a quarter of a cycle; a delay cuts toward zero, once.
    ("delay[1dt] $1; delay[4dt] $1; delay[3ns] $1; delay[7ns] $1;", None, [0, 1, 0, 1], None),
    ("duration d = 1dt; delay[d * 8] $1;", None, [2], None),
    # Stretches, arrays of durations and loops over durations are durations.
    ("stretch s = 10ns; delay[2 * s] $1;", None, [5], None),
    ("array[duration, 2] a = {10ns, 30ns}; delay[a[0] + a[1]] $1;", None, [10], None),
    ("for duration t in [0ns:10ns:30ns] { delay[t] $1; }", None, [0, 2, 5, 7], None),
    ("for duration t in {10ns, 1us} { delay[t] $1; }", None, [2, 250], None),
    # No shortcut turns a duration into a number or drops one.
    ("duration d = 10ns; delay[d * 0] $1; delay[0 * 100ns] $1; delay[d * 1] $1; delay[d / 1] $1;", None,
     [0, 0, 2, 2], None),
    # A host gives a duration in clock cycles; an output is saved in them.
    ("input duration d; delay[d * 2] $1;", {"d": [2.5]}, [5], None),
    ("output duration d; d = 10ns + 1dt;", None, [], {"d": [2.75]}),
    # Two durations divide into a number; comparisons read the exact durations.
    ("duration a = 10ns; output float r; r = a / 4ns;", None, [], {"r": [2.5]}),
    ("duration one_ns = 1ns; duration a = 500ns; output float a_in_ns; a_in_ns = a / one_ns;", None, [],
     {"a_in_ns": [500.0]}),
    ("duration a = 2ns; output bool b; b = a == 0ns;", None, [], {"b": [False]}),
    ("duration a = 2ns; output bool b; b = a > 1dt;", None, [], {"b": [True]}),
    ("duration d = 10ns; output int n; n = 0; while (d < 25ns) { d = d + 5ns; n = n + 1; }", None, [],
     {"n": [3]}),
    ("duration d = 10ns; output int n; n = 0; if (d == 2.5 * 4ns) { n = 1; }", None, [], {"n": [1]}),
    # Inside a switch case body, which translation alone computes.
    ("int i = 1; duration d = 6ns; switch (i) { case 1 { delay[d + 10ns + 10ns] $1; } }", None, [6], None),
]


@pytest.mark.parametrize("source, inputs, waits, results", RUNS)
def test_durations_are_exact_until_a_delay_uses_them(run, source, inputs, waits, results):
    outcome = run(source, inputs=inputs)
    assert [operation[1] for operation in outcome.played() if operation[0] == "wait"] == waits
    # Whole cycles, as the machine counts them.
    assert all(type(operation[1]) is int for operation in outcome.played() if operation[0] == "wait")
    if results is not None:
        assert {name: outcome.results[name] for name in results} == results


def test_a_duration_is_held_in_cycles_and_cut_where_the_delay_receives_it(compile_text):
    lines = compile_text("duration d = 10ns; delay[100ns] $1; delay[10ns] $1; delay[d] $1;").splitlines()
    assert lines[2:6] == ["v1 = 2.5", 'wait(25, "d1")', 'wait(2, "d1")', 'wait(to_int(v1), "d1")']


@pytest.mark.parametrize(
    "source",
    [
        "duration t = 30ns; rx(2 * pi * 10 * (t / 1us)) $1;",
        "duration t = 0ns; for int i in [1:3] { t = t + 10ns; } rx(2 * pi * 10 * (t / 1us)) $1;",
        "rx(2 * pi * 10 * (30ns / 1us)) $1;",
    ],
)
def test_a_ratio_of_durations_turns_by_its_exact_value(run, source):
    [(operation, angle, element)] = run(source).played()
    assert (operation, element) == ("frame_rotation", "d1") and math.isclose(angle, 0.6 * math.pi)


@pytest.mark.parametrize(
    "source, angles",
    [
        # A gate takes the ratio of two durations, a number.
        ("gate g(t) a { rx(t) a; } duration d = 10ns; g(d / 4ns) $1;", [2.5]),
        # A name that hides a duration is a number while it does, and a branch's ends with it.
        ("gate g(t) a { rx(t) a; } duration d = 10ns; { int d = 2; g(d) $1; } int k = 3; "
         "if (k > 1) { duration k = 1ns; } else { g(k) $1; } g(k) $1;", [2.0, 3.0]),
        ("gate g(t) a { rx(t / 2) a; } duration t = 4ns; gate k(t) a { g(t) a; } k(3) $1;", [1.5]),
    ],
)
def test_a_gate_takes_numbers_beside_durations(run, source, angles):
    assert [angle for _, angle, _ in run(source).played()] == angles


DURATION = "DurationTypeException"
GIVEN = "duration d = 10ns; "

# (program, the class of the cause, what its text must hold)
REFUSALS = [
    # A duration where a number is expected.
    ("rx(100ns) $1;", DURATION, ["gate call rx", "takes a number", "100.0ns is a duration"]),
    ("gphase(20ns);", DURATION, ["gphase", "takes a number", "20.0ns is a duration"]),
    ("sqrt(100ns);", DURATION, ["function sqrt", "takes a number", "100.0ns is a duration"]),
    # ... also to the program's own gate, used or not, where the call is expanded.
    ("gate g(t) a { rx(t) a; } " + GIVEN + "g(d) $1;", DURATION,
     ["call of the gate g", "the duration d for its parameter t"]),
    ("gate g(t) a { x a; } g(10ns) $1;", DURATION, ["call of the gate g", "duration 10.0ns for its parameter t"]),
    ("gate g(t) a { rx(t) a; } g(10ns) $1;", DURATION, ["call of the gate g", "10.0ns for its parameter t"]),
    ("gate g(s, t) a { rx(s) a; } g(1, 2 * (1us - 10ns)) $1;", DURATION, ["gate g", "2 * (1.0us - 10.0ns)", "t"]),
    ("gate g(t) a { rx(t) a; } array[duration, 2] ds; g(-ds[1]) $1;", DURATION, ["gate g", "duration -ds[1]"]),
    ("gate g(t) a { rx(t) a; } stretch s; { int k = 1; g(k) $1; } g(s) $1;", DURATION, ["gate g", "duration s"]),
    ("gate g(t) a { rx(t) a; } for duration u in [0ns:4ns:8ns] { g(u) $1; }", DURATION, ["gate g", "duration u"]),
    ("gate g(t) a { rx(t) a; } int d; if (true) { duration d = 1ns; } else { d = 1; } "
     "if (true) { duration d = 2ns; g(d) $1; }", DURATION, ["gate g", "duration d"]),
    ("gate g(t) a { rx(t) a; } gate k(u) a { g(u) a; } k(10ns) $1;", DURATION, ["gate k", "10.0ns for its parameter u"]),
    ("int i = 100ns;", DURATION, ["assignment to i", "100.0ns is a duration"]),
    (GIVEN + "int i = int(d);", DURATION, ["int(d)", "the duration d", "casting from a duration"]),
    (GIVEN + "float f = float(d);", DURATION, ["float(d)", "the duration d"]),
    ("bool b = bool(100ns);", DURATION, ["bool(100.0ns)", "the duration 100.0ns"]),
    (GIVEN + "float f = d;", DURATION, ["assignment to f", "d is a duration"]),
    (GIVEN + "bit[2] c; c = d;", DURATION, ["assignment to c", "d is a duration"]),
    (GIVEN + "array[int, 2] a; a[0] = d;", DURATION, ["assignment to a[0]", "d is a duration"]),
    ("array[duration, 2] a = {10ns, 20ns}; array[float, 2] f; f = a;", DURATION, ["assignment to f", "a is a duration"]),
    ("int i = 100ns + 4;", DURATION, ["100.0ns + 4", "adds the duration 100.0ns and the number 4"]),
    (GIVEN + "d = d - 1;", DURATION, ["d - 1", "the duration d and the number 1"]),
    ("float f = 100ns * 100ns;", DURATION, ["100.0ns * 100.0ns", "multiplies the durations"]),
    ("float f = 2 / 100ns;", DURATION, ["2 / 100.0ns", "divides the number 2 by the duration 100.0ns"]),
    (GIVEN + "if (d) { x $1; }", DURATION, ["condition of the if statement", "d is a duration"]),
    (GIVEN + "while (d) { x $1; }", DURATION, ["condition of the while loop", "d is a duration"]),
    (GIVEN + "if (d > 5) { x $1; }", DURATION, ["d > 5", "compares the duration d with the number 5"]),
    (GIVEN + "bool b = !d;", DURATION, ["!d", "negates the duration d"]),
    (GIVEN + "int k = d << 1;", DURATION, ["d << 1", "the duration d"]),
    ("switch (100ns) { case 1 { x $1; } }", DURATION, ["target of the switch", "100.0ns is a duration"]),
    ("int i = 1; switch (i) { case 100ns { x $1; } }", DURATION, ["case value of the switch on i", "100.0ns"]),
    ("for int i in [0:100ns] { x $1; }", DURATION, ["range of the loop over i", "100.0ns is a duration"]),
    ("for int i in [0:10ns:100] { x $1; }", DURATION, ["range of the loop over i", "10.0ns is a duration"]),
    ("array[int, 2] a; int k = a[10ns];", DURATION, ["index 10.0ns of a", "is a duration"]),
    (GIVEN + "array[int, 2] a; a[d] = 1;", DURATION, ["index of a", "d is a duration"]),
    # A number where a duration is expected.
    ("delay[100] $1;", DURATION, ["delay on $1", "100 is a number", "time unit"]),
    ("int i = 3; delay[i] $1;", DURATION, ["delay on $1", "i is a number"]),
    ("int i = 1; switch (i) { case 1 { delay[40] $1; } }", DURATION, ["delay on $1", "40 is a number"]),
    ("box[100] { x $1; }", DURATION, ["box takes a duration", "100 is a number"]),
    ("duration d = 100;", DURATION, ["assignment to d", "100 is a number"]),
    ("stretch s; s = 2.5;", DURATION, ["assignment to s", "2.5 is a number"]),
    ("duration d = 100ns + 5;", DURATION, ["100.0ns + 5", "adds the duration 100.0ns and the number 5"]),
    ("delay[100ns / 50ns] $1;", DURATION, ["delay on $1", "100.0ns / 50.0ns is a number"]),
    ("array[duration, 2] a = {10ns, 4};", DURATION, ["{10.0ns, 4}", "the duration 10.0ns and the number 4"]),
    ("array[duration, 2] a = {1, 2};", DURATION, ["assignment to a", "is a number"]),
    ("for duration t in [0:10] { delay[t] $1; }", DURATION, ["range of the loop over t", "0 is a number"]),
    ("for duration t in [0ns:8ns] { delay[t] $1; }", DURATION,
     ["loop over t [0.0ns:8.0ns]", "has no step", "needs a duration step"]),
    ("for stretch t in [8ns:0ns] { delay[t] $1; }", DURATION, ["loop over t", "needs a duration step"]),
    ("for duration t in {10ns, 4} { delay[t] $1; }", DURATION, ["for loop over t", "4 is a number"]),
    ("for int i in {1, 10ns} { x $1; }", DURATION, ["for loop over i", "10.0ns is a duration"]),
    (GIVEN + "d = measure $1;", DURATION, ["measurement of $1 into d", "d holds a duration"]),
    # A duration or number too large to hold.
    ("delay[100ns * 1e308 * 10] $1;", "ValueOutOfRangeException", ["100.0ns * 1e+308", "too large to be held"]),
    ("rx(1e308 * 10) $1;", "ValueOutOfRangeException", ["inf", "too large to be held"]),
    ("delay[1e308s] $1;", "ValueOutOfRangeException", ["duration 1e+308s", "too large to be held"]),
    ("int i = 1; switch (i) { case 1 { rx(1e308 * 10) $1; } }", "ValueOutOfRangeException",
     ["1e+308 * 10", "too large to be held"]),
    # Still refused as before: a negative delay, a zero divisor.
    ("delay[10ns - 20ns] $1;", "NegativeDurationException", ["delay on $1", "10.0ns - 20.0ns"]),
    (GIVEN + "d = d / (5ns - 5ns);", "DivisionByZeroException", ["d / (5.0ns - 5.0ns)"]),
]


@pytest.mark.parametrize("source, cause_class, texts", REFUSALS)
def test_durations_and_numbers_do_not_mix(compiler, source, cause_class, texts):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause).__name__ == cause_class
    assert isinstance(cause, TypeError if cause_class == DURATION else (ValueError, ArithmeticError))
    for text in texts:
        assert text in str(cause)


def test_the_refusals_hold_under_optimisation(causes_under_optimisation):
    output = causes_under_optimisation(source for source, *_ in REFUSALS)
    assert len(output) == len(REFUSALS)
    for line, (source, cause_class, texts) in zip(output, REFUSALS):
        assert line.split(" ", 1)[0] == cause_class, source
        assert all(text in line for text in texts), source


def test_the_arguments_of_u_are_numbers(compiler_with, python_subprocess):
    source = "U(12dt, 0, 0) $1;"
    profile_operation = {"U(a, b, c) q;": lambda a, b, c, qubit: None}
    with pytest.raises(CompilationException) as raised:
        compiler_with(**profile_operation).compile(source)
    assert type(raised.value.__cause__).__name__ == DURATION
    assert "gate call U takes a number, but 12.0dt is a duration" in str(raised.value.__cause__)
    assert compiler_with(**profile_operation).compile("U(12dt / 4ns, 0, 0) $1;")
    output = python_subprocess(
        f"""
        from corvane import Compiler, CompilationException, MachineProfile
        profile = MachineProfile({{"U(a, b, c) q;": lambda a, b, c, qubit: None}}, {{1: ("d1",)}})
        try:
            Compiler(profile).compile({source!r})
        except CompilationException as error:
            print(type(error.__cause__).__name__)
        """,
        "-O",
    )
    assert output.split() == [DURATION]
