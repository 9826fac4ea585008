import logging
import textwrap

import pytest

from corvane import BuildOptions, CompilationException
from vyr_runner import run_program

PROGRAM = """
OPENQASM 3.0;
const int n = 2;
const float half = 0.5;
qubit[n] q;
input float theta;
gate flip a { x a; }
gate pair(t) a, b { rx(t * 2) a; flip b; cx a, b; }
pair(half) q[0], q[1];
pair(theta + 1) $3, q[0];
int total = 1;
total += n * 3;
total *= 2;
rx(pi / 2) $3;
rx(2 * 3 + 1 - half) $3;
for int i in [0:n - 1] { flip q[1]; }
"""


def test_gates_constants_compound_assignments_and_folding(compile_text):
    # The register of size n lies on $0 and $1; gate bodies are inlined with
    # their arguments, constants substituted and constant expressions folded.
    assert compile_text(PROGRAM) == textwrap.dedent(
        """\
        declare input stream fixed theta = 0.0
        advance input stream theta
        align("d0", "r0")
        frame_rotation(1.0, "d0")
        align("d0", "r0")
        play("x", "d1")
        align("d0", "d1", "r0")
        play("cx", "d0")
        align("d0", "d1", "r0")
        frame_rotation((theta + 1) * 2, "d3")
        align("d0", "r0")
        play("x", "d0")
        align("d0", "r0")
        align("d0", "d3", "r0")
        play("cx", "d3")
        align("d0", "d3", "r0")
        declare stream s1
        declare int v1 = 0
        v1 = 1
        v1 = v1 + 6
        v1 = v1 * 2
        frame_rotation(1.5707963267948966, "d3")
        frame_rotation(6.5, "d3")
        declare int v2 = 0
        for (v2 = 0; v2 <= 1; v2 = v2 + 1):
            play("x", "d1")
        save v1 to s1
        stream processing:
            s1.save_all("total")"""
    )


def test_skipping_folding_leaves_the_arithmetic_to_expression_translation(compile_text):
    source = "input float a; rx(2 * 3 + a) $1;"
    assert compile_text(source).splitlines()[-1] == 'frame_rotation(6 + a, "d1")'
    skipped = compile_text(source, build_options=BuildOptions(optimizations_to_skip="Fold"))
    assert skipped.splitlines()[-1] == 'frame_rotation(6 + a, "d1")'
    folded = compile_text("input float a; rx(2 * 3 + 0.5) $1;")
    assert folded.splitlines()[-1] == 'frame_rotation(6.5, "d1")'


def test_a_failed_fold_is_tolerated_unless_enforced(compiler, caplog):
    source = "input float a; rx(1 / 0) $1;"
    caplog.set_level(logging.WARNING, "corvane.passes.pipeline_phase")
    with pytest.raises(CompilationException, match="Vyr1GenerationPass") as error:
        compiler.compile(source)
    assert isinstance(error.value.__cause__, ZeroDivisionError)
    assert any("exception on optimization 'FoldingStage'" in record.getMessage() for record in caplog.records)
    with pytest.raises(CompilationException, match="CodeResolvingPass") as error:
        compiler.compile(source, build_options=BuildOptions(optimizations_to_enforce="all"))
    assert type(error.value.__cause__).__name__ == "IllegalMathExpression"


# An operation on constants that folding cannot compute is refused with folding's reason.
FOLDING_REFUSALS = [
    ("float f = sqrt(-1);", "sqrt(-1)"),
    ("float f = log(0.0);", "log(0.0)"),
    ("int k = mod(5, 0);", "mod(5, 0)"),
    ("float f = exp(710);", "exp(710)"),
    ("float f = sin(1.0, 2.0);", "sin(1.0, 2.0)"),
    ("int k = 5 % 0;", "5 % 0"),
    ("float f = 10.0 ** 400;", "10.0 ** 400"),
    ("int k = ~1.5;", "~(1.5)"),
    ("output float f; f = 2 * sqrt(-1) + 1;", "sqrt(-1)"),
    ("const float c = arcsin(2); rx(c) $1;", "arcsin(2)"),
    ("float f = sqrt(-1); int k = 2 + 3;", "sqrt(-1)"),
]


@pytest.mark.parametrize("source, operation", FOLDING_REFUSALS)
def test_an_operation_that_folding_cannot_compute_is_refused_with_folding_reason(compiler, source, operation):
    with pytest.raises(CompilationException) as raised:
        compiler.compile(source)
    cause = raised.value.__cause__
    assert type(cause).__name__ == "IllegalMathExpression"
    assert str(cause) == f"The operation {operation} is illegal"


def test_the_refusals_with_folding_reason_hold_under_optimisation(refusals_hold_under_optimisation):
    refusals_hold_under_optimisation(source for source, _ in FOLDING_REFUSALS)


@pytest.mark.parametrize(
    "source, results",
    [
        # A dropped call that folding cannot compute stops the folding of nothing after it.
        ("sqrt(-1); int k = 7 % 2;", {"k": [1]}),
        ("log(0.0); output int k; output int c; k = 2 ** 3; c = ceiling(2.5) % 2;", {"k": [8], "c": [1]}),
        # A call that folding computes stands for its value.
        ("int k = int(sqrt(4)); float f = sqrt(2.25);", {"k": [2], "f": [1.5]}),
    ],
)
def test_what_folding_cannot_compute_leaves_the_rest_folded(run, source, results):
    assert run(source).results == results


