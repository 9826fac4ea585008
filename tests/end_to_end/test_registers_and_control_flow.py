import textwrap

import pytest

from corvane import CompilationException
from vyr_runner import run_program

PROGRAM = """
OPENQASM 3.0;
qubit[3] data;
qubit flag;
bit m;
int count = 0;
h $4;
for int i in [0:2] {
    x data[0];
    cx data[1], data[2];
    count += i;
}
x flag;
cx data, $4;
m = measure data[2];
if (m) { x data[1]; } else { h data[1]; }
switch (count) {
    case 0 { x $3; }
    case 1, 2 { h $3; }
    default { reset $3; }
}
while (count > 0) { count = count - 1; }
for int j in {1, 5} { rx(j * 0.5) $0; }
"""


def test_registers_beside_explicit_qubits_and_nested_control_flow(compile_text):
    # $0, $3 and $4 are named explicitly; the registers take the free qubits in
    # declaration order: data on 1, 2, 5 and flag on 6. `cx data, $4` runs once
    # per qubit of data.
    assert compile_text(PROGRAM) == textwrap.dedent(
        """\
        declare stream s1
        declare bool v1 = false
        declare stream s2
        declare int v2 = 0
        v2 = 0
        play("h", "d4")
        declare int v3 = 0
        for (v3 = 0; v3 <= 2; v3 = v3 + 1):
            play("x", "d1")
            align("d2", "d5")
            play("cx", "d2")
            align("d2", "d5")
            v2 = v2 + v3
        play("x", "d6")
        align("d1", "d4")
        play("cx", "d1")
        align("d1", "d4")
        align("d2", "d4")
        play("cx", "d2")
        align("d2", "d4")
        align("d4", "d5")
        play("cx", "d5")
        align("d4", "d5")
        declare bool v4 = measure("readout", "d5")
        v1 = v4
        if v1:
            play("x", "d2")
        else:
            play("h", "d2")
        switch v2:
            case 0:
                play("x", "d3")
            case 1:
                play("h", "d3")
            case 2:
                play("h", "d3")
            default:
                play("reset", "d3")
        while v2 > 0:
            v2 = v2 - 1
        declare int v5 = 0
        for v5 in [1, 5]:
            align("d0", "r0")
            frame_rotation(v5 * 0.5, "d0")
            align("d0", "r0")
        save v1 to s1
        save v2 to s2
        stream processing:
            s1.save_all("m")
            s2.save_all("count")"""
    )


@pytest.mark.parametrize(
    "source, expected",
    [
        # A range gives a counting loop, a discrete set a loop over its values.
        ("input int n; for int i in [0:1] { x $1; } for int k in {3} { x $2; }",
         ["declare input stream int n = 0", "advance input stream n",
          "declare int v1 = 0", "for (v1 = 0; v1 <= 1; v1 = v1 + 1):", '    play("x", "d1")',
          "declare int v2 = 0", "for v2 in [3]:", '    play("x", "d2")']),
        # A loop over an array variable walks the array itself.
        # (Beside the input and no output, the array is an output, saved cell by cell.)
        ("input int n; array[int[8], 2] a; for int v in a { x $1; }",
         ["declare input stream int n = 0", "advance input stream n", "declare stream s1",
          "declare int[2] v1 = [0, 0]", "declare int v2 = 0", "for v2 in v1:", '    play("x", "d1")',
          "declare int v3", "for (v3 = 0; v3 < 2; v3 = v3 + 1):", "    save v1[v3] to s1", "stream processing:",
          '    s1.save_all("a")']),
        # Braced blocks and boxes lower their statements in place.
        ("{ x $1; } box { x $2; }", ['play("x", "d1")', 'play("x", "d2")']),
    ],
)
def test_loops_and_blocks(compile_text, source, expected):
    assert compile_text(source).splitlines() == expected


def test_anonymous_loop_variables_are_numbered_per_compilation(compiler):
    source = "input int n; for int _ in [0:1] { for int _ in {3} { x $2; } } for int _ in {4} { x $1; }"
    for _ in range(2):
        names = [key.name for key in compiler.compile(source).result_program.variables_db]
        assert names == ["n", "_0", "_1", "_2"]


@pytest.mark.parametrize(
    "source, error",
    [
        ("qubit[8] q; x q[0];", "TooManyRequiredQubitsException"),
        ("qubit[2] q; int i; x q[i];", "AssertionError"),
    ],
)
def test_register_errors(compiler, source, error):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    assert type(raised.value.__cause__).__name__ == error


@pytest.mark.parametrize(
    "loop, values",
    [
        ("[0:2]", [0, 1, 2]),
        ("[1:3:8]", [1, 4, 7]),
        ("[4:-2:0]", [4, 2, 0]),
        ("[3:-1:-1]", [3, 2, 1, 0, -1]),
        ("[0:-1:2]", []),
        ("[2:1:0]", []),
    ],
)
def test_range_loops_run_from_start_to_end_in_the_direction_of_the_step(compiler, loop, values):
    source = f"for int j in {loop} {{ rx(j) $1; }}"
    run = run_program(compiler.compile(source).result_program.dsl_program)
    assert run.played() == [("frame_rotation", value, "d1") for value in values]


@pytest.mark.parametrize("step, values", [(2, [0, 2, 4]), (-2, []), (0, [])])
def test_a_step_known_at_run_time_goes_either_way(compiler, step, values):
    upward = compiler.compile("input int s; for int j in [0:s:4] { rx(j) $1; }").result_program.dsl_program
    assert run_program(upward, inputs={"s": [step]}).played() == [("frame_rotation", v, "d1") for v in values]
    downward = compiler.compile("input int s; for int j in [4:s:0] { rx(j) $1; }").result_program.dsl_program
    expected = [4, 2, 0] if step < 0 else []
    assert run_program(downward, inputs={"s": [step]}).played() == [("frame_rotation", v, "d1") for v in expected]


def test_a_zero_step_is_refused(compiler):
    with pytest.raises(CompilationException) as raised:
        compiler.compile("const int none = 0; for int j in [0:none:4] { rx(j) $1; }")
    assert type(raised.value.__cause__) is ValueError
    assert str(raised.value.__cause__) == "The range of the loop over 'j' has the step 0, so it would never end."
