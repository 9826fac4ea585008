import pytest
from openqasm3 import ast, parser

from corvane.configurations.build_options import BuildOptions
from corvane.passes.construct_screening import AllowedNodeTypesValidator, DisallowedNodeTypeException
from corvane.passes.parsing.node_screening import (
    LOWERED_BEYOND_INITIAL,
    AllowedNodeTypesValidatorWithCases,
    create_permitted_nodes,
)
from corvane.passes.permitted_nodes import INITIALLY_PERMITTED_NODES
from corvane.passes.pipeline_phase import PipelinePhase, Validation
from corvane.programs import OpenQasmProgram

LOWERED = {ast.FunctionCall, ast.ExpressionStatement, ast.DurationType, ast.StretchType}


def screen(source, allowed=None):
    program = OpenQasmProgram(parser.parse(source))
    step = AllowedNodeTypesValidatorWithCases(create_permitted_nodes() if allowed is None else allowed)
    return program, step(program)


def failing_node(source, allowed=None):
    with pytest.raises(DisallowedNodeTypeException) as caught:
        screen(source, allowed)
    return caught.value.node


def test_the_permitted_set_is_the_initial_one_and_what_the_later_phases_lower():
    before = set(INITIALLY_PERMITTED_NODES)
    first, second = create_permitted_nodes(), create_permitted_nodes()
    assert type(first) is set and first is not second and first is not INITIALLY_PERMITTED_NODES
    assert first == INITIALLY_PERMITTED_NODES | LOWERED
    assert LOWERED_BEYOND_INITIAL == frozenset(LOWERED) and not LOWERED & INITIALLY_PERMITTED_NODES
    first.add(ast.Pragma)
    assert INITIALLY_PERMITTED_NODES == before and ast.Pragma not in create_permitted_nodes()


def test_the_step_is_a_node_types_validator_named_after_its_class():
    step = AllowedNodeTypesValidatorWithCases(set())
    assert isinstance(step, AllowedNodeTypesValidator) and isinstance(step, Validation)
    assert step.name == "AllowedNodeTypesValidatorWithCases"


@pytest.mark.parametrize(
    "source, failing",
    [
        ("int i; switch (i) { case 1 { end; } }", ast.EndStatement),
        ("int i; switch (i) { case sizeof(i) { } }", ast.SizeOf),
        ("int i; switch (i) { case 1 { } case 2, 3 { x $0; } case 4 { } }", ast.QuantumGate),
        ("int i; switch (i) { case 1 { switch (i) { case 2 { end; } } } }", ast.EndStatement),
    ],
)
def test_case_values_and_bodies_are_screened(source, failing):
    allowed = create_permitted_nodes() - {ast.QuantumGate}
    assert type(failing_node(source, allowed)) is failing


def test_the_first_failing_node_in_field_order_is_named():
    source = "int i; switch (sizeof(i)) { case 1 { end; } default { cal { } } }"
    assert type(failing_node(source)) is ast.SizeOf
    source = "int i; switch (i) { case 1 { end; } default { cal { } } }"
    assert type(failing_node(source)) is ast.EndStatement


def test_a_tree_of_permitted_classes_passes_unchanged():
    source = "int i; duration d = 4ns; stretch s; switch (i) { case 1, 2 { sin(1.0); } default { box { } } }"
    program, result = screen(source)
    assert result is program and program.ast == parser.parse(source)


def test_the_walk_goes_through_the_steps_own_hooks():
    reported = []

    class Collecting(AllowedNodeTypesValidatorWithCases):
        def _raise_exception(self, node):
            reported.append(type(node))

    program = OpenQasmProgram(parser.parse("int i; switch (i) { case sizeof(i) { end; } } cal { }"))
    assert Collecting(create_permitted_nodes())(program) is program
    assert reported == [ast.SizeOf, ast.EndStatement, ast.CalibrationStatement]


def test_case_children_are_visited_through_the_visitors_own_visit():
    # As the library's walks do, `self.visit` is looked up on the object, so
    # a `visit` set on the instance also sees what stands inside the cases.
    visited = []
    step = AllowedNodeTypesValidatorWithCases(create_permitted_nodes())
    shared_visit = step.visit
    step.visit = lambda node, context=None: visited.append(type(node)) or shared_visit(node)
    step(OpenQasmProgram(parser.parse("int i; switch (i) { case 1 { x $1; } }")))
    assert ast.QuantumGate in visited and ast.IntegerLiteral in visited


def test_deeply_nested_cases_end_in_a_recursion_error():
    body = ast.CompoundStatement([])
    for _ in range(5_000):
        body = ast.CompoundStatement([ast.SwitchStatement(ast.Identifier("i"), [([ast.IntegerLiteral(1)], body)], None)])
    with pytest.raises(RecursionError):
        AllowedNodeTypesValidatorWithCases(create_permitted_nodes())(OpenQasmProgram(ast.Program([body])))


def test_a_skip_pattern_for_the_node_types_validator_skips_it():
    step = AllowedNodeTypesValidatorWithCases(set())
    program = OpenQasmProgram(parser.parse("end;"))
    options = BuildOptions(validations_to_skip="AllowedNodeTypesValidator")
    assert PipelinePhase((step,), options)(program) is program
    with pytest.raises(DisallowedNodeTypeException):
        PipelinePhase((step,), BuildOptions())(program)