def test_a_call_that_folding_does_not_compute_is_refused_as_unsupported(compiler):
    for source, options in [("int k = popcount(5);", {}),
                            ("float f = sqrt(4);", {"build_options": BuildOptions(optimizations_to_skip="Fold")})]:
        with pytest.raises(CompilationException) as raised:
            compiler.compile(source, **options)
        assert type(raised.value.__cause__) is NotImplementedError
        assert "Unsupported expression type" in str(raised.value.__cause__)


@pytest.mark.parametrize(
    "source, error, text",
    [
        ("gate x a { h a; }", "MultipleDefinitionsException", "the machine profile's operation 'x' and the program's"),
        ("gate h a { x a; } h $0;", "MultipleDefinitionsException",
         "the machine profile's operation 'h' and the program's"),
        ("gate g a { x a; } gate g a { h a; }", "MultipleDefinitionsException", "second signature found at"),
        ("ctrl @ x $1, $2;", "NotImplementedError", ""),
        ("g $1;", "SignatureNotFoundException", ""),
        ("const int pi = 3;", "RedeclarationException", ""),
        ("int a; a -= 1; const int a2 = 1; const int a2 = 2;", "RedeclarationException", ""),
    ],
)
def test_errors_of_code_resolving(compiler, source, error, text):
    # The parsing phase's screening would refuse a modifier before code resolving sees it.
    unscreened = BuildOptions(validations_to_skip="AllowedNodeTypesValidator")
    with pytest.raises(CompilationException, match='^Pass "CodeResolvingPass" failed.$') as raised:
        compiler.compile(source, build_options=unscreened)
    assert type(raised.value.__cause__).__name__ == error
    assert text in str(raised.value.__cause__)


@pytest.mark.parametrize(
    "source, rotations",
    [
        # The `u` that b's first argument brings along is the program's, not b's formal `u`.
        ("float u = 0.25; gate a(t) q { rx(t + t) q; } gate b(s, u) q { a(s * 2) q; rx(u) q; } b(u, 1.0) $1;",
         ['frame_rotation((v1 * 2) + (v1 * 2), "d1")', 'frame_rotation(1.0, "d1")']),
        ("gate a0(t) q { rx(t + t) q; } gate a1(t) q { a0(t + t) q; } gate a2(t) q { a1(t + t) q; } a2(0.5) $1;",
         ['frame_rotation(4.0, "d1")']),
    ],
)
def test_gate_parameters_are_substituted_once(compile_text, source, rotations):
    assert [line for line in compile_text(source).splitlines() if "frame_rotation" in line] == rotations


def test_an_equal_redefinition_is_accepted(compile_text):
    assert compile_text("gate g a { x a; } gate g a { x a; } g $1;") == 'play("x", "d1")'


def test_bitwise_shortcuts_with_true_hold_only_for_booleans(compile_text, compiler):
    source = """
    int a = 4;
    int b = a | 1;
    int d = a & 1;
    int e = 1 & a;
    int g = 4;
    g |= 1;
    int h = 5;
    h &= 1;
    bool p = true;
    bool q = p & true;
    bool r = true | p;
    """
    assignments = [line for line in compile_text(source).splitlines() if " = " in line and "declare" not in line]
    assert assignments == ["v1 = 4", "v2 = v1 | 1", "v3 = v1 & 1", "v4 = 1 & v1", "v5 = 4", "v5 = v5 | 1",
                           "v6 = 5", "v6 = v6 & 1", "v7 = true", "v8 = v7", "v9 = true"]
    results = run_program(compiler.compile(source).result_program.dsl_program).results
    assert results == {"a": [4], "b": [5], "d": [0], "e": [0], "g": [5], "h": [1],
                       "p": [True], "q": [True], "r": [True]}


@pytest.mark.parametrize(
    "source, played",
    [
        # A call standing as a statement runs the profile's operation of its name, literal arguments or not.
        ("tan(0.5);", [("wait", 0.5)]),
        ("const float c = 0.25; tan(c * 2 + 1);", [("wait", 1.5)]),
        ("input float a; tan(a);", [("wait", 2.0)]),
        # A function the profile has no operation of is folded, its value unused, as before.
        ("floor(2.5);", []),
        ("output float r; r = tan(0.0) + 1;", []),
    ],
)
def test_a_call_standing_as_a_statement_runs_the_profiles_operation(compiler, source, played):
    program = compiler.compile(source).result_program.dsl_program
    assert run_program(program, inputs={"a": [2.0]}).played() == played


def test_a_constant_defined_from_constants_stands_for_its_value(compiler):
    source = "const float half = pi / 2; const int n = 2; const int m = n * n - 1; output int r; r = m; rx(half) $1;"
    result = run_program(compiler.compile(source).result_program.dsl_program)
    assert result.results == {"r": [3]}
    assert result.played() == [("frame_rotation", 1.5707963267948966, "d1")]
