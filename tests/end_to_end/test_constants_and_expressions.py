"""Constants, block scope, divisions and indices end to end: what is refused says
what is wrong in the program, and what is sound still runs as written."""

import json

import pytest

from corvane import CompilationException


def u(theta, phi, lam, qubit):
    """A rotation that plays nothing."""


@pytest.fixture(scope="module")
def compiler(compiler_with):
    return compiler_with(**{"U(a, b, c) q;": u})


RESOLVING = "CodeResolvingPass"
GENERATION = "Vyr1GenerationPass"

# (program, phase that refuses it, class of the cause, texts its message holds)
REFUSALS = [
    # A declaration under a predefined constant's name, wherever it stands.
    ("input float euler; qubit q; U(euler, 0, 0) q;", RESOLVING, "RedeclarationException",
     ["'euler'", "predefined constant"]),
    ("output int tau; tau = 1;", RESOLVING, "RedeclarationException", ["'tau'", "predefined constant"]),
    ("qubit pi; x pi;", RESOLVING, "RedeclarationException", ["'pi'", "predefined constant"]),
    ("for int π in [0:1] { x $1; }", RESOLVING, "RedeclarationException", ["'π'", "predefined constant"]),
    ("if (true) { float ℇ = 1.0; }", RESOLVING, "RedeclarationException", ["'ℇ'", "predefined constant"]),
    # A constant's name declared again at the top level.
    ("const int n = 3; int n = 5;", RESOLVING, "RedeclarationException", ["'n'", "constant"]),
    ("const int n = 1; const int n = 2;", RESOLVING, "RedeclarationException", ["The constant 'n'"]),
    ("output int r; { const int k = 1; const int k = 2; r = k; }", RESOLVING, "RedeclarationException",
     ["The constant 'k' is already declared in this scope."]),
    # A constant under the name of a variable of its own block: the refusal says what the name is.
    ("output int r; int x = 1; const int x = 5;", RESOLVING, "RedeclarationException",
     ["'x' is already declared as a variable in this scope"]),
    ("input int x; const int x = 5;", RESOLVING, "RedeclarationException", ["'x' is already declared as an input"]),
    # A constant whose value is known only when the program runs.
    ("output int r; int a = 3; const int k = a + 1; a = 10; r = k;", RESOLVING, "UnknownConstantValueException",
     ["The value of the constant 'k' reads the variable 'a'", "known at compile time"]),
    ("input int n; const int k = n * 2;", RESOLVING, "UnknownConstantValueException",
     ["constant 'k' reads the input 'n'"]),
    ("qubit q; const int k = q;", RESOLVING, "UnknownConstantValueException", ["constant 'k' reads the qubit 'q'"]),
    ("const int k = $1;", RESOLVING, "UnknownConstantValueException", ["constant 'k' reads the qubit '$1'"]),
    ("const int k = m + 1;", RESOLVING, "UnknownConstantValueException",
     ["constant 'k' reads 'm', which is no constant"]),
    ("output int r; for int i in [0:2] { const int k = i; r += k; }", RESOLVING, "UnknownConstantValueException",
     ["constant 'k' reads the loop variable 'i'"]),
    # A number divided by a duration, and plain zero divisors.
    ("int n = 3; duration d = n / 3ns;", GENERATION, "DurationTypeException",
     ["n / 3.0ns", "divides the number n by the duration 3.0ns"]),
    ("int x = 1 / 0;", GENERATION, "DivisionByZeroException", ["Division by zero: 1 / 0"]),
    ("int y = 3; int x = y / 0;", GENERATION, "DivisionByZeroException", ["Division by zero: y / 0"]),
    ("const int z = 0; float f = 2.5; f = f / z;", GENERATION, "DivisionByZeroException", ["Division by zero: f / 0"]),
    ("int y = 3; rx(y / 0.0) $1;", GENERATION, "DivisionByZeroException", ["Division by zero: y / 0.0"]),
    ("int x = 1 << -1;", GENERATION, "ValueError", ["1 << -1"]),
    # A constant where the program assigns a variable.
    ("const int c = 1; c = 2;", RESOLVING, "ConstantMisuseException", ["The constant 'c' cannot be assigned."]),
    ("const int c = 1; c += 1;", RESOLVING, "ConstantMisuseException", ["The constant 'c' cannot be assigned."]),
    ("const int c = 1; c[0] = 1;", RESOLVING, "ConstantMisuseException", ["The constant 'c' cannot be assigned."]),
    ("const bit c = 1; c = measure $1;", RESOLVING, "ConstantMisuseException",
     ["The constant 'c' cannot be assigned."]),
    ("const int c = 1; if (true) { c = 2; }", RESOLVING, "ConstantMisuseException",
     ["The constant 'c' cannot be assigned."]),
    # ... or a qubit, a gate or a function.
    ("const int q = 1; x q;", RESOLVING, "ConstantMisuseException", ["'q' is a constant, not a qubit."]),
    ("const int q = 1; bit b = measure q;", RESOLVING, "ConstantMisuseException",
     ["'q' is a constant, not a qubit."]),
    ("const int x = 1; x $1;", RESOLVING, "ConstantMisuseException", ["'x' is a constant, not a gate."]),
    ("const float sin = 1.0; float f = sin(0.5);", RESOLVING, "ConstantMisuseException",
     ["'sin' is a constant, not a function."]),
    ("const int c = 5; int x = c[0];", RESOLVING, "NotImplementedError", ["constant c", "c[0]"]),
    # Slices where one index is expected.
    ("array[int, 2] a; int x = a[0:1];", GENERATION, "NotImplementedError",
     ["Slices are not lowered: a[0:1]"]),
    ("array[int, 4] a; a[1] = a[0:2:3];", GENERATION, "NotImplementedError", ["Slices are not lowered: a[0:2:3]"]),
    ("bit[2] b; b[0:1] = 1;", GENERATION, "NotImplementedError", ["Slices are not lowered: b[0:1]"]),
    ("qubit[2] q; bit[2] b; b[0:1] = measure q[0:1];", GENERATION, "NotImplementedError",
     ["Slices", "not lowered", "q[0:1]"]),
    # A qubit read as a value; the register mapping has put its hardware qubit in its place.
    ("int x = $1;", GENERATION, "InvalidOperandException", ["A qubit cannot be used as a value: $1"]),
    ("qubit q; int x = q + 1;", GENERATION, "MisusedQubitRegisterException", ["'q'", "as a classical variable"]),
    ("array[int, 2] a; int x = a[1][0];", GENERATION, "NotImplementedError", ["a[1][0]"]),
    # A constant index outside the cells names the program's array.
    ("array[int, 3] a = {1, 2, 3}; int x = a[3];", GENERATION, "IndexError",
     ["Index 3 is out of range for the array 'a' of 3 cells."]),
    ("array[int, 3] a = {1, 2, 3}; a[-4] = 1;", GENERATION, "IndexError",
     ["Index -4 is out of range for the array 'a' of 3 cells."]),
    ("const int k = 5; array[bool, 2] a; bool b = a[k - 8];", GENERATION, "IndexError",
     ["Index -3 is out of range for the array 'a' of 2 cells."]),
    ("bit[3] c; c[3] = measure $1;", GENERATION, "IndexError",
     ["Index 3 is out of range for the bit register 'c' of 3 bits."]),
    ("bit[2] c; int x = c[-3] + 1;", GENERATION, "IndexError", ["Index -3", "bit register 'c' of 2 bits"]),
    ("array[int, 3] a = {1, 2, 3}; int x = a[1.5];", GENERATION, "TypeError",
     ["The index 1.5 of the array 'a' is not an integer."]),
    ("array[int, 3] a = {1, 2, 3}; float f = 1.0; a[f] = 2;", GENERATION, "TypeError",
     ["The index of the array 'a' is not an integer expression."]),
    # A compound assignment without a binary operator.
    ("int x = 0; x ~= 1;", RESOLVING, "NotImplementedError", ["x ~= 1", "~="]),
]


