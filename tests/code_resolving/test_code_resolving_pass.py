import logging

import pytest
from openqasm3 import parser

from corvane.configurations.build_options import BuildOptions
from corvane.passes.code_resolving import CodeResolvingPass
from corvane.passes.code_resolving.constant_substitution_stage import ConstantSubstitutionStage
from corvane.passes.code_resolving.folding_stage import FoldingStage, IllegalMathExpression
from corvane.passes.code_resolving.macro_expansion_stage import GateSignature, MacroExpansionStage
from corvane.passes.code_resolving.update_expander import ClassicalUpdateExpander
from corvane.passes.parsing.validators import RedeclarationException
from corvane.passes.pipeline_phase import PipelinePhase
from corvane.programs import OpenQasmProgram

BUILT_IN = {GateSignature("rx"), GateSignature("h"), GateSignature("cx")}


def resolve(source, **options):
    program = OpenQasmProgram(parser.parse(source))
    result = CodeResolvingPass(BuildOptions(**options), BUILT_IN)(program)
    assert type(result) is OpenQasmProgram and result.ast is program.ast
    return result.ast


def test_composition():
    options = BuildOptions()
    phase = CodeResolvingPass(options, BUILT_IN)
    assert isinstance(phase, PipelinePhase) and phase.name == "CodeResolvingPass"
    assert phase._build_options is options
    assert [type(step) for step in phase.steps] == [
        ClassicalUpdateExpander, ConstantSubstitutionStage, MacroExpansionStage, FoldingStage,
    ]
    assert phase.steps[2].built_in_gates is BUILT_IN


def test_built_in_gates_must_be_a_set():
    with pytest.raises(TypeError, match="built_in_gates"):
        CodeResolvingPass(BuildOptions(), [GateSignature("h")])


def test_program_reaches_the_form_code_generation_needs():
    tree = resolve(
        """
        const int n = 1 + 1;
        const float theta = 0.75;
        qubit[n] q;
        int[32] c = 0;
        c += n * 3;
        gate turn(t) a { rx(t * 2) a; }
        gate pair(t) a, b { turn(t) a; cx a, b; }
        pair(theta) q[0], q[1];
        rx(pi / 2) q[1];
        for int i in [0:n - 1] { c -= i; }
        """
    )
    assert tree == parser.parse(
        f"""
        qubit[2] q;
        int[32] c = 0;
        c = c + 6;
        rx(1.5) q[0];
        cx q[0], q[1];
        rx({3.141592653589793 / 2}) q[1];
        for int i in [0:1] {{ c = c - i; }}
        """
    )


def test_gate_operands_shadow_constants_of_the_same_name():
    tree = resolve("const float t = 1.0; qubit q; gate g(t) a { rx(t / 2) a; } g(3.0) q; rx(t) q;")
    assert tree == parser.parse("qubit q; rx(1.5) q; rx(1.0) q;")


def test_failed_fold_is_tolerated_and_the_rest_is_folded(caplog):
    caplog.set_level(logging.WARNING, logger="corvane.passes.pipeline_phase")
    tree = resolve("int a; int b; int c; a = 1 + 1; b = 1 / 0; c = 2 + 2;")
    assert tree == parser.parse("int a; int b; int c; a = 2; b = 1 / 0; c = 4;")
    assert [r.getMessage() for r in caplog.records] == [
        "Pass 'CodeResolvingPass': exception on optimization 'FoldingStage': The operation 1 / 0 is illegal"
    ]


def test_enforced_fold_failure_leaves_the_phase():
    with pytest.raises(IllegalMathExpression):
        resolve("int b; b = 1 / 0;", optimizations_to_enforce="Fold")


def test_skipped_folding_leaves_expressions():
    tree = resolve("const int n = 2; int b; b = n + 1;", optimizations_to_skip="Fold")
    assert tree == parser.parse("int b; b = 2 + 1;")


def test_errors_of_other_steps_leave_the_phase():
    with pytest.raises(RedeclarationException):
        resolve("const int n = 1; const int n = 2;", optimizations_to_skip="all")


def test_phase_runs_without_assertions(python_subprocess):
    output = python_subprocess(
        """
        from openqasm3 import dumps, parser
        from corvane.configurations.build_options import BuildOptions
        from corvane.passes.code_resolving import CodeResolvingPass
        from corvane.passes.code_resolving.macro_expansion_stage import GateSignature
        from corvane.programs import OpenQasmProgram
        tree = parser.parse("const int n = 2; qubit[n] q; int c; c <<= n + 1; gate g a { h a; } g q[0];")
        CodeResolvingPass(BuildOptions(), {GateSignature("h")})(OpenQasmProgram(tree))
        print(dumps(tree))
        """,
        "-O",
    )
    assert parser.parse(output) == parser.parse("qubit[2] q; int c; c = c << 3; h q[0];")