def cause_of(compiler, source):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    return str(raised.value), raised.value.__cause__


@pytest.mark.parametrize("source, phase, cause_class, texts", REFUSALS)
def test_refusals_name_what_is_wrong(compiler, source, phase, cause_class, texts):
    message, cause = cause_of(compiler, source)
    assert message == f'Pass "{phase}" failed.'
    assert type(cause).__name__ == cause_class
    text = str(cause)
    for part in texts:
        assert part in text
    assert "switch" not in text and "has no attribute" not in text


def test_refusals_hold_under_optimisation(python_subprocess):
    # Not one of them is an assertion that -O would skip.
    sources = [source for source, *_ in REFUSALS]
    output = python_subprocess(
        f"""
        import json
        from corvane import Compiler, CompilationException, MachineProfile
        def x(qubit): pass
        def rx(theta, qubit): pass
        def u(a, b, c, qubit): pass
        def measure(qubit): return False
        profile = MachineProfile(
            {{"x q;": x, "rx(t) q;": rx, "measure q;": measure, "U(a, b, c) q;": u}},
            {{n: (f"d{{n}}",) for n in range(7)}},
        )
        compiler = Compiler(profile)
        for source in json.loads({json.dumps(json.dumps(sources))}):
            try:
                compiler.compile(source)
                print("compiled")
            except CompilationException as error:
                print(type(error.__cause__).__name__, str(error.__cause__).replace("\\n", " "))
        """,
        "-O",
    )
    lines = output.splitlines()
    assert len(lines) == len(REFUSALS)
    for line, (_, _, cause_class, texts) in zip(lines, REFUSALS):
        assert line.split(" ", 1)[0] == cause_class
        assert all(part in line for part in texts)


# (program, inputs, results saved, operations played)
RUNS = [
    # A variable declared in a block hides the constant until the block ends.
    ("const int n = 3; output int r; output int s; if (true) { int n = 5; r = n; } s = n;",
     None, {"r": [5], "s": [3]}, []),
    ("const int n = 3; output int r; output int s; input bool c; if (c) { int n = 5; r = n; } else { s = n; }",
     {"c": [False]}, {"r": [0], "s": [3]}, []),
    ("const int n = 3; output int r; if (true) { r = n; int n = 4; r = r + n; }", None, {"r": [7]}, []),
    ("const int n = 2; output int r; if (true) { int n = n + 1; r = n; }", None, {"r": [3]}, []),
    ("const int n = 3; output int r; output int s; int k = 0; while (k < 1) { int n = 7; r = n; k += 1; } s = n;",
     None, {"r": [7], "s": [3]}, []),
    ("const int n = 3; output int r; output int s; { int n = 9; r = n; } s = n;", None, {"r": [9], "s": [3]}, []),
    ("const int n = 3; output int r; output int s; box { int n = 9; r = n; } s = n;", None,
     {"r": [9], "s": [3]}, []),
    ("const int n = 3; output int r; int i = 1; switch (i) { case 0 { } default { int n = 7; r = n; } } r = r + n;", None,
     {"r": [10]}, []),
    # A loop variable hides it in the loop; the range still reads the constant.
    ("const int n = 3; output int r; for int n in [0:n] { r += n; } r += n;", None, {"r": [9]}, []),
    ("const int n = 3; output int r; for int i in [0:1] { int n = i; r += n; } r += n;", None, {"r": [4]}, []),
    # A constant used in a block that declares other names.
    ("const int n = 3; output int r; if (true) { int m = 2; r = n + m; }", None, {"r": [5]}, []),
    ("const int c = 1; output int r; if (true) { int c = 0; c = 2; r = c; } r = r + c;", None, {"r": [3]}, []),
    # A gate's parameter named like a constant is the gate's own.
    ("gate g(pi) a { rx(pi) a; } g(0.5) $1; rx(pi) $2;", None, {},
     [("frame_rotation", 0.5, "d1"), ("frame_rotation", 3.141592653589793, "d2")]),
    ("const float t = 0.25; gate g(t) a { rx(t) a; } g(0.5) $1; rx(t) $2;", None, {},
     [("frame_rotation", 0.5, "d1"), ("frame_rotation", 0.25, "d2")]),
    # A constant is a value of its block: sibling blocks have their own, an inner one hides an
    # outer constant or variable until its block ends.
    ("output int r; { const int K = 5; r = K; } { const int K = 7; r = r + K; }", None, {"r": [12]}, []),
    ("output int r; output int s; int x = 1; { const int x = 5; r = x; } s = x;", None,
     {"r": [5], "s": [1]}, []),
    ("const int n = 3; output int r; output int s; if (true) { const int n = n + 1; r = n; } s = n;", None,
     {"r": [4], "s": [3]}, []),
    ("output int r; input bool c; if (c) { const int k = 1; r = k; } else { const int k = 2; r = k; }",
     {"c": [False]}, {"r": [2]}, []),
    ("output int r; for int i in [0:2] { const int k = 10; r += i + k; }", None, {"r": [33]}, []),
    # A constant's value may call math functions of constants; folding computes it.
    ("const float s = sin(pi / 2); const float t = 2 * s; output float r; r = t;", None, {"r": [2.0]}, []),
    # A gate's body reads the top-level constants, never those of the block where it is called.
    ("const float t = 0.25; gate g a { rx(t) a; } if (true) { const float t = 0.5; g $1; rx(t) $2; }", None, {},
     [("frame_rotation", 0.25, "d1"), ("frame_rotation", 0.5, "d2")]),
    # Constants as case values.
    ("output int r; const int A = 0; const int B = 1; int i = 1; switch (i) { case A { r = 5; } case B { r = 6; } }",
     None, {"r": [6]}, []),
    ("output int r; const int A = 1; int i = 2; switch (i) { case A + 1, A + 2 { r = 5; } default { r = 6; } }",
     None, {"r": [5]}, []),
    # Ordinary divisions, and durations of whole clock cycles: two integers divide
    # as integers, floored, any real operand makes it true division.
    ("output float r; int a = 7; r = a / 2;", None, {"r": [3]}, []),
    ("output float r; float a = 7; r = a / 2;", None, {"r": [3.5]}, []),
    ("output float r; int a = 7; r = a / 2.0;", None, {"r": [3.5]}, []),
    ("output float r; input float a; r = a / 0.5;", {"a": [1.5]}, {"r": [3.0]}, []),
    ("output int r; int a = 0; r = a / 4;", None, {"r": [0]}, []),
    ("duration d = 1000dt; output float r; r = d / 4ns;", None, {"r": [250.0]}, []),
    ("output int r; int a = 7; r = -7 / 2 + a;", None, {"r": [3]}, []),
    # Constant indices are as good as literals, for qubits and bits alike.
    ("const int i = 1; qubit[3] r; x r[i]; x r[i + 1]; h r[0];", None, {},
     [("play", "x", "d1"), ("play", "x", "d2"), ("play", "h", "d0")]),
    ("const int n = 2; output bit r; bit[2] b; b[n - 1] = 1; r = b[1];", None, {"r": [1]}, []),
    # Single indices.
    ("output int r; array[int, 3] a = {1, 2, 3}; bit[2] b; b[1] = 1; r = a[1] + b[1];", None, {"r": [3]}, []),
    ("output int r; array[int, 3] a = {4, 5, 6}; int i = 2; a[i - 1] = 9; r = a[1] + a[i];", None,
     {"r": [15]}, []),
    # A negative index known when the program is compiled counts from the end.
    ("output int r; array[int, 3] a = {1, 2, 3}; r = a[-1];", None, {"r": [3]}, []),
    ("output int r; array[int, 3] a = {1, 2, 3}; const int k = -1; a[k] = 9; r = a[2] * 10 + a[-3];", None,
     {"r": [91]}, []),
    ("output int r; const int n = 3; array[int, n] a = {1, 2, 3}; r = a[1 - n];", None, {"r": [2]}, []),
    # (the measurement gives false: the runner is given no outcomes)
    ("output bit[3] c; c[-1] = measure $1; c[-3] = !c[-1];", None, {"c": [True, False, False]},
     [("measure", "readout", "d1")]),
    ("output int r; bit[3] c; c[-2] = 1; r = c + c[-2];", None, {"r": [3]}, []),
    # The predefined constants read as their values.
    ("output float r; r = 2 * pi - tau + euler;", None, {"r": [2.718281828459045]}, []),
]


@pytest.mark.parametrize("source, inputs, results, played", RUNS)
def test_sound_programs_run_as_written(run, source, inputs, results, played):
    outcome = run(source, inputs=inputs)
    assert outcome.results == results
    assert outcome.played() == played
